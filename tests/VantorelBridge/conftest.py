"""Starts the bridge over a simulated Live Set on port 0 in a thread and
talks to it with http.client, as the app and the MCP server do."""

import http.client
import json
import os
import sys
import tempfile
import threading

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
RESOURCES = os.path.join(ROOT, "resources")
SETS = os.path.join(RESOURCES, "VantorelBridge", "sets")
if RESOURCES not in sys.path:
    sys.path.insert(0, RESOURCES)

from VantorelBridge.commands import CommandLayer  # noqa: E402
from VantorelBridge.server import serve  # noqa: E402
from VantorelBridge.simulator import model  # noqa: E402
from VantorelBridge.simulator.backend import SimulatedBackend  # noqa: E402

TOKEN = "t0k3n-for-tests_abcdefghijklmnopqrstuvwxyz01"


class Bridge:
    def __init__(self, server, backend, commands, fake=None):
        self.server = server
        self.backend = backend
        self.commands = commands
        self.port = server.server_address[1]
        self.fake = fake
        self.kind = "lom" if fake is not None else "sim"

    def user_edit(self, action, **fields):
        """The producer changing the set in Live: through the simulator's
        edit endpoint, or on the fake Live's main thread."""
        if self.fake is None:
            return self.post("/v1/sim/edit", dict(fields, action=action))
        song = self.fake.song

        def edit():
            track = song.tracks[fields["trackIndex"]] if "trackIndex" in fields else None
            if action == "rename":
                track.name = fields["name"]
            elif action == "mute":
                track.mute = fields["enabled"]
            elif action == "play":
                song.continue_playing()
            elif action == "stop":
                song.stop_playing()
            elif action == "movePlayhead":
                song.current_song_time = fields["time"]
            elif action == "selectTrack":
                song.view.selected_track = track
            else:
                raise AssertionError("no such edit in the fake Live: %s" % action)

        self.fake.on_main(edit)

    def request(self, method, path, body=None, token=TOKEN, raw=None, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        sent = dict(headers or {})
        if token is not None:
            sent["X-Vantorel-Token"] = token
        payload = raw if raw is not None else (None if body is None else json.dumps(body).encode())
        if payload is not None:
            sent["Content-Type"] = "application/json"
        connection.request(method, path, body=payload, headers=sent)
        reply = connection.getresponse()
        data = reply.read()
        connection.close()
        return reply.status, json.loads(data.decode("utf-8"))

    def get(self, path):
        status, envelope = self.request("GET", path)
        assert status == 200 and envelope["ok"] is True, envelope
        return envelope["result"]

    def post(self, path, body=None):
        status, envelope = self.request("POST", path, body if body is not None else {})
        assert status == 200 and envelope["ok"] is True, envelope
        return envelope["result"]

    def refused(self, method, path, body=None):
        status, envelope = self.request(method, path, body)
        assert envelope["ok"] is False and set(envelope) == {"ok", "error"}, envelope
        return status, envelope["error"]["code"], envelope["error"]["message"]

    @property
    def revision(self):
        return self.commands.revision

    def change(self, path, **fields):
        """A confirmed change planned against the current revision."""
        body = dict(fields, expectedRevision=self.revision, confirm=True)
        return self.post(path, body)

    def analysis(self):
        return self.get("/v1/analysis/project")

    def track(self, index):
        return self.analysis()["tracks"][index]


@pytest.fixture(scope="session")
def cache_dir():
    folder = tempfile.mkdtemp(prefix="vantorel-bridge-cache-")
    os.environ["XDG_CACHE_HOME"] = folder
    return folder


@pytest.fixture
def start_bridge(cache_dir, tmp_path):
    started = []

    def start(set_name="club-loop.json", capture_speed=50.0, user_samples=None):
        live = model.load_file(os.path.join(SETS, set_name))
        backend = SimulatedBackend(live, cache=cache_dir, capture_speed=capture_speed,
                                   user_samples=user_samples or str(tmp_path / "no-samples"))
        commands = CommandLayer(backend)
        server = serve(commands, "127.0.0.1", 0, TOKEN)
        thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        thread.start()
        bridge = Bridge(server, backend, commands)
        started.append((server, thread))
        return bridge

    yield start
    for server, thread in started:
        server.shutdown()
        server.server_close()
        thread.join(5)


@pytest.fixture
def bridge(start_bridge):
    return start_bridge()


@pytest.fixture
def start_live_bridge(cache_dir, tmp_path):
    from fake_live import FakeLive
    from VantorelBridge.config import BridgeConfig
    from VantorelBridge.surface import VantorelSurface

    fakes = []

    def start(set_name="club-loop.json", version="12.2.0", user_library=None):
        fake = FakeLive(os.path.join(SETS, set_name), version)
        fake.world.capture_path = str(tmp_path / ("capture-%d.wav" % len(fakes)))
        fakes.append(fake)
        settings = BridgeConfig("127.0.0.1", 0, TOKEN, None)
        library = user_library or str(tmp_path / "User Library")
        surface = fake.start(lambda c_instance, live: VantorelSurface(c_instance, settings=settings,
                                                                       live_module=live, poll_interval=0.05,
                                                                       user_library=library))
        return Bridge(surface._server, surface.backend, surface.commands, fake)

    yield start
    for fake in fakes:
        fake.stop()


@pytest.fixture(params=["sim", "lom"])
def any_bridge(request, start_bridge, start_live_bridge):
    """One endpoint case, run over the simulated set and over Live."""
    return start_bridge() if request.param == "sim" else start_live_bridge()
