"""The simulated Live Set: tracks, clips, devices, mixer, locators, transport
and selection, loaded from a set file (JSON), plus the fader law and the
display strings Live would show. Identity matters here: undo steps hold the
very Track and Clip objects they changed, never their indices."""

from __future__ import annotations

import copy
import json
import math
import os
import re

from ..logic.mixer import FADER_MAX_DB, FADER_MIN_DB, db_to_fader, db_to_gain, show_db, show_pan  # noqa: F401
from ..logic.meters import MeterWindow  # noqa: F401
from ..logic.notes import Note

NOTE_NAMES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"]
ROOT_NAMES = {"C": 0, "C#": 1, "DB": 1, "D": 2, "D#": 3, "EB": 3, "E": 4, "F": 5,
              "F#": 6, "GB": 6, "G": 7, "G#": 8, "AB": 8, "A": 9, "A#": 10, "BB": 10, "B": 11}


class SetFileError(Exception):
    pass



class Clip:
    """A session clip (start None) or an arrangement clip. `length` is the
    time it occupies (arrangement) or its loop length (session); the content
    between loop_start and loop_end repeats while `looping`."""

    def __init__(self, kind, name, length, start=None, notes=None, color=None):
        self.kind = kind
        self.name = name
        self.length = float(length)
        self.start = None if start is None else float(start)
        self.loop_start = 0.0
        self.loop_end = float(length)
        self.looping = True
        self.notes: list[Note] = list(notes or [])
        self.color = color
        # audio
        self.file: str | None = None
        self.render: dict | None = None
        self.file_tempo = 120.0
        self.warp = True
        self.transpose = 0.0
        self.gain_db = 0.0

    @property
    def end(self) -> float:
        return (self.start or 0.0) + self.length

    @property
    def content_length(self) -> float:
        return max(self.loop_end - self.loop_start, 1e-6)

    def has_content(self) -> bool:
        if self.kind == "midi":
            return any(not note.mute for note in self.notes)
        return self.file is not None or self.render is not None

    def copy(self) -> "Clip":
        twin = copy.copy(self)
        twin.notes = [note.copy() for note in self.notes]
        twin.render = copy.deepcopy(self.render)
        return twin

    def as_arrangement(self, start: float, length: float) -> "Clip":
        twin = self.copy()
        twin.start = float(start)
        twin.length = float(length)
        return twin


# -- devices -------------------------------------------------------------------

class Parameter:
    def __init__(self, name, value, minimum=0.0, maximum=1.0, quantized=False, items=None,
                 unit="", automated=False):
        self.name = name
        self.minimum = float(minimum)
        self.maximum = float(maximum)
        self.value = float(value)
        self.quantized = bool(quantized or items)
        self.items = list(items) if items else None
        self.unit = unit
        self.automated = bool(automated)
        self.default = self.value

    def display(self) -> str:
        if self.items:
            index = int(round(self.value))
            if 0 <= index < len(self.items):
                return self.items[index]
        value = self.value
        if self.unit == "dB":
            return show_db(value) if value > FADER_MIN_DB else "-inf dB"
        if self.unit == "%":
            return "%d %%" % round(value * 100 if self.maximum <= 1.0 else value)
        if self.unit == "Hz":
            return "%.2f kHz" % (value / 1000) if value >= 1000 else "%.1f Hz" % value
        if self.unit == "ms":
            return "%.1f ms" % value
        if self.unit == ":1":
            return "%.2f : 1" % value
        if self.quantized:
            return str(int(round(value)))
        return "%.2f" % value


# Typical exposed parameters of the devices the demo sets use: enough for a
# producer (or the agent) to read and change something meaningful.
DEVICE_PARAMETERS: dict[str, list[tuple]] = {
    "EQ Eight": [("1 Frequency A", 80.0, 10.0, 22000.0, "Hz"), ("1 Gain A", 0.0, -15.0, 15.0, "dB"),
                 ("4 Frequency A", 2500.0, 10.0, 22000.0, "Hz"), ("4 Gain A", 0.0, -15.0, 15.0, "dB"),
                 ("Output Gain", 0.0, -12.0, 12.0, "dB")],
    "Compressor": [("Threshold", -12.0, -70.0, 6.0, "dB"), ("Ratio", 4.0, 1.0, 100.0, ":1"),
                   ("Attack", 10.0, 0.01, 1000.0, "ms"), ("Release", 80.0, 1.0, 3000.0, "ms"),
                   ("Output Gain", 0.0, -36.0, 36.0, "dB"), ("Dry/Wet", 1.0, 0.0, 1.0, "%")],
    "Glue Compressor": [("Threshold", -8.0, -40.0, 0.0, "dB"), ("Ratio", 1, 0, 2, "", ["2", "4", "10"]),
                        ("Attack", 2, 0, 6, "", ["0.01", "0.1", "0.3", "1", "3", "10", "30"]),
                        ("Makeup", 0.0, 0.0, 20.0, "dB"), ("Dry/Wet", 1.0, 0.0, 1.0, "%")],
    "Saturator": [("Drive", 6.0, -36.0, 36.0, "dB"),
                  ("Type", 1, 0, 5, "", ["Analog Clip", "Soft Sine", "Medium Curve", "Hard Curve",
                                         "Sinoid Fold", "Digital Clip"]),
                  ("Output", -3.0, -36.0, 0.0, "dB"), ("Dry/Wet", 0.6, 0.0, 1.0, "%")],
    "Auto Filter": [("Filter Type", 0, 0, 3, "", ["Lowpass", "Highpass", "Bandpass", "Notch"]),
                    ("Frequency", 18000.0, 20.0, 20000.0, "Hz"), ("Resonance", 0.3, 0.0, 1.25, ""),
                    ("LFO Amount", 0.0, 0.0, 1.0, "%"), ("Dry/Wet", 1.0, 0.0, 1.0, "%")],
    "Reverb": [("Decay Time", 2400.0, 200.0, 60000.0, "ms"), ("Predelay", 20.0, 0.5, 250.0, "ms"),
               ("Room Size", 80.0, 0.22, 500.0, ""), ("Dry/Wet", 0.3, 0.0, 1.0, "%")],
    "Echo": [("L Division", 4, 0, 7, "", ["1/64", "1/32", "1/16", "1/8", "3/16", "1/4", "1/2", "1"]),
             ("Feedback", 0.45, 0.0, 1.0, "%"), ("Dry/Wet", 0.25, 0.0, 1.0, "%")],
    "Delay": [("Delay Time", 3, 0, 7, "", ["1/64", "1/32", "1/16", "1/8", "3/16", "1/4", "1/2", "1"]),
              ("Feedback", 0.4, 0.0, 1.0, "%"), ("Dry/Wet", 0.3, 0.0, 1.0, "%")],
    "Chorus-Ensemble": [("Rate", 0.8, 0.01, 10.0, "Hz"), ("Amount", 0.5, 0.0, 1.0, "%"),
                        ("Dry/Wet", 0.5, 0.0, 1.0, "%")],
    "Utility": [("Gain", 0.0, -35.0, 35.0, "dB"), ("Width", 1.0, 0.0, 4.0, "%"),
                ("Mono", 0, 0, 1, "", ["Off", "On"])],
    "Limiter": [("Gain", 0.0, 0.0, 24.0, "dB"), ("Ceiling", -0.3, -24.0, 0.0, "dB"),
                ("Release", 300.0, 0.01, 3000.0, "ms")],
    "Drum Rack": [("Macro 1", 0.0, 0.0, 127.0, ""), ("Macro 2", 0.0, 0.0, 127.0, "")],
    "Simpler": [("Volume", -6.0, -36.0, 6.0, "dB"), ("Transpose", 0, -48, 48, ""),
                ("Filter Freq", 20000.0, 30.0, 22000.0, "Hz"), ("Ve Release", 120.0, 1.0, 60000.0, "ms")],
    "Operator": [("Volume", -6.0, -36.0, 6.0, "dB"), ("Filter Freq", 900.0, 30.0, 18500.0, "Hz"),
                 ("Filter Res", 0.2, 0.0, 1.25, ""), ("Osc-A Level", -3.0, -70.0, 0.0, "dB"),
                 ("Tone", 0.7, 0.0, 1.0, "%")],
    "Wavetable": [("Volume", -8.0, -36.0, 6.0, "dB"), ("Filter 1 Freq", 2400.0, 30.0, 18500.0, "Hz"),
                  ("Filter 1 Res", 0.25, 0.0, 1.25, ""), ("Amp Attack", 5.0, 0.0, 20000.0, "ms"),
                  ("Amp Release", 400.0, 0.0, 20000.0, "ms")],
    "Analog": [("Volume", -8.0, -36.0, 6.0, "dB"), ("F1 Freq", 1500.0, 30.0, 18500.0, "Hz"),
               ("F1 Resonance", 0.3, 0.0, 1.25, "")],
}
DEVICE_CLASSES = {"EQ Eight": "Eq8", "Compressor": "Compressor2", "Glue Compressor": "GlueCompressor",
                  "Saturator": "Saturator", "Auto Filter": "AutoFilter", "Reverb": "Reverb",
                  "Echo": "Echo", "Delay": "Delay", "Chorus-Ensemble": "Chorus2", "Utility": "StereoGain",
                  "Limiter": "Limiter", "Drum Rack": "DrumGroupDevice", "Simpler": "OriginalSimpler",
                  "Operator": "Operator", "Wavetable": "InstrumentVector", "Analog": "UltraAnalog"}
INSTRUMENTS = {"Drum Rack", "Simpler", "Operator", "Wavetable", "Analog"}


class Device:
    def __init__(self, name, class_name=None, kind=None, parameters=None, active=True):
        self.name = name
        self.class_name = class_name or DEVICE_CLASSES.get(name, name.replace(" ", ""))
        self.kind = kind or ("instrument" if name in INSTRUMENTS else "audio_effect")
        self.parameters: list[Parameter] = [Parameter("Device On", 1 if active else 0, 0, 1,
                                                      items=["Off", "On"])]
        if parameters is None:
            for spec in DEVICE_PARAMETERS.get(name, []):
                label, value, low, high, unit = spec[:5]
                items = spec[5] if len(spec) > 5 else None
                quantized = items is not None or (isinstance(value, int) and not isinstance(value, bool)
                                                  and unit == "")
                self.parameters.append(Parameter(label, value, low, high, quantized, items, unit))
        else:
            self.parameters.extend(parameters)

    @property
    def active(self) -> bool:
        return self.parameters[0].value >= 0.5


# -- tracks ---------------------------------------------------------------------

class Track:
    def __init__(self, name, kind, scenes=0):
        self.name = name
        self.kind = kind                  # midi, audio, group, return, master
        self.color = 13
        self.volume_db = 0.0
        self.pan = 0.0
        self.sends: list[float] = []
        self.mute = False
        self.solo = False
        self.arm = False
        self.devices: list[Device] = []
        self.slots: list[Clip | None] = [None] * scenes
        self.arrangement: list[Clip] = []
        self.automation: list[str] = []
        self.level = 0.5                  # pre-fader peak while it plays
        self.instrument: str | None = None
        self.group: str | None = None
        self.temporary = False
        self.meter = MeterWindow()

    @property
    def can_be_armed(self) -> bool:
        return self.kind in ("midi", "audio")

    @property
    def holds_clips(self) -> bool:
        return self.kind in ("midi", "audio")

    def clips(self) -> list[Clip]:
        return [clip for clip in self.slots if clip is not None] + list(self.arrangement)

    def has_content(self) -> bool:
        return any(clip.has_content() for clip in self.clips())

    def arrangement_end(self) -> float:
        return max((clip.end for clip in self.arrangement), default=0.0)


class Locator:
    def __init__(self, name, time):
        self.name = name
        self.time = float(time)


class LiveSet:
    def __init__(self):
        self.project = "Live Set sans nom"
        self.live_version = "12.1.5"
        self.tempo = 120.0
        self.sig_num = 4
        self.sig_den = 4
        self.scale_root = 0
        self.scale_name = "Major"
        self.scenes: list[str] = []
        self.tracks: list[Track] = []
        self.returns: list[Track] = []
        self.master = Track("Master", "master")
        self.locators: list[Locator] = []
        self.selected_track: Track | None = None
        self.selected_scene = 0
        self.detail_clip: Clip | None = None
        self.launched_scene: int | None = None
        self.playing = False
        self.anchor_beats = 0.0
        self.anchor_time = 0.0
        self.base_dir = "."

    @property
    def beats_per_bar(self) -> float:
        return self.sig_num * 4.0 / self.sig_den

    @property
    def signature(self) -> str:
        return "%d/%d" % (self.sig_num, self.sig_den)

    @property
    def project_scale(self) -> str:
        return "%s %s" % (NOTE_NAMES[self.scale_root], self.scale_name)

    def position(self, now: float) -> float:
        if self.playing:
            return self.anchor_beats + (now - self.anchor_time) * self.tempo / 60.0
        return self.anchor_beats

    def set_position(self, beats: float, now: float) -> None:
        self.anchor_beats = max(0.0, beats)
        self.anchor_time = now

    def arrangement_end(self) -> float:
        return max((track.arrangement_end() for track in self.tracks), default=0.0)

    def track_of(self, clip: Clip) -> Track | None:
        for track in self.tracks:
            if any(candidate is clip for candidate in track.clips()):
                return track
        return None

    def index_of(self, track: Track) -> int | None:
        for index, candidate in enumerate(self.tracks):
            if candidate is track:
                return index
        return None

    def add_scene_slot(self) -> None:
        for track in self.tracks:
            while len(track.slots) < len(self.scenes):
                track.slots.append(None)


# -- loading -------------------------------------------------------------------

def load_file(path: str) -> LiveSet:
    try:
        with open(path, "rb") as handle:
            data = json.loads(handle.read().decode("utf-8"))
    except (OSError, UnicodeDecodeError, ValueError) as error:
        raise SetFileError("Cannot read the set file %s: %s" % (path, error)) from error
    return from_dict(data, os.path.dirname(os.path.abspath(path)))


def from_dict(data: dict, base_dir: str = ".") -> LiveSet:
    if not isinstance(data, dict):
        raise SetFileError("A set file holds one JSON object.")
    live = LiveSet()
    live.base_dir = base_dir
    live.project = _text(data, "project", live.project)
    live.live_version = _text(data, "liveVersion", live.live_version)
    live.tempo = _number(data, "tempo", 120.0, 20.0, 999.0)
    signature = _text(data, "signature", "4/4")
    match = re.fullmatch(r"\s*(\d{1,2})\s*/\s*(1|2|4|8|16)\s*", signature)
    if not match or int(match.group(1)) < 1:
        raise SetFileError("signature must look like 4/4, not %r." % signature)
    live.sig_num, live.sig_den = int(match.group(1)), int(match.group(2))
    scale = data.get("scale") or {}
    if isinstance(scale, dict):
        root = str(scale.get("root", "C")).upper().replace("♯", "#").replace("♭", "B")
        if root not in ROOT_NAMES:
            raise SetFileError("Unknown scale root %r." % scale.get("root"))
        live.scale_root = ROOT_NAMES[root]
        live.scale_name = str(scale.get("name", "Major"))
    live.scenes = [str(name) for name in data.get("scenes", [])]
    for position, raw in enumerate(data.get("tracks", [])):
        live.tracks.append(_track(raw, live, "tracks[%d]" % position))
    for position, raw in enumerate(data.get("returns", [])):
        track = _track(raw, live, "returns[%d]" % position, kind="return")
        live.returns.append(track)
    live.master = _track(data.get("master", {"name": "Master"}), live, "master", kind="master")
    sends = len(live.returns)
    for track in live.tracks:
        track.sends = (track.sends + [FADER_MIN_DB] * sends)[:sends]
    for position, raw in enumerate(data.get("locators", [])):
        if not isinstance(raw, dict):
            raise SetFileError("locators[%d] must be an object." % position)
        live.locators.append(Locator(_text(raw, "name", "Locator"), _number(raw, "time", 0.0, 0.0)))
    live.locators.sort(key=lambda locator: locator.time)
    launched = data.get("launchedScene")
    if launched is not None:
        if not isinstance(launched, int) or not 0 <= launched < len(live.scenes):
            raise SetFileError("launchedScene must name a scene.")
        live.launched_scene = launched
    live.anchor_beats = _number(data, "currentTime", 0.0, 0.0)
    selection = data.get("selection") or {}
    track_index = selection.get("track")
    if isinstance(track_index, int) and 0 <= track_index < len(live.tracks):
        live.selected_track = live.tracks[track_index]
    elif live.tracks:
        live.selected_track = live.tracks[0]
    scene = selection.get("scene", 0)
    live.selected_scene = scene if isinstance(scene, int) and 0 <= scene < max(len(live.scenes), 1) else 0
    track = live.selected_track
    if track is not None:
        arrangement_index = selection.get("arrangementClip")
        if isinstance(arrangement_index, int) and 0 <= arrangement_index < len(track.arrangement):
            live.detail_clip = track.arrangement[arrangement_index]
        elif live.selected_scene < len(track.slots):
            live.detail_clip = track.slots[live.selected_scene]
    return live


def _track(raw, live: LiveSet, where: str, kind: str | None = None) -> Track:
    if not isinstance(raw, dict):
        raise SetFileError("%s must be an object." % where)
    kind = kind or _text(raw, "kind", "midi")
    if kind not in ("midi", "audio", "group", "return", "master"):
        raise SetFileError("%s.kind must be midi, audio or group." % where)
    track = Track(_text(raw, "name", "Track"), kind, len(live.scenes) if kind in ("midi", "audio") else 0)
    track.color = int(_number(raw, "color", 13, 0, 69))
    track.volume_db = _number(raw, "volumeDb", 0.0, FADER_MIN_DB, FADER_MAX_DB)
    track.pan = _number(raw, "pan", 0.0, -1.0, 1.0)
    track.sends = [float(value) for value in raw.get("sends", []) if isinstance(value, (int, float))]
    track.mute = bool(raw.get("mute", False))
    track.solo = bool(raw.get("solo", False))
    track.arm = bool(raw.get("arm", False)) and track.can_be_armed
    track.level = _number(raw, "level", 0.5, 0.0, 2.0)
    track.instrument = raw.get("instrument") if isinstance(raw.get("instrument"), str) else None
    track.group = raw.get("group") if isinstance(raw.get("group"), str) else None
    track.automation = [str(name) for name in raw.get("automation", [])]
    for position, device in enumerate(raw.get("devices", [])):
        track.devices.append(_device(device, "%s.devices[%d]" % (where, position)))
    meter = raw.get("meterWindow")
    if isinstance(meter, dict):
        track.meter = MeterWindow(meter.get("samples", 0), meter.get("observedSeconds", 0.0),
                                  meter.get("current", 0.0), meter.get("maximum", 0.0),
                                  meter.get("average", 0.0))
    clips = raw.get("clips", [])
    if track.holds_clips:
        if isinstance(clips, dict):
            clips = [clips.get(str(index)) for index in range(len(live.scenes))]
        if len(clips) > len(live.scenes):
            raise SetFileError("%s has more clips than the set has scenes." % where)
        for index, clip in enumerate(clips):
            if clip is not None:
                track.slots[index] = _clip(clip, live, track, "%s.clips[%d]" % (where, index))
        for index, clip in enumerate(raw.get("arrangement", [])):
            track.arrangement.append(_clip(clip, live, track, "%s.arrangement[%d]" % (where, index),
                                           arrangement=True))
        track.arrangement.sort(key=lambda clip: clip.start)
    elif clips or raw.get("arrangement"):
        raise SetFileError("%s cannot hold clips." % where)
    return track


def _device(raw, where: str) -> Device:
    if isinstance(raw, str):
        return Device(raw)
    if not isinstance(raw, dict):
        raise SetFileError("%s must be a device name or object." % where)
    device = Device(_text(raw, "name", "Device"), raw.get("class"), raw.get("kind"),
                    active=bool(raw.get("active", True)))
    for key, value in (raw.get("values") or {}).items():
        for parameter in device.parameters:
            if parameter.name == key and isinstance(value, (int, float)):
                parameter.value = min(parameter.maximum, max(parameter.minimum, float(value)))
    for key in raw.get("automated", []):
        for parameter in device.parameters:
            if parameter.name == key:
                parameter.automated = True
    return device


def _clip(raw, live: LiveSet, track: Track, where: str, arrangement=False) -> Clip:
    if not isinstance(raw, dict):
        raise SetFileError("%s must be an object." % where)
    if arrangement and "fromScene" in raw:
        scene = raw["fromScene"]
        if not isinstance(scene, int) or not 0 <= scene < len(track.slots) or track.slots[scene] is None:
            raise SetFileError("%s.fromScene names no clip of this track." % where)
        source = track.slots[scene]
        length = _number(raw, "length", source.length, 0.0)
        return source.as_arrangement(_number(raw, "start", 0.0, 0.0), length)
    kind = _text(raw, "type", "midi" if track.kind == "midi" else "audio")
    if kind != ("midi" if track.kind == "midi" else "audio"):
        raise SetFileError("%s: a %s track holds %s clips only." % (where, track.kind, track.kind))
    length = _number(raw, "length", 16.0, 0.0)
    if length <= 0:
        raise SetFileError("%s.length must be positive." % where)
    clip = Clip(kind, _text(raw, "name", track.name), length,
                start=_number(raw, "start", 0.0, 0.0) if arrangement else None,
                color=int(raw["color"]) if isinstance(raw.get("color"), int) else track.color)
    clip.loop_start = _number(raw, "loopStart", 0.0, 0.0)
    clip.loop_end = _number(raw, "loopEnd", clip.loop_start + (length if not arrangement else length), 0.0)
    if clip.loop_end <= clip.loop_start:
        raise SetFileError("%s: loopEnd must follow loopStart." % where)
    clip.looping = bool(raw.get("looping", True))
    if kind == "midi":
        clip.notes = _notes(raw, clip, where)
    else:
        file = raw.get("file")
        if isinstance(file, str):
            clip.file = file if os.path.isabs(file) else os.path.join(live.base_dir, file)
        render = raw.get("render")
        if isinstance(render, dict):
            clip.render = render
        if clip.file is None and clip.render is None:
            raise SetFileError("%s: an audio clip needs a file or a render." % where)
        clip.file_tempo = _number(raw, "fileTempo", live.tempo, 20.0, 999.0)
        clip.warp = bool(raw.get("warp", True))
        clip.transpose = _number(raw, "transpose", 0.0, -48.0, 48.0)
        clip.gain_db = _number(raw, "gainDb", 0.0, -70.0, 24.0)
    return clip


def _notes(raw, clip: Clip, where: str) -> list[Note]:
    """Notes as [pitch, start, duration, velocity] or objects; with
    `repeatEvery` the listed notes form one cycle tiled across the loop."""
    notes = []
    for position, item in enumerate(raw.get("notes", [])):
        try:
            if isinstance(item, list):
                pitch, start, duration = item[0], item[1], item[2]
                velocity = item[3] if len(item) > 3 else 100
                notes.append(Note(pitch, start, duration, velocity))
            else:
                notes.append(Note(item["pitch"], item.get("startTime", item.get("start", 0.0)),
                                  item["duration"], item.get("velocity", 100),
                                  item.get("mute", False), item.get("probability", 1.0)))
        except (KeyError, IndexError, TypeError, ValueError) as error:
            raise SetFileError("%s.notes[%d] is not a note." % (where, position)) from error
    every = raw.get("repeatEvery")
    if isinstance(every, (int, float)) and every > 0:
        cycle = list(notes)
        notes = []
        offset = 0.0
        while offset < clip.loop_end - 1e-9:
            for note in cycle:
                if offset + note.start < clip.loop_end - 1e-9:
                    twin = note.copy()
                    twin.start += offset
                    notes.append(twin)
            offset += float(every)
    for note in notes:
        if not 0 <= note.pitch <= 127 or note.duration <= 0:
            raise SetFileError("%s holds a note outside MIDI range or without duration." % where)
    notes.sort(key=lambda note: (note.start, note.pitch))
    return notes


def _text(data: dict, key: str, default: str) -> str:
    value = data.get(key, default)
    if not isinstance(value, str):
        raise SetFileError("%s must be a string." % key)
    return value


def _number(data: dict, key: str, default: float, minimum: float | None = None,
            maximum: float | None = None) -> float:
    value = data.get(key, default)
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise SetFileError("%s must be a number." % key)
    value = float(value)
    if (minimum is not None and value < minimum) or (maximum is not None and value > maximum):
        raise SetFileError("%s is out of range: %s." % (key, value))
    return value
