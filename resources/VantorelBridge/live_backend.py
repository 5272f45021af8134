# The backend inside Live: every bridge operation carried out through the
# Live Object Model. It runs only on Live's main thread (the executor sees to
# that). What Live cannot tell apart from playback (the playhead, the
# transport, meters, automated values) never moves the revision; everything
# else the producer changes does, found by comparing a fingerprint of the set
# on every request. Undo takes back the bridge's own changes only, through
# inverse closures over the very LOM objects touched: Live's own undo history
# is global, and its newest entry may be the producer's. Loaded inside Live,
# so it stays valid Python 3.7.
import binascii
import hashlib
import math
import os
import threading
import time

from .commands import Change
from .logic import arrangement, evolve, mixer, roles, samples
from .logic.meters import MeterWindow
from .logic.notes import Note
from .messages import capture_failure
from .protocol import refusal

UNSAVED_NAME = "Live Set sans nom"
CAPTURE_TRACK = "__Vantorel Master Listen — temporary__"
NO_RECORDING_SECONDS = 5.0
NOTE_NAMES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"]
DEVICE_TYPES = {1: "instrument", 2: "audio_effect", 4: "midi_effect"}


def _number_text(value):
    return "%d" % value if float(value).is_integer() else "%.1f" % value


def _bars_text(count):
    return "%d mesure%s" % (count, "s" if count >= 2 else "")


class LiveBackend(object):
    name = "live"
    simulated = False

    def __init__(self, song, application, live_module, wine_drives=None, user_library=None):
        self.song = song
        self.application = application
        self.Live = live_module
        self.notify = lambda: None
        self.wine_drives = wine_drives or {}
        self._fingerprint = None
        self._meters = {}
        self.jobs = {}
        self.library = samples.Catalogue(os.path.join(user_library, "Samples") if user_library else None)
        scanner = threading.Thread(target=self.library.ensure, name="VantorelBridge samples")
        scanner.daemon = True
        scanner.start()

    # -- command-layer hooks ------------------------------------------------------

    def attach(self, notify):
        self.notify = notify

    def extra_capabilities(self):
        return ["master.capture"]

    def live_version(self):
        app = self.application
        return "%d.%d.%d" % (app.get_major_version(), app.get_minor_version(), app.get_bugfix_version())

    def _version(self):
        app = self.application
        return (app.get_major_version(), app.get_minor_version(), app.get_bugfix_version())

    def captured_at(self):
        return None

    def tick(self):
        """Runs before every request: a change of the fingerprint since the
        last look is an edit by the producer, counted once."""
        current = self._compute_fingerprint()
        if self._fingerprint is not None and current != self._fingerprint:
            self.notify()
        self._fingerprint = current

    def rebaseline(self):
        self._fingerprint = self._compute_fingerprint()

    def _compute_fingerprint(self):
        song = self.song
        digest = hashlib.sha1()

        def add(*values):
            digest.update(repr(values).encode("utf-8"))

        add(self._project()[0], song.tempo, song.signature_numerator, song.signature_denominator)
        capturing = self._capture_tracks()
        regular = list(song.tracks)
        for track in regular + list(song.return_tracks) + [song.master_track]:
            if any(track == other for other in capturing):
                continue  # the capture's own track moves the revision once, when it ends
            master = track == song.master_track
            add(track.name, track.color_index, None if master else track.mute, None if master else track.solo)
            # Returns and the master hold no clips; Live refuses to list them.
            if any(track == other for other in regular) and self._holds_clips(track):
                add(track.arm if track.can_be_armed and not capturing else None)
                for slot in track.clip_slots:
                    self._fingerprint_clip(add, slot.clip if slot.has_clip else None)
                for clip in track.arrangement_clips:
                    self._fingerprint_clip(add, clip)
            mixer_device = track.mixer_device
            for parameter in [mixer_device.volume, mixer_device.panning] + list(mixer_device.sends):
                self._fingerprint_parameter(add, parameter)
            for device in track.devices:
                add(device.name, device.is_active)
                for parameter in device.parameters:
                    self._fingerprint_parameter(add, parameter)
        add([scene.name for scene in song.scenes])
        add([(cue.name, cue.time) for cue in song.cue_points])
        selected = song.view.selected_track
        add(self._track_index(selected) if selected is not None else None)
        return digest.hexdigest()

    def _fingerprint_clip(self, add, clip):
        if clip is None:
            add(None)
            return
        add(clip.name, clip.color_index, clip.length, clip.loop_start, clip.loop_end, clip.looping)
        if clip.is_midi_clip:
            add([(note.pitch, note.start, note.duration, note.velocity, note.mute)
                 for note in self._notes(clip)])
        else:
            add(clip.file_path, clip.warping, clip.pitch_coarse)

    @staticmethod
    def _fingerprint_parameter(add, parameter):
        # An automated value moves while playing; Live cannot tell that from
        # an edit, so only its automation state counts.
        automated = parameter.automation_state != 0
        add(parameter.name, None if automated else parameter.value, automated)

    # -- meters (Live's main thread, every update_display) ----------------------------

    def on_display(self, seconds):
        """Live's main thread, every update_display: meters and captures."""
        for job in list(self.jobs.values()):
            self._advance_capture(job)
        self.sample_meters(seconds)

    def sample_meters(self, seconds):
        if not self.song.is_playing:
            return
        for track in self._all_tracks():
            level = max(track.output_meter_left, track.output_meter_right)
            self._meter(track).add(level, seconds)

    def _meter(self, track):
        key = id(track) if not hasattr(track, "_live_ptr") else track._live_ptr
        window = self._meters.get(key)
        if window is None:
            window = self._meters[key] = MeterWindow()
        return window

    def _all_tracks(self):
        song = self.song
        return list(song.tracks) + list(song.return_tracks) + [song.master_track]

    # -- lookups --------------------------------------------------------------------

    def _project(self):
        """(name, known): Song.name exists from Live 11.3.25 and 12.0."""
        if not hasattr(self.song, "name"):
            return UNSAVED_NAME, False
        name = self.song.name or ""
        if name.endswith(".als"):
            name = name[:-4]
        return (name or UNSAVED_NAME), True

    def _beats_per_bar(self):
        song = self.song
        return song.signature_numerator * 4.0 / song.signature_denominator

    def _track(self, index):
        tracks = self.song.tracks
        if index >= len(tracks):
            raise refusal("track_missing", index=index, count=len(tracks))
        return tracks[index]

    def _track_index(self, track):
        for index, other in enumerate(self.song.tracks):
            if other == track:
                return index
        return None

    def _present(self, track, clip=None):
        if self._track_index(track) is None:
            raise refusal("track_gone", name=track.name)
        if clip is not None and not any(other == clip for other in self._clips_of(track)):
            raise refusal("clip_gone", name=clip.name)

    @staticmethod
    def _holds_clips(track):
        return hasattr(track, "clip_slots") and not getattr(track, "is_foldable", False) \
            and hasattr(track, "arrangement_clips")

    def _kind(self, track):
        if getattr(track, "is_foldable", False):
            return "group"
        return "midi" if track.has_midi_input else "audio"

    def _clips_of(self, track):
        if not self._holds_clips(track):
            return []
        clips = [slot.clip for slot in track.clip_slots if slot.has_clip]
        return clips + list(track.arrangement_clips)

    def _notes(self, clip):
        if hasattr(clip, "get_all_notes_extended"):
            found = clip.get_all_notes_extended()
        else:
            found = clip.get_notes_extended(0, 128, -16384.0, 32768.0)
        return [Note(note.pitch, note.start_time, note.duration, note.velocity, note.mute,
                     getattr(note, "probability", 1.0)) for note in found]

    def _file_path(self, path):
        """Live under Wine reports Windows paths; the app opens Linux ones."""
        if not path or not self.wine_drives or len(path) < 2 or path[1] != ":":
            return path
        root = self.wine_drives.get(path[0].lower())
        if root is None:
            return path
        return os.path.join(root, *[part for part in path[2:].replace("\\", "/").split("/") if part])

    def _role(self, track):
        if not self._holds_clips(track):
            return "unknown"
        clips = self._clips_of(track)
        stems = []
        for clip in clips:
            stem = None
            if clip.is_audio_clip and clip.file_path:
                stem = clip.file_path.replace("\\", "/").rsplit("/", 1)[-1].rsplit(".", 1)[0]
            stems.append((clip.name, stem, None))
        notes = []
        for clip in clips:
            if clip.is_midi_clip:
                notes.extend(self._notes(clip))
        facts = roles.TrackFacts(self._kind(track), track.name, clips=stems, notes=notes,
                                 devices=[(device.class_name, device.name) for device in track.devices],
                                 has_content=bool(clips))
        return roles.infer_role(facts)

    def _label(self, index, track):
        return "Piste %d « %s »" % (index + 1, track.name)

    # -- reading views ----------------------------------------------------------------

    def _detail(self):
        clip = self.song.view.detail_clip
        if clip is None:
            return None, None, None
        for index, track in enumerate(self.song.tracks):
            if not self._holds_clips(track):
                continue
            for slot_index, slot in enumerate(track.clip_slots):
                if slot.has_clip and slot.clip == clip:
                    return track, clip, slot_index
            for other in track.arrangement_clips:
                if other == clip:
                    return track, clip, None
        return None, None, None

    def _clip_json(self, clip, track, scene, detail):
        start = clip.start_time if scene is None else 0.0
        length = clip.length
        data = {
            "name": clip.name, "type": "midi" if clip.is_midi_clip else "audio",
            "view": "session" if scene is not None else "arrangement",
            "startTimeBeats": round(start, 6), "endTimeBeats": round(start + length, 6),
            "lengthBeats": round(length, 6), "loopStartBeats": clip.loop_start, "loopEndBeats": clip.loop_end,
            "looping": clip.looping, "playing": bool(clip.is_playing), "recording": bool(clip.is_recording),
            "selected": detail is not None and clip == detail, "color": clip.color_index,
        }
        if scene is not None:
            data["sceneIndex"] = scene
        if clip.is_midi_clip:
            notes = self._notes(clip)
            data["noteCount"] = len(notes)
            if notes:
                data["pitchRange"] = [min(n.pitch for n in notes), max(n.pitch for n in notes)]
        else:
            data.update({"filePath": self._file_path(clip.file_path), "warping": clip.warping,
                         "transposeSemitones": clip.pitch_coarse + clip.pitch_fine / 100.0})
        return data

    def _parameter_json(self, index, parameter):
        data = {"index": index, "name": parameter.name, "value": parameter.value, "min": parameter.min,
                "max": parameter.max, "displayValue": parameter.str_for_value(parameter.value),
                "isQuantized": parameter.is_quantized, "automated": parameter.automation_state != 0,
                "enabled": parameter.is_enabled, "defaultValue": getattr(parameter, "default_value", None)}
        if parameter.is_quantized and parameter.value_items:
            data["valueItems"] = list(parameter.value_items)
        return data

    def _device_json(self, index, device):
        parameters = list(device.parameters)
        return {"index": index, "name": device.name, "className": device.class_name,
                "type": DEVICE_TYPES.get(device.type, "undefined"),
                "isActive": device.is_active, "parameterCount": len(parameters),
                "parameters": [self._parameter_json(position, parameter)
                               for position, parameter in enumerate(parameters[:512])]}

    def _mixer_json(self, track, bus=False):
        mixer_device = track.mixer_device
        volume, pan = mixer_device.volume, mixer_device.panning
        sends = []
        if not bus:
            for position, (send, ret) in enumerate(zip(mixer_device.sends, self.song.return_tracks)):
                shown = send.str_for_value(send.value)
                sends.append({"index": position, "name": ret.name, "value": round(send.value, 4),
                              "displayValue": shown, "db": self._db(shown)})
        shown = volume.str_for_value(volume.value)
        return {"volume": {"value": round(volume.value, 4), "db": self._db(shown), "displayValue": shown,
                           "automated": volume.automation_state != 0},
                "panning": {"value": pan.value, "displayValue": pan.str_for_value(pan.value),
                            "automated": pan.automation_state != 0},
                "sends": sends}

    @staticmethod
    def _db(shown):
        value = mixer.read_db(shown)
        if value is None or math.isinf(value):
            return mixer.FADER_MIN_DB
        return value

    def _track_json(self, index, track, role, soloing, detail):
        clips = []
        holds = self._holds_clips(track)
        if holds:
            for scene, slot in enumerate(track.clip_slots):
                if slot.has_clip:
                    clips.append(self._clip_json(slot.clip, track, scene, detail))
            for clip in track.arrangement_clips:
                clips.append(self._clip_json(clip, track, None, detail))
        devices = list(track.devices)
        automated = any(parameter.automation_state != 0 for device in devices for parameter in device.parameters)
        mixer_device = track.mixer_device
        automated = automated or mixer_device.volume.automation_state != 0 \
            or mixer_device.panning.automation_state != 0
        group = track.group_track if getattr(track, "is_grouped", False) else None
        kind = self._kind(track)
        return {
            "index": index, "name": track.name, "kind": kind, "color": track.color_index,
            "colorHex": "#%06X" % (track.color & 0xFFFFFF), "selected": track == self.song.view.selected_track,
            "isMidiTrack": kind == "midi", "isAudioTrack": kind == "audio", "isGroupTrack": kind == "group",
            "group": group.name if group is not None else None,
            "active": bool(clips) and not track.mute and (not soloing or track.solo),
            "hasContent": bool(clips), "muted": track.mute, "soloed": track.solo,
            "armed": bool(track.can_be_armed and track.arm), "canBeArmed": bool(track.can_be_armed),
            "frozen": bool(getattr(track, "is_frozen", False)), "automationObserved": automated,
            "inferredRole": role, "clips": len(clips), "clipDetails": clips,
            "devices": [self._device_json(position, device) for position, device in enumerate(devices)],
            "deviceCount": len(devices), "mixer": self._mixer_json(track),
            "meterWindow": self._meter(track).to_json(),
            "inputRouting": getattr(getattr(track, "input_routing_type", None), "display_name", "—"),
            "outputRouting": getattr(getattr(track, "output_routing_type", None), "display_name", "Master"),
            "temporary": False,
        }

    def _bus_json(self, index, track, kind):
        data = {"name": track.name, "kind": kind, "muted": kind != "master" and bool(track.mute),
                "devices": [self._device_json(position, device) for position, device in enumerate(track.devices)],
                "mixer": self._mixer_json(track, bus=True), "meterWindow": self._meter(track).to_json(),
                "automationObserved": track.mixer_device.volume.automation_state != 0}
        if index is not None:
            data["index"] = index
        return data

    def _scale(self):
        song = self.song
        if not hasattr(song, "root_note"):
            return "", None
        root = int(song.root_note) % 12
        return "%s %s" % (NOTE_NAMES[root], song.scale_name), root

    def _arrangement_end(self):
        end = 0.0
        for track in self.song.tracks:
            if self._holds_clips(track):
                for clip in track.arrangement_clips:
                    end = max(end, clip.end_time)
        return end

    def session_snapshot(self):
        song = self.song
        project, known = self._project()
        scale, root = self._scale()
        selected = song.view.selected_track
        selected_index = self._track_index(selected) if selected is not None else None
        owner, clip, scene = self._detail()
        detail = None
        if clip is not None:
            detail = {"trackIndex": self._track_index(owner), "track": owner.name, "name": clip.name,
                      "type": "midi" if clip.is_midi_clip else "audio",
                      "view": "session" if scene is not None else "arrangement"}
        tracks = []
        clip_total = 0
        for index, track in enumerate(song.tracks):
            count = len(self._clips_of(track))
            clip_total += count
            tracks.append({"index": index, "name": track.name, "kind": self._kind(track), "muted": track.mute,
                           "soloed": track.solo, "armed": bool(track.can_be_armed and track.arm),
                           "clipCount": count, "selected": selected_index == index, "color": track.color_index})
        scenes = list(song.scenes)
        selected_scene = song.view.selected_scene
        scene_index = next((index for index, other in enumerate(scenes) if other == selected_scene), 0)
        return {
            "project": project, "projectNameKnown": known, "liveVersion": self.live_version(),
            "tempo": song.tempo, "signature": "%d/%d" % (song.signature_numerator, song.signature_denominator),
            "projectScale": scale, "key": root, "currentTime": round(song.current_song_time, 4),
            "isPlaying": bool(song.is_playing), "tracks": tracks, "trackCount": len(tracks), "clips": clip_total,
            "selectedTrack": selected.name if selected_index is not None else "",
            "selectedTrackIndex": selected_index, "selectedScene": scene_index, "detailClip": detail,
            "scenes": [scene.name for scene in scenes], "launchedScene": None,
            "returnTracks": [ret.name for ret in song.return_tracks],
            "locators": [{"name": cue.name, "time": cue.time} for cue in song.cue_points],
            "arrangementLengthBars": round(self._arrangement_end() / self._beats_per_bar(), 3),
            "simulated": False,
        }

    def roles(self):
        return [self._role(track) for track in self.song.tracks]

    def project_analysis(self):
        song = self.song
        project, _ = self._project()
        scale, _ = self._scale()
        bar = self._beats_per_bar()
        track_roles = self.roles()
        soloing = any(track.solo for track in song.tracks)
        _, detail, _ = self._detail()
        end = self._arrangement_end()
        cues = sorted(song.cue_points, key=lambda cue: cue.time)
        scenes = list(song.scenes)
        return {
            "project": project, "tempo": song.tempo,
            "signature": "%d/%d" % (song.signature_numerator, song.signature_denominator),
            "beatsPerBar": bar, "projectScale": scale,
            "arrangementLengthBars": round(end / bar, 3),
            "sectionCountFromLocators": len({round(cue.time, 4) for cue in cues if cue.time < end}),
            "locators": [{"name": cue.name, "time": cue.time, "bar": round(cue.time / bar + 1, 3)} for cue in cues],
            "scenes": [{"index": index, "name": scene.name,
                        "clipCount": sum(1 for track in song.tracks if self._holds_clips(track)
                                         and index < len(track.clip_slots) and track.clip_slots[index].has_clip)}
                       for index, scene in enumerate(scenes)],
            "tracks": [self._track_json(index, track, role, soloing, detail)
                       for index, (track, role) in enumerate(zip(song.tracks, track_roles))],
            "returnTracks": [self._bus_json(index, ret, "return") for index, ret in enumerate(song.return_tracks)],
            "masterTrack": self._bus_json(None, song.master_track, "master"),
            "currentTime": round(song.current_song_time, 4), "isPlaying": bool(song.is_playing),
        }

    def mix_prep(self):
        song = self.song
        findings = []
        counts = {"genericNames": 0, "emptyTracks": 0, "tracksWithoutDevices": 0, "mutedTracks": 0,
                  "levelsNearFullScale": 0}
        track_roles = self.roles()
        for index, track in enumerate(song.tracks):
            label = self._label(index, track)
            holds = self._holds_clips(track)
            content = bool(self._clips_of(track))

            def add(kind, counter, message):
                counts[counter] += 1
                findings.append({"kind": kind, "trackIndex": index, "track": track.name, "message": message})

            if roles.is_generic(track.name):
                add("genericName", "genericNames", "%s : nom générique, renomme-la d’après son rôle (%s)."
                    % (label, roles.LABELS[track_roles[index]]))
            if holds and not content:
                add("emptyTrack", "emptyTracks", "%s : aucun clip avec du contenu, à remplir ou supprimer." % label)
            elif holds and not list(track.devices):
                add("noDevices", "tracksWithoutDevices", "%s : aucun device, le son part brut vers le master." % label)
            if track.mute and content:
                add("mutedTrack", "mutedTracks", "%s : muette alors qu’elle a du contenu." % label)
            meter = self._meter(track)
            volume = self._db(track.mixer_device.volume.str_for_value(track.mixer_device.volume.value))
            if meter.maximum >= 0.891 or volume >= 3.0:
                peak = "niveau de crête %.2f" % meter.maximum if meter.samples else "crête non mesurée"
                add("nearFullScale", "levelsNearFullScale", "%s : niveau proche de 0 dB (%s, fader %s), garde de "
                    "la marge." % (label, peak, mixer.show_db(volume)))
        master = self._meter(song.master_track)
        if master.samples < 2:
            findings.append({"kind": "master", "trackIndex": None, "track": "Master",
                             "message": "Master non mesuré : lance la lecture pour mesurer les niveaux."})
        elif master.maximum >= 0.891:
            # Live's meters are not in dBFS: the level is reported as Live shows it.
            findings.append({"kind": "master", "trackIndex": None, "track": "Master",
                             "message": "Le master touche le haut de son indicateur : baisse les pistes avant "
                                        "le mastering."})
        summary = ("Préparation au mix : %d nom(s) générique(s), %d piste(s) vide(s), %d piste(s) sans device, "
                   "%d niveau(x) proche(s) de 0 dB." % (counts["genericNames"], counts["emptyTracks"],
                                                        counts["tracksWithoutDevices"], counts["levelsNearFullScale"]))
        return {"summary": summary, "findings": findings, "counts": counts, "readOnly": True,
                "trackCount": len(song.tracks), "masterPeakDbfs": None}

    def key_source(self):
        track, clip, scene = self._detail()
        if clip is None:
            raise refusal("no_clip_selected")
        project, _ = self._project()
        result = {"track": track.name, "trackIndex": self._track_index(track), "clip": clip.name,
                  "project": project, "view": "session" if scene is not None else "arrangement"}
        if clip.is_audio_clip:
            path = self._file_path(clip.file_path)
            if not path or not os.path.isfile(path):
                raise refusal("file_missing", name=clip.name)
            start, end = self._file_seconds(clip)
            result.update({"kind": "audio", "filePath": path,
                           "transposeSemitones": clip.pitch_coarse + clip.pitch_fine / 100.0,
                           "analysisRange": {"startSeconds": round(start, 6),
                                             "durationSeconds": round(max(0.0, end - start), 6)}})
        else:
            weights = [0.0] * 12
            for note in self._notes(clip):
                if not note.mute and clip.loop_start <= note.start < clip.loop_end:
                    weights[note.pitch % 12] += min(note.duration, clip.loop_end - note.start)
            result.update({"kind": "midi", "pitchClasses": [round(weight, 6) for weight in weights],
                           "transposeSemitones": 0.0, "noteCount": len(self._notes(clip))})
        return result

    def _file_seconds(self, clip):
        """The loop of an audio clip as seconds of its file. Unwarped clips
        count their markers in seconds already; warped ones in beats, which
        the clip's warp markers turn into samples when Live offers it."""
        if not clip.warping:
            return clip.loop_start, clip.loop_end
        if hasattr(clip, "beat_to_sample_time") and getattr(clip, "sample_rate", 0):
            rate = float(clip.sample_rate)
            return (clip.beat_to_sample_time(clip.loop_start) / rate,
                    clip.beat_to_sample_time(clip.loop_end) / rate)
        seconds_per_beat = 60.0 / self.song.tempo
        return clip.loop_start * seconds_per_beat, clip.loop_end * seconds_per_beat

    # -- changes --------------------------------------------------------------------

    def _undoable(self, apply):
        """One entry in Live's undo history per bridge change, so Ctrl+Z in
        Live takes the whole action back."""
        self.song.begin_undo_step()
        try:
            return apply()
        finally:
            self.song.end_undo_step()

    def _in_undo_step(self, undo):
        def run():
            self._undoable(undo)
        return run

    def play(self):
        if self.song.is_playing:
            return Change("La lecture est déjà en cours.", {"isPlaying": True}, changed=False)
        self.song.continue_playing()
        return Change("Lecture lancée.", {"isPlaying": True, "currentTime": self.song.current_song_time})

    def stop(self):
        if not self.song.is_playing:
            return Change("La lecture est déjà arrêtée.", {"isPlaying": False}, changed=False)
        self.song.stop_playing()
        return Change("Lecture arrêtée.", {"isPlaying": False, "currentTime": self.song.current_song_time})

    def set_tempo(self, tempo):
        song = self.song
        old = song.tempo

        def apply(value):
            self._undoable(lambda: setattr(song, "tempo", value))

        apply(tempo)
        return Change("Tempo réglé à %s BPM (avant : %s BPM)." % (_number_text(tempo), _number_text(old)),
                      {"tempo": tempo, "previousTempo": old}, lambda: apply(old), changed=tempo != old)

    def create_track(self, kind, name, index):
        song = self.song
        count = len(song.tracks)
        if index is not None and index > count:
            raise refusal("track_position", maximum=count)
        position = count if index is None else index
        previous = song.view.selected_track

        def apply():
            try:
                if kind == "midi":
                    song.create_midi_track(-1 if index is None else index)
                else:
                    song.create_audio_track(-1 if index is None else index)
            except self.Live.Base.LimitationError as error:
                raise refusal("live_limit", detail=str(error))
            track = song.tracks[position]
            if name:
                track.name = name
            song.view.selected_track = track
            return track

        track = self._undoable(apply)
        final = track.name

        def undo():
            self._present(track)
            song.delete_track(self._track_index(track))
            if previous is not None and self._track_index(previous) is not None:
                song.view.selected_track = previous

        summary = "Piste %s « %s » créée en position %d." % ("MIDI" if kind == "midi" else "audio", final,
                                                          position + 1)
        return Change(summary, {"trackIndex": position, "name": final, "kind": kind}, self._in_undo_step(undo))

    def rename_track(self, index, name):
        track = self._track(index)
        old = track.name
        self._undoable(lambda: setattr(track, "name", name))

        def undo():
            self._present(track)
            track.name = old

        return Change("Piste %d renommée « %s » (avant : « %s »)." % (index + 1, name, old),
                      {"trackIndex": index, "name": name, "previousName": old}, self._in_undo_step(undo),
                      changed=old != name)

    def select_track(self, index):
        track = self._track(index)
        view = self.song.view
        changed = view.selected_track != track
        view.selected_track = track
        return Change("Piste %d « %s » sélectionnée." % (index + 1, track.name),
                      {"trackIndex": index, "name": track.name}, changed=changed)

    def set_track_state(self, index, field, enabled):
        track = self._track(index)
        if field == "arm" and not track.can_be_armed:
            raise refusal("cannot_arm", track=index + 1, name=track.name)
        old = bool(getattr(track, field))
        self._undoable(lambda: setattr(track, field, enabled))
        words = {"mute": ("muette", "audible"), "solo": ("en solo", "hors solo"),
                 "arm": ("armée", "désarmée")}[field]

        def undo():
            self._present(track)
            setattr(track, field, old)

        return Change("Piste %d « %s » %s." % (index + 1, track.name, words[0] if enabled else words[1]),
                      {"trackIndex": index, "field": field, "enabled": enabled},
                      self._in_undo_step(undo) if old != enabled else None, changed=old != enabled)

    def _set_db(self, track, parameter, db, what, result):
        old = parameter.value
        value = mixer.value_for_db(parameter.str_for_value, parameter.min, parameter.max, db)
        self._undoable(lambda: setattr(parameter, "value", value))
        shown = parameter.str_for_value(parameter.value)

        def undo():
            self._present(track)
            parameter.value = old

        result = dict(result, displayDb=db, displayValue=shown, value=round(value, 4))
        return Change("%s réglé à %s (avant : %s)." % (what, shown, parameter.str_for_value(old)), result,
                      self._in_undo_step(undo), changed=old != value)

    def set_track_volume(self, index, db):
        track = self._track(index)
        return self._set_db(track, track.mixer_device.volume, db,
                            "Volume de la piste %d « %s »" % (index + 1, track.name), {"trackIndex": index})

    def set_track_send(self, index, send, db):
        track = self._track(index)
        sends = list(track.mixer_device.sends)
        if send >= len(sends):
            raise refusal("send_missing", index=send, count=len(sends))
        return self._set_db(track, sends[send], db, "Envoi %s de la piste %d « %s »" % (
            self.song.return_tracks[send].name, index + 1, track.name), {"trackIndex": index, "sendIndex": send})

    def _device(self, index, device_index):
        track = self._track(index)
        devices = list(track.devices)
        if device_index >= len(devices):
            raise refusal("device_missing", index=device_index, track=index + 1, count=len(devices))
        return track, devices[device_index]

    def read_parameters(self, index, device_index):
        track, device = self._device(index, device_index)
        data = self._device_json(device_index, device)
        data.update({"trackIndex": index, "track": track.name, "deviceIndex": device_index})
        return data

    def write_parameter(self, index, device_index, parameter_index, value):
        track, device = self._device(index, device_index)
        parameters = list(device.parameters)
        if parameter_index >= len(parameters):
            raise refusal("parameter_missing", index=parameter_index, device=device.name, count=len(parameters))
        parameter = parameters[parameter_index]
        if not parameter.is_enabled:
            raise refusal("parameter_disabled", parameter=parameter.name, device=device.name)
        if not parameter.min <= value <= parameter.max:
            raise refusal("parameter_range", parameter=parameter.name, device=device.name,
                          minimum="%g" % parameter.min, maximum="%g" % parameter.max, value="%g" % value)
        if parameter.is_quantized and value != int(value):
            raise refusal("parameter_whole", parameter=parameter.name, device=device.name)
        old = parameter.value
        self._undoable(lambda: setattr(parameter, "value", value))
        shown = parameter.str_for_value(value)

        def undo():
            self._present(track)
            parameter.value = old

        return Change("%s de %s (piste %d) réglé sur %s." % (parameter.name, device.name, index + 1, shown),
                      {"trackIndex": index, "deviceIndex": device_index, "parameterIndex": parameter_index,
                       "value": value, "displayValue": shown, "previousValue": old},
                      self._in_undo_step(undo), changed=old != value)

    # -- clips --------------------------------------------------------------------------

    def _specifications(self, notes):
        make = self.Live.Clip.MidiNoteSpecification
        return tuple(make(pitch=note.pitch, start_time=note.start, duration=note.duration,
                          velocity=note.velocity, mute=note.mute, probability=note.probability)
                     for note in notes)

    def create_midi_clip(self, index, start, length, notes, name):
        song = self.song
        track = self._track(index)
        if self._kind(track) != "midi":
            raise refusal("not_midi_track", track=index + 1, name=track.name)
        for other in track.arrangement_clips:
            if start < other.end_time - 1e-9 and other.start_time < start + length - 1e-9:
                raise refusal("clip_overlap", track=index + 1, name=other.name,
                              start=_number_text(other.start_time), end=_number_text(other.end_time))
        clip_name = name or "%s %d" % (track.name, len(list(track.arrangement_clips)) + 1)
        new_notes = sorted((Note.from_request(note) for note in notes), key=lambda note: (note.start, note.pitch))
        previous = (song.view.selected_track, song.view.detail_clip)

        def apply():
            if hasattr(track, "create_midi_clip"):
                clip = track.create_midi_clip(start, length)
            else:
                clip = self._midi_clip_through_session(track, start, length)
            clip.name = clip_name
            if new_notes:
                clip.add_new_notes(self._specifications(new_notes))
            song.view.selected_track = track
            song.view.detail_clip = clip
            return clip

        clip = self._undoable(apply)

        def undo():
            self._present(track, clip)
            track.delete_clip(clip)
            selected, detail = previous
            if selected is not None and self._track_index(selected) is not None:
                song.view.selected_track = selected

        bar = self._beats_per_bar()
        summary = "Clip MIDI « %s » créé sur la piste %d « %s » : %s à partir de la mesure %s, %d note(s)." % (
            clip_name, index + 1, track.name, _bars_text(length / bar) if (length / bar).is_integer()
            else "%s temps" % _number_text(length), _number_text(start / bar + 1), len(new_notes))
        return Change(summary, {"trackIndex": index, "clipName": clip_name, "startTime": start, "length": length,
                                "noteCount": len(new_notes)}, self._in_undo_step(undo))

    def _midi_clip_through_session(self, track, start, length):
        """Before Live 12.1.10 a script cannot create an Arrangement clip: the
        clip is made in a free slot (or one of a temporary scene), copied to
        the Arrangement, and the slot emptied again, all in one undo step."""
        song = self.song
        slots = list(track.clip_slots)
        free = next((slot for slot in slots if not slot.has_clip), None)
        temporary = None
        if free is None:
            song.create_scene(-1)
            temporary = len(song.scenes) - 1
            free = track.clip_slots[temporary]
        free.create_clip(length)
        track.duplicate_clip_to_arrangement(free.clip, start)
        free.delete_clip()
        if temporary is not None:
            song.delete_scene(temporary)
        return next(clip for clip in track.arrangement_clips if abs(clip.start_time - start) < 1e-6)

    def _open_clip(self, index, need_notes=False):
        track = self._track(index)
        owner, clip, _ = self._detail()
        if clip is None or owner != track:
            raise refusal("no_open_clip", track=index + 1, name=track.name)
        if not clip.is_midi_clip:
            raise refusal("not_midi_clip", track=index + 1)
        if need_notes and not self._notes(clip):
            raise refusal("empty_clip", name=clip.name)
        return track, clip

    def _replace_notes(self, clip, notes):
        span = max(clip.loop_end, clip.length) + 1.0
        clip.remove_notes_extended(0, 128, -16384.0, span + 16384.0)
        if notes:
            clip.add_new_notes(self._specifications(notes))

    def _notes_change(self, index, track, clip, new_notes, name, summary):
        old_notes, old_name = self._notes(clip), clip.name

        def apply():
            self._replace_notes(clip, new_notes)
            if name:
                clip.name = name

        self._undoable(apply)

        def undo():
            self._present(track, clip)
            self._replace_notes(clip, old_notes)
            clip.name = old_name

        return Change(summary, {"trackIndex": index, "clipName": clip.name, "noteCount": len(new_notes),
                                "notes": [note.to_json() for note in new_notes]}, self._in_undo_step(undo))

    def replace_midi_notes(self, index, notes, name):
        track, clip = self._open_clip(index)
        for position, note in enumerate(notes):
            if not clip.loop_start <= note["startTime"] < clip.loop_end:
                raise refusal("note_outside_open_clip", field="notes[%d]" % position,
                              start=_number_text(note["startTime"]), first=_number_text(clip.loop_start),
                              last=_number_text(clip.loop_end))
        new = sorted((Note.from_request(note) for note in notes), key=lambda note: (note.start, note.pitch))
        return self._notes_change(index, track, clip, new, name, "Notes du clip « %s » remplacées : %d note(s)." % (
            name or clip.name, len(new)))

    def evolve_midi_clip(self, index, style):
        track, clip = self._open_clip(index, need_notes=True)
        new = evolve.evolve(self._notes(clip), style, clip.loop_start, clip.loop_end)
        words = {"humanize": "humanisé", "groove": "plus groovy", "variation": "varié", "creative": "réinventé"}
        return self._notes_change(index, track, clip, new, None, "Clip « %s » %s : %d note(s), mêmes hauteurs." % (
            clip.name, words[style], len(new)))

    # -- organisation -------------------------------------------------------------------

    def organize(self):
        song = self.song
        targets = [track for track in song.tracks if self._holds_clips(track)]
        track_roles = [self._role(track) for track in targets]
        names = roles.organised_names([track.name for track in targets], track_roles)
        before = [(track, track.name, track.color_index, [(clip, clip.color_index) for clip in self._clips_of(track)])
                  for track in targets]
        plan = []
        recoloured = 0
        for (track, old_name, old_colour, clips), role, name in zip(before, track_roles, names):
            colour = roles.FAMILY_COLOURS[role][0]
            recoloured += sum(1 for _, clip_colour in clips if clip_colour != colour)
            plan.append((track, role, name, colour, old_name != name or old_colour != colour))
        result = {"changes": [{"trackIndex": self._track_index(track), "before": track.name, "after": name,
                               "role": role, "color": colour, "colorHex": "#%06X" % roles.PALETTE[colour]}
                              for track, role, name, colour, changed in plan if changed],
                  "recolouredClips": recoloured,
                  "roles": [{"trackIndex": self._track_index(track), "name": name, "role": role}
                            for track, role, name, _, _ in plan]}
        if not result["changes"] and not recoloured:
            return Change("Les pistes sont déjà organisées : aucun changement.", result, changed=False)

        def apply():
            for track, role, name, colour, _ in plan:
                track.name = name
                track.color_index = colour
                for clip in self._clips_of(track):
                    if clip.color_index != colour:
                        clip.color_index = colour

        self._undoable(apply)

        def undo():
            for track, name, colour, clips in before:
                if self._track_index(track) is None:
                    continue
                track.name, track.color_index = name, colour
                for clip, clip_colour in clips:
                    if any(other == clip for other in self._clips_of(track)):
                        clip.color_index = clip_colour

        summary = "%d piste(s) renommée(s) et colorée(s) par rôle, %d clip(s) recoloré(s)." % (
            len(result["changes"]), recoloured)
        return Change(summary, result, self._in_undo_step(undo))

    # -- arrangement -----------------------------------------------------------------------

    def _has_content(self, track, scene):
        if not self._holds_clips(track) or scene >= len(track.clip_slots):
            return False
        slot = track.clip_slots[scene]
        if not slot.has_clip:
            return False
        clip = slot.clip
        return clip.is_audio_clip or any(not note.mute for note in self._notes(clip))

    def _layout(self, sections, requested):
        song = self.song
        tracks = list(song.tracks)
        scenes = list(song.scenes)
        selected = next((index for index, other in enumerate(scenes) if other == song.view.selected_scene), None)
        scene = arrangement.source_scene(len(scenes), lambda at: any(self._has_content(track, at) for track in tracks),
                                         selected, requested)
        sections = sections or arrangement.CLUB_TEMPLATE
        sources = [index for index, track in enumerate(tracks) if self._has_content(track, scene)]
        return {"sourceSceneIndex": scene, "sections": sections, "totalBars": sum(s["bars"] for s in sections),
                "phases": arrangement.phases(sources, self.roles(), sections), "sourceTracks": sources}

    def _layout_json(self, layout, start):
        bar = self._beats_per_bar()
        sections, at = [], start
        for section in layout["sections"]:
            sections.append({"name": section["name"], "bars": section["bars"], "startBeats": at,
                             "startBar": int(at / bar) + 1})
            at += section["bars"] * bar
        return {"sourceSceneIndex": layout["sourceSceneIndex"], "totalBars": layout["totalBars"],
                "sections": sections, "phaseCount": len(layout["phases"]), "arrangementStart": start,
                "sourceTracks": [self.song.tracks[index].name for index in layout["sourceTracks"]],
                "usesClubTemplate": layout["sections"] is arrangement.CLUB_TEMPLATE}

    def plan_arrangement(self, sections, scene):
        layout = self._layout(sections, scene)
        return self._layout_json(layout, arrangement.arrangement_start(self._arrangement_end(),
                                                                       self._beats_per_bar()))

    def build_arrangement(self, sections, requested):
        """A generator: each locator needs the playhead moved, which Live
        applies on its next tick, before set_or_delete_cue() can place it."""
        song = self.song
        if song.is_playing:
            raise refusal("arrangement_playing")
        layout = self._layout(sections, requested)
        bar = self._beats_per_bar()
        start = arrangement.arrangement_start(self._arrangement_end(), bar)
        scene = layout["sourceSceneIndex"]
        tracks = list(song.tracks)
        variations = {}
        for index in layout["sourceTracks"]:
            slots = list(tracks[index].clip_slots)
            others = [slot.clip for position, slot in enumerate(slots)
                      if position != scene and self._has_content(tracks[index], position)]
            variations[index] = [slots[scene].clip] + others
        phase_beats = arrangement.PHASE_BARS * bar
        placed = arrangement.placements(layout["phases"], dict((i, len(v)) for i, v in variations.items()),
                                        start, phase_beats)
        created = []

        def place():
            for index, variation, position in placed:
                track, clip = tracks[index], variations[index][variation]
                # Arrangement clips cannot be resized from a script: the loop
                # is laid end to end until the phase is full.
                at = position
                while at < position + phase_beats - 1e-6:
                    copy = track.duplicate_clip_to_arrangement(clip, at)
                    created.append((track, copy))
                    at += max(clip.length, 1.0)
            song.back_to_arranger = False

        self._undoable(place)
        playhead = song.current_song_time
        made_cues = []
        named = True
        at = start
        for section in layout["sections"]:
            if not any(abs(cue.time - at) < 1e-6 for cue in song.cue_points):
                # set_or_delete_cue() toggles: never called where a cue is.
                song.current_song_time = at
                yield
                song.set_or_delete_cue()
                cue = next((cue for cue in song.cue_points if abs(cue.time - at) < 1e-6), None)
                if cue is not None:
                    made_cues.append(at)
                    try:
                        cue.name = section["name"]
                    except AttributeError:
                        named = False  # CuePoint.name is read-only before Live 12.1
            at += section["bars"] * bar
        song.current_song_time = playhead
        info = self._layout_json(layout, start)
        info.update({"arrangementStart": start, "arrangementEnd": start + layout["totalBars"] * bar,
                     "arrangementLengthBars": round(self._arrangement_end() / bar, 3),
                     "clipsCreated": len(created), "locatorsCreated": len(made_cues), "locatorsNamed": named})
        kind = "club" if layout["sections"] is arrangement.CLUB_TEMPLATE else "personnalisé"
        summary = ("Arrangement %s de %d mesures créé à partir de la scène %d : %d sections, %d phases de 8 "
                   "mesures, %d clips et %d locators, à partir de la mesure %d." % (
                       kind, layout["totalBars"], scene + 1, len(layout["sections"]), len(layout["phases"]),
                       len(created), len(made_cues), int(start / bar) + 1))

        def undo():
            def remove():
                for track, clip in created:
                    if self._track_index(track) is not None and any(other == clip for other in
                                                                    track.arrangement_clips):
                        track.delete_clip(clip)
            self._undoable(remove)
            before = song.current_song_time
            for time_ in made_cues:
                if any(abs(cue.time - time_) < 1e-6 for cue in song.cue_points):
                    song.current_song_time = time_
                    yield
                    song.set_or_delete_cue()
            song.current_song_time = before

        return Change(summary, info, undo)

    # -- samples ------------------------------------------------------------------------

    def _catalogue(self):
        # Live's browser offers no file paths: the User Library's Samples
        # folder is catalogued on a thread of its own (files only, no LOM),
        # and Live's main thread never waits for it.
        if not self.library.ready:
            raise refusal("catalogue_not_ready")
        return self.library

    def search_samples(self, query, role, limit):
        found = self._catalogue().search(query, role, limit)
        return {"query": query, "role": role, "count": len(found),
                "results": [dict(sample.to_json(), score=score) for score, sample in found]}

    def import_sample(self, sample_id, query, role, start, track_name):
        library = self._catalogue()
        version = self._version()
        if version < (11, 3, 25) or (12, 0, 0) <= version < (12, 0, 5):
            raise refusal("not_supported_by_live", feature="Importer un sample", needed="11.3.25 ou 12.0.5",
                          version=self.live_version())
        if sample_id is not None:
            sample = library.by_id.get(sample_id)
            if sample is None:
                raise refusal("sample_unknown", id=sample_id)
        else:
            found = library.search(query, role, 1)
            if not found:
                raise refusal("sample_no_match")
            sample = found[0][1]
        song = self.song
        name = track_name or sample.name.replace("_", " ")
        colour = roles.FAMILY_COLOURS[roles.role_from_text(sample.name) or "unknown"][0]
        previous = song.view.selected_track

        def apply():
            song.create_audio_track(-1)
            track = song.tracks[len(song.tracks) - 1]
            track.name = name
            track.color_index = colour
            clip = track.create_audio_clip(sample.path, start)
            song.view.selected_track = track
            return track, clip

        try:
            track, clip = self._undoable(apply)
        except self.Live.Base.LimitationError as error:
            raise refusal("live_limit", detail=str(error))
        index = self._track_index(track)

        def undo():
            self._present(track)
            song.delete_track(self._track_index(track))
            if previous is not None and self._track_index(previous) is not None:
                song.view.selected_track = previous

        summary = "Sample « %s » (%s) importé sur la nouvelle piste audio %d « %s » à la mesure %s." % (
            sample.name, sample.pack, index + 1, name, _number_text(start / self._beats_per_bar() + 1))
        return Change(summary, {"trackIndex": index, "trackName": name, "startTime": start,
                                "lengthBeats": clip.length, "sample": sample.to_json()}, self._in_undo_step(undo))

    # -- master capture ------------------------------------------------------------------

    def _capture_tracks(self):
        return [job.track for job in self.jobs.values() if job.track is not None
                and job.status in ("starting", "recording")]

    def _job(self, job_id):
        job = self.jobs.get(job_id)
        if job is None:
            raise refusal("capture_unknown", id=job_id)
        return job

    def start_capture(self, bars, start):
        """One step per tick, as Live wants: a resampling track, then the
        playhead, then play and record."""
        song = self.song
        if any(job.status in ("starting", "recording", "rendering") for job in self.jobs.values()):
            raise refusal("capture_running")
        if song.is_playing:
            raise refusal("transport_playing")
        job = CaptureJob("master_" + binascii.hexlify(os.urandom(16)).decode("ascii"), bars, start,
                         bars * self._beats_per_bar())
        job.seconds = job.beats * 60.0 / song.tempo
        self.jobs[job.id] = job
        job.restore = {"position": song.current_song_time,
                       "arms": [(track, track.arm) for track in song.tracks if self._holds_clips(track)
                                and track.can_be_armed]}

        def make_track():
            song.create_audio_track(-1)
            track = song.tracks[len(song.tracks) - 1]
            track.name = CAPTURE_TRACK
            resampling = self.Live.Track.RoutingTypeCategory.resampling
            for routing in track.available_input_routing_types:
                if routing.category == resampling:
                    track.input_routing_type = routing
                    break
            track.current_monitoring_state = 2  # off: Live would feed the master back into itself
            return track

        job.track = make_track()
        yield
        for other, _ in job.restore["arms"]:
            other.arm = False
        job.track.arm = True
        song.current_song_time = start
        yield
        song.continue_playing()
        job.track.clip_slots[0].fire(record_length=job.beats,
                                     launch_quantization=self.Live.Song.Quantization.q_no_q)
        job.status = "recording"
        job.played_at = time.monotonic()
        summary = "Capture du master lancée : %s à partir de la mesure %s, sur une piste temporaire." % (
            _bars_text(bars), _number_text(start / self._beats_per_bar() + 1))
        return Change(summary, {"jobId": job.id, "status": "recording", "bars": bars, "startTime": start,
                                "durationSeconds": round(job.seconds, 3), "expectedSeconds": round(job.seconds, 3),
                                "temporaryTrack": CAPTURE_TRACK, "trackIndex": len(song.tracks) - 1})

    def _restore(self, job):
        song = self.song
        if song.is_playing:
            song.stop_playing()
        song.current_song_time = job.restore.get("position", job.start)
        for track, arm in job.restore.get("arms", []):
            if self._track_index(track) is not None:
                track.arm = arm

    def _advance_capture(self, job):
        if job.status == "recording":
            slot = job.track.clip_slots[0] if self._track_index(job.track) is not None else None
            clip = slot.clip if slot is not None and slot.has_clip else None
            if clip is None:
                if time.monotonic() - job.played_at > NO_RECORDING_SECONDS:
                    self._restore(job)
                    self._drop_capture_track(job)
                    job.status, job.error = "failed", capture_failure("not_recording")
                    self.rebaseline()
                return
            if clip.is_recording:
                return
            self._restore(job)
            job.path = self._file_path(clip.file_path)
            job.status = "rendering"
            self.notify()
            self.rebaseline()
        elif job.status == "rendering":
            try:
                size = os.path.getsize(job.path or "")
            except OSError:
                size = -1
            if size > 0 and size == job.size:
                job.status = "ready"
            job.size = size

    def capture_status(self, job_id):
        job = self._job(job_id)
        song = self.song
        progress = 0.0
        if job.status == "recording" and song.is_playing:
            progress = round(max(0.0, min(1.0, (song.current_song_time - job.start) / job.beats)) * 0.95, 4)
        elif job.status == "rendering":
            progress = 0.95
        elif job.status == "ready":
            progress = 1.0
        result = {"jobId": job.id, "status": job.status, "progress": progress, "bars": job.bars,
                  "startTime": job.start, "durationSeconds": round(job.seconds, 3),
                  "temporaryTrackPresent": job.track is not None and self._track_index(job.track) is not None}
        if job.status == "ready":
            result["filePath"] = job.path
        if job.status == "failed":
            result["error"] = {"message": job.error}
        return result

    def _drop_capture_track(self, job):
        index = self._track_index(job.track) if job.track is not None else None
        if index is None:
            return False
        self.song.delete_track(index)
        return True

    def cancel_capture(self, job_id):
        job = self._job(job_id)
        running = job.status in ("starting", "recording", "rendering")
        if job.status in ("starting", "recording"):
            self._restore(job)
        if running:
            job.status = "cancelled"
        removed = self._drop_capture_track(job)
        summary = "Capture du master annulée ; piste temporaire supprimée." if running else \
            "Capture du master déjà terminée ; piste temporaire %s." % ("supprimée" if removed else "déjà absente")
        return Change(summary, {"jobId": job.id, "status": job.status, "temporaryTrackRemoved": True},
                      changed=running or removed)

    def cleanup_capture(self, job_id):
        job = self._job(job_id)
        if job.status in ("starting", "recording", "rendering"):
            change = self.cancel_capture(job_id)
            change.summary = "Capture du master interrompue et piste temporaire supprimée."
            return change
        removed = self._drop_capture_track(job)
        return Change("Piste temporaire de capture %s." % ("supprimée" if removed else "déjà absente"),
                      {"jobId": job.id, "status": job.status, "temporaryTrackRemoved": True}, changed=removed)


class CaptureJob(object):
    def __init__(self, job_id, bars, start, beats):
        self.id = job_id
        self.bars = bars
        self.start = start
        self.beats = beats
        self.seconds = 0.0
        self.status = "starting"
        self.track = None
        self.path = None
        self.size = None
        self.error = None
        self.played_at = 0.0
        self.restore = {}
