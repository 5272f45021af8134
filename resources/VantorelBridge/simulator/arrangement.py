"""Building an Arrangement from a source loop: one 8-bar phase at a time,
each phase naming the roles that play, the source scene's clips copied onto
the tracks of those roles, appended after whatever the Arrangement already
holds, with one locator per section."""

from __future__ import annotations

from ..protocol import refusal
from .model import Clip, LiveSet, Locator

ALL = ["kick", "clap", "snare", "hat", "percussion", "drums", "bass", "harmony", "music", "lead",
       "vocal", "fx", "unknown"]
ALL_WITHOUT_VOCAL = [role for role in ALL if role != "vocal"]
GROOVE = ["kick", "clap", "snare", "hat", "percussion", "drums", "bass", "harmony", "music"]
BUILD_1 = ["kick", "hat", "percussion", "drums", "harmony", "music", "lead", "vocal", "fx"]
BUILD = ["kick", "hat", "percussion", "harmony", "music", "lead", "vocal", "fx"]
BREAK = ["harmony", "music", "lead", "vocal", "fx"]
BUILD_2 = ["hat", "percussion", "harmony", "music", "lead", "vocal", "fx"]
OUTRO_A = ["kick", "clap", "hat", "percussion", "drums", "bass", "fx"]
OUTRO_B = ["kick", "hat", "percussion", "drums", "fx"]

# The club template: 128 bars, about four minutes at 128 BPM.
CLUB_TEMPLATE = [
    {"name": "Intro", "bars": 16, "phaseRoles": [["kick", "hat"],
                                                 ["kick", "clap", "hat", "percussion", "drums"]]},
    {"name": "Groove", "bars": 16, "phaseRoles": [["kick", "clap", "hat", "percussion", "drums", "bass"],
                                                  GROOVE]},
    {"name": "Build 1", "bars": 8, "phaseRoles": [BUILD_1]},
    {"name": "Drop 1", "bars": 24, "phaseRoles": [ALL, ALL_WITHOUT_VOCAL, ALL]},
    {"name": "Break", "bars": 16, "phaseRoles": [BREAK, BUILD_2]},
    {"name": "Build 2", "bars": 8, "phaseRoles": [BUILD]},
    {"name": "Drop 2", "bars": 24, "phaseRoles": [ALL, ALL_WITHOUT_VOCAL, ALL]},
    {"name": "Outro", "bars": 16, "phaseRoles": [OUTRO_A, OUTRO_B]},
]
PHASE_BARS = 8


def source_scene(live: LiveSet, requested: int | None) -> int:
    """The scene holding the source loop: the one asked for, else the
    selected scene when it has clips, else the first scene with clips."""
    if requested is not None:
        if requested >= len(live.scenes):
            raise refusal("scene_missing", index=requested, count=len(live.scenes))
        if not _scene_clips(live, requested):
            raise refusal("no_source_scene", scene=requested + 1)
        return requested
    if live.selected_scene < len(live.scenes) and _scene_clips(live, live.selected_scene):
        return live.selected_scene
    for index in range(len(live.scenes)):
        if _scene_clips(live, index):
            return index
    raise refusal("no_source_loop")


def _scene_clips(live: LiveSet, scene: int) -> list[tuple[int, Clip]]:
    found = []
    for index, track in enumerate(live.tracks):
        if track.temporary or not track.holds_clips or scene >= len(track.slots):
            continue
        clip = track.slots[scene]
        if clip is not None and clip.has_content():
            found.append((index, clip))
    return found


def _variations(live: LiveSet, track_index: int, scene: int) -> list[Clip]:
    """The source clip first, then the track's other session clips of the
    same kind: builds rotate through them across repeated phases."""
    track = live.tracks[track_index]
    first = track.slots[scene]
    others = [clip for position, clip in enumerate(track.slots)
              if clip is not None and position != scene and clip.has_content()]
    return [first] + others


def plan(live: LiveSet, roles: list[str], sections: list[dict] | None, requested: int | None) -> dict:
    scene = source_scene(live, requested)
    sections = sections or CLUB_TEMPLATE
    sources = _scene_clips(live, scene)
    phases = []
    previous: list[int] = []
    for section in sections:
        for phase_roles in section["phaseRoles"]:
            wanted = set(phase_roles)
            chosen = [index for index, _ in sources if roles[index] in wanted]
            if not chosen:
                # Never a silent phase: carry the previous layers on, or the
                # whole loop when the first phase finds none of its roles.
                chosen = previous or [index for index, _ in sources]
            phases.append((section["name"], chosen))
            previous = chosen
    total_bars = sum(section["bars"] for section in sections)
    return {"sourceSceneIndex": scene, "sections": sections, "phases": phases,
            "totalBars": total_bars, "sourceTracks": [index for index, _ in sources]}


def build(live: LiveSet, roles: list[str], sections, requested):
    """Writes the arrangement; returns (layout, created clips with their
    tracks, created locators, start in beats)."""
    layout = plan(live, roles, sections, requested)
    bar = live.beats_per_bar
    end = live.arrangement_end()
    start = -(-end // bar) * bar if end > 0 else 0.0
    phase_beats = PHASE_BARS * bar
    created = []
    rotation: dict[int, int] = {}
    position = start
    for _, track_indices in layout["phases"]:
        for index in track_indices:
            variations = _variations(live, index, layout["sourceSceneIndex"])
            # Rotate only once a layer has played its source twice.
            count = rotation.get(index, 0)
            rotation[index] = count + 1
            source = variations[(count // 2) % len(variations)] if len(variations) > 1 else variations[0]
            clip = source.as_arrangement(position, phase_beats)
            track = live.tracks[index]
            track.arrangement.append(clip)
            created.append((track, clip))
        position += phase_beats
    for track in live.tracks:
        track.arrangement.sort(key=lambda clip: clip.start)
    locators = []
    at = start
    for section in layout["sections"]:
        locator = Locator(section["name"], at)
        live.locators.append(locator)
        locators.append(locator)
        at += section["bars"] * bar
    live.locators.sort(key=lambda locator: locator.time)
    return layout, created, locators, start
