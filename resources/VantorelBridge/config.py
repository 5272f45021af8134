# Reads remote_config.json, the file the installer writes beside the package
# with the address to listen on and the token every request must carry.
# Loaded inside Live, so it stays valid Python 3.7.
import json
import os

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 32123
CONFIG_NAME = "remote_config.json"
LOOPBACK_HOSTS = ("127.0.0.1", "::1", "localhost")
MINIMUM_TOKEN_LENGTH = 32


class ConfigurationError(Exception):
    pass


class BridgeConfig(object):
    def __init__(self, host, port, token, path):
        self.host = host
        self.port = port
        self.token = token
        self.path = path


def package_folder():
    return os.path.dirname(os.path.abspath(__file__))


def installed_config_path(home=None):
    home = home if home is not None else os.path.expanduser("~")
    return os.path.join(home, "Music", "Ableton", "User Library", "Remote Scripts",
                        "VantorelBridge", CONFIG_NAME)


def candidate_paths(explicit=None, home=None):
    """The given file alone, else this package's own copy (when it is the
    installed one), else the installed copy under Live's Remote Scripts."""
    if explicit:
        return [explicit]
    own = os.path.join(package_folder(), CONFIG_NAME)
    installed = installed_config_path(home)
    paths = [own]
    if os.path.abspath(installed) != os.path.abspath(own):
        paths.append(installed)
    return paths


def load(explicit=None, home=None):
    tried = candidate_paths(explicit, home)
    for path in tried:
        if not os.path.isfile(path):
            if explicit:
                raise ConfigurationError("The configuration file %s does not exist." % path)
            continue
        return read(path)
    raise ConfigurationError(
        "No remote_config.json found (looked at %s). Install the bridge with "
        "'vantorel-cli install-bridge' or pass --config FILE." % ", ".join(tried))


def read(path):
    try:
        with open(path, "rb") as handle:
            data = json.loads(handle.read().decode("utf-8"))
    except (OSError, IOError, UnicodeDecodeError, ValueError) as error:
        raise ConfigurationError("Cannot read %s: %s" % (path, error))
    if not isinstance(data, dict):
        raise ConfigurationError("%s must hold a JSON object." % path)
    token = data.get("auth_token")
    if not isinstance(token, str) or len(token) < MINIMUM_TOKEN_LENGTH:
        raise ConfigurationError(
            "%s has no auth_token of at least %d characters." % (path, MINIMUM_TOKEN_LENGTH))
    host = data.get("host", DEFAULT_HOST)
    if not isinstance(host, str) or host not in LOOPBACK_HOSTS:
        raise ConfigurationError(
            "%s asks to listen on %r; the bridge only listens on the loopback interface "
            "(127.0.0.1, ::1 or localhost)." % (path, host))
    port = data.get("port", DEFAULT_PORT)
    if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
        raise ConfigurationError("%s has an invalid port: %r." % (path, port))
    return BridgeConfig(host, port, token, path)
