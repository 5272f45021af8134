"""The demo sets: each loads, and each is what the demo says it is."""

import json
import math
import os
import re

import pytest

from conftest import SETS
from VantorelBridge.simulator import model

GENERIC = re.compile(r"^(audio|midi|track|piste|group|groupe|return|retour)[ _-]*\d*$")


def stages_met(analysis):
    """Stages 1-5 as the app's milestone engine reads the analysis."""
    tracks = analysis["tracks"]
    active = [t for t in tracks if t["active"]]
    content = [t for t in tracks if t["hasContent"] or t["clips"] >= 1]
    bars = max((c["lengthBeats"] / analysis["beatsPerBar"] for t in tracks for c in t["clipDetails"]), default=0)
    names = [t["name"].lower() for t in active]
    role_of = [t["inferredRole"] for t in active]
    kick = any(w in n for n in names for w in ("kick", "bd")) or "kick" in role_of
    bass = any(w in n for n in names for w in ("bass", "sub")) or "bass" in role_of
    perc = any(w in n for n in names for w in ("drum", "perc", "hat", "clap")) or \
        bool({"drums", "percussion", "hat", "clap", "snare"} & set(role_of))
    transitions = [t for t in active if any(w in t["name"].lower() for w in ("fx", "riser", "sweep"))]
    automated = [t for t in active if t["automationObserved"]]
    metered = lambda w: w["samples"] >= 2 and w["observedSeconds"] > 0
    master = analysis["masterTrack"]["meterWindow"]
    sections = analysis["sectionCountFromLocators"]
    return [
        bool(content),
        len(active) >= 4 and bars >= 8 and kick and bass and perc,
        analysis["arrangementLengthBars"] >= 64 and sections >= 4,
        len(transitions) + len(automated) >= 1 and sections >= 2,
        all(t["devices"] for t in active) and all(metered(t["meterWindow"]) for t in active)
        and metered(master) and master["maximum"] < 1.0,
    ]


@pytest.mark.parametrize("name", sorted(os.listdir(SETS)))
def test_every_shipped_set_loads_and_serves(start_bridge, name):
    bridge = start_bridge(name)
    context = bridge.get("/v1/context")
    assert context["session"]["project"]
    json.dumps(context, allow_nan=False)


def test_club_loop_is_an_f_minor_tech_house_loop_without_arrangement(bridge):
    analysis = bridge.analysis()
    assert analysis["projectScale"] == "F Minor" and 120 <= analysis["tempo"] <= 128
    assert analysis["arrangementLengthBars"] == 0 and stages_met(analysis)[:2] == [True, True]
    kinds = [(t["name"], t["kind"]) for t in analysis["tracks"]]
    assert ("Vocal Chop", "audio") in kinds and ("FX Riser", "audio") in kinds and ("Bass", "midi") in kinds
    with_devices = [t for t in analysis["tracks"] if t["devices"]]
    assert len(with_devices) >= len(analysis["tracks"]) - 2


def test_finished_set_meets_the_first_five_stages(start_bridge):
    analysis = start_bridge("finished.json").analysis()
    assert stages_met(analysis) == [True] * 5
    headroom = -20 * math.log10(analysis["masterTrack"]["meterWindow"]["maximum"])
    assert headroom >= 6
    assert not [t for t in analysis["tracks"] if GENERIC.match(t["name"].strip().lower())]
    assert all(t["hasContent"] and not t["muted"] for t in analysis["tracks"])


def test_unsaved_set_is_empty_and_unnamed(start_bridge):
    analysis = start_bridge("unsaved.json").analysis()
    assert analysis["project"] == "Live Set sans nom"
    assert stages_met(analysis)[0] is False and not any(t["hasContent"] for t in analysis["tracks"])


@pytest.mark.parametrize("broken, words", [
    ({"tracks": [{"name": "A", "kind": "midi", "clips": [{"length": 4}]}]}, "more clips than"),
    ({"scenes": ["1"], "tracks": [{"name": "A", "kind": "audio", "clips": [{"length": 4}]}]}, "file or a render"),
    ({"scenes": ["1"], "tracks": [{"name": "A", "kind": "midi", "clips": [{"length": 4, "notes": [[200, 0, 1]]}]}]},
     "outside MIDI range"),
    ({"signature": "5/3"}, "signature"),
    ({"tempo": "fast"}, "tempo"),
    ({"launchedScene": 2}, "launchedScene"),
    ({"tracks": [{"name": "G", "kind": "group", "arrangement": [{"start": 0, "length": 4}]}]}, "cannot hold"),
])
def test_set_files_with_mistakes_are_refused_with_the_place(broken, words):
    with pytest.raises(model.SetFileError, match=words):
        model.from_dict(broken)
