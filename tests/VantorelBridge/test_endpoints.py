"""One endpoint suite, run over the simulated set (sim) and over Live through
the Live Object Model (lom, the fake Live): the app and the MCP server must
not be able to tell the two apart."""

import os
import time
import wave

import pytest

from VantorelBridge.protocol import CAPABILITIES

STALE = ("Le Live Set a changé depuis la préparation de cette action (révision %d, attendue %d). "
         "Relis le contexte et prépare-la à nouveau.")


def test_health_and_context_read_the_same_set(any_bridge):
    bridge = any_bridge
    health = bridge.get("/v1/health")
    assert set(CAPABILITIES) <= set(health["capabilities"]) and health["liveVersion"].startswith("12.")
    context = bridge.get("/v1/context")
    session, analysis = context["session"], context["projectAnalysis"]
    assert session["revision"] == bridge.revision == analysis["revision"]
    assert (session["project"], session["tempo"], session["signature"]) == ("Club Loop", 124, "4/4")
    assert session["projectScale"] == "F Minor" and session["selectedTrack"] == "Bass"
    assert [track["name"] for track in session["tracks"]][:2] == ["Kick", "Hats"] and session["clips"] == 12
    assert session["detailClip"]["track"] == "Bass" and session["detailClip"]["type"] == "midi"
    assert {track["name"]: track["inferredRole"] for track in analysis["tracks"]} == {
        "Kick": "kick", "Hats": "hat", "Clap": "clap", "Perc": "percussion", "Bass": "bass",
        "Chords": "harmony", "Vocal Chop": "vocal", "FX Riser": "fx"}
    bass = analysis["tracks"][4]
    assert bass["isMidiTrack"] and bass["selected"] and bass["clipDetails"][0]["lengthBeats"] == 32
    assert [ret["name"] for ret in analysis["returnTracks"]] == ["A-Reverb", "B-Delay"]
    assert bass["mixer"]["volume"]["displayValue"].endswith(" dB") and len(bass["mixer"]["sends"]) == 2
    key = bridge.get("/v1/key-source")
    assert (key["kind"], key["track"], key["trackIndex"]) == ("midi", "Bass", 4)
    assert len(key["pitchClasses"]) == 12 and key["pitchClasses"][5] == max(key["pitchClasses"])  # F


def test_revision_moves_with_every_change_and_user_edit_and_refuses_stale_plans(any_bridge):
    bridge = any_bridge
    start = bridge.revision
    bridge.get("/v1/context")
    assert bridge.revision == start
    bridge.change("/v1/tracks/rename", trackIndex=0, name="Kick Main")
    bridge.post("/v1/tempo", {"tempo": 125.5, "expectedRevision": bridge.revision})
    assert bridge.revision == start + 2, "each change counts once, never again as a user edit"
    planned = bridge.revision
    bridge.user_edit("rename", trackIndex=1, name="Hats by the user")
    assert bridge.get("/v1/session")["revision"] == planned + 1
    refused = bridge.refused("POST", "/v1/tracks/rename", {"trackIndex": 0, "name": "X", "confirm": True,
                                                            "expectedRevision": planned})
    assert refused == (409, "STALE_REVISION", STALE % (planned + 1, planned))
    assert bridge.refused("POST", "/v1/tracks/rename", {"trackIndex": 0, "name": "X",
                                                         "expectedRevision": bridge.revision})[1] == \
        "CONFIRMATION_REQUIRED"
    assert bridge.analysis()["tracks"][0]["name"] == "Kick Main"


def test_the_producers_play_stop_and_seek_never_move_the_revision(any_bridge):
    bridge = any_bridge
    bridge.get("/v1/session")
    before = bridge.revision
    bridge.user_edit("play")
    bridge.user_edit("movePlayhead", time=32.0)
    bridge.user_edit("stop")
    session = bridge.get("/v1/session")
    assert session["revision"] == before and session["isPlaying"] is False


def test_tracks_clips_and_notes_and_their_undo(any_bridge):
    bridge = any_bridge
    created = bridge.change("/v1/tracks/create", kind="midi", name="Sub")
    index = created["trackIndex"]
    notes = [{"pitch": 41, "startTime": 0, "duration": 1}, {"pitch": 44, "startTime": 2, "duration": 0.5}]
    clip = bridge.change("/v1/clips/midi", trackIndex=index, startTime=0, length=8, notes=notes, name="Sub F")
    assert clip["noteCount"] == 2 and clip["undoAvailable"] is True
    key = bridge.get("/v1/key-source")
    assert key["track"] == "Sub" and key["pitchClasses"][5] == 1 and key["pitchClasses"][8] == 0.5
    status, code, _ = bridge.refused("POST", "/v1/clips/midi", {"trackIndex": index, "startTime": 4, "length": 8,
                                                                 "notes": [], "confirm": True,
                                                                 "expectedRevision": bridge.revision})
    assert (status, code) == (409, "CLIP_OVERLAP")
    replaced = bridge.change("/v1/clips/midi/replace", trackIndex=index,
                             notes=[{"pitch": 29, "startTime": 1, "duration": 2}])
    assert [note["pitch"] for note in replaced["notes"]] == [29]
    evolved = bridge.change("/v1/clips/midi/evolve", trackIndex=index, style="humanize")
    assert {note["pitch"] for note in evolved["notes"]} == {29}
    for _ in range(3):  # evolve, replace, clip
        bridge.post("/v1/undo", {})
    assert bridge.analysis()["tracks"][index]["clips"] == 0
    undone = bridge.post("/v1/undo", {})
    assert undone["undone"].startswith("Piste MIDI « Sub »")
    assert [track["name"] for track in bridge.get("/v1/session")["tracks"]].count("Sub") == 0
    assert bridge.refused("POST", "/v1/undo", {})[1] == "NOTHING_TO_UNDO"


def test_mixer_devices_and_states_in_live_units(any_bridge):
    bridge = any_bridge
    volume = bridge.change("/v1/tracks/volume", trackIndex=0, displayDb=-6)
    assert volume["displayValue"] == "-6.0 dB"
    assert bridge.track(0)["mixer"]["volume"]["displayValue"] == "-6.0 dB"
    send = bridge.change("/v1/tracks/send", trackIndex=0, sendIndex=1, displayDb=-12)
    assert send["displayValue"] == "-12.0 dB"
    assert bridge.refused("POST", "/v1/tracks/send", {"trackIndex": 0, "sendIndex": 2, "displayDb": -3,
                                                       "confirm": True, "expectedRevision": bridge.revision})[1] \
        == "NOT_FOUND"
    muted = bridge.change("/v1/tracks/state", trackIndex=1, field="mute", enabled=True)
    assert muted["summary"] == "Piste 2 « Hats » muette." and bridge.track(1)["muted"] is True
    device = next(track for track in bridge.analysis()["tracks"] if track["devices"])
    parameters = bridge.post("/v1/devices/parameters/read", {"trackIndex": device["index"], "deviceIndex": 0})
    continuous = next(p for p in parameters["parameters"] if not p["isQuantized"] and p["max"] > p["min"])
    middle = (continuous["min"] + continuous["max"]) / 2
    written = bridge.change("/v1/devices/parameters", trackIndex=device["index"], deviceIndex=0,
                            parameterIndex=continuous["index"], value=middle)
    assert written["value"] == middle and written["previousValue"] == continuous["value"]
    status, code, _ = bridge.refused("POST", "/v1/devices/parameters", {
        "trackIndex": device["index"], "deviceIndex": 0, "parameterIndex": continuous["index"],
        "value": continuous["max"] + 1, "confirm": True, "expectedRevision": bridge.revision})
    assert (status, code) == (400, "INVALID_ARGUMENT")
    bridge.post("/v1/undo", {})
    assert bridge.post("/v1/devices/parameters/read", {"trackIndex": device["index"], "deviceIndex": 0})[
        "parameters"][continuous["index"]]["value"] == continuous["value"]


def test_organize_names_and_colours_by_role_once(any_bridge):
    bridge = any_bridge
    organized = bridge.change("/v1/workflows/organize")
    names = [track["name"] for track in bridge.get("/v1/session")["tracks"]]
    assert names[:5] == ["01 Kick", "02 Hats", "03 Clap", "04 Perc", "05 Bass"]
    assert organized["changes"] and organized["undoAvailable"]
    again = bridge.change("/v1/workflows/organize")
    assert again["summary"] == "Les pistes sont déjà organisées : aucun changement."
    bridge.post("/v1/undo", {})
    assert bridge.get("/v1/session")["tracks"][0]["name"] == "Kick"


@pytest.mark.parametrize("path, body, code", [
    ("/v1/tracks/rename", {"trackIndex": 99, "name": "X"}, "NOT_FOUND"),
    ("/v1/tracks/state", {"trackIndex": 0, "field": "loud", "enabled": True}, "INVALID_ARGUMENT"),
    ("/v1/clips/midi", {"trackIndex": 6, "startTime": 0, "length": 4, "notes": []}, "NOT_A_MIDI_TRACK"),
    ("/v1/clips/midi/evolve", {"trackIndex": 0, "style": "groove"}, "NO_OPEN_CLIP"),
])
def test_refusals_change_nothing(any_bridge, path, body, code):
    bridge = any_bridge
    before = bridge.revision
    assert bridge.refused("POST", path, dict(body, confirm=True, expectedRevision=before))[1] == code
    assert bridge.revision == before


def test_club_arrangement_with_named_locators_refused_while_playing_and_undone(any_bridge):
    bridge = any_bridge
    planned = bridge.post("/v1/arrangement/plan", {})
    assert planned["totalBars"] == 128 and planned["usesClubTemplate"] is True
    bridge.post("/v1/transport/play", {})
    assert bridge.refused("POST", "/v1/arrangement/build", {"confirm": True, "expectedRevision": bridge.revision}
                          )[:2] == (409, "TRANSPORT_PLAYING")
    bridge.post("/v1/transport/stop", {})
    built = bridge.change("/v1/arrangement/build")
    assert built["locatorsCreated"] == 8 and built["clipsCreated"] >= 16 and built["arrangementStart"] == 0
    session = bridge.get("/v1/session")
    assert session["arrangementLengthBars"] == 128 and session["revision"] == built["revision"]
    assert [locator["name"] for locator in session["locators"]][:3] == ["Intro", "Groove", "Build 1"]
    assert [locator["time"] for locator in session["locators"]][:3] == [0, 64, 128]
    bridge.post("/v1/undo", {})
    session = bridge.get("/v1/session")
    assert session["locators"] == [] and session["arrangementLengthBars"] == 0


def test_master_capture_records_on_a_temporary_track_that_cleanup_removes(any_bridge):
    bridge = any_bridge
    # Real time: the recording outlasts the requests below on a loaded machine.
    if bridge.fake is not None:
        bridge.fake.song._speed = 1.0
    else:
        bridge.backend.capture_speed = 1.0
    before = bridge.revision
    started = bridge.change("/v1/master-capture/start", bars=1, startTime=0)
    job = {"jobId": started["jobId"], "confirm": True}
    assert started["temporaryTrack"] == bridge.get("/v1/session")["tracks"][-1]["name"]
    assert bridge.refused("POST", "/v1/master-capture/start", {"bars": 1, "startTime": 0, "confirm": True,
                                                                "expectedRevision": bridge.revision})[1] \
        in ("CAPTURE_RUNNING", "TRANSPORT_PLAYING")
    deadline = time.monotonic() + 30
    status = bridge.post("/v1/master-capture/status", job)
    while status["status"] not in ("ready", "failed") and time.monotonic() < deadline:
        time.sleep(0.05)
        status = bridge.post("/v1/master-capture/status", job)
    assert status["status"] == "ready" and os.path.getsize(status["filePath"]) > 0
    assert status["temporaryTrackPresent"] is True and status["progress"] == 1.0
    session = bridge.get("/v1/session")
    assert session["isPlaying"] is False and session["currentTime"] == 0
    assert bridge.post("/v1/master-capture/cleanup", job)["temporaryTrackRemoved"] is True
    session = bridge.get("/v1/session")
    assert session["trackCount"] == 8 and not any(track["armed"] for track in session["tracks"])
    # Start, the end of the recording and the cleanup: three changes, none counted twice.
    assert session["revision"] == before + 3


@pytest.mark.parametrize("kind", ["sim", "lom"])
def test_samples_of_the_user_library_are_found_and_imported_on_a_new_track(kind, start_bridge, start_live_bridge,
                                                                           tmp_path):
    library = tmp_path / "Producer Library"
    pack = library / "Samples" / "Zorblax Pack"
    pack.mkdir(parents=True)
    with wave.open(str(pack / "Zorblax_Kick_01.wav"), "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(44100)
        out.writeframes(bytes(2 * 44100))
    if kind == "sim":
        bridge = start_bridge(user_samples=str(library / "Samples"))
    else:
        bridge = start_live_bridge(user_library=str(library))
    deadline = time.monotonic() + 20
    while True:
        status, envelope = bridge.request("POST", "/v1/samples/search", {"query": "zorblax", "role": "kick"})
        if status != 503 or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    found = envelope["result"]["results"]
    assert found[0]["name"] == "Zorblax_Kick_01" and found[0]["pack"] == "Zorblax Pack"
    imported = bridge.change("/v1/samples/import", sampleId=found[0]["sampleId"], startTime=16)
    assert imported["trackName"] == "Zorblax Kick 01" and imported["lengthBeats"] > 0
    track = bridge.track(imported["trackIndex"])
    assert track["isAudioTrack"] and track["clipDetails"][0]["startTimeBeats"] == 16
    bridge.post("/v1/undo", {})
    assert bridge.get("/v1/session")["trackCount"] == 8
