"""Standard-library synthesis: the voices that play the simulated MIDI tracks
and render the demo audio clips and sample library, the mixdown behind a
master capture, and WAV reading and writing. Everything is deterministic:
noise comes from seeded generators, so a render is the same on every run
and can be cached by the hash of what it renders."""

from __future__ import annotations

import array
import hashlib
import json
import math
import os
import random
import sys
import tempfile
import threading
import wave

from .model import Clip, LiveSet, Track, db_to_gain

SAMPLE_RATE = 44100
# Rendered clips and library samples: plenty for key detection and listening,
# half the synthesis time of full rate.
FILE_RATE = 22050
RENDER_VERSION = "1"
TWO_PI = 2.0 * math.pi


def cache_root() -> str:
    """$XDG_CACHE_HOME/VantorelBridge when set, else a per-user folder in the
    temporary folder; never inside the package."""
    xdg = os.environ.get("XDG_CACHE_HOME", "")
    if xdg and os.path.isabs(xdg):
        root = os.path.join(xdg, "VantorelBridge")
    else:
        base = os.environ.get("TMPDIR") or tempfile.gettempdir()
        root = os.path.join(base, "VantorelBridge-cache-%d" % os.getuid())
    os.makedirs(root, mode=0o700, exist_ok=True)
    return root


def midi_frequency(pitch: float) -> float:
    return 440.0 * 2.0 ** ((pitch - 69.0) / 12.0)


# -- voices ----------------------------------------------------------------------
# Each returns a list of floats for one note: pitch, seconds held, velocity
# 0…1, sample rate. Tails ring past the held time where a real voice would.

def _envelope(n: int, attack: int, release: int, held: int) -> list[float]:
    out = []
    for i in range(n):
        if i < attack:
            level = i / max(attack, 1)
        elif i < held:
            level = 1.0
        else:
            level = max(0.0, 1.0 - (i - held) / max(release, 1))
        out.append(level)
    return out


def kick(pitch, seconds, velocity, sr):
    n = int(0.38 * sr)
    out, phase = [], 0.0
    for i in range(n):
        t = i / sr
        freq = 48.0 + 110.0 * math.exp(-t * 28.0)
        phase += TWO_PI * freq / sr
        out.append(math.sin(phase) * math.exp(-t * 7.5) * velocity)
    return out


def _noise(seed: int, n: int) -> list[float]:
    generator = random.Random(seed)
    return [generator.uniform(-1.0, 1.0) for _ in range(n)]


def hat(pitch, seconds, velocity, sr):
    open_hat = pitch in (46, 49, 51, 55, 57)
    decay = 9.0 if open_hat else 55.0
    n = int((0.35 if open_hat else 0.09) * sr)
    noise = _noise(pitch * 7919 + 1, n)
    out, previous = [], 0.0
    for i, value in enumerate(noise):
        high = value - previous          # a first difference keeps only the top end
        previous = value
        out.append(high * 0.5 * math.exp(-i / sr * decay) * velocity)
    return out


def clap(pitch, seconds, velocity, sr):
    n = int(0.22 * sr)
    noise = _noise(3911, n)
    out, low = [], 0.0
    for i, value in enumerate(noise):
        t = i / sr
        low += 0.25 * (value - low)
        band = value - low
        burst = max(math.exp(-((t - offset) * 180.0) ** 2) for offset in (0.0, 0.011, 0.022))
        tail = math.exp(-max(t - 0.022, 0.0) * 22.0) if t >= 0.022 else 0.0
        out.append(band * max(burst, tail) * 0.9 * velocity)
    return out


def snare(pitch, seconds, velocity, sr):
    n = int(0.2 * sr)
    noise = _noise(1709, n)
    out = []
    for i, value in enumerate(noise):
        t = i / sr
        body = math.sin(TWO_PI * 185.0 * t) * math.exp(-t * 30.0)
        out.append((0.55 * value * math.exp(-t * 18.0) + 0.5 * body) * velocity)
    return out


def perc(pitch, seconds, velocity, sr):
    n = int(0.18 * sr)
    base = 160.0 + (pitch % 24) * 18.0
    out, phase = [], 0.0
    for i in range(n):
        t = i / sr
        phase += TWO_PI * base * (1.0 + 0.6 * math.exp(-t * 60.0)) / sr
        out.append(math.sin(phase) * math.exp(-t * 24.0) * 0.8 * velocity)
    return out


def _saw_voice(pitch, seconds, velocity, sr, voices, cutoff, release, detune=0.0, decay=0.0):
    held = int(seconds * sr)
    tail = int(release * sr)
    n = held + tail
    env = _envelope(n, int(0.004 * sr), tail, held)
    freqs = [midi_frequency(pitch + detune * (k - (voices - 1) / 2.0)) for k in range(voices)]
    phases = [k / max(voices, 1) for k in range(voices)]
    alpha = 1.0 - math.exp(-TWO_PI * cutoff / sr)
    out, low = [], 0.0
    for i in range(n):
        value = 0.0
        for k in range(voices):
            phases[k] = (phases[k] + freqs[k] / sr) % 1.0
            value += 2.0 * phases[k] - 1.0
        low += alpha * (value / voices - low)
        shape = env[i] * (math.exp(-i / sr * decay) if decay else 1.0)
        out.append(low * shape * velocity)
    return out


def bass(pitch, seconds, velocity, sr):
    return [v * 1.6 for v in _saw_voice(pitch, seconds, velocity, sr, 1, 420.0, 0.03)]


def chords(pitch, seconds, velocity, sr):
    return [v * 0.9 for v in _saw_voice(pitch, seconds, velocity, sr, 2, 1800.0, 0.12, detune=0.12)]


def pad(pitch, seconds, velocity, sr):
    return [v * 0.8 for v in _saw_voice(pitch, seconds, velocity, sr, 3, 1200.0, 0.6, detune=0.15)]


def pluck(pitch, seconds, velocity, sr):
    return _saw_voice(pitch, seconds, velocity, sr, 1, 2600.0, 0.15, decay=6.0)


_VOWEL_TABLE_SIZE = 4096
_VOWEL_WEIGHTS = [1.0, 0.62, 0.48, 0.3, 0.18, 0.1]
_VOWEL_TABLE = [sum(weight * math.sin(TWO_PI * (k + 1) * i / _VOWEL_TABLE_SIZE)
                    for k, weight in enumerate(_VOWEL_WEIGHTS)) for i in range(_VOWEL_TABLE_SIZE)]
_SINE_TABLE = [math.sin(TWO_PI * i / _VOWEL_TABLE_SIZE) for i in range(_VOWEL_TABLE_SIZE)]


def vocal(pitch, seconds, velocity, sr):
    """A sung vowel: harmonics shaped like an open "ah", gentle vibrato."""
    held = int(seconds * sr)
    tail = int(0.06 * sr)
    n = held + tail
    env = _envelope(n, int(0.03 * sr), tail, held)
    step = midi_frequency(pitch) * _VOWEL_TABLE_SIZE / sr
    table, size = _VOWEL_TABLE, _VOWEL_TABLE_SIZE
    phase = 0.0
    out = []
    for i in range(n):
        t = i / sr
        phase = (phase + step * (1.0 + 0.006 * _SINE_TABLE[int(5.2 * t * size) % size]
                                 * min(1.0, t * 4.0))) % size
        out.append(table[int(phase)] * 0.38 * env[i] * velocity)
    return out


def riser(pitch, seconds, velocity, sr):
    """Noise opening up with a rising tone, louder towards its end."""
    n = int(seconds * sr)
    noise = _noise(pitch * 31 + 5, n)
    out, low, phase = [], 0.0, 0.0
    size, table = _VOWEL_TABLE_SIZE, _SINE_TABLE
    block = 64
    for begin in range(0, n, block):
        # Filter and pitch move slowly: updating them per block is inaudible.
        progress = begin / max(n - 1, 1)
        alpha = 1.0 - math.exp(-TWO_PI * 200.0 * (40.0 ** progress) / sr)
        step = midi_frequency(pitch + 24.0 * progress) * size / sr
        level = (0.15 + 0.85 * progress ** 2) * velocity
        for value in noise[begin:begin + block]:
            low += alpha * (value - low)
            phase = (phase + step) % size
            out.append((0.7 * low + 0.25 * table[int(phase)]) * level)
    return out


def impact(pitch, seconds, velocity, sr):
    n = int(1.6 * sr)
    noise = _noise(977, n)
    out, phase = [], 0.0
    for i, value in enumerate(noise):
        t = i / sr
        phase += TWO_PI * (38.0 + 60.0 * math.exp(-t * 6.0)) / sr
        out.append((math.sin(phase) * math.exp(-t * 2.5) + 0.3 * value * math.exp(-t * 5.0))
                   * 0.8 * velocity)
    return out


def sine(pitch, seconds, velocity, sr):
    held = int(seconds * sr)
    tail = int(0.05 * sr)
    env = _envelope(held + tail, int(0.005 * sr), tail, held)
    step = TWO_PI * midi_frequency(pitch) / sr
    return [math.sin(step * i) * 0.6 * env[i] * velocity for i in range(held + tail)]


def drum_kit(pitch, seconds, velocity, sr):
    if pitch in (35, 36):
        return kick(pitch, seconds, velocity, sr)
    if pitch in (38, 40):
        return snare(pitch, seconds, velocity, sr)
    if pitch == 39:
        return clap(pitch, seconds, velocity, sr)
    if pitch in (42, 44, 46, 49, 51, 55, 57):
        return hat(pitch, seconds, velocity, sr)
    return perc(pitch, seconds, velocity, sr)


VOICES = {"kick": kick, "hat": hat, "clap": clap, "snare": snare, "percussion": perc,
          "perc": perc, "drums": drum_kit, "bass": bass, "chords": chords, "harmony": chords,
          "stab": chords, "pad": pad, "music": pad, "lead": pluck, "pluck": pluck,
          "vocal": vocal, "fx": riser, "riser": riser, "impact": impact, "sine": sine}
# How loud each voice sits before the fader, so the demo mix is balanced.
VOICE_LEVEL = {"kick": 0.9, "hat": 0.35, "clap": 0.5, "snare": 0.5, "percussion": 0.4, "perc": 0.4,
               "drums": 0.7, "bass": 0.55, "chords": 0.3, "harmony": 0.3, "stab": 0.3, "pad": 0.25,
               "music": 0.25, "lead": 0.3, "pluck": 0.3, "vocal": 0.35, "fx": 0.35, "riser": 0.35,
               "impact": 0.5, "sine": 0.3}


class VoiceCache:
    """Identical notes (a four-on-the-floor kick) are synthesised once."""

    def __init__(self, limit=512):
        self.limit = limit
        self.buffers: dict[tuple, list[float]] = {}

    def get(self, instrument: str, pitch: int, seconds: float, velocity: float, sr: int):
        key = (instrument, pitch, round(seconds, 3), round(velocity, 2), sr)
        buffer = self.buffers.get(key)
        if buffer is None:
            voice = VOICES.get(instrument, sine)
            buffer = voice(pitch, max(seconds, 0.01), velocity, sr)
            if len(self.buffers) >= self.limit:
                self.buffers.clear()
            self.buffers[key] = buffer
        return buffer


def mix_into(target: list[float], source: list[float], offset: int, gain: float = 1.0) -> None:
    if offset >= len(target) or offset + len(source) <= 0:
        return
    begin = max(offset, 0)
    skip = begin - offset
    end = min(len(target), offset + len(source))
    target[begin:end] = [a + b * gain for a, b in zip(target[begin:end], source[skip:skip + end - begin])]


def render_events(instrument: str, events, samples: int, sr: int, cache: VoiceCache) -> list[float]:
    """events: (start seconds, pitch, held seconds, velocity 0…1)."""
    out = [0.0] * samples
    for start, pitch, seconds, velocity in events:
        mix_into(out, cache.get(instrument, pitch, seconds, velocity, sr), int(round(start * sr)))
    return out


# -- WAV files ------------------------------------------------------------------

def write_wav(path: str, channels: list[list[float]], sr: int = SAMPLE_RATE) -> None:
    """16-bit PCM, written to a temporary file and renamed into place."""
    frames = len(channels[0]) if channels else 0
    pcm = array.array("h", bytes(2 * frames * len(channels)))
    width = len(channels)
    for c, channel in enumerate(channels):
        for i, value in enumerate(channel):
            value = -1.0 if value < -1.0 else (1.0 if value > 1.0 else value)
            pcm[i * width + c] = int(round(value * 32767))
    if pcm.itemsize != 2:
        raise RuntimeError("16-bit samples need a 2-byte array type")
    if sys.byteorder == "big":
        pcm.byteswap()
    folder = os.path.dirname(path)
    os.makedirs(folder, exist_ok=True)
    handle, temporary = tempfile.mkstemp(prefix=".render-", suffix=".wav", dir=folder)
    os.close(handle)
    try:
        with wave.open(temporary, "wb") as out:
            out.setnchannels(width)
            out.setsampwidth(2)
            out.setframerate(sr)
            out.writeframes(pcm.tobytes())
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise


def read_wav_mono(path: str) -> tuple[list[float], int]:
    """16-bit PCM WAV as mono floats; anything else reads as silence."""
    try:
        with wave.open(path, "rb") as source:
            width, count, sr = source.getsampwidth(), source.getnchannels(), source.getframerate()
            raw = source.readframes(source.getnframes())
    except (OSError, EOFError, wave.Error):
        return [], SAMPLE_RATE
    if width != 2 or count < 1:
        return [], sr
    pcm = array.array("h")
    pcm.frombytes(raw[: len(raw) - len(raw) % 2])
    if sys.byteorder == "big":
        pcm.byteswap()
    if count == 1:
        return [value / 32768.0 for value in pcm], sr
    return [sum(pcm[i:i + count]) / (32768.0 * count) for i in range(0, len(pcm) - count + 1, count)], sr


def wav_seconds(path: str) -> float | None:
    try:
        with wave.open(path, "rb") as source:
            return source.getnframes() / float(source.getframerate())
    except (OSError, EOFError, wave.Error):
        return None


# -- rendered audio clips -----------------------------------------------------------

def render_path(render: dict, tempo: float, folder: str) -> str:
    key = json.dumps({"render": render, "tempo": tempo, "version": RENDER_VERSION}, sort_keys=True)
    digest = hashlib.sha1(key.encode("utf-8")).hexdigest()[:16]
    slug = "".join(ch if ch.isalnum() else "-" for ch in str(render.get("name", "clip"))).strip("-")
    return os.path.join(folder, "%s-%s.wav" % (slug or "clip", digest))


def render_to_file(render: dict, tempo: float, path: str, sr: int = FILE_RATE) -> str:
    """A render: {"instrument", "lengthBeats", "notes": [[pitch, start, duration, velocity]…]}
    played at `tempo` into a mono WAV."""
    with _RENDERING:
        if not os.path.isfile(path):
            _render(render, tempo, path, sr)
    return path


_RENDERING = threading.Lock()


def _render(render: dict, tempo: float, path: str, sr: int) -> None:
    beat = 60.0 / tempo
    length = float(render.get("lengthBeats", 16.0))
    instrument = str(render.get("instrument", "sine"))
    events = []
    for item in render.get("notes", []):
        pitch, start, duration = int(item[0]), float(item[1]), float(item[2])
        velocity = (float(item[3]) if len(item) > 3 else 100.0) / 127.0
        events.append((start * beat, pitch, duration * beat, velocity))
    samples = int(round(length * beat * sr))
    cache = VoiceCache()
    out = render_events(instrument, events, samples, sr, cache)
    level = float(render.get("level", 0.8))
    peak = max((abs(value) for value in out), default=0.0)
    if peak > 0:
        out = [value * level / peak for value in out]
    write_wav(path, [out], sr)


# -- the mixdown of a master capture -----------------------------------------------

def track_voice(track: Track, role: str) -> str:
    if track.instrument in VOICES:
        return track.instrument
    return role if role in VOICES else "sine"


def _segments(live: LiveSet, track: Track, begin: float, end: float):
    """(clip, song beat where its content cycle starts, from, to) for what the
    track plays between two song positions."""
    if live.launched_scene is not None:
        clip = track.slots[live.launched_scene] if live.launched_scene < len(track.slots) else None
        if clip is not None:
            yield clip, 0.0, begin, end, True
        return
    for clip in track.arrangement:
        lo, hi = max(begin, clip.start), min(end, clip.end)
        if lo < hi:
            yield clip, clip.start, lo, hi, clip.looping


def midi_events(clip: Clip, origin: float, lo: float, hi: float, looping: bool):
    """Song-beat note events of a clip between lo and hi."""
    length = clip.content_length
    cycle = math.floor((lo - origin) / length) if looping else 0
    cycle = max(cycle, 0)
    while True:
        cycle_start = origin + cycle * length
        if cycle_start >= hi:
            break
        for note in clip.notes:
            if note.mute or not clip.loop_start <= note.start < clip.loop_end:
                continue
            at = cycle_start + note.start - clip.loop_start
            if lo <= at < hi:
                held = min(note.duration, clip.loop_end - note.start)
                yield at, note, held
        if not looping:
            break
        cycle += 1


def render_mix(live: LiveSet, roles: list[str], start_beats: float, bars: int,
               sr: int = SAMPLE_RATE, cancelled=lambda: False) -> tuple[list[float], list[float]]:
    """The master of the set over `bars` bars from `start_beats`: MIDI tracks
    synthesised, audio clips mixed, faders, pans, mutes and solos applied.
    Each clip is rendered once per loop cycle and tiled, as it repeats."""
    beats = bars * live.beats_per_bar
    end = start_beats + beats
    beat_seconds = 60.0 / live.tempo
    per_beat = beat_seconds * sr
    frames = int(round(beats * per_beat))
    left, right = [0.0] * frames, [0.0] * frames
    soloing = any(track.solo for track in live.tracks)
    cache = VoiceCache()
    files: dict = {}
    for track, role in zip(live.tracks, roles):
        if cancelled():
            break
        if track.temporary or not track.holds_clips or track.mute or (soloing and not track.solo):
            continue
        gain = db_to_gain(track.volume_db) * db_to_gain(live.master.volume_db)
        if gain <= 0:
            continue
        mono = [0.0] * frames
        voice = track_voice(track, role)
        cycles: dict[int, list[float]] = {}
        for clip, origin, lo, hi, looping in _segments(live, track, start_beats, end):
            if id(clip) not in cycles:
                cycles[id(clip)] = _clip_cycle(clip, voice, looping, live.tempo, sr, cache, files)
            cycle = cycles[id(clip)]
            if not cycle:
                continue
            first = max(int(round((lo - start_beats) * per_beat)), 0)
            last = min(frames, int(round((hi - start_beats) * per_beat)))
            position = int(round((start_beats + first / per_beat - origin) * per_beat))
            while first < last:
                if looping:
                    position %= len(cycle)
                elif position >= len(cycle):
                    break
                piece = cycle[position:position + (last - first)]
                mix_into(mono, piece, first)
                first += len(piece)
                position += len(piece)
        pan_angle = (track.pan + 1.0) * math.pi / 4.0
        left_gain = gain * math.cos(pan_angle) * math.sqrt(2)
        right_gain = gain * math.sin(pan_angle) * math.sqrt(2)
        left[:] = [a + m * left_gain for a, m in zip(left, mono)]
        right[:] = [a + m * right_gain for a, m in zip(right, mono)]
    return left, right


def _clip_cycle(clip: Clip, voice: str, looping: bool, tempo: float, sr: int, cache: VoiceCache,
                files: dict) -> list[float]:
    """One pass of the clip's loop at the song tempo; tails that ring past
    the loop end wrap to its start, as they would when it repeats."""
    per_beat = 60.0 / tempo * sr
    count = int(round(clip.content_length * per_beat))
    if count <= 0:
        return []
    out = [0.0] * count
    if clip.kind == "midi":
        level = VOICE_LEVEL.get(voice, 0.3)
        for note in clip.notes:
            if note.mute or not clip.loop_start <= note.start < clip.loop_end:
                continue
            held = min(note.duration, clip.loop_end - note.start)
            buffer = cache.get(voice, note.pitch, held * 60.0 / tempo, note.velocity / 127.0, sr)
            offset = int(round((note.start - clip.loop_start) * per_beat))
            mix_into(out, buffer, offset, level)
            if looping and offset + len(buffer) > count:
                mix_into(out, buffer[count - offset:], 0, level)
        return out
    if not clip.file or not os.path.isfile(clip.file):
        return []
    if clip.file not in files:
        files[clip.file] = read_wav_mono(clip.file)
    samples, file_sr = files[clip.file]
    if len(samples) < 2:
        return []
    gain = db_to_gain(clip.gain_db)
    # Warped clips follow the song tempo; unwarped ones play at their own speed.
    content_rate = clip.file_tempo if clip.warp else tempo
    step = (60.0 / content_rate * file_sr) / per_beat       # file samples per output sample
    begin = clip.loop_start * 60.0 / content_rate * file_sr
    limit = len(samples) - 1
    for i in range(count):
        position = begin + i * step
        index = int(position)
        if index >= limit:
            break
        fraction = position - index
        out[i] = (samples[index] + (samples[index + 1] - samples[index]) * fraction) * gain
    return out
