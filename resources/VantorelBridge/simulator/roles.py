"""What each track is for: a role guessed from its name, its clips' names and
files, its devices and the statistics of its MIDI notes, in that order of
trust. The analysis reports it, organisation renames and colours by it and
the arrangement builder chooses layers by it."""

from __future__ import annotations

import re
import unicodedata

from .model import Clip, Track

# (role, phrases matched anywhere, words matched whole). Order matters:
# "bass drum" is a kick, "hat loop" is a hat.
KEYWORDS = [
    ("kick", ["kick", "bass drum", "bassdrum", "grosse caisse"], ["bd", "kik"]),
    ("clap", ["clap"], []),
    ("snare", ["snare", "rimshot"], ["sd", "rim"]),
    ("hat", ["hihat", "hi-hat", "hi hat", "hat", "shaker", "cymbal"], ["hh", "oh", "ch", "ride"]),
    ("percussion", ["perc", "conga", "bongo", "tamb", "cowbell", "clave"], ["tom", "toms"]),
    ("drums", ["drum", "breakbeat", "top loop", "toploop"], ["beat", "kit"]),
    ("bass", ["bass", "basse", "reese"], ["sub", "808"]),
    ("vocal", ["vocal", "voice", "voix", "acapella", "chant"], ["vox", "vo"]),
    ("fx", ["riser", "impact", "sweep", "uplifter", "downlifter", "transition", "noise", "whoosh",
            "reverse"], ["fx", "sfx", "crash"]),
    ("lead", ["lead", "pluck", "melod", "hook"], ["arp"]),
    ("harmony", ["chord", "accord", "pad", "keys", "piano", "stab", "organ", "string", "rhodes"], []),
    ("music", ["music", "synth", "texture", "atmo", "ambien", "loop"], []),
]
DRUM_DEVICES = {"DrumGroupDevice", "DrumRack", "Impulse"}
KICK_PITCHES = {35, 36}
SNARE_PITCHES = {38, 40}
CLAP_PITCHES = {39}
HAT_PITCHES = {42, 44, 46, 49, 51, 52, 53, 55, 57, 59}
DRUM_MAP = set(range(35, 82))

# Family colours: (Live colour index, RGB). Drums warm, bass purple,
# harmony green, lead yellow, vocals pink, effects blue.
FAMILY_COLOURS = {
    "kick": (14, 0xE8453C), "clap": (2, 0xF0643A), "snare": (2, 0xF0643A), "hat": (3, 0xF58A33),
    "percussion": (4, 0xF5A623), "drums": (14, 0xE8453C), "bass": (24, 0x8F5BE8),
    "harmony": (17, 0x3DBE6B), "music": (18, 0x2FAF9C), "lead": (8, 0xF2D43D),
    "vocal": (35, 0xE85BB8), "fx": (27, 0x3D8CF0), "unknown": (13, 0x9A9A9A),
}
PALETTE = {index: rgb for index, rgb in FAMILY_COLOURS.values()}
LABELS = {
    "kick": "Kick", "clap": "Clap", "snare": "Snare", "hat": "Hats", "percussion": "Perc",
    "drums": "Drums", "bass": "Bass", "harmony": "Chords", "music": "Music", "lead": "Lead",
    "vocal": "Vocal", "fx": "FX", "unknown": "Misc",
}
GENERIC_NAME = re.compile(r"^(audio|midi|track|piste|group|groupe|return|retour)[ _-]*\d*$")
NUMBER_PREFIX = re.compile(r"^\d{1,3}[ ._-]+")


def fold(text: str) -> str:
    decomposed = unicodedata.normalize("NFKD", text)
    return "".join(ch for ch in decomposed if not unicodedata.combining(ch)).lower()


def words(text: str) -> list[str]:
    spaced = re.sub(r"([a-z])([A-Z])", r"\1 \2", text)
    return [word for word in re.split(r"[^a-z0-9]+", fold(spaced)) if word]


def role_from_text(text: str) -> str | None:
    if not text:
        return None
    folded = " ".join(words(text))
    tokens = set(folded.split())
    for role, phrases, whole in KEYWORDS:
        if any(phrase in folded for phrase in phrases) or tokens.intersection(whole):
            return role
    return None


# Live's own default names ("1-MIDI", "3-Audio") are generic too.
LIVE_DEFAULT_NAME = re.compile(r"^\d+[ _-]*(audio|midi)$")


def is_generic(name: str) -> bool:
    folded = name.strip().lower()
    return bool(GENERIC_NAME.match(folded) or LIVE_DEFAULT_NAME.match(folded))


def note_statistics(clips: list[Clip]) -> dict:
    notes = [note for clip in clips if clip.kind == "midi" for note in clip.notes if not note.mute]
    if not notes:
        return {"count": 0}
    pitches = sorted(note.pitch for note in notes)
    # Polyphony: the most notes starting together.
    starts: dict[float, int] = {}
    for note in notes:
        key = round(note.start, 3)
        starts[key] = starts.get(key, 0) + 1
    return {
        "count": len(notes),
        "pitches": set(pitches),
        "median": pitches[len(pitches) // 2],
        "polyphony": max(starts.values()),
        "meanDuration": sum(note.duration for note in notes) / len(notes),
    }


def role_from_notes(stats: dict, drum_device: bool) -> str | None:
    if not stats.get("count"):
        return None
    pitches = stats["pitches"]
    drum_like = drum_device or (pitches <= DRUM_MAP and stats["meanDuration"] <= 0.3
                                and len(pitches) <= 6 and stats["median"] >= 35)
    if drum_like:
        if pitches <= KICK_PITCHES:
            return "kick"
        if pitches <= CLAP_PITCHES:
            return "clap"
        if pitches <= SNARE_PITCHES:
            return "snare"
        if pitches <= HAT_PITCHES:
            return "hat"
        if not pitches & (KICK_PITCHES | SNARE_PITCHES | CLAP_PITCHES | HAT_PITCHES):
            return "percussion"
        return "drums"
    if stats["polyphony"] >= 3:
        return "harmony"
    if stats["median"] < 52:
        return "bass"
    if stats["median"] >= 60:
        return "lead"
    return "music"


def infer_role(track: Track) -> str:
    """The track's role among the thirteen the planner knows."""
    if track.kind not in ("midi", "audio"):
        return "unknown"
    name = NUMBER_PREFIX.sub("", track.name)
    role = None if is_generic(name) else role_from_text(name)
    if role:
        return role
    clips = track.clips()
    for clip in clips:
        role = role_from_text(clip.name) if not is_generic(clip.name) else None
        if not role and clip.file:
            role = role_from_text(clip.file.rsplit("/", 1)[-1].rsplit(".", 1)[0])
        if not role and clip.render:
            role = role_from_text(str(clip.render.get("instrument", "")))
        if role:
            return role
    drum_device = any(device.class_name in DRUM_DEVICES for device in track.devices)
    role = role_from_notes(note_statistics(clips), drum_device)
    if role:
        return role
    if drum_device:
        return "drums"
    for device in track.devices:
        role = role_from_text(device.name)
        if role and role != "drums":
            return role
    if track.instrument:
        return role_from_text(track.instrument) or "unknown"
    return "music" if track.kind == "audio" and track.has_content() else "unknown"


def organised_names(tracks: list[Track], roles: list[str]) -> list[str]:
    """Clear numbered names: position, then the role's label, with a running
    number when a role repeats ("05 Perc 2"). Unknown tracks keep their own
    words unless those are generic."""
    totals: dict[str, int] = {}
    for role in roles:
        totals[role] = totals.get(role, 0) + 1
    seen: dict[str, int] = {}
    names = []
    for position, (track, role) in enumerate(zip(tracks, roles)):
        seen[role] = seen.get(role, 0) + 1
        if role == "unknown":
            own = NUMBER_PREFIX.sub("", track.name).strip()
            label = own if own and not is_generic(own) else LABELS["unknown"]
        else:
            label = LABELS[role]
        if totals[role] > 1 and role != "unknown":
            label = "%s %d" % (label, seen[role])
        names.append("%02d %s" % (position + 1, label))
    return names
