"""The simulated set's side of the role guess (see logic/roles.py): the facts
of a simulated track."""

from __future__ import annotations

from ..logic.roles import (DRUM_DEVICES, FAMILY_COLOURS, KEYWORDS, LABELS, PALETTE, TrackFacts, fold,  # noqa: F401
                           is_generic, role_from_text, words)
from ..logic import roles as _roles
from .model import Track


def facts(track: Track) -> TrackFacts:
    clips = track.clips()
    return TrackFacts(
        track.kind, track.name,
        clips=[(clip.name, clip.file.rsplit("/", 1)[-1].rsplit(".", 1)[0] if clip.file else None,
                str(clip.render.get("instrument", "")) if clip.render else None) for clip in clips],
        notes=[note for clip in clips if clip.kind == "midi" for note in clip.notes],
        devices=[(device.class_name, device.name) for device in track.devices],
        instrument=track.instrument, has_content=track.has_content())


def infer_role(track: Track) -> str:
    return _roles.infer_role(facts(track))


def organised_names(tracks: list[Track], roles: list[str]) -> list[str]:
    return _roles.organised_names([track.name for track in tracks], roles)
