"""The HTTP layer: token, envelopes, body limits, routing, the command line."""

import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import time

import pytest

from conftest import RESOURCES, TOKEN
from VantorelBridge import config
from VantorelBridge.surface import BRIDGE_VERSION

def test_version_is_what_the_installer_reads():
    import re
    with open(os.path.join(RESOURCES, "VantorelBridge", "surface.py"), encoding="utf-8") as handle:
        found = re.search(r"BRIDGE_VERSION\s*=\s*['\"]([^'\"]+)['\"]", handle.read())
    version = tuple(int(part) for part in found.group(1).split("."))
    assert version >= (0, 17, 10)


@pytest.mark.parametrize("token", [None, "", "x" * 43, TOKEN[:-1], TOKEN + "x"])
def test_requests_without_the_right_token_are_refused(bridge, token):
    for method, path in (("GET", "/v1/context"), ("POST", "/v1/tempo"), ("GET", "/v1/nowhere")):
        status, envelope = bridge.request(method, path, {} if method == "POST" else None, token=token)
        assert status == 401
        assert envelope["ok"] is False and envelope["error"]["code"] == "UNAUTHORIZED"
    assert bridge.revision == 1


def test_malformed_bodies_and_unknown_paths(bridge):
    cases = [
        ("POST", "/v1/tempo", b"{not json", 400, "INVALID_JSON"),
        ("POST", "/v1/tempo", b"[1, 2]", 400, "INVALID_JSON"),
        ("POST", "/v1/tempo", b"\"text\"", 400, "INVALID_JSON"),
        ("POST", "/v1/tempo", b"\xff\xfe", 400, "INVALID_JSON"),
        ("GET", "/v1/unknown", None, 404, "NOT_FOUND"),
        ("POST", "/v1/context", b"{}", 405, "METHOD_NOT_ALLOWED"),
        ("GET", "/v1/tempo", None, 405, "METHOD_NOT_ALLOWED"),
    ]
    for method, path, raw, status, code in cases:
        got, envelope = bridge.request(method, path, raw=raw)
        assert (got, envelope["error"]["code"]) == (status, code), (method, path, raw)
        assert isinstance(envelope["error"]["message"], str) and envelope["error"]["message"]


def test_bodies_over_one_mebibyte_are_refused_and_the_connection_stays_usable(bridge):
    status, envelope = bridge.request("POST", "/v1/tempo", raw=b" " * (1024 * 1024 + 1))
    assert status == 413 and envelope["error"]["code"] == "PAYLOAD_TOO_LARGE"
    # Exactly 1 MiB of padding around a valid body is accepted.
    body = json.dumps({"tempo": 126, "expectedRevision": bridge.revision}).encode()
    status, envelope = bridge.request("POST", "/v1/tempo", raw=body + b" " * (1024 * 1024 - len(body)))
    assert status == 200 and envelope["result"]["tempo"] == 126


def test_an_idle_keep_alive_connection_does_not_block_other_clients(bridge):
    idle = http.client.HTTPConnection("127.0.0.1", bridge.port, timeout=5)
    idle.request("GET", "/v1/health", headers={"X-Vantorel-Token": TOKEN})
    assert json.loads(idle.getresponse().read())["ok"] is True
    started = time.monotonic()
    assert bridge.get("/v1/session")["project"] == "Club Loop"
    assert time.monotonic() - started < 2
    idle.close()


def test_reply_echoes_the_request_id(bridge):
    connection = http.client.HTTPConnection("127.0.0.1", bridge.port, timeout=5)
    connection.request("GET", "/v1/health", headers={"X-Vantorel-Token": TOKEN,
                                                      "X-Vantorel-Request-Id": "mcp-1234"})
    reply = connection.getresponse()
    reply.read()
    assert reply.getheader("X-Vantorel-Request-Id") == "mcp-1234"
    assert reply.getheader("Content-Type").startswith("application/json")


def test_configuration_refusals(tmp_path):
    def write(data):
        path = tmp_path / "remote_config.json"
        path.write_text(json.dumps(data) if not isinstance(data, str) else data)
        return str(path)

    good = {"host": "127.0.0.1", "port": 32123, "auth_token": TOKEN}
    loaded = config.load(write(good))
    assert (loaded.host, loaded.port, loaded.token) == ("127.0.0.1", 32123, TOKEN)
    for bad, words in [
        (dict(good, host="0.0.0.0"), "loopback"),
        (dict(good, host="192.168.1.4"), "loopback"),
        (dict(good, auth_token="x" * 31), "32 characters"),
        (dict(good, port=70000), "port"),
        ("[]", "JSON object"),
        ("{", "Cannot read"),
    ]:
        with pytest.raises(config.ConfigurationError, match=words):
            config.load(write(bad))
    with pytest.raises(config.ConfigurationError, match="does not exist"):
        config.load(str(tmp_path / "missing.json"))


def test_without_a_given_file_the_installed_copy_is_used(tmp_path):
    installed = config.installed_config_path(str(tmp_path))
    os.makedirs(os.path.dirname(installed))
    with open(installed, "w") as handle:
        json.dump({"host": "127.0.0.1", "port": 40000, "auth_token": TOKEN}, handle)
    assert config.load(home=str(tmp_path)).port == 40000
    os.unlink(installed)
    with pytest.raises(config.ConfigurationError, match="install-bridge"):
        config.load(home=str(tmp_path))


def _command(tmp_path, *extra):
    env = dict(os.environ, HOME=str(tmp_path), PYTHONPATH=RESOURCES, XDG_CACHE_HOME=str(tmp_path / "cache"))
    return subprocess.Popen([sys.executable, "-m", "VantorelBridge", *extra], cwd=str(tmp_path), env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def test_command_line_serves_names_itself_like_live_and_stops_on_sigterm(tmp_path):
    rc = tmp_path / "rc.json"
    rc.write_text(json.dumps({"host": "127.0.0.1", "port": 32123, "auth_token": TOKEN}))
    started = int(time.time() * 1000)
    process = _command(tmp_path, "--config", str(rc), "--port", "0", "--set",
                       os.path.join(RESOURCES, "VantorelBridge", "sets", "unsaved.json"))
    try:
        line = process.stdout.readline().strip()
        assert line.startswith("VantorelBridge %s listening on http://127.0.0.1:" % BRIDGE_VERSION), line
        port = int(line.rsplit(":", 1)[1])
        assert port not in (0, 32123)
        with open("/proc/%d/comm" % process.pid) as handle:
            assert handle.read().strip() == "Ableton Live 12"
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
        connection.request("GET", "/v1/session", headers={"X-Vantorel-Token": TOKEN})
        session = json.loads(connection.getresponse().read())["result"]
        assert session["project"] == "Live Set sans nom"
        # Counting from the start time, a restarted bridge never repeats a revision.
        assert started <= session["revision"] <= time.time() * 1000
        connection.close()
        process.send_signal(signal.SIGTERM)
        assert process.wait(10) == 0
        assert process.stderr.read() == ""
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def test_command_line_refuses_to_start_without_a_token(tmp_path):
    process = _command(tmp_path, "--port", "0")
    out, err = process.communicate(timeout=20)
    assert process.returncode == 1 and out == ""
    assert "remote_config.json" in err and "install-bridge" in err


def test_command_line_refuses_a_set_file_it_cannot_read(tmp_path):
    rc = tmp_path / "rc.json"
    rc.write_text(json.dumps({"auth_token": TOKEN}))
    broken = tmp_path / "broken.json"
    broken.write_text('{"tracks": [{"name": "Kick", "kind": "drums"}]}')
    process = _command(tmp_path, "--config", str(rc), "--port", "0", "--set", str(broken))
    out, err = process.communicate(timeout=20)
    assert process.returncode == 1 and "tracks[0].kind" in err


def test_a_taken_port_is_reported(tmp_path):
    taken = socket.socket()
    taken.bind(("127.0.0.1", 0))
    taken.listen(1)
    rc = tmp_path / "rc.json"
    rc.write_text(json.dumps({"auth_token": TOKEN, "port": taken.getsockname()[1]}))
    process = _command(tmp_path, "--config", str(rc))
    out, err = process.communicate(timeout=20)
    taken.close()
    assert process.returncode == 1 and "cannot listen" in err
