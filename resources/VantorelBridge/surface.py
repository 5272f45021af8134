# The Remote Script side of the package: the version the installer and the
# clients read, and the control surface Live instantiates. The surface serves
# the bridge's HTTP API over the Live Set: HTTP threads only parse, check the
# token and queue commands; Live's main thread runs them when it calls
# update_display(). Loaded inside Live, so it stays valid Python 3.7.
import json
import os
import threading
import time

BRIDGE_VERSION = "0.19.0"

BIND_RETRY_SECONDS = 2.0
WINE_DRIVES = "wine_drives.json"


def wine_drives(folder):
    """Drive letter → Linux folder, written by the installer when Live runs
    under Wine, so reported file paths can be opened by the app."""
    try:
        with open(os.path.join(folder, WINE_DRIVES), "rb") as handle:
            data = json.loads(handle.read().decode("utf-8"))
    except (OSError, IOError, ValueError):
        return {}
    if not isinstance(data, dict):
        return {}
    return dict((key.lower(), value) for key, value in data.items()
                if isinstance(key, str) and len(key) == 1 and isinstance(value, str))


class VantorelSurface(object):
    """The object Live drives through its control-surface calls."""

    def __init__(self, c_instance, settings=None, live_module=None, poll_interval=0.1, user_library=None):
        # Imported here: the installer and the clients read BRIDGE_VERSION from
        # this module without loading the rest of the package.
        from . import config
        from .commands import CommandLayer
        from .executor import MainThreadExecutor
        from .live_backend import LiveBackend
        from .server import serve

        self._c_instance = c_instance
        self._server = None
        self._thread = None
        self._executor = MainThreadExecutor()
        self._last_display = time.monotonic()
        self.backend = None
        self.commands = None
        if live_module is None:
            import Live as live_module  # noqa: N813 (Live's own module name)
        try:
            settings = settings if settings is not None else config.load()
        except config.ConfigurationError as error:
            self._say("VantorelBridge %s: %s" % (BRIDGE_VERSION, error))
            return
        # Installed as <User Library>/Remote Scripts/VantorelBridge, under
        # Wine too: its Samples folder is two levels up.
        user_library = user_library or os.path.dirname(os.path.dirname(config.package_folder()))
        self.backend = LiveBackend(c_instance.song(), live_module.Application.get_application(), live_module,
                                   wine_drives(config.package_folder()), user_library)
        # Counting from the time in milliseconds: a surface Live re-creates
        # (set loaded, preferences changed) never repeats a revision.
        self.commands = CommandLayer(self.backend, first_revision=int(time.time() * 1000))
        deadline = time.monotonic() + BIND_RETRY_SECONDS
        while True:
            try:
                self._server = serve(self.commands, settings.host, settings.port, settings.token, self._executor)
                break
            except (OSError, ValueError) as error:
                # The previous instance may still be letting go of the port.
                if isinstance(error, ValueError) or time.monotonic() >= deadline:
                    self._say("VantorelBridge %s: cannot listen on %s port %d: %s"
                              % (BRIDGE_VERSION, settings.host, settings.port, error))
                    return
                time.sleep(0.1)
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": poll_interval},
                                        name="VantorelBridge HTTP")
        self._thread.daemon = True
        self._thread.start()
        self._say("VantorelBridge %s listening on %s" % (BRIDGE_VERSION, self._server.url))

    @property
    def url(self):
        return self._server.url if self._server is not None else None

    def _say(self, message):
        for name in ("log_message", "show_message"):
            method = getattr(self._c_instance, name, None)
            if callable(method):
                try:
                    method(message)
                except Exception:
                    pass

    def update_display(self):
        """Live's main thread, about every 100 ms: meters, then queued commands."""
        now = time.monotonic()
        elapsed, self._last_display = now - self._last_display, now
        if self.backend is not None:
            try:
                self.backend.on_display(elapsed)
            except Exception:
                pass
        self._executor.pump()

    def disconnect(self):
        self._executor.close()
        server, self._server = self._server, None
        if server is not None:
            server.shutdown()
            server.server_close()
        if self._thread is not None:
            self._thread.join(1.0)
            self._thread = None
        self._c_instance = None

    # Live calls these on every control surface; none of them has work to do.
    def refresh_state(self):
        pass

    def build_midi_map(self, midi_map_handle):
        pass

    def connect_script_instances(self, instanciated_scripts):
        pass

    def can_lock_to_devices(self):
        return False

    def suggest_input_port(self):
        return ""

    def suggest_output_port(self):
        return ""

    def suggest_map_mode(self, cc_no, channel):
        return -1

    def receive_midi(self, midi_bytes):
        pass

    def port_settings_changed(self):
        pass
