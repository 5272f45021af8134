"""Building an Arrangement from a source loop in the simulated set (the
layout itself is logic/arrangement.py): the source scene's clips copied onto
the tracks of each phase's roles, after whatever the Arrangement already
holds, with one locator per section."""

from __future__ import annotations

from ..logic import arrangement as layout_logic
from ..logic.arrangement import CLUB_TEMPLATE, PHASE_BARS  # noqa: F401
from .model import Clip, LiveSet, Locator


def _has_content(live: LiveSet, index: int, scene: int) -> bool:
    track = live.tracks[index]
    if track.temporary or not track.holds_clips or scene >= len(track.slots):
        return False
    clip = track.slots[scene]
    return clip is not None and clip.has_content()


def source_scene(live: LiveSet, requested: int | None) -> int:
    return layout_logic.source_scene(
        len(live.scenes), lambda scene: any(_has_content(live, index, scene) for index in range(len(live.tracks))),
        live.selected_scene, requested)


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
    sources = [index for index in range(len(live.tracks)) if _has_content(live, index, scene)]
    return {"sourceSceneIndex": scene, "sections": sections,
            "phases": layout_logic.phases(sources, roles, sections),
            "totalBars": sum(section["bars"] for section in sections), "sourceTracks": sources}


def build(live: LiveSet, roles: list[str], sections, requested):
    """Writes the arrangement; returns (layout, created clips with their
    tracks, created locators, start in beats)."""
    layout = plan(live, roles, sections, requested)
    bar = live.beats_per_bar
    start = layout_logic.arrangement_start(live.arrangement_end(), bar)
    scene = layout["sourceSceneIndex"]
    variations = {index: _variations(live, index, scene) for index in layout["sourceTracks"]}
    created = []
    for index, variation, position in layout_logic.placements(
            layout["phases"], {index: len(clips) for index, clips in variations.items()}, start, PHASE_BARS * bar):
        clip = variations[index][variation].as_arrangement(position, PHASE_BARS * bar)
        track = live.tracks[index]
        track.arrangement.append(clip)
        created.append((track, clip))
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
