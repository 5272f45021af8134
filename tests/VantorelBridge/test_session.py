"""Reading the set, the changes of part one, revision, confirmation, undo."""

import os
import time
import wave

import pytest

TRACK_FIELDS = {"index", "name", "selected", "isMidiTrack", "isAudioTrack", "active", "hasContent", "muted",
                "automationObserved", "inferredRole", "clips", "clipDetails", "devices", "mixer", "meterWindow"}
CLIP_FIELDS = {"name", "type", "startTimeBeats", "endTimeBeats", "lengthBeats", "playing", "recording", "selected"}


def test_context_carries_every_field_the_app_reads(bridge):
    # Names and roles are read over both backends in test_endpoints; here, the
    # shape every consumer of the context depends on.
    context = bridge.get("/v1/context")
    session, analysis = context["session"], context["projectAnalysis"]
    assert isinstance(context["contextAgeMs"], int) and context["contextAgeMs"] >= 0
    assert abs(context["capturedAtUnix"] - time.time()) < 5
    assert session["isPlaying"] is False and session["currentTime"] == 0
    assert analysis["arrangementLengthBars"] == 0 and analysis["sectionCountFromLocators"] == 0
    assert set(analysis["masterTrack"]["meterWindow"]) == {"samples", "observedSeconds", "current", "maximum",
                                                           "average"}
    for track in analysis["tracks"]:
        assert TRACK_FIELDS <= set(track), track["name"]
        assert track["clips"] == len(track["clipDetails"]) >= 1
        for clip in track["clipDetails"]:
            assert CLIP_FIELDS <= set(clip)
        assert {"volume", "panning", "sends"} <= set(track["mixer"]) and len(track["mixer"]["sends"]) == 2
        for device in track["devices"]:
            assert device["parameters"][0]["name"] == "Device On"


def test_an_unconfirmed_or_unplanned_change_changes_nothing(bridge):
    for body, expected in [
        ({"trackIndex": 0, "name": "X", "expectedRevision": bridge.revision}, "CONFIRMATION_REQUIRED"),
        ({"trackIndex": 0, "name": "X", "expectedRevision": bridge.revision, "confirm": "true"},
         "CONFIRMATION_REQUIRED"),
        ({"trackIndex": 0, "name": "X", "confirm": True}, "INVALID_ARGUMENT"),
        ({"trackIndex": 0, "name": "X", "expectedRevision": 2.5, "confirm": True}, "INVALID_ARGUMENT"),
    ]:
        assert bridge.refused("POST", "/v1/tracks/rename", body)[:2] == (400, expected)
    assert bridge.track(0)["name"] == "Kick" and not bridge.commands.history


@pytest.mark.parametrize("path, body, status", [
    ("/v1/tempo", {"tempo": 39.9}, 400),
    ("/v1/tempo", {"tempo": 240.1}, 400),
    ("/v1/tempo", {"tempo": True}, 400),
    ("/v1/tracks/rename", {"trackIndex": 99, "name": "X"}, 404),
    ("/v1/tracks/rename", {"trackIndex": -1, "name": "X"}, 400),
    ("/v1/tracks/rename", {"trackIndex": 1.5, "name": "X"}, 400),
    ("/v1/tracks/rename", {"trackIndex": 0, "name": "   "}, 400),
    ("/v1/tracks/rename", {"trackIndex": 0, "name": "x" * 97}, 400),
    ("/v1/tracks/create", {"kind": "group"}, 400),
    ("/v1/tracks/create", {"kind": "midi", "index": 9}, 400),
    ("/v1/tracks/select", {"trackIndex": 8}, 404),
    ("/v1/tracks/state", {"trackIndex": 0, "field": "freeze", "enabled": True}, 400),
    ("/v1/tracks/state", {"trackIndex": 0, "field": "mute", "enabled": 1}, 400),
    ("/v1/tracks/volume", {"trackIndex": 0, "displayDb": 6.5}, 400),
    ("/v1/tracks/volume", {"trackIndex": 0, "displayDb": -70.5}, 400),
    ("/v1/tracks/send", {"trackIndex": 0, "sendIndex": 2, "displayDb": -10}, 404),
    ("/v1/tracks/send", {"trackIndex": 0, "sendIndex": 0, "displayDb": 0.5}, 400),
    ("/v1/devices/parameters", {"trackIndex": 0, "deviceIndex": 7, "parameterIndex": 0, "value": 1}, 404),
    ("/v1/devices/parameters", {"trackIndex": 0, "deviceIndex": 1, "parameterIndex": 1, "value": 1e6}, 400),
    ("/v1/devices/parameters", {"trackIndex": 0, "deviceIndex": 1, "parameterIndex": 0, "value": 0.5}, 400),
    ("/v1/clips/midi", {"trackIndex": 6, "startTime": 0, "length": 16, "notes": []}, 409),
    ("/v1/clips/midi", {"trackIndex": 4, "startTime": 0, "length": 0, "notes": []}, 400),
    ("/v1/clips/midi", {"trackIndex": 4, "startTime": 0, "length": 4,
                        "notes": [{"pitch": 41, "startTime": 4, "duration": 1}]}, 400),
    ("/v1/clips/midi", {"trackIndex": 4, "startTime": 0, "length": 4,
                        "notes": [{"pitch": 128, "startTime": 0, "duration": 1}]}, 400),
    ("/v1/clips/midi", {"trackIndex": 4, "startTime": 0, "length": 4,
                        "notes": [{"pitch": 41, "startTime": 0, "duration": 0}]}, 400),
    ("/v1/clips/midi/replace", {"trackIndex": 4, "notes": []}, 400),
    ("/v1/clips/midi/replace", {"trackIndex": 0, "notes": [{"pitch": 36, "startTime": 0, "duration": 1}]}, 409),
    ("/v1/clips/midi/replace", {"trackIndex": 4, "notes": [{"pitch": 36, "startTime": 40, "duration": 1}]}, 400),
])
def test_bad_values_and_unknown_targets_are_refused_without_change(bridge, path, body, status):
    before = bridge.get("/v1/context")
    body = dict(body, expectedRevision=bridge.revision, confirm=True)
    got, code, message = bridge.refused("POST", path, body)
    assert got == status and message
    after = bridge.get("/v1/context")
    assert after["session"]["revision"] == before["session"]["revision"]
    assert after["projectAnalysis"]["tracks"] == before["projectAnalysis"]["tracks"]
    assert after["session"]["tempo"] == before["session"]["tempo"]


def test_tempo_needs_no_confirmation(bridge):
    for tempo in (40, 240, 128.5):
        result = bridge.post("/v1/tempo", {"tempo": tempo, "expectedRevision": bridge.revision})
        assert result["tempo"] == tempo and result["undoAvailable"] is True
    assert bridge.get("/v1/session")["tempo"] == 128.5


def test_track_creation_naming_selection_and_position(bridge):
    created = bridge.change("/v1/tracks/create", kind="midi")
    assert created["trackIndex"] == 8 and created["name"] == "9-MIDI"
    inserted = bridge.change("/v1/tracks/create", kind="audio", name="Vox Lead", index=1)
    tracks = bridge.analysis()["tracks"]
    assert [track["name"] for track in tracks[:3]] == ["Kick", "Vox Lead", "Hats"]
    assert tracks[1]["isAudioTrack"] and tracks[1]["selected"] and not tracks[1]["hasContent"]
    assert tracks[1]["active"] is False and [track["index"] for track in tracks] == list(range(10))
    assert "Piste audio « Vox Lead » créée" in inserted["summary"]


def test_track_state_select_volume_send(bridge):
    bridge.change("/v1/tracks/state", trackIndex=1, field="mute", enabled=True)
    bridge.change("/v1/tracks/state", trackIndex=0, field="arm", enabled=True)
    bridge.change("/v1/tracks/volume", trackIndex=2, displayDb=-70)
    bridge.change("/v1/tracks/send", trackIndex=2, sendIndex=1, displayDb=-12.5)
    selected = bridge.change("/v1/tracks/select", trackIndex=6)
    assert selected["undoAvailable"] is False
    tracks = bridge.analysis()["tracks"]
    assert tracks[1]["muted"] and not tracks[1]["active"] and tracks[0]["armed"]
    assert tracks[2]["mixer"]["volume"]["displayValue"] == "-inf dB" and tracks[2]["mixer"]["volume"]["value"] == 0
    assert tracks[2]["mixer"]["sends"][1]["displayValue"] == "-12.5 dB"
    assert tracks[6]["selected"] and not tracks[4]["selected"]
    # The detail view follows the selection to the new track's clip.
    assert bridge.get("/v1/key-source")["track"] == "Vocal Chop"
    bridge.change("/v1/tracks/state", trackIndex=3, field="solo", enabled=True)
    active = [track["name"] for track in bridge.analysis()["tracks"] if track["active"]]
    assert active == ["Perc"]


def test_device_parameters_read_and_write(bridge):
    read = bridge.post("/v1/devices/parameters/read", {"trackIndex": 4, "deviceIndex": 1})
    assert read["name"] == "Saturator" and read["track"] == "Bass"
    drive = read["parameters"][1]
    assert (drive["name"], drive["min"], drive["max"], drive["displayValue"]) == ("Drive", -36, 36, "6.0 dB")
    kind = read["parameters"][2]
    assert kind["isQuantized"] and kind["displayValue"] == "Soft Sine"
    written = bridge.change("/v1/devices/parameters", trackIndex=4, deviceIndex=1, parameterIndex=2, value=3)
    assert written["displayValue"] == "Hard Curve" and written["undoAvailable"]
    assert bridge.post("/v1/devices/parameters/read", {"trackIndex": 4, "deviceIndex": 1})[
        "parameters"][2]["value"] == 3


def test_midi_clip_creation_opens_it(bridge):
    notes = [{"pitch": 41, "startTime": 0, "duration": 0.5, "velocity": 100},
             {"pitch": 44, "startTime": 1.5, "duration": 0.5}]
    result = bridge.change("/v1/clips/midi", trackIndex=5, startTime=16, length=16, notes=notes, name="Idea")
    assert result["noteCount"] == 2 and "mesure 5" in result["summary"]
    clip = [clip for clip in bridge.track(5)["clipDetails"] if clip["view"] == "arrangement"][0]
    assert (clip["name"], clip["startTimeBeats"], clip["endTimeBeats"], clip["selected"]) == ("Idea", 16, 32, True)
    assert bridge.get("/v1/session")["selectedTrack"] == "Chords"
    # Touching the end of the last clip is not an overlap.
    bridge.change("/v1/clips/midi", trackIndex=5, startTime=32, length=4, notes=[])


def test_replace_rewrites_the_open_clip_and_undo_brings_back_notes_and_name(bridge):
    before = bridge.get("/v1/key-source")["pitchClasses"]
    result = bridge.change("/v1/clips/midi/replace", trackIndex=4, name="Bass v2",
                           notes=[{"pitch": 32, "startTime": 0, "duration": 2}, {"pitch": 39, "startTime": 2,
                                                                                 "duration": 2}])
    assert result["noteCount"] == 2 and result["notes"][0]["velocity"] == 100
    source = bridge.get("/v1/key-source")
    assert source["clip"] == "Bass v2" and source["pitchClasses"][8] == 2 and source["pitchClasses"][3] == 2
    undone = bridge.post("/v1/undo", {"confirm": True})
    assert undone["summary"].startswith("Annulé : notes du clip")
    again = bridge.get("/v1/key-source")
    assert again["clip"] == "Rolling Bass Fm" and again["pitchClasses"] == before


def test_undo_takes_back_bridge_changes_newest_first(bridge):
    bridge.change("/v1/tracks/rename", trackIndex=0, name="Kick A")
    bridge.change("/v1/tracks/volume", trackIndex=0, displayDb=-1)
    bridge.change("/v1/tracks/create", kind="audio", name="Extra")
    bridge.post("/v1/transport/play", {})          # transport is not an undo step
    bridge.change("/v1/tracks/select", trackIndex=2)
    revision = bridge.revision
    first = bridge.post("/v1/undo", {})
    assert "Extra" in first["summary"] and first["revision"] == revision + 1 and first["undoAvailable"]
    assert len(bridge.analysis()["tracks"]) == 8 and bridge.get("/v1/session")["isPlaying"]
    second = bridge.post("/v1/undo", {})
    assert bridge.track(0)["mixer"]["volume"]["db"] == -4 and "volume" in second["summary"]
    third = bridge.post("/v1/undo", {"confirm": True})
    assert bridge.track(0)["name"] == "Kick" and third["undoAvailable"] is False
    assert bridge.refused("POST", "/v1/undo", {})[:2] == (409, "NOTHING_TO_UNDO")
    assert bridge.refused("POST", "/v1/undo", {"confirm": False})[:2] == (400, "CONFIRMATION_REQUIRED")


def test_an_undo_whose_track_the_user_deleted_fails_once_then_the_next_one_runs(bridge):
    bridge.change("/v1/tracks/rename", trackIndex=1, name="Hats A")
    bridge.change("/v1/clips/midi", trackIndex=0, startTime=0, length=4, notes=[])
    bridge.post("/v1/sim/edit", {"action": "deleteTrack", "trackIndex": 0})
    status, code, _ = bridge.refused("POST", "/v1/undo", {})
    assert (status, code) == (409, "UNDO_FAILED")
    bridge.post("/v1/undo", {})
    assert bridge.track(0)["name"] == "Hats"


def test_key_source_for_audio_points_at_a_real_wav(bridge):
    bridge.post("/v1/sim/edit", {"action": "selectClip", "trackIndex": 6, "sceneIndex": 0})
    source = bridge.get("/v1/key-source")
    assert source["kind"] == "audio" and source["clip"] == "Vox Chop Fm"
    assert source["analysisRange"] == {"startSeconds": 0, "durationSeconds": pytest.approx(16 * 60 / 124)}
    with wave.open(source["filePath"]) as audio:
        seconds = audio.getnframes() / audio.getframerate()
        assert audio.getsampwidth() == 2
        frames = audio.readframes(audio.getnframes())
    peak = max(abs(int.from_bytes(frames[i:i + 2], "little", signed=True)) for i in range(0, len(frames), 200))
    assert seconds == pytest.approx(16 * 60 / 124, abs=0.01) and peak > 10000
    assert not source["filePath"].startswith(os.path.dirname(os.path.dirname(os.path.dirname(__file__))))
    bridge.post("/v1/sim/edit", {"action": "removeClip", "trackIndex": 6, "sceneIndex": 0})
    assert bridge.refused("GET", "/v1/key-source")[:2] == (409, "NO_CLIP_SELECTED")


def test_meter_windows_gather_while_playing_and_stay_after_stop(bridge):
    bridge.change("/v1/tracks/state", trackIndex=7, field="mute", enabled=True)
    assert bridge.track(0)["meterWindow"]["samples"] == 0
    bridge.post("/v1/transport/play", {})
    time.sleep(0.45)
    analysis = bridge.analysis()
    assert analysis["isPlaying"] and analysis["currentTime"] > 0.5
    kick = analysis["tracks"][0]["meterWindow"]
    assert kick["samples"] >= 3 and kick["observedSeconds"] >= 0.3
    assert 0 < kick["maximum"] < 1 and kick["average"] <= kick["maximum"]
    assert analysis["tracks"][7]["meterWindow"]["maximum"] == 0        # muted
    master = analysis["masterTrack"]["meterWindow"]
    assert master["samples"] >= 3 and master["maximum"] > 0
    bridge.post("/v1/transport/stop", {})
    kept = bridge.analysis()["tracks"][0]["meterWindow"]
    time.sleep(0.25)
    assert bridge.analysis()["tracks"][0]["meterWindow"] == kept and kept["samples"] >= kick["samples"]
    assert bridge.post("/v1/transport/stop", {})["summary"] == "La lecture est déjà arrêtée."


def test_a_louder_fader_shows_in_the_meters(start_bridge):
    levels = []
    for db in (-24.0, 0.0):
        bridge = start_bridge()
        bridge.change("/v1/tracks/volume", trackIndex=0, displayDb=db)
        bridge.post("/v1/transport/play", {})
        time.sleep(0.6)
        levels.append(bridge.track(0)["meterWindow"]["maximum"])
    assert levels[1] > levels[0] * 10


def test_user_edits_move_the_playhead_and_change_selection(bridge):
    bridge.post("/v1/sim/edit", {"action": "movePlayhead", "time": 64})
    assert bridge.get("/v1/session")["currentTime"] == 64
    bridge.post("/v1/sim/edit", {"action": "addClip", "trackIndex": 5, "sceneIndex": 1, "length": 16,
                                 "notes": [{"pitch": 53, "startTime": 0, "duration": 4}]})
    bridge.post("/v1/sim/edit", {"action": "selectClip", "trackIndex": 5, "sceneIndex": 1})
    source = bridge.get("/v1/key-source")
    assert source["track"] == "Chords" and source["pitchClasses"][5] == 4
    assert bridge.refused("POST", "/v1/sim/edit", {"action": "explode"})[:2] == (400, "INVALID_ARGUMENT")


def test_mix_prep_reports_what_needs_attention(start_bridge):
    unsaved = start_bridge("unsaved.json")
    report = unsaved.get("/v1/analysis/mix-prep")
    assert report["counts"]["genericNames"] == 4 and report["counts"]["emptyTracks"] == 4
    assert report["readOnly"] is True
    club = start_bridge()
    club.change("/v1/tracks/volume", trackIndex=4, displayDb=4)
    report = club.get("/v1/analysis/mix-prep")
    kinds = {(finding["kind"], finding["track"]) for finding in report["findings"]}
    assert ("noDevices", "FX Riser") in kinds and ("nearFullScale", "Bass") in kinds
    assert report["summary"].startswith("Préparation au mix : 0 nom(s) générique(s)")
