"""What only Live has: its main thread, its versions, its own undo history,
its Python 3.7."""

import ast
import json
import os
import subprocess
import sys
import threading
import time

import pytest

from conftest import RESOURCES, TOKEN

PACKAGE = os.path.join(RESOURCES, "VantorelBridge")


def _live_modules():
    for folder, _, files in os.walk(PACKAGE):
        if os.path.relpath(folder, PACKAGE).split(os.sep)[0] in ("simulator", "sets", "__pycache__"):
            continue
        for name in files:
            if name.endswith(".py") and name != "__main__.py":
                yield os.path.join(folder, name)


def test_what_live_loads_is_python_3_7():
    denied = []
    for path in _live_modules():
        with open(path, encoding="utf-8") as handle:
            tree = ast.parse(handle.read(), filename=path, feature_version=(3, 7))
        for node in ast.walk(tree):
            where = "%s:%d" % (os.path.relpath(path, PACKAGE), getattr(node, "lineno", 0))
            if isinstance(node, ast.Subscript) and isinstance(node.value, ast.Name) and \
                    node.value.id in ("list", "dict", "tuple", "set", "frozenset", "type"):
                denied.append(where + " subscripted built-in")
            if isinstance(node, ast.Attribute) and node.attr in ("removeprefix", "removesuffix", "prod", "cache"):
                denied.append(where + " " + node.attr)
            if isinstance(node, ast.Call) and getattr(node.func, "id", None) == "zip" and \
                    any(keyword.arg == "strict" for keyword in node.keywords):
                denied.append(where + " zip(strict=)")
    assert denied == []


def test_live_loads_the_package_without_the_simulator(tmp_path):
    installed = tmp_path / "Music" / "Ableton" / "User Library" / "Remote Scripts" / "VantorelBridge"
    installed.mkdir(parents=True)
    (installed / "remote_config.json").write_text(json.dumps({"port": 0, "auth_token": TOKEN}))
    script = """
import sys
import VantorelBridge
from VantorelBridge import surface
surface_modules = set(sys.modules)
import fake_live
live = fake_live.FakeLive(sys.argv[1])
made = live.start(lambda c_instance, module: (sys.modules.__setitem__("Live", module),
                                              VantorelBridge.create_instance(c_instance))[1])
loaded = sorted(name for name in surface_modules if name.startswith("VantorelBridge.simulator"))
print(loaded, made.url is not None, live.c_instance.logged)
live.stop()
"""
    env = dict(os.environ, HOME=str(tmp_path), PYTHONPATH=os.pathsep.join([RESOURCES, os.path.dirname(__file__)]),
               XDG_CACHE_HOME=str(tmp_path / "cache"))
    done = subprocess.run([sys.executable, "-c", script, os.path.join(PACKAGE, "sets", "club-loop.json")],
                          env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("[] True ['VantorelBridge 0.19.0 listening on http://127.0.0.1:"), done.stdout


def test_a_busy_main_thread_refuses_without_changing_anything(start_live_bridge):
    bridge = start_live_bridge()
    bridge.fake.surface._executor._start_limit = 0.3
    bridge.fake.paused.set()
    status, code, message = bridge.refused("POST", "/v1/tracks/rename", {
        "trackIndex": 0, "name": "Never", "confirm": True, "expectedRevision": bridge.revision})
    assert (status, code) == (503, "LIVE_BUSY") and "rien n’a été modifié" in message
    bridge.fake.paused.clear()
    assert bridge.track(0)["name"] == "Kick"


def test_a_command_waiting_for_the_next_tick_holds_the_queue(start_live_bridge):
    from VantorelBridge.commands import Change

    bridge = start_live_bridge()
    order = []

    def slow_rename(index, name):
        order.append("rename started")
        yield
        yield
        order.append("rename done")
        return Change("Renommée.", {"name": name})

    bridge.backend.rename_track = slow_rename
    thread = threading.Thread(target=lambda: bridge.change("/v1/tracks/rename", trackIndex=0, name="X"))
    thread.start()
    while not order:
        time.sleep(0.001)
    bridge.get("/v1/session")
    order.append("read")
    thread.join(5)
    assert order == ["rename started", "rename done", "read"]


@pytest.mark.parametrize("version, named", [("11.3.20", False), ("12.0.5", True)])
def test_older_lives_fall_back_or_say_what_they_lack(start_live_bridge, version, named):
    bridge = start_live_bridge(version=version)
    session = bridge.get("/v1/session")
    assert session["liveVersion"] == version and session["projectNameKnown"] is named
    assert session["project"] == ("Club Loop" if named else "Live Set sans nom")
    status, code, message = bridge.refused("POST", "/v1/samples/import", {
        "query": "kick", "startTime": 0, "confirm": True, "expectedRevision": bridge.revision})
    assert (status, code) == (501, "NOT_SUPPORTED_BY_LIVE") if version == "11.3.20" else code != \
        "NOT_SUPPORTED_BY_LIVE"
    if version == "11.3.20":
        assert "11.3.25" in message and version in message
    # No Track.create_midi_clip before 12.1.10: made in a session slot, copied
    # to the Arrangement, the slot left as it was, in one undo step.
    slots = [track["clips"] for track in bridge.analysis()["tracks"]]
    made = bridge.change("/v1/clips/midi", trackIndex=4, startTime=64, length=4,
                         notes=[{"pitch": 41, "startTime": 0, "duration": 1}])
    bass = bridge.track(4)
    arranged = [clip for clip in bass["clipDetails"] if clip["view"] == "arrangement"]
    assert [(clip["startTimeBeats"], clip["name"], clip["noteCount"]) for clip in arranged] == \
        [(64, made["clipName"], 1)]
    assert [track["clips"] for track in bridge.analysis()["tracks"]] == [n + (i == 4) for i, n in enumerate(slots)]
    assert len(bridge.get("/v1/session")["scenes"]) == 2
    bridge.fake.on_main(lambda: bridge.fake.song.undo())
    assert bridge.track(4)["clips"] == slots[4]
    built = bridge.change("/v1/arrangement/build")
    assert built["locatorsCreated"] == 8 and built["locatorsNamed"] is False


def test_undo_keeps_a_later_edit_of_the_producer_and_ctrl_z_takes_back_a_whole_action(start_live_bridge):
    bridge = start_live_bridge()
    bridge.change("/v1/tracks/rename", trackIndex=0, name="Kick Main")
    bridge.user_edit("rename", trackIndex=1, name="Hats by the user")
    bridge.post("/v1/undo", {})
    names = [track["name"] for track in bridge.get("/v1/session")["tracks"]]
    assert names[:2] == ["Kick", "Hats by the user"]

    bridge.change("/v1/workflows/organize")
    assert bridge.get("/v1/session")["tracks"][0]["name"] == "01 Kick"
    bridge.fake.on_main(lambda: bridge.fake.song.undo())
    names = [track["name"] for track in bridge.get("/v1/session")["tracks"]]
    assert names[0] == "Kick" and names[4] == "Bass", "one Ctrl+Z undoes the whole organisation"


def test_disconnect_fails_waiting_requests_and_a_new_surface_takes_the_port(start_live_bridge):
    from VantorelBridge.config import BridgeConfig
    from VantorelBridge.surface import VantorelSurface

    bridge = start_live_bridge()
    port = bridge.port
    bridge.fake.paused.set()
    replies = []
    thread = threading.Thread(target=lambda: replies.append(bridge.request("GET", "/v1/session")))
    thread.start()
    deadline = time.monotonic() + 5
    while not bridge.fake.surface._executor._queue and time.monotonic() < deadline:
        time.sleep(0.01)
    started = time.monotonic()
    bridge.fake.on_main(bridge.fake.surface.disconnect)
    assert time.monotonic() - started < 2
    thread.join(5)
    assert replies[0][0] == 503 and replies[0][1]["error"]["code"] == "LIVE_BUSY"
    settings = BridgeConfig("127.0.0.1", port, TOKEN, None)
    fresh = bridge.fake.on_main(lambda: VantorelSurface(bridge.fake.c_instance, settings=settings,
                                                        live_module=bridge.fake.module))
    try:
        assert fresh.url.endswith(":%d" % port)
    finally:
        bridge.fake.on_main(fresh.disconnect)


def test_a_started_command_that_outlasts_its_caller_still_finishes():
    from VantorelBridge.executor import MainThreadExecutor

    executor = MainThreadExecutor(budget=0.0)
    finished = []

    def slow():
        for _ in range(20):
            yield
        finished.append(True)
        return "done"

    pumping = threading.Event()

    def pump():
        while not pumping.is_set():
            executor.pump()
            time.sleep(0.01)

    thread = threading.Thread(target=pump)
    thread.start()
    try:
        with pytest.raises(Exception) as refused:
            executor.run(slow, wait=0.05)
        assert (refused.value.status, refused.value.code) == (504, "LIVE_TIMEOUT")
        assert executor.run(lambda: "next") == "next" and finished == [True]
    finally:
        pumping.set()
        thread.join(2)


def test_lives_track_limit_is_a_refusal(start_live_bridge):
    bridge = start_live_bridge()
    bridge.fake.world.track_limit = 8
    status, code, message = bridge.refused("POST", "/v1/tracks/create", {
        "kind": "midi", "confirm": True, "expectedRevision": bridge.revision})
    assert (status, code) == (409, "LIVE_LIMIT") and "Track limit" in message
    assert bridge.get("/v1/session")["trackCount"] == 8


def test_windows_paths_of_live_under_wine_reach_the_app_as_linux_paths(start_live_bridge, tmp_path):
    from VantorelBridge.surface import wine_drives

    (tmp_path / "drive_c" / "users" / "lea").mkdir(parents=True)
    (tmp_path / "drive_c" / "users" / "lea" / "chop.wav").write_bytes(b"RIFF")
    package = tmp_path / "package"
    package.mkdir()
    (package / "wine_drives.json").write_text(json.dumps({"C": str(tmp_path / "drive_c"), "z": "/", "zz": "/x"}))
    bridge = start_live_bridge()
    bridge.backend.wine_drives = wine_drives(str(package))
    assert bridge.backend.wine_drives == {"c": str(tmp_path / "drive_c"), "z": "/"}

    def select_vocal_chop():
        song = bridge.fake.song
        clip = song.tracks[6].clip_slots[0].clip
        clip._set("file_path", "C:\\users\\lea\\chop.wav")
        song.view.detail_clip = clip

    bridge.fake.on_main(select_vocal_chop)
    source = bridge.get("/v1/key-source")
    assert source["kind"] == "audio" and source["filePath"] == str(tmp_path / "drive_c" / "users" / "lea" / "chop.wav")
