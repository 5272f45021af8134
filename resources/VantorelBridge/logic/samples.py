# The sample catalogue: audio files found by filename and musical role, on
# plain files, so both backends search the same way. Callers only ever see
# opaque sample ids, never paths. Loaded inside Live, so it stays valid
# Python 3.7.
import hashlib
import os
import re
import threading
import wave

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


def wav_seconds(path):
    try:
        source = wave.open(path, "rb")
        try:
            return source.getnframes() / float(source.getframerate())
        finally:
            source.close()
    except (OSError, EOFError, wave.Error):
        return None


def sample_role(name):
    folded = " ".join(re.split(r"[^a-z0-9-]+", fold(name.replace("_", " "))))
    for role, keywords in SAMPLE_ROLE_KEYWORDS:
        if any(keyword in folded for keyword in keywords):
            return role
    return "other"


def sample_id(path):
    return hashlib.sha1(os.path.realpath(path).encode("utf-8")).hexdigest()[:24]


def tokens(text):
    found = []
    for word in re.split(r"[^a-z0-9]+", fold(text.replace("_", " "))):
        if len(word) < 2 or word.isdigit() and len(word) < 2:
            continue
        found.append(word[:-1] if len(word) > 3 and word.endswith("s") else word)
    return found


class Sample(object):
    def __init__(self, path, pack):
        self.path = path
        self.pack = pack
        self.name = os.path.splitext(os.path.basename(path))[0]
        self.id = sample_id(path)
        self.role = sample_role(self.name)
        self.name_tokens = set(tokens(self.name))
        self.pack_tokens = set(tokens(pack))
        self.seconds = wav_seconds(path) if path.lower().endswith(".wav") else None
        match = re.search(r"(\d{2,3})\s*bpm", self.name, re.IGNORECASE)
        self.bpm = float(match.group(1)) if match and 60 <= int(match.group(1)) <= 200 else None
        self.loop = "loop" in self.name.lower() or self.bpm is not None

    def to_json(self):
        return {"sampleId": self.id, "name": self.name, "role": self.role, "pack": self.pack,
                "durationSeconds": None if self.seconds is None else round(self.seconds, 3),
                "bpm": self.bpm, "kind": "loop" if self.loop else "one-shot"}


class Catalogue(object):
    """The producer's User Library/Samples folder (first 5 000 files),
    scanned once, on first use or in the background."""

    def __init__(self, user_root):
        self.user_root = user_root
        self.samples = []
        self.by_id = {}
        self.ready = False
        self._lock = threading.Lock()

    def ensure(self):
        with self._lock:
            if not self.ready:
                self._prepare()
                self.ready = True

    def _prepare(self):
        found = []
        if self.user_root and os.path.isdir(self.user_root):
            found = scan(self.user_root, "User Library")
        self.samples = found
        self.by_id = dict((sample.id, sample) for sample in found)

    def search(self, query, role, limit):
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


def scan(root, fallback_pack=None, limit=USER_FILE_LIMIT):
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
            if len(found) >= limit:
                return found
    return found
