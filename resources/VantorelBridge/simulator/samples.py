"""The sample library: a catalogue of audio files found by filename and
musical role. The simulator generates a small library of one-shots and
loops named as commercial packs name them, and adds the producer's own
User Library/Samples folder when there is one. Callers only ever see opaque
sample ids, never paths."""

from __future__ import annotations

import hashlib
import os
import re
import threading

from . import synth
from .roles import fold

AUDIO_EXTENSIONS = (".wav", ".aif", ".aiff", ".flac", ".mp3", ".ogg")
USER_FILE_LIMIT = 5000

# The sample roles and their filename keywords, tried in this order.
SAMPLE_ROLE_KEYWORDS = [
    ("kick", ["kick", "bass drum"]),
    ("clap", ["clap", "snare", "rim"]),
    ("hat", ["hi-hat", "hihat", "hat", "shaker"]),
    ("percussion", ["percussion", "perc", "conga", "bongo"]),
    ("bass", ["bass", "basse", "sub"]),
    ("chords", ["chord", "accord", "keys", "piano", "stab"]),
    ("lead", ["lead", "pluck", "arp"]),
    ("vocal", ["vocal", "voix", "vox", "acapella"]),
    ("fx", ["fx", "riser", "impact", "transition", "sweep"]),
    ("loop", ["loop", "boucle"]),
]

F_MINOR = [41, 44, 48, 51, 53, 56, 60, 63]


def _bar(beats, pitch, step=1.0, duration=0.2, velocity=110, offset=0.0):
    return [[pitch, offset + i * step, duration, velocity] for i in range(int(beats / step))]


# (pack, file stem, instrument, length in beats, notes)
LIBRARY = [
    ("Warehouse Tech House", "WTH_Kick_Tight_01", "kick", 1, [[36, 0, 0.25, 120]]),
    ("Warehouse Tech House", "WTH_Kick_Deep_02", "kick", 1, [[35, 0, 0.3, 110]]),
    ("Warehouse Tech House", "WTH_Clap_Dry_01", "clap", 1, [[39, 0, 0.2, 115]]),
    ("Warehouse Tech House", "WTH_Hat_Closed_01", "hat", 0.5, [[42, 0, 0.1, 100]]),
    ("Warehouse Tech House", "WTH_Hat_Open_02", "hat", 1, [[46, 0, 0.4, 100]]),
    ("Warehouse Tech House", "WTH_Perc_Conga_01", "perc", 1, [[50, 0, 0.2, 105]]),
    ("Warehouse Tech House", "WTH_Top_Loop_124bpm", "drums", 8,
     _bar(8, 42, 0.5, 0.1, 90, 0.5) + _bar(8, 37, 2.0, 0.1, 80, 1.75)),
    ("Warehouse Tech House", "WTH_Shaker_Loop_124bpm", "hat", 4, _bar(4, 42, 0.25, 0.05, 70)),
    ("Warehouse Tech House", "WTH_Bass_Loop_Rolling_Fmin_124bpm", "bass", 8,
     [[29 + (12 if i % 4 == 3 else 0), i * 0.5 + 0.5, 0.3, 110] for i in range(16)]),
    ("Deep Minimal Essentials", "DME_Kick_Sub_01", "kick", 1, [[36, 0, 0.35, 115]]),
    ("Deep Minimal Essentials", "DME_Rim_Short_01", "perc", 0.5, [[37, 0, 0.1, 100]]),
    ("Deep Minimal Essentials", "DME_Chord_Stab_Fmin", "chords", 2,
     [[53, 0, 0.5, 100], [56, 0, 0.5, 100], [60, 0, 0.5, 100], [63, 0, 0.5, 100]]),
    ("Deep Minimal Essentials", "DME_Keys_Loop_Fmin_124bpm", "chords", 8,
     [[p, s, 1.5, 90] for s in (0.0, 4.0) for p in (53, 56, 60)]),
    ("Deep Minimal Essentials", "DME_Lead_Pluck_Loop_Fmin_124bpm", "pluck", 4,
     [[F_MINOR[(i * 3) % 8] + 12, i * 0.5, 0.25, 100] for i in range(8)]),
    ("Festival FX Toolkit", "FFX_Riser_White_Noise_8bar_124bpm", "riser", 32, [[60, 0, 32, 110]]),
    ("Festival FX Toolkit", "FFX_Riser_Tonal_4bar_124bpm", "riser", 16, [[65, 0, 16, 110]]),
    ("Festival FX Toolkit", "FFX_Impact_Boom_01", "impact", 4, [[36, 0, 1, 120]]),
    ("Festival FX Toolkit", "FFX_Sweep_Down_01", "riser", 4, [[72, 0, 4, 90]]),
    ("Vocal Chops Vol 1", "VC1_Vocal_Chop_Hey_Fmin", "vocal", 1, [[65, 0, 0.4, 110]]),
    ("Vocal Chops Vol 1", "VC1_Vox_Phrase_Ahh_Fmin_124bpm", "vocal", 8,
     [[65, 0, 1.5, 100], [68, 2, 1.0, 95], [72, 4, 1.5, 100], [70, 6, 1.5, 90]]),
]
LIBRARY_TEMPO = 124.0
_PREPARING = threading.Lock()


def sample_role(name: str) -> str:
    folded = " ".join(re.split(r"[^a-z0-9-]+", fold(name.replace("_", " "))))
    for role, keywords in SAMPLE_ROLE_KEYWORDS:
        if any(keyword in folded for keyword in keywords):
            return role
    return "other"


def sample_id(path: str) -> str:
    return hashlib.sha1(os.path.realpath(path).encode("utf-8")).hexdigest()[:24]


def tokens(text: str) -> list[str]:
    found = []
    for word in re.split(r"[^a-z0-9]+", fold(text.replace("_", " "))):
        if len(word) < 2 or word.isdigit() and len(word) < 2:
            continue
        found.append(word[:-1] if len(word) > 3 and word.endswith("s") else word)
    return found


class Sample:
    def __init__(self, path: str, pack: str):
        self.path = path
        self.pack = pack
        self.name = os.path.splitext(os.path.basename(path))[0]
        self.id = sample_id(path)
        self.role = sample_role(self.name)
        self.name_tokens = set(tokens(self.name))
        self.pack_tokens = set(tokens(pack))
        self.seconds = synth.wav_seconds(path) if path.lower().endswith(".wav") else None
        match = re.search(r"(\d{2,3})\s*bpm", self.name, re.IGNORECASE)
        self.bpm = float(match.group(1)) if match and 60 <= int(match.group(1)) <= 200 else None
        self.loop = "loop" in self.name.lower() or self.bpm is not None

    def to_json(self) -> dict:
        return {"sampleId": self.id, "name": self.name, "role": self.role, "pack": self.pack,
                "durationSeconds": None if self.seconds is None else round(self.seconds, 3),
                "bpm": self.bpm, "kind": "loop" if self.loop else "one-shot"}


class SampleLibrary:
    def __init__(self, generated_root: str, user_root: str | None):
        self.generated_root = generated_root
        self.user_root = user_root
        self.samples: list[Sample] = []
        self.by_id: dict[str, Sample] = {}
        self.ready = False

    def ensure(self) -> None:
        """Generates the bundled library (once per cache folder) and scans
        the folders, on first use: most sessions never search."""
        with _PREPARING:
            if not self.ready:
                self._prepare()
                self.ready = True

    def _prepare(self) -> None:
        for pack, stem, instrument, beats, notes in LIBRARY:
            path = os.path.join(self.generated_root, pack, stem + ".wav")
            render = {"name": stem, "instrument": instrument, "lengthBeats": beats,
                      "notes": notes, "level": 0.7}
            synth.render_to_file(render, LIBRARY_TEMPO, path)
        found = self._scan(self.generated_root, None)
        if self.user_root and os.path.isdir(self.user_root):
            found.extend(self._scan(self.user_root, "User Library"))
        self.samples = found
        self.by_id = {sample.id: sample for sample in found}

    def _scan(self, root: str, fallback_pack: str | None) -> list[Sample]:
        found = []
        for folder, subfolders, files in os.walk(root):
            subfolders[:] = sorted(name for name in subfolders if not name.startswith("."))
            relative = os.path.relpath(folder, root)
            pack = fallback_pack or relative.split(os.sep)[0]
            if fallback_pack and relative != ".":
                pack = relative.split(os.sep)[0]
            for name in sorted(files):
                if name.startswith(".") or not name.lower().endswith(AUDIO_EXTENSIONS):
                    continue
                found.append(Sample(os.path.join(folder, name), pack))
                if len(found) >= USER_FILE_LIMIT:
                    return found
        return found

    def search(self, query: str, role: str | None, limit: int) -> list[tuple[float, Sample]]:
        self.ensure()
        words = tokens(query)
        scored = []
        for sample in self.samples:
            if role is not None and sample.role != role:
                continue
            score = 0.0
            for word in words:
                if word in sample.name_tokens:
                    score += 3.0
                elif len(word) >= 4 and any(token.startswith(word) or word.startswith(token)
                                            for token in sample.name_tokens if len(token) >= 4):
                    score += 2.0
                elif word in sample.pack_tokens:
                    score += 1.0
            if role is None and words and score == 0:
                continue
            scored.append((score, sample))
        scored.sort(key=lambda item: (-item[0], item[1].loop, item[1].name.lower()))
        return scored[:limit]
