# The mixer's dB law and the strings Live shows for faders and pans. Loaded
# inside Live, so it stays valid Python 3.7.
import re

FADER_MIN_DB = -70.0
FADER_MAX_DB = 6.0
_DB_TEXT = re.compile(r"^\s*([-+]?\d+(?:[.,]\d+)?|[-+]?inf)\s*(?:db)?\s*$", re.IGNORECASE)


def db_to_fader(db):
    """Live-like fader position 0…1 for a displayed dB value: 0.85 is 0 dB,
    1.0 is +6 dB, the bottom of the travel is −inf."""
    if db <= FADER_MIN_DB:
        return 0.0
    if db >= -18.0:
        return min(1.0, 0.85 + db * 0.025)
    return 0.4 * (db - FADER_MIN_DB) / (-18.0 - FADER_MIN_DB)


def db_to_gain(db):
    return 0.0 if db <= FADER_MIN_DB else 10.0 ** (db / 20.0)


def show_db(db):
    return "-inf dB" if db <= FADER_MIN_DB else "%.1f dB" % db


def show_pan(pan):
    amount = int(round(abs(pan) * 50))
    if amount == 0:
        return "C"
    return "%d%s" % (amount, "L" if pan < 0 else "R")


def read_db(text):
    """The dB value of a display string such as "-6.0 dB", "-inf dB" or, in a
    localised Live, "-6,0 dB"; None when the text holds no dB value."""
    match = _DB_TEXT.match(text or "")
    if match is None:
        return None
    number = match.group(1).replace(",", ".").lower()
    if number.endswith("inf"):
        return float("-inf") if number.startswith("-") else float("inf")
    return float(number)


def value_for_db(show, low, high, db, steps=48):
    """The parameter value whose display reads `db`, found by bisection on
    Live's own display function (its taper is monotonic but not published):
    Live offers no way to set a fader in dB."""
    if db <= FADER_MIN_DB:
        return low
    for _ in range(steps):
        middle = (low + high) / 2.0
        shown = read_db(show(middle))
        if shown is None or shown < db:
            low = middle
        else:
            high = middle
    return high
