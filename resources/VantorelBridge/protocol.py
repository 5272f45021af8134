# The wire format of the bridge: the reply envelope, the refusal type every
# layer raises, the capability list, and the readers that check request
# fields. Loaded inside Live, so it stays valid Python 3.7.
import json
import math

from .messages import refusal_parts

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
    """A refusal: HTTP status, machine code and the sentence the producer reads."""

    def __init__(self, status, code, message):
        Exception.__init__(self, message)
        self.status = status
        self.code = code
        self.message = message


def refusal(key, **values):
    """The refusal `key` of the package's table, its placeholders filled."""
    status, code, message = refusal_parts(key, **values)
    return BridgeError(status, code, message)


def _within(where, error):
    # Field messages begin with the field's name: prefixing the path keeps
    # them readable for nested fields ("notes[2].pitch doit …").
    return BridgeError(error.status, error.code, "%s.%s" % (where, error.message))


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
        raise refusal("body_not_json")
    if not isinstance(value, dict):
        raise refusal("body_not_object")
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
            raise refusal("number_required", field=key)
        return default
    value = body[key]
    if not _is_number(value):
        raise refusal("number", field=key)
    value = float(value)
    if above is not None and value <= above:
        raise refusal("number_above", field=key, limit=_show(above))
    if minimum is not None and value < minimum:
        raise refusal("at_least", field=key, limit=_show(minimum))
    if maximum is not None and value > maximum:
        raise refusal("at_most", field=key, limit=_show(maximum))
    return value


def integer(body, key, minimum=0, maximum=None, required=True, default=None):
    if key not in body or body[key] is None:
        if required:
            raise refusal("integer_required", field=key)
        return default
    value = body[key]
    if not _is_number(value) or float(value) != int(value):
        raise refusal("integer", field=key)
    value = int(value)
    if minimum is not None and value < minimum:
        raise refusal("at_least", field=key, limit=minimum)
    if maximum is not None and value > maximum:
        raise refusal("at_most", field=key, limit=maximum)
    return value


def flag(body, key, required=True, default=None):
    if key not in body or body[key] is None:
        if required:
            raise refusal("flag_required", field=key)
        return default
    if not isinstance(body[key], bool):
        raise refusal("flag", field=key)
    return body[key]


def text(body, key, max_length=96, required=True, default=None):
    if key not in body or body[key] is None:
        if required:
            raise refusal("text_required", field=key)
        return default
    value = body[key]
    if not isinstance(value, str):
        raise refusal("text", field=key)
    value = value.strip()
    if not value or len(value) > max_length:
        raise refusal("text_length", field=key, limit=max_length)
    if any(ord(ch) < 32 for ch in value):
        raise refusal("text_control", field=key)
    return value


def choice(body, key, options, required=True, default=None):
    value = text(body, key, max_length=64, required=required, default=default)
    if value is not None and value not in options:
        raise refusal("choice", field=key, options=", ".join(options))
    return value


def require_confirm(body):
    if body.get("confirm") is not True:
        raise refusal("confirmation_required")


def notes(body, key, min_count=0, max_count=512, length=None):
    """Reads MIDI notes; `length` (beats) bounds their start times."""
    if key not in body or body[key] is None:
        if min_count:
            raise refusal("required", field=key)
        return []
    raw = body[key]
    if not isinstance(raw, list):
        raise refusal("notes_array", field=key)
    if len(raw) < min_count or len(raw) > max_count:
        raise refusal("notes_count", field=key, minimum=min_count, maximum=max_count)
    result = []
    for position, item in enumerate(raw):
        where = "%s[%d]" % (key, position)
        if not isinstance(item, dict):
            raise refusal("object", field=where)
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
                raise refusal("flag", field=where + ".mute")
            note["mute"] = item["mute"]
        if length is not None and note["startTime"] >= length:
            raise refusal("note_outside_clip", field=where, start=_show(note["startTime"]),
                          length=_show(length))
        result.append(note)
    return result


def _note_pitch(item, where):
    try:
        return integer(item, "pitch", 0, 127)
    except BridgeError as error:
        raise _within(where, error)


def _note_number(item, where, field, minimum=None, maximum=None, above=None,
                 required=False, default=None):
    try:
        return number(item, field, minimum=minimum, maximum=maximum, above=above,
                      required=required, default=default)
    except BridgeError as error:
        raise _within(where, error)


def sections(body, key="sections", max_bars=1024):
    """Reads arrangement sections: bars in multiples of 8, one phase per 8 bars."""
    if key not in body or body[key] is None:
        return None
    raw = body[key]
    if not isinstance(raw, list) or not raw:
        raise refusal("sections_array")
    result = []
    total = 0
    for position, item in enumerate(raw):
        where = "sections[%d]" % position
        if not isinstance(item, dict):
            raise refusal("object", field=where)
        try:
            name = text(item, "name", max_length=64)
            bars = integer(item, "bars", minimum=8)
        except BridgeError as error:
            raise _within(where, error)
        if bars % 8:
            raise refusal("section_bars_multiple", field=where, bars=bars)
        phases = item.get("phaseRoles")
        if not isinstance(phases, list) or len(phases) != bars // 8:
            raise refusal("section_phases", field=where, count=bars // 8)
        clean = []
        for phase_index, phase in enumerate(phases):
            if not isinstance(phase, list):
                raise refusal("section_phase_array", field="%s.phaseRoles[%d]" % (where, phase_index))
            for role in phase:
                if role not in TRACK_ROLES:
                    raise refusal("section_unknown_role", field="%s.phaseRoles[%d]" % (where, phase_index),
                                  role=json.dumps(role, ensure_ascii=False))
            clean.append([role for role in phase])
        total += bars
        result.append({"name": name, "bars": bars, "phaseRoles": clean})
    if total > max_bars:
        raise refusal("arrangement_too_long", limit=max_bars, bars=total)
    return result


def _show(value):
    if float(value) == int(value):
        return str(int(value))
    return "%g" % value
