"""A stand-in for Live's `Live` module and its Live Object Model, built from a
simulated set file, strict where Live is strict: every access off the main
thread (the pump thread calling update_display) raises, so does a change
made while Live notifies a listener; features arrive with the version that
brought them (profiles 11.3.20 to 12.2); undo is one global history grouped
by begin/end_undo_step; faders show dB through a monotonic taper that is not
the simulator's."""

import math
import queue
import threading
import time
import types

from VantorelBridge.simulator import model

# (version, features it lacks)
PROFILES = {
    "11.3.20": {"Song.name", "Track.create_audio_clip", "Track.create_midi_clip", "CuePoint.name="},
    "12.0.2": {"Track.create_audio_clip", "Track.create_midi_clip", "CuePoint.name="},
    "12.0.5": {"Track.create_midi_clip", "CuePoint.name="},
    "12.1.5": {"Track.create_midi_clip"},
    "12.2.0": set(),
}


class LimitationError(Exception):
    pass


class World(object):
    """Live's process: its main thread, its undo history, its version."""

    def __init__(self, version):
        self.version = tuple(int(part) for part in version.split("."))
        self.missing = PROFILES[version]
        self.main = None
        self.notifying = False
        self.history = []
        self.step = None
        self.depth = 0
        self.track_limit = 64
        self.capture_path = None

    def check(self):
        if threading.get_ident() != self.main:
            raise RuntimeError("Live Object Model accessed off Live's main thread")

    def record(self, undo):
        if self.step is not None:
            self.step.append(undo)
        else:
            self.history.append([undo])


class Lom(object):
    _kind = ""

    def __init__(self, world):
        object.__setattr__(self, "_world", world)

    def __getattribute__(self, name):
        if not name.startswith("_"):
            world = object.__getattribute__(self, "_world")
            world.check()
            kind = object.__getattribute__(self, "_kind")
            if "%s.%s" % (kind, name) in world.missing:
                raise AttributeError(name)
        return object.__getattribute__(self, name)

    def __setattr__(self, name, value):
        world = object.__getattribute__(self, "_world")
        if not name.startswith("_"):
            world.check()
            if world.notifying:
                raise RuntimeError("Changes cannot be triggered by notifications. You will need to defer "
                                   "your response.")
            if "%s.%s=" % (self._kind, name) in world.missing:
                raise AttributeError("can't set attribute %s" % name)
            if name in self.__dict__:
                old = self.__dict__[name]
                world.record(lambda: object.__setattr__(self, name, old))
        object.__setattr__(self, name, value)

    def _set(self, name, value):
        """A change Live makes itself (no undo entry, no checks)."""
        object.__setattr__(self, name, value)


def _listed(world, items, undo=True):
    return items


class MidiNoteSpecification(object):
    def __init__(self, pitch, start_time, duration, velocity=100.0, mute=False, probability=1.0, **_):
        self.pitch, self.start_time, self.duration = pitch, start_time, duration
        self.velocity, self.mute, self.probability = velocity, mute, probability


class MidiNote(object):
    def __init__(self, spec):
        for name in ("pitch", "start_time", "duration", "velocity", "mute", "probability"):
            setattr(self, name, getattr(spec, name))


class Parameter(Lom):
    _kind = "DeviceParameter"

    def __init__(self, world, name, value, minimum, maximum, quantized=False, items=None, show=None,
                 automated=False):
        Lom.__init__(self, world)
        self._set("name", name)
        self._set("value", float(value))
        self._set("min", float(minimum))
        self._set("max", float(maximum))
        self._set("is_quantized", bool(quantized))
        self._set("value_items", tuple(items or ()))
        self._set("automation_state", 1 if automated else 0)
        self._set("is_enabled", True)
        self._set("state", 0)
        self._set("default_value", float(value))
        self._show = show

    def str_for_value(self, value):
        if self._show is not None:
            return self._show(value)
        if self.value_items:
            return self.value_items[int(round(value))]
        return "%.2f" % value


def fader_text(value):
    """Live's own fader law is unpublished; this one is monotonic and differs
    from the simulator's, so a bridge that assumed a law would be caught."""
    if value <= 0.0:
        return "-inf dB"
    return "%.1f dB" % (6.0 + 50.0 * math.log10(value))


def fader_value(db):
    return 0.0 if db <= -70 else 10 ** ((db - 6.0) / 50.0)


def send_text(value):
    return "-inf dB" if value <= 0.0 else "%.1f dB" % min(0.0, 50.0 * math.log10(value))


class Mixer(Lom):
    _kind = "MixerDevice"

    def __init__(self, world, volume_db, pan, sends):
        Lom.__init__(self, world)
        self._set("volume", Parameter(world, "Track Volume", fader_value(volume_db), 0.0, 1.0, show=fader_text))
        self._set("panning", Parameter(world, "Track Panning", pan, -1.0, 1.0,
                                       show=lambda value: model.show_pan(value)))
        self._set("sends", tuple(Parameter(world, "Send", 0.0 if db <= -70 else 10 ** (db / 50.0), 0.0, 1.0,
                                           show=send_text) for db in sends))


class Device(Lom):
    _kind = "Device"

    def __init__(self, world, device):
        Lom.__init__(self, world)
        self._set("name", device.name)
        self._set("class_name", device.class_name)
        self._set("type", {"instrument": 1, "audio_effect": 2, "midi_effect": 4}.get(device.kind, 0))
        self._set("is_active", device.active)
        self._set("parameters", tuple(
            Parameter(world, p.name, p.value, p.minimum, p.maximum, p.quantized, p.items,
                      show=(lambda value, p=p: _display(p, value)), automated=p.automated)
            for p in device.parameters))


def _display(parameter, value):
    old = parameter.value
    parameter.value = value
    try:
        return parameter.display()
    finally:
        parameter.value = old


class Clip(Lom):
    _kind = "Clip"

    def __init__(self, world, clip, start=None):
        Lom.__init__(self, world)
        self._set("name", clip.name)
        self._set("color_index", clip.color if clip.color is not None else 13)
        self._set("is_midi_clip", clip.kind == "midi")
        self._set("is_audio_clip", clip.kind == "audio")
        self._set("length", clip.length)
        self._set("start_time", start if start is not None else 0.0)
        self._set("end_time", (start or 0.0) + clip.length)
        self._set("loop_start", clip.loop_start)
        self._set("loop_end", clip.loop_end)
        self._set("looping", clip.looping)
        self._set("is_playing", False)
        self._set("is_recording", False)
        self._set("file_path", clip.file or "")
        self._set("warping", clip.warp)
        self._set("pitch_coarse", int(clip.transpose))
        self._set("pitch_fine", 0.0)
        self._notes = [MidiNote(MidiNoteSpecification(n.pitch, n.start, n.duration, n.velocity, n.mute,
                                                      n.probability)) for n in clip.notes]

    def get_all_notes_extended(self):
        return tuple(self._notes)

    def get_notes_extended(self, from_pitch, pitch_span, from_time, time_span):
        return tuple(n for n in self._notes if from_pitch <= n.pitch < from_pitch + pitch_span
                     and from_time <= n.start_time < from_time + time_span)

    def remove_notes_extended(self, from_pitch, pitch_span, from_time, time_span):
        self._world.check()
        old = list(self._notes)
        self._notes = [n for n in self._notes if not (from_pitch <= n.pitch < from_pitch + pitch_span
                                                      and from_time <= n.start_time < from_time + time_span)]
        self._world.record(lambda: setattr(self, "_notes", old))

    def add_new_notes(self, specifications):
        self._world.check()
        for spec in specifications:
            if not isinstance(spec, MidiNoteSpecification):
                raise TypeError("No registered converter was able to extract a C++ reference to type "
                                "NPythonClip::TNoteSpecification")
        old = list(self._notes)
        self._notes = old + [MidiNote(spec) for spec in specifications]
        self._world.record(lambda: setattr(self, "_notes", old))
        return tuple(range(len(specifications)))


class ClipSlot(Lom):
    _kind = "ClipSlot"

    def __init__(self, world, clip, track=None):
        Lom.__init__(self, world)
        self._set("clip", clip)
        self._track = track

    def create_clip(self, length):
        self._world.check()
        if self.clip is not None:
            raise RuntimeError("Clip slot is not empty")
        clip = Clip(self._world, model.Clip("midi", "", length))
        self._set("clip", clip)
        self._world.record(lambda: self._set("clip", None))
        return clip

    def delete_clip(self):
        self._world.check()
        old = self.clip
        self._set("clip", None)
        self._world.record(lambda: self._set("clip", old))

    def fire(self, record_length=None, launch_quantization=None):
        """Records the master into a new clip when the track is armed and
        routed from Resampling and the transport plays."""
        self._world.check()
        track, song = self._track, self._track._song
        if not (track.arm and song.is_playing and track.input_routing_type.category == RESAMPLING):
            return
        clip = Clip(self._world, model.Clip("audio", "Recording", record_length))
        clip._set("is_recording", True)
        clip._set("file_path", self._world.capture_path)
        clip._record_from = song.current_song_time
        clip._record_length = record_length
        self._set("clip", clip)
        song._recordings.append(clip)

    @property
    def has_clip(self):
        return self.clip is not None


class Track(Lom):
    _kind = "Track"

    def __init__(self, world, song, track=None, kind="midi", name=None, scenes=0):
        Lom.__init__(self, world)
        self._song = song
        kind = track.kind if track is not None else kind
        self._set("name", track.name if track is not None else name)
        self._set("color_index", track.color if track is not None else 13)
        self._set("color", 0x9A9A9A)
        self._set("has_midi_input", kind == "midi")
        self._set("has_audio_input", kind == "audio")
        self._set("is_foldable", kind == "group")
        self._set("is_grouped", False)
        self._set("group_track", None)
        self._set("is_frozen", False)
        self._set("mute", track.mute if track is not None else False)
        self._set("solo", track.solo if track is not None else False)
        self._set("arm", track.arm if track is not None else False)
        self._set("can_be_armed", kind in ("midi", "audio"))
        self._set("output_meter_left", track.level if track is not None else 0.0)
        self._set("output_meter_right", track.level if track is not None else 0.0)
        self._set("devices", tuple(Device(world, device) for device in (track.devices if track else [])))
        sends = track.sends if track is not None else []
        sends = list(sends) + [-70.0] * (len(song._returns_source) - len(sends))
        self._set("mixer_device", Mixer(world, track.volume_db if track else 0.0, track.pan if track else 0.0,
                                        sends if kind != "master" else []))
        if kind in ("midi", "audio"):
            slots = track.slots if track is not None else [None] * scenes
            self._set("clip_slots", tuple(ClipSlot(world, Clip(world, clip) if clip else None, self)
                                          for clip in slots))
            routings = [Routing("Ext. In", 0), Routing("Resampling", RESAMPLING)]
            self._set("available_input_routing_types", tuple(routings))
            self._set("input_routing_type", routings[0])
            self._set("current_monitoring_state", 1)
            arranged = track.arrangement if track is not None else []
            self._arrangement = [Clip(world, clip, clip.start) for clip in arranged]

    @property
    def arrangement_clips(self):
        return tuple(self._arrangement)

    def create_midi_clip(self, start, length):
        self._world.check()
        if not self.has_midi_input:
            raise RuntimeError("Track.create_midi_clip: not a MIDI track")
        clip = Clip(self._world, model.Clip("midi", "", length), start)
        self._arrangement.append(clip)
        self._world.record(lambda: self._arrangement.remove(clip))
        return clip

    def create_audio_clip(self, file_path, position):
        self._world.check()
        if self.has_midi_input:
            raise RuntimeError("Track.create_audio_clip: not an audio track")
        seconds = model.Clip("audio", "", 1).length
        import wave
        with wave.open(file_path, "rb") as source:
            seconds = source.getnframes() / float(source.getframerate())
        clip = Clip(self._world, model.Clip("audio", file_path.rsplit("/", 1)[-1].rsplit(".", 1)[0],
                                            seconds * self._song.tempo / 60.0), position)
        clip._set("file_path", file_path)
        self._arrangement.append(clip)
        self._world.record(lambda: self._arrangement.remove(clip))
        return clip

    def duplicate_clip_to_arrangement(self, clip, destination_time):
        self._world.check()
        copy = Clip(self._world, model.Clip("midi" if clip.is_midi_clip else "audio", clip.name, clip.length),
                    destination_time)
        copy._set("color_index", clip.color_index)
        copy._set("file_path", clip.file_path)
        copy._notes = list(clip._notes)
        # Live trims what the new clip covers.
        self._arrangement = [other for other in self._arrangement
                             if not (destination_time <= other.start_time < destination_time + clip.length)]
        self._arrangement.append(copy)
        self._world.record(lambda: self._arrangement.remove(copy))
        return copy

    def delete_clip(self, clip):
        self._world.check()
        self._arrangement.remove(clip)
        self._world.record(lambda: self._arrangement.append(clip))


RESAMPLING = 5


class Routing(object):
    def __init__(self, display_name, category):
        self.display_name = display_name
        self.category = category


class CuePoint(Lom):
    _kind = "CuePoint"

    def __init__(self, world, name, time_):
        Lom.__init__(self, world)
        self._set("name", name)
        self._set("time", time_)

    def _time(self):
        return object.__getattribute__(self, "time")


class Scene(Lom):
    _kind = "Scene"

    def __init__(self, world, name):
        Lom.__init__(self, world)
        self._set("name", name)


class SongView(Lom):
    _kind = "Song.View"

    def __init__(self, world):
        Lom.__init__(self, world)
        self._set("selected_track", None)
        self._set("detail_clip", None)
        self._set("selected_scene", None)


class Song(Lom):
    _kind = "Song"

    def __init__(self, world, live):
        Lom.__init__(self, world)
        self._returns_source = live.returns
        self._set("name", live.project if live.project != "Live Set sans nom" else "")
        self._set("tempo", live.tempo)
        self._set("signature_numerator", live.sig_num)
        self._set("signature_denominator", live.sig_den)
        self._set("root_note", live.scale_root)
        self._set("scale_name", live.scale_name)
        self._pending_time = None
        self._time_written = False
        self._recordings = []
        self._speed = 16.0
        self._set("current_song_time", live.anchor_beats)
        self._set("is_playing", False)
        self._set("back_to_arranger", True)
        self._set("scenes", tuple(Scene(world, name) for name in live.scenes))
        self._tracks = [Track(world, self, track) for track in live.tracks]
        self._set("return_tracks", tuple(Track(world, self, ret) for ret in live.returns))
        self._set("master_track", Track(world, self, live.master))
        self._set("cue_points", tuple(CuePoint(world, locator.name, locator.time) for locator in live.locators))
        self._set("view", SongView(world))
        if live.selected_track is not None:
            self.view._set("selected_track", self._tracks[live.tracks.index(live.selected_track)])
        if live.detail_clip is not None:
            owner = live.track_of(live.detail_clip)
            fake = self._tracks[live.tracks.index(owner)]
            if live.detail_clip.start is None:
                self.view._set("detail_clip", fake.clip_slots[owner.slots.index(live.detail_clip)].clip)
            else:
                self.view._set("detail_clip", fake._arrangement[owner.arrangement.index(live.detail_clip)])
        self.view._set("selected_scene", self.scenes[live.selected_scene] if self.scenes else None)

    @property
    def tracks(self):
        return tuple(self._tracks)

    def _tick(self, seconds):
        """Live applies a playhead move on its next tick; while playing the
        playhead runs (`speed` times faster) and recordings end on time."""
        self._time_written = False
        if self._pending_time is not None:
            self._set("current_song_time", self._pending_time)
            self._pending_time = None
        elif self.is_playing:
            self._set("current_song_time", self.current_song_time + seconds * self._speed * self.tempo / 60.0)
        for clip in list(self._recordings):
            if self.current_song_time >= clip._record_from + clip._record_length:
                with open(clip.file_path, "wb") as handle:
                    handle.write(b"RIFF" + bytes(40))
                clip._set("is_recording", False)
                self._recordings.remove(clip)

    def __setattr__(self, name, value):
        if name == "current_song_time":
            self._world.check()
            self._pending_time = value
            self._time_written = True
            return
        Lom.__setattr__(self, name, value)

    def _transport(self):
        self._world.check()
        if self._time_written:
            raise RuntimeError("Transport changed in the tick of a current_song_time write")

    def set_or_delete_cue(self):
        self._world.check()
        at = self.current_song_time
        found = [cue for cue in self.cue_points if abs(cue.time - at) < 1e-9]
        old = self.cue_points
        if found:
            self._set("cue_points", tuple(cue for cue in old if cue is not found[0]))
        else:
            self._set("cue_points", tuple(sorted(old + (CuePoint(self._world, "", at),), key=lambda c: c._time())))
        self._world.record(lambda: self._set("cue_points", old))

    def _create(self, kind, index):
        self._world.check()
        if len(self._tracks) >= self._world.track_limit:
            raise LimitationError("Track limit reached")
        position = len(self._tracks) if index == -1 else index
        track = Track(self._world, self, kind=kind, name="%d-%s" % (position + 1, "MIDI" if kind == "midi"
                                                                      else "Audio"), scenes=len(self.scenes))
        self._tracks.insert(position, track)
        self._world.record(lambda: self._tracks.remove(track))
        return track

    def create_midi_track(self, index=-1):
        return self._create("midi", index)

    def create_audio_track(self, index=-1):
        return self._create("audio", index)

    def create_scene(self, index=-1):
        self._world.check()
        position = len(self.scenes) if index == -1 else index
        old_scenes = self.scenes
        self._set("scenes", old_scenes[:position] + (Scene(self._world, ""),) + old_scenes[position:])
        changed = []
        for track in self._tracks:
            if hasattr(track, "clip_slots"):
                slots = track.clip_slots
                changed.append((track, slots))
                track._set("clip_slots", slots[:position] + (ClipSlot(self._world, None, track),) + slots[position:])

        def undo():
            self._set("scenes", old_scenes)
            for track, slots in changed:
                track._set("clip_slots", slots)

        self._world.record(undo)
        return self.scenes[position]

    def delete_scene(self, index):
        self._world.check()
        old_scenes = self.scenes
        self._set("scenes", old_scenes[:index] + old_scenes[index + 1:])
        changed = []
        for track in self._tracks:
            if hasattr(track, "clip_slots"):
                slots = track.clip_slots
                changed.append((track, slots))
                track._set("clip_slots", slots[:index] + slots[index + 1:])

        def undo():
            self._set("scenes", old_scenes)
            for track, slots in changed:
                track._set("clip_slots", slots)

        self._world.record(undo)

    def delete_track(self, index):
        self._world.check()
        track = self._tracks.pop(index)
        self._world.record(lambda: self._tracks.insert(index, track))

    def continue_playing(self):
        self._transport()
        self._set("is_playing", True)

    def start_playing(self):
        self.continue_playing()

    def stop_playing(self):
        self._transport()
        self._set("is_playing", False)

    def begin_undo_step(self):
        world = self._world
        world.check()
        if world.depth == 0:
            world.step = []
        world.depth += 1

    def end_undo_step(self):
        world = self._world
        world.check()
        world.depth -= 1
        if world.depth == 0:
            if world.step:
                world.history.append(world.step)
            world.step = None

    def undo(self):
        """Live's own Ctrl+Z: takes back its newest entry, whoever made it."""
        world = self._world
        world.check()
        if world.history:
            for undo in reversed(world.history.pop()):
                undo()


class Application(Lom):
    _kind = "Application"

    def __init__(self, world):
        Lom.__init__(self, world)

    def get_major_version(self):
        return self._world.version[0]

    def get_minor_version(self):
        return self._world.version[1]

    def get_bugfix_version(self):
        return self._world.version[2]


def module(world):
    """The `Live` module as a Remote Script imports it."""
    live = types.ModuleType("Live")
    application = Application(world)
    live.Application = types.SimpleNamespace(get_application=lambda: application)
    live.Base = types.SimpleNamespace(LimitationError=LimitationError)
    live.Clip = types.SimpleNamespace(MidiNoteSpecification=MidiNoteSpecification)
    live.Track = types.SimpleNamespace(RoutingTypeCategory=types.SimpleNamespace(resampling=RESAMPLING))
    live.Song = types.SimpleNamespace(Quantization=types.SimpleNamespace(q_no_q=0))
    return live


class CInstance(object):
    def __init__(self, song):
        self._song = song
        self.logged = []

    def song(self):
        return self._song

    def log_message(self, text):
        self.logged.append(text)

    def show_message(self, text):
        pass


class FakeLive(object):
    """Live's main thread: creates the surface, then calls update_display()
    every few milliseconds until stopped; on_main() runs a function there,
    as the producer's own edits happen there."""

    def __init__(self, set_path, version="12.2.0"):
        self.world = World(version)
        self.set_path = set_path
        self.module = None
        self.song = None
        self.surface = None
        self.paused = threading.Event()
        self._calls = queue.Queue()
        self._stop = threading.Event()
        self._thread = None

    def start(self, make_surface):
        ready = threading.Event()
        failure = []

        def main():
            self.world.main = threading.get_ident()
            try:
                self.song = Song(self.world, model.load_file(self.set_path))
                self.module = module(self.world)
                self.c_instance = CInstance(self.song)
                self.surface = make_surface(self.c_instance, self.module)
            except Exception as error:  # reported to the test
                failure.append(error)
                ready.set()
                return
            ready.set()
            last = time.monotonic()
            while not self._stop.is_set():
                while True:
                    try:
                        function, done = self._calls.get_nowait()
                    except queue.Empty:
                        break
                    try:
                        done.append(("ok", function()))
                    except Exception as error:
                        done.append(("error", error))
                if not self.paused.is_set():
                    now = time.monotonic()
                    self.song._tick(now - last)
                    last = now
                    self.surface.update_display()
                time.sleep(0.005)
            self.surface.disconnect()

        self._thread = threading.Thread(target=main, name="Live main thread", daemon=True)
        self._thread.start()
        ready.wait(10)
        if failure:
            raise failure[0]
        return self.surface

    def on_main(self, function):
        done = []
        self._calls.put((function, done))
        deadline = time.monotonic() + 10
        while not done and time.monotonic() < deadline:
            time.sleep(0.002)
        kind, value = done[0]
        if kind == "error":
            raise value
        return value

    def stop(self):
        self._stop.set()
        if self._thread is not None:
            self._thread.join(5)
