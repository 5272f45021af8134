# Rewrites of a MIDI clip's notes that keep its pitches: humanize (timing
# and velocity drift), groove (swing and accents), variation (a second half
# that answers the first) and creative (a new rhythm over the same pitches).
# Each is deterministic: the same clip and style give the same notes. Loaded
# inside Live, so it stays valid Python 3.7.
import hashlib
import random

from .notes import Note

SIXTEENTH = 0.25
MAX_NOTES = 512


def _rng(notes, style):
    key = style + "|" + ";".join("%d,%.4f,%.4f,%d" % (n.pitch, n.start, n.duration, n.velocity)
                                 for n in notes)
    return random.Random(int(hashlib.sha1(key.encode("utf-8")).hexdigest()[:12], 16))


def _clamp_velocity(value):
    return float(max(1, min(127, int(round(value)))))


def _fit(notes, loop_start, loop_end):
    fitted = []
    for note in notes:
        if not loop_start <= note.start < loop_end:
            continue
        note.duration = max(0.01, min(note.duration, loop_end - note.start))
        note.velocity = _clamp_velocity(note.velocity)
        fitted.append(note)
    fitted.sort(key=lambda n: (n.start, n.pitch))
    # Two notes of one pitch starting together would be one note in Live.
    unique, seen = [], set()
    for note in fitted:
        key = (note.pitch, round(note.start, 4))
        if key not in seen:
            seen.add(key)
            unique.append(note)
    return unique[:MAX_NOTES]


def humanize(notes, loop_start, loop_end, rng):
    out = []
    for note in notes:
        twin = note.copy()
        twin.start = max(loop_start, twin.start + rng.uniform(-0.018, 0.018))
        twin.velocity = twin.velocity * rng.uniform(0.88, 1.06)
        twin.duration *= rng.uniform(0.94, 1.04)
        out.append(twin)
    return out


def groove(notes, loop_start, loop_end, rng):
    out = []
    for note in notes:
        twin = note.copy()
        step = round((twin.start - loop_start) / SIXTEENTH)
        on_grid = abs((twin.start - loop_start) - step * SIXTEENTH) < 0.02
        if on_grid and step % 2 == 1:
            twin.start += 0.045               # swing the off-beat sixteenths (≈ 59 %)
            twin.velocity *= 0.8
        elif on_grid and step % 4 == 0:
            twin.velocity = twin.velocity * 1.08 + 4
        out.append(twin)
    # Ghost notes: quiet repeats of the busiest pitch on empty off-beats.
    if notes:
        counts = {}
        for note in notes:
            counts[note.pitch] = counts.get(note.pitch, 0) + 1
        ghost_pitch = max(sorted(counts), key=lambda pitch: counts[pitch])
        taken = {round(n.start / SIXTEENTH) for n in notes}
        steps = int((loop_end - loop_start) / SIXTEENTH)
        for step in range(steps):
            if step % 4 == 3 and step not in taken and rng.random() < 0.5:
                out.append(Note(ghost_pitch, loop_start + step * SIXTEENTH + 0.045, SIXTEENTH * 0.6,
                                rng.randint(28, 42)))
    return out


def variation(notes, loop_start, loop_end, rng):
    half = loop_start + (loop_end - loop_start) / 2.0
    out = []
    for note in notes:
        twin = note.copy()
        if twin.start >= half:
            roll = rng.random()
            if roll < 0.2:
                continue                       # leave space in the answer
            if roll < 0.45:
                twin.start += SIXTEENTH if twin.start + SIXTEENTH < loop_end else -SIXTEENTH
            twin.velocity *= rng.uniform(0.85, 1.1)
        out.append(twin)
    # A short fill in the last beat, from the pitches already there.
    pitches = sorted({note.pitch for note in notes})
    if pitches:
        fill_start = max(loop_start, loop_end - 1.0)
        out = [note for note in out if note.start < fill_start]
        for step in range(4):
            pitch = pitches[(step * 2 + rng.randint(0, 1)) % len(pitches)]
            out.append(Note(pitch, fill_start + step * SIXTEENTH, SIXTEENTH * 0.8, 70 + step * 12))
    return out


def creative(notes, loop_start, loop_end, rng):
    """Keeps the pitches in their order but moves them onto a syncopated grid
    and varies note lengths; chords stay chords."""
    groups = {}
    for note in notes:
        groups.setdefault(round(note.start, 4), []).append(note)
    starts = sorted(groups)
    if not starts:
        return []
    span = loop_end - loop_start
    grid = [step * SIXTEENTH for step in range(int(span / SIXTEENTH))]
    if len(starts) > len(grid):
        return [note.copy() for note in notes]
    # Prefer off-beat sixteenths: that is where the new rhythm comes from.
    weighted = sorted(range(len(grid)), key=lambda step: (step % 2 == 0, rng.random()))
    positions = sorted(weighted[:len(starts)])
    out = []
    for slot, group_start in zip(positions, starts):
        for note in groups[group_start]:
            twin = note.copy()
            twin.start = loop_start + grid[slot]
            twin.duration = rng.choice([SIXTEENTH * 0.75, SIXTEENTH * 1.5, 0.5, note.duration])
            twin.velocity *= rng.uniform(0.82, 1.12)
            out.append(twin)
    return out


STYLES = {"humanize": humanize, "groove": groove, "variation": variation, "creative": creative}


def evolve(notes, style, loop_start, loop_end):
    rng = _rng(notes, style)
    return _fit(STYLES[style](notes, loop_start, loop_end, rng), loop_start, loop_end)
