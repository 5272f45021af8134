"""What the simulator lets the clients' tests play: injected replies, slow
paths and Live opening another set."""

import threading
import time

import pytest


def test_injected_replies_answer_the_next_requests_of_their_path_in_order_then_it_runs_again(bridge):
    rename = {"trackIndex": 0, "name": "Kick Main", "confirm": True}
    bridge.post("/v1/sim/fail-next", {"path": "/v1/tracks/rename", "status": 409, "code": "LIVE_BUSY",
                                      "message": "Live est occupé."})
    queued = bridge.post("/v1/sim/fail-next", {"path": "/v1/tracks/rename", "status": 200, "code": "X",
                                               "message": "Refus avec un statut 200."})
    assert queued["pending"] == 2
    before = bridge.revision
    for expected in [(409, "LIVE_BUSY", "Live est occupé."), (200, "X", "Refus avec un statut 200.")]:
        assert bridge.refused("POST", "/v1/tracks/rename", dict(rename, expectedRevision=before)) == expected
    # Nothing ran, and other paths were never touched.
    assert bridge.revision == before and bridge.track(0)["name"] == "Kick"
    bridge.post("/v1/tempo", {"tempo": 125, "expectedRevision": before})
    assert bridge.change("/v1/tracks/rename", trackIndex=0, name="Kick Main")["name"] == "Kick Main"


def test_an_injected_result_stands_for_capture_status_and_cleanup(bridge):
    start = bridge.change("/v1/master-capture/start", bars=1, startTime=0)
    job = {"jobId": start["jobId"], "confirm": True}
    failed = {"jobId": start["jobId"], "status": "failed", "error": {"message": "Le disque est plein."}}
    bridge.post("/v1/sim/fail-next", {"path": "/v1/master-capture/status", "result": failed})
    bridge.post("/v1/sim/fail-next", {"path": "/v1/master-capture/cleanup", "code": "CAPTURE_RUNNING",
                                      "message": "Nettoyage refusé."})
    assert bridge.post("/v1/master-capture/status", job) == failed
    assert bridge.refused("POST", "/v1/master-capture/cleanup", job) == (409, "CAPTURE_RUNNING",
                                                                         "Nettoyage refusé.")
    assert bridge.post("/v1/master-capture/status", job)["temporaryTrackPresent"] is True
    assert bridge.post("/v1/master-capture/cleanup", job)["temporaryTrackRemoved"] is True


@pytest.mark.parametrize("body, field", [
    ({"path": "tracks/rename", "code": "X", "message": "m"}, "path"),
    ({"path": "/v1/tracks/rename", "message": "m"}, "code"),
    ({"path": "/v1/tracks/rename", "code": "X", "message": "m", "status": 600}, "status"),
    ({"path": "/v1/tracks/rename", "result": [1]}, "result"),
])
def test_malformed_injections_are_refused_and_queue_nothing(bridge, body, field):
    status, code, message = bridge.refused("POST", "/v1/sim/fail-next", body)
    assert (status, code) == (400, "INVALID_ARGUMENT") and field in message
    assert bridge.change("/v1/tracks/rename", trackIndex=0, name="Kick Main")["name"] == "Kick Main"


def test_a_delayed_path_answers_late_without_holding_up_the_others(bridge):
    bridge.post("/v1/sim/delay", {"path": "/v1/context", "seconds": 1.5, "times": 1})
    finished = {}

    def slow():
        began = time.monotonic()
        bridge.get("/v1/context")
        finished["context"] = time.monotonic() - began

    thread = threading.Thread(target=slow)
    thread.start()
    time.sleep(0.1)
    bridge.get("/v1/session")
    assert "context" not in finished, "the session answered while the context waited"
    thread.join(5)
    assert finished["context"] >= 1.5
    began = time.monotonic()
    bridge.get("/v1/context")
    assert time.monotonic() - began < 1.5, "times 1 delays one request only"


def test_loading_another_set_switches_project_moves_the_revision_and_forgets_undo(bridge):
    bridge.change("/v1/tracks/rename", trackIndex=0, name="Kick Main")
    before = bridge.revision
    bridge.post("/v1/sim/edit", {"action": "loadSet", "path": "unsaved"})
    session = bridge.get("/v1/session")
    assert session["project"] == "Live Set sans nom" and session["revision"] > before
    assert session["undoAvailable"] is False
    assert bridge.refused("POST", "/v1/undo", {})[1] == "NOTHING_TO_UNDO"
    bridge.post("/v1/sim/edit", {"action": "loadSet", "path": "finished.json"})
    assert bridge.get("/v1/session")["project"] != "Live Set sans nom"
    status, code, message = bridge.refused("POST", "/v1/sim/edit", {"action": "loadSet", "path": "nowhere"})
    assert (status, code) == (400, "INVALID_ARGUMENT") and "nowhere" in message
    assert bridge.get("/v1/session")["project"] != "Live Set sans nom"
