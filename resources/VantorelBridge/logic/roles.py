# What each track is for: a role guessed from its name, its clips' names and
# files, its devices and the statistics of its MIDI notes, in that order of
# trust. The analysis reports it, organisation renames and colours by it and
# the arrangement builder chooses layers by it. Works on plain facts so both
# backends share it. Loaded inside Live, so it stays valid Python 3.7.
import re
import unicodedata

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


def fold(text):
    decomposed = unicodedata.normalize("NFKD", text)
    return "".join(ch for ch in decomposed if not unicodedata.combining(ch)).lower()


def words(text):
    spaced = re.sub(r"([a-z])([A-Z])", r"\1 \2", text)
    return [word for word in re.split(r"[^a-z0-9]+", fold(spaced)) if word]


def role_from_text(text):
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


def is_generic(name):
    folded = name.strip().lower()
    return bool(GENERIC_NAME.match(folded) or LIVE_DEFAULT_NAME.match(folded))



class TrackFacts(object):
    """What the role guess reads of one track. `clips` holds, per clip in
    order, (name, file stem or None, instrument hint or None); `notes` the
    notes of its MIDI clips; `devices` (class name, name) pairs."""

    def __init__(self, kind, name, clips=(), notes=(), devices=(), instrument="", has_content=False):
        self.kind = kind
        self.name = name
        self.clips = list(clips)
        self.notes = list(notes)
        self.devices = list(devices)
        self.instrument = instrument or ""
        self.has_content = has_content


def note_statistics(notes):
    notes = [note for note in notes if not note.mute]
    if not notes:
        return {"count": 0}
    pitches = sorted(note.pitch for note in notes)
    # Polyphony: the most notes starting together.
    starts = {}
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

def role_from_notes(stats, drum_device):
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


def infer_role(facts):
    """The track's role among the thirteen the planner knows."""
    if facts.kind not in ("midi", "audio"):
        return "unknown"
    name = NUMBER_PREFIX.sub("", facts.name)
    role = None if is_generic(name) else role_from_text(name)
    if role:
        return role
    for clip_name, file_stem, instrument in facts.clips:
        role = role_from_text(clip_name) if not is_generic(clip_name) else None
        if not role and file_stem:
            role = role_from_text(file_stem)
        if not role and instrument:
            role = role_from_text(instrument)
        if role:
            return role
    drum_device = any(class_name in DRUM_DEVICES for class_name, _ in facts.devices)
    role = role_from_notes(note_statistics(facts.notes), drum_device)
    if role:
        return role
    if drum_device:
        return "drums"
    for _, device_name in facts.devices:
        role = role_from_text(device_name)
        if role and role != "drums":
            return role
    if facts.instrument:
        return role_from_text(facts.instrument) or "unknown"
    return "music" if facts.kind == "audio" and facts.has_content else "unknown"


def organised_names(names, roles):
    """Clear numbered names: position, then the role's label, with a running
    number when a role repeats ("05 Perc 2"). Unknown tracks keep their own
    words unless those are generic."""
    totals = {}
    for role in roles:
        totals[role] = totals.get(role, 0) + 1
    seen = {}
    result = []
    for position, (name, role) in enumerate(zip(names, roles)):
        seen[role] = seen.get(role, 0) + 1
        if role == "unknown":
            own = NUMBER_PREFIX.sub("", name).strip()
            label = own if own and not is_generic(own) else LABELS["unknown"]
        else:
            label = LABELS[role]
        if totals[role] > 1 and role != "unknown":
            label = "%s %d" % (label, seen[role])
        result.append("%02d %s" % (position + 1, label))
    return result
