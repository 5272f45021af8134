"""Arrangement, organisation, clip variations, sample library, master capture."""

import array
import math
import os
import time
import wave

import pytest

from VantorelBridge.logic import evolve
from VantorelBridge.simulator.model import Note

ROLE_NAMES = {"kick", "clap", "snare", "hat", "percussion", "drums", "bass", "harmony", "music", "lead",
              "vocal", "fx", "unknown"}


def section(name, bars, *phases):
    return {"name": name, "bars": bars, "phaseRoles": [list(phase) for phase in phases]}


def arrangement_clips(analysis):
    return [(track["name"], clip) for track in analysis["tracks"] for clip in track["clipDetails"]
            if clip["view"] == "arrangement"]


# -- arrangement ------------------------------------------------------------------------------

@pytest.mark.parametrize("body, status, code", [
    ({"sourceSceneIndex": 5}, 404, "NOT_FOUND"),
    ({"sections": []}, 400, "INVALID_ARGUMENT"),
    ({"sections": [section("Intro", 12, ["kick"])]}, 400, "INVALID_ARGUMENT"),
    ({"sections": [section("Intro", 16, ["kick"])]}, 400, "INVALID_ARGUMENT"),
    ({"sections": [section("Intro", 8, ["kick", "cowbell"])]}, 400, "INVALID_ARGUMENT"),
    ({"sections": [{"name": "Intro", "bars": 8}]}, 400, "INVALID_ARGUMENT"),
    ({"sections": [section("Long", 2048, *[["kick"]] * 256)]}, 400, "INVALID_ARGUMENT"),
])
def test_arrangement_precheck_refuses_invalid_requests(bridge, body, status, code):
    assert bridge.refused("POST", "/v1/arrangement/plan", body)[:2] == (status, code)
    build = dict(body, expectedRevision=bridge.revision, confirm=True)
    assert bridge.refused("POST", "/v1/arrangement/build", build)[:2] == (status, code)
    assert arrangement_clips(bridge.analysis()) == []


def test_arrangement_needs_a_source_loop(start_bridge):
    empty = start_bridge("unsaved.json")
    status, code, message = empty.refused("POST", "/v1/arrangement/plan", {})
    assert (status, code) == (409, "NO_SOURCE_LOOP") and "Session" in message
    club = start_bridge()
    plan = club.post("/v1/arrangement/plan", {"sourceSceneIndex": 1})
    assert plan["sourceSceneIndex"] == 1 and plan["totalBars"] == 128 and "revision" in plan


def test_club_build_writes_128_bars_of_phases_with_locators_and_undoes_in_one_step(bridge):
    revision = bridge.revision
    result = bridge.change("/v1/arrangement/build")
    assert result["revision"] == revision + 1 and result["undoAvailable"] is True
    assert result["arrangementStart"] == 0 and "128 mesures" in result["summary"]
    analysis = bridge.analysis()
    assert analysis["arrangementLengthBars"] == 128 and analysis["sectionCountFromLocators"] == 8
    assert [locator["name"] for locator in analysis["locators"]] == [
        "Intro", "Groove", "Build 1", "Drop 1", "Break", "Build 2", "Drop 2", "Outro"]
    assert [locator["bar"] for locator in analysis["locators"]] == [1, 17, 33, 41, 65, 81, 89, 113]
    clips = arrangement_clips(analysis)
    # Every 8-bar phase has something playing, and only the roles it names.
    by_phase = {}
    for name, clip in clips:
        assert clip["lengthBeats"] == 32 and clip["startTimeBeats"] % 32 == 0
        by_phase.setdefault(clip["startTimeBeats"] // 32, set()).add(name)
    assert sorted(by_phase) == list(range(16))
    assert by_phase[0] == {"Kick", "Hats"}
    assert by_phase[8] == {"Chords", "Vocal Chop", "FX Riser"}      # the break
    assert "Vocal Chop" not in by_phase[6] and "Vocal Chop" in by_phase[5]
    # The drops rotate through the B variations where a track has them.
    kick_names = {clip["name"] for name, clip in clips if name == "Kick"}
    assert kick_names == {"Kick 4x4", "Kick 4x4 B"}
    undone = bridge.post("/v1/undo", {})
    assert undone["summary"].startswith("Annulé : arrangement club")
    analysis = bridge.analysis()
    assert arrangement_clips(analysis) == [] and analysis["locators"] == []


def test_build_with_sections_appends_after_existing_content(bridge):
    bridge.change("/v1/clips/midi", trackIndex=5, startTime=0, length=30, notes=[])
    sections = [section("Intro", 16, ["kick", "hat"], ["kick", "hat", "bass"]),
                section("Drop", 8, ["kick", "bass", "lead"]), section("Outro", 8, ["vocal"])]
    assert bridge.post("/v1/arrangement/plan", {"sections": sections})["arrangementStart"] == 32
    result = bridge.change("/v1/arrangement/build", sections=sections, sourceSceneIndex=0)
    assert result["arrangementStart"] == 32 and result["totalBars"] == 32
    analysis = bridge.analysis()
    assert analysis["arrangementLengthBars"] == 8 + 32
    starts = {clip["startTimeBeats"]: set() for _, clip in arrangement_clips(analysis)}
    for name, clip in arrangement_clips(analysis):
        starts[clip["startTimeBeats"]].add(name)
    assert starts[0] == {"Chords"}                                 # the producer's own clip stays
    assert starts[32] == {"Kick", "Hats"} and starts[64] == {"Kick", "Hats", "Bass"}
    assert starts[96] == {"Kick", "Bass"} and starts[128] == {"Vocal Chop"}
    assert [(l["name"], l["time"]) for l in analysis["locators"]] == [("Intro", 32), ("Drop", 96), ("Outro", 128)]


def test_a_phase_whose_roles_are_absent_carries_the_previous_layers(bridge):
    sections = [section("Intro", 8, ["kick"]), section("Break", 8, ["snare"])]
    bridge.change("/v1/arrangement/build", sections=sections)
    names = {name for name, clip in arrangement_clips(bridge.analysis()) if clip["startTimeBeats"] == 32}
    assert names == {"Kick"}


# -- organisation ------------------------------------------------------------------------------

def test_organize_names_generic_tracks_by_role_and_colours_them(start_bridge):
    bridge = start_bridge("unsaved.json")
    bridge.post("/v1/sim/edit", {"action": "addClip", "trackIndex": 0, "sceneIndex": 0, "length": 4,
                                 "notes": [{"pitch": 36, "startTime": b, "duration": 0.25} for b in range(4)]})
    bridge.post("/v1/sim/edit", {"action": "addClip", "trackIndex": 1, "sceneIndex": 0, "length": 8,
                                 "notes": [{"pitch": 29 + (b % 3) * 3, "startTime": b + 0.5, "duration": 0.4}
                                           for b in range(8)]})
    result = bridge.change("/v1/workflows/organize")
    assert [(c["before"], c["after"], c["role"]) for c in result["changes"][:2]] == [
        ("1-MIDI", "01 Kick", "kick"), ("2-MIDI", "02 Bass", "bass")]
    tracks = bridge.analysis()["tracks"]
    assert tracks[0]["color"] != tracks[1]["color"]
    assert tracks[0]["clipDetails"][0]["color"] == tracks[0]["color"]


def test_roles_come_from_names_then_clips_then_devices_then_notes(start_bridge):
    bridge = start_bridge()
    for index, name in enumerate(["Audio 1", "MIDI 2", "Track", "3-MIDI", "5-MIDI", "6-MIDI", "7-Audio", "8"]):
        bridge.post("/v1/sim/edit", {"action": "rename", "trackIndex": index, "name": name})
    roles = [track["inferredRole"] for track in bridge.analysis()["tracks"]]
    # Clip names still tell Kick, Hats, Clap, Perc, Bass and Chords; the audio clips' names tell the rest.
    assert roles == ["kick", "hat", "clap", "percussion", "bass", "harmony", "vocal", "fx"]
    assert set(roles) <= ROLE_NAMES


# -- clip variations ------------------------------------------------------------------------------

@pytest.mark.parametrize("style", ["creative", "variation", "groove", "humanize"])
def test_evolve_keeps_the_pitches_is_deterministic_and_undoable(start_bridge, style):
    results = []
    for _ in range(2):
        bridge = start_bridge()
        before = bridge.get("/v1/key-source")
        original = [note.to_json() for note in bridge.backend.live.detail_clip.notes]
        result = bridge.change("/v1/clips/midi/evolve", trackIndex=4, style=style)
        results.append(result["notes"])
        notes = result["notes"]
        assert notes and {n["pitch"] for n in notes} <= {29, 32, 36, 39, 41}
        assert all(0 <= n["startTime"] < 32 and n["duration"] > 0 and 1 <= n["velocity"] <= 127 for n in notes)
        assert notes != original
        bridge.post("/v1/undo", {})
        assert bridge.get("/v1/key-source") == dict(before, revision=bridge.revision)
    assert results[0] == results[1]


def test_evolve_styles_change_what_they_promise():
    notes = [Note(36 + (i % 2) * 3, i * 0.25, 0.2, 100) for i in range(16)]
    by_style = {style: evolve.evolve(notes, style, 0.0, 4.0) for style in evolve.STYLES}
    original = [(n.pitch, n.start, n.velocity) for n in notes]
    for style, result in by_style.items():
        assert [(n.pitch, n.start, n.velocity) for n in result] != original, style
    swung = [n for n in by_style["groove"] if abs(n.start - 0.295) < 1e-6]
    assert swung and swung[0].velocity < 100
    humanized = by_style["humanize"]
    assert len(humanized) == 16 and max(abs(a.start - b.start) for a, b in zip(humanized, notes)) < 0.02


def test_evolve_refusals(bridge):
    assert bridge.refused("POST", "/v1/clips/midi/evolve", {
        "trackIndex": 4, "style": "funky", "expectedRevision": bridge.revision, "confirm": True})[:2] == (
        400, "INVALID_ARGUMENT")
    assert bridge.refused("POST", "/v1/clips/midi/evolve", {
        "trackIndex": 0, "style": "groove", "expectedRevision": bridge.revision, "confirm": True})[:2] == (
        409, "NO_OPEN_CLIP")
    bridge.change("/v1/clips/midi", trackIndex=4, startTime=0, length=4, notes=[])
    assert bridge.refused("POST", "/v1/clips/midi/evolve", {
        "trackIndex": 4, "style": "groove", "expectedRevision": bridge.revision, "confirm": True})[:2] == (
        409, "EMPTY_CLIP")


# -- samples -------------------------------------------------------------------------------------------

def test_search_finds_a_kick_by_role_with_opaque_ids(bridge):
    found = bridge.post("/v1/samples/search", {"query": "tight tech house kick", "role": "kick", "limit": 2})
    assert found["count"] == 2 and found["results"][0]["name"] == "WTH_Kick_Tight_01"
    for sample in found["results"]:
        assert sample["role"] == "kick" and len(sample["sampleId"]) == 24
        assert all(not str(value).startswith("/") for value in sample.values())
        assert 0 < sample["durationSeconds"] < 1
    by_words = bridge.post("/v1/samples/search", {"query": "riser"})
    assert by_words["results"] and all("Riser" in s["name"] for s in by_words["results"])
    assert bridge.post("/v1/samples/search", {"query": "zzzz"})["count"] == 0
    for body in ({"limit": 0}, {"limit": 41}, {"role": "Kick"}, {"query": "x" * 201}):
        assert bridge.refused("POST", "/v1/samples/search", body)[:2] == (400, "INVALID_ARGUMENT")


def test_import_by_id_places_a_new_audio_track_and_undoes(bridge):
    kick = bridge.post("/v1/samples/search", {"role": "kick", "limit": 1})["results"][0]
    result = bridge.change("/v1/samples/import", sampleId=kick["sampleId"], startTime=64, trackName="Kick Top")
    assert result["trackIndex"] == 8 and result["undoAvailable"]
    track = bridge.track(8)
    assert track["name"] == "Kick Top" and track["isAudioTrack"] and track["selected"]
    clip = track["clipDetails"][0]
    assert clip["startTimeBeats"] == 64 and clip["view"] == "arrangement" and os.path.isfile(clip["filePath"])
    bridge.post("/v1/undo", {})
    assert len(bridge.analysis()["tracks"]) == 8


def test_import_by_request_picks_the_best_match_for_the_role(bridge):
    result = bridge.change("/v1/samples/import", query="Rallonge l’intro et ajoute un riser", role="fx",
                           startTime=160)
    assert "Riser" in result["sample"]["name"] and result["startTime"] == 160
    assert result["lengthBeats"] >= 16      # a loop keeps its bars at the set's tempo
    for body, status in [({"sampleId": "0" * 24, "startTime": 0}, 404), ({"sampleId": "XYZ", "startTime": 0}, 400),
                         ({"startTime": 0}, 400), ({"query": "kick", "startTime": -1}, 400),
                         ({"query": "qqqq", "startTime": 0}, 404)]:
        body.update(expectedRevision=bridge.revision, confirm=True)
        assert bridge.refused("POST", "/v1/samples/import", body)[0] == status, body


# -- master capture -----------------------------------------------------------------------------------

def wait_for(bridge, job, statuses=("ready", "failed"), limit=30):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        status = bridge.post("/v1/master-capture/status", {"jobId": job})
        if status["status"] in statuses:
            return status
        assert 0 <= status["progress"] <= 1
        time.sleep(0.03)
    raise AssertionError("capture did not finish")


def read_capture(path):
    with wave.open(path) as audio:
        shape = (audio.getnchannels(), audio.getframerate(), audio.getsampwidth())
        seconds = audio.getnframes() / audio.getframerate()
        samples = array.array("h")
        samples.frombytes(audio.readframes(audio.getnframes()))
    rms = math.sqrt(sum(s * s for s in samples[::7]) / len(samples[::7])) / 32768
    return shape, seconds, rms


def test_capture_records_a_real_wav_of_the_mix_and_cleans_up(bridge):
    start = bridge.change("/v1/master-capture/start", bars=2, startTime=0)
    job = start["jobId"]
    assert len(job) == 39 and job.startswith("master_") and int(job[7:], 16) >= 0 and job == job.lower()
    assert start["undoAvailable"] is False
    names = [track["name"] for track in bridge.analysis()["tracks"]]
    assert names[-1] == "__Vantorel Master Listen — temporary__"
    ready = wait_for(bridge, job)
    assert ready["status"] == "ready" and ready["progress"] == 1
    shape, seconds, rms = read_capture(ready["filePath"])
    assert shape == (2, 44100, 2) and seconds == pytest.approx(2 * 4 * 60 / 124, abs=0.01) and rms > 0.02
    assert bridge.get("/v1/session")["isPlaying"] is False
    cleaned = bridge.change("/v1/master-capture/cleanup", jobId=job)
    assert cleaned["temporaryTrackRemoved"] is True and len(bridge.analysis()["tracks"]) == 8
    assert bridge.change("/v1/master-capture/cleanup", jobId=job)["temporaryTrackRemoved"] is True


def test_capture_level_follows_the_faders(start_bridge):
    levels = []
    for db in (0.0, -70.0):
        bridge = start_bridge()
        for index in range(8):
            if index != 4:
                bridge.change("/v1/tracks/state", trackIndex=index, field="mute", enabled=True)
        bridge.change("/v1/tracks/volume", trackIndex=4, displayDb=db)
        job = bridge.change("/v1/master-capture/start", bars=1, startTime=0)["jobId"]
        levels.append(read_capture(wait_for(bridge, job)["filePath"])[2])
    assert levels[0] > 0.01 and levels[1] == 0


def test_capture_refusals_and_cancel(bridge):
    for body, code in [({"bars": 0, "startTime": 0}, "INVALID_ARGUMENT"), ({"bars": 33, "startTime": 0},
                       "INVALID_ARGUMENT"), ({"bars": 2}, "INVALID_ARGUMENT"),
                       ({"bars": 2, "startTime": 0, "confirm": False}, "CONFIRMATION_REQUIRED")]:
        body = dict({"expectedRevision": bridge.revision, "confirm": True}, **body)
        assert bridge.refused("POST", "/v1/master-capture/start", body)[1] == code
    bridge.post("/v1/transport/play", {})
    assert bridge.refused("POST", "/v1/master-capture/start", {
        "bars": 2, "startTime": 0, "expectedRevision": bridge.revision, "confirm": True})[:2] == (
        409, "TRANSPORT_PLAYING")
    bridge.post("/v1/transport/stop", {})
    bridge.change("/v1/tracks/state", trackIndex=2, field="arm", enabled=True)
    bridge.backend.capture_speed = 0.5
    job = bridge.change("/v1/master-capture/start", bars=8, startTime=16)["jobId"]
    running = bridge.post("/v1/master-capture/status", {"jobId": job})
    assert running["status"] == "recording" and bridge.get("/v1/session")["isPlaying"]
    assert not bridge.track(2)["armed"]
    assert bridge.refused("POST", "/v1/master-capture/start", {
        "bars": 2, "startTime": 0, "expectedRevision": bridge.revision, "confirm": True})[1] == "CAPTURE_RUNNING"
    cancelled = bridge.change("/v1/master-capture/cancel", jobId=job)
    assert cancelled["temporaryTrackRemoved"] and cancelled["status"] == "cancelled"
    session = bridge.get("/v1/session")
    assert not session["isPlaying"] and len(session["tracks"]) == 8 and bridge.track(2)["armed"]
    assert bridge.refused("POST", "/v1/master-capture/status", {"jobId": "master_" + "0" * 32})[:2] == (
        404, "NOT_FOUND")
    assert bridge.refused("POST", "/v1/master-capture/status", {"jobId": "master_ABC"})[:2] == (
        400, "INVALID_ARGUMENT")
    assert bridge.refused("POST", "/v1/master-capture/cancel", {"jobId": job})[1] == "CONFIRMATION_REQUIRED"
