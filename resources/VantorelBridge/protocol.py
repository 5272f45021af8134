# The wire format of the bridge: the reply envelope, the refusal type every
# layer raises, the capability list, and the readers that check request
# fields. Loaded inside Live, so it stays valid Python 3.7.
import json
import math

CAPABILITIES = (
    "project.analyze",
    "mix_prep.analyze",
    "context.live",
    "key.source.audio",
    "key.source.midi",
    "tracks.create.midi",
    "clips.create.midi",
    "clips.notes.replace",
    "clips.notes.evolve",
    "arrangement.build.club",
    "arrangement.build.undo",
    "samples.library.search",
    "samples.library.import",
    "devices.parameters.read",
    "devices.parameters.write",
    "tracks.sends.write",
    "tracks.semantic_rename",
    "clips.color.sync",
)

MAX_BODY_BYTES = 1024 * 1024
TRACK_ROLES = ("kick", "clap", "snare", "hat", "percussion", "drums", "bass",
               "harmony", "music", "lead", "vocal", "fx", "unknown")
SAMPLE_ROLES = ("kick", "clap", "hat", "percussion", "bass", "chords", "lead",
                "vocal", "fx", "loop", "other")


class BridgeError(Exception):
    """A refusal: HTTP status, machine code and an English sentence."""

    def __init__(self, status, code, message):
        Exception.__init__(self, message)
        self.status = status
        self.code = code
        self.message = message


def invalid(message):
    return BridgeError(400, "INVALID_ARGUMENT", message)


def not_found(message):
    return BridgeError(404, "NOT_FOUND", message)


def conflict(code, message):
    return BridgeError(409, code, message)


def success(result):
    return {"ok": True, "result": result}


def failure(code, message):
    return {"ok": False, "error": {"code": code, "message": message}}


def encode(envelope):
    # NaN and infinities are not JSON; a reply must never carry them.
    return json.dumps(envelope, ensure_ascii=False, sort_keys=True,
                      allow_nan=False).encode("utf-8")


def decode_body(raw):
    """Parses a request body into a dict; an empty body counts as {}."""
    if not raw.strip():
        return {}
    try:
        value = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        raise BridgeError(400, "INVALID_JSON", "The request body is not valid JSON.")
    if not isinstance(value, dict):
        raise BridgeError(400, "INVALID_JSON", "The request body must be a JSON object.")
    return value


# Request field readers. Each returns the value or raises a 400 refusal
# naming the field; absent optional fields give `default`.

def _is_number(value):
    return (isinstance(value, (int, float)) and not isinstance(value, bool)
            and not (isinstance(value, float) and (math.isnan(value) or math.isinf(value))))


def number(body, key, minimum=None, maximum=None, required=True, default=None,
           above=None):
    if key not in body or body[key] is None:
        if required:
            raise invalid("%s is required and must be a number." % key)
        return default
    value = body[key]
    if not _is_number(value):
        raise invalid("%s must be a number." % key)
    value = float(value)
    if above is not None and value <= above:
        raise invalid("%s must be greater than %s." % (key, _show(above)))
    if minimum is not None and value < minimum:
        raise invalid("%s must be at least %s." % (key, _show(minimum)))
    if maximum is not None and value > maximum:
        raise invalid("%s must be at most %s." % (key, _show(maximum)))
    return value


def integer(body, key, minimum=0, maximum=None, required=True, default=None):
    if key not in body or body[key] is None:
        if required:
            raise invalid("%s is required and must be an integer." % key)
        return default
    value = body[key]
    if not _is_number(value) or float(value) != int(value):
        raise invalid("%s must be an integer." % key)
    value = int(value)
    if minimum is not None and value < minimum:
        raise invalid("%s must be at least %d." % (key, minimum))
    if maximum is not None and value > maximum:
        raise invalid("%s must be at most %d." % (key, maximum))
    return value


def flag(body, key, required=True, default=None):
    if key not in body or body[key] is None:
        if required:
            raise invalid("%s is required and must be true or false." % key)
        return default
    if not isinstance(body[key], bool):
        raise invalid("%s must be true or false." % key)
    return body[key]


def text(body, key, max_length=96, required=True, default=None):
    if key not in body or body[key] is None:
        if required:
            raise invalid("%s is required and must be a string." % key)
        return default
    value = body[key]
    if not isinstance(value, str):
        raise invalid("%s must be a string." % key)
    value = value.strip()
    if not value or len(value) > max_length:
        raise invalid("%s must contain 1 to %d characters." % (key, max_length))
    if any(ord(ch) < 32 for ch in value):
        raise invalid("%s must not contain control characters." % key)
    return value


def choice(body, key, options, required=True, default=None):
    value = text(body, key, max_length=64, required=required, default=default)
    if value is not None and value not in options:
        raise invalid("%s must be one of: %s." % (key, ", ".join(options)))
    return value


def require_confirm(body):
    if body.get("confirm") is not True:
        raise BridgeError(400, "CONFIRMATION_REQUIRED",
                          "This change needs confirm=true after the user approved it.")


def notes(body, key, min_count=0, max_count=512, length=None):
    """Reads MIDI notes; `length` (beats) bounds their start times."""
    if key not in body or body[key] is None:
        if min_count:
            raise invalid("%s is required." % key)
        return []
    raw = body[key]
    if not isinstance(raw, list):
        raise invalid("%s must be an array of notes." % key)
    if len(raw) < min_count or len(raw) > max_count:
        raise invalid("%s must hold %d to %d notes." % (key, min_count, max_count))
    result = []
    for position, item in enumerate(raw):
        where = "%s[%d]" % (key, position)
        if not isinstance(item, dict):
            raise invalid("%s must be an object." % where)
        note = {
            "pitch": _note_pitch(item, where),
            "startTime": _note_number(item, where, "startTime", minimum=0.0, required=True),
            "duration": _note_number(item, where, "duration", above=0.0, required=True),
            "velocity": _note_number(item, where, "velocity", minimum=1.0, maximum=127.0,
                                     default=100.0),
            "mute": False,
            "probability": _note_number(item, where, "probability", minimum=0.0,
                                        maximum=1.0, default=1.0),
        }
        if "mute" in item and item["mute"] is not None:
            if not isinstance(item["mute"], bool):
                raise invalid("%s.mute must be true or false." % where)
            note["mute"] = item["mute"]
        if length is not None and note["startTime"] >= length:
            raise invalid("%s starts at beat %s, outside the clip (%s beats)."
                          % (where, _show(note["startTime"]), _show(length)))
        result.append(note)
    return result


def _note_pitch(item, where):
    try:
        return integer(item, "pitch", 0, 127)
    except BridgeError as error:
        raise invalid("%s.%s" % (where, error.message))


def _note_number(item, where, field, minimum=None, maximum=None, above=None,
                 required=False, default=None):
    try:
        return number(item, field, minimum=minimum, maximum=maximum, above=above,
                      required=required, default=default)
    except BridgeError as error:
        raise invalid("%s.%s" % (where, error.message))


def sections(body, key="sections", max_bars=1024):
    """Reads arrangement sections: bars in multiples of 8, one phase per 8 bars."""
    if key not in body or body[key] is None:
        return None
    raw = body[key]
    if not isinstance(raw, list) or not raw:
        raise invalid("sections must be a non-empty array of sections.")
    result = []
    total = 0
    for position, item in enumerate(raw):
        where = "sections[%d]" % position
        if not isinstance(item, dict):
            raise invalid("%s must be an object." % where)
        try:
            name = text(item, "name", max_length=64)
            bars = integer(item, "bars", minimum=8)
        except BridgeError as error:
            raise invalid("%s.%s" % (where, error.message))
        if bars % 8:
            raise invalid("%s.bars must be a multiple of 8 (got %d)." % (where, bars))
        phases = item.get("phaseRoles")
        if not isinstance(phases, list) or len(phases) != bars // 8:
            raise invalid("%s.phaseRoles must hold %d phases, one per 8 bars."
                          % (where, bars // 8))
        clean = []
        for phase_index, phase in enumerate(phases):
            if not isinstance(phase, list):
                raise invalid("%s.phaseRoles[%d] must be an array of roles." % (where, phase_index))
            for role in phase:
                if role not in TRACK_ROLES:
                    raise invalid("%s.phaseRoles[%d] names an unknown role: %s."
                                  % (where, phase_index, json.dumps(role, ensure_ascii=False)))
            clean.append([role for role in phase])
        total += bars
        result.append({"name": name, "bars": bars, "phaseRoles": clean})
    if total > max_bars:
        raise invalid("The arrangement is limited to %d bars (got %d)." % (max_bars, total))
    return result


def _show(value):
    if float(value) == int(value):
        return str(int(value))
    return "%g" % value
