"""The simulated backend: every bridge operation carried out on an in-memory
Live Set, with the side effects Live would have (selection following a new
clip, meters gathering while the transport plays, a temporary track while
the master is recorded). The command layer has already validated the
request fields, the revision and the confirmation; what is checked here is
what only the set can answer (does track 7 exist, is it a MIDI track, is a
clip open)."""

from __future__ import annotations

import copy
import math
import os
import secrets
import threading
import time

from .. import protocol
from ..commands import Change
from ..messages import capture_failure
from ..protocol import refusal
from ..logic import evolve
from . import arrangement, model, roles, synth
from .faults import Faults
from .model import (FADER_MIN_DB, Clip, LiveSet, MeterWindow, Note, Track, db_to_fader,
                    db_to_gain, show_db, show_pan)
from .samples import SampleLibrary

CAPTURE_TRACK = "__Vantorel Master Listen — temporary__"
METER_STEP = 0.1
METER_CATCH_UP = 600
NEAR_FULL_SCALE = 0.891          # −1 dBFS


def bars_text(count: float) -> str:
    return "%d mesure%s" % (count, "s" if count >= 2 else "")


def _number_text(value: float) -> str:
    return "%d" % value if float(value).is_integer() else "%.1f" % value


class CaptureJob:
    def __init__(self, job_id, bars, start, seconds, speed, now):
        self.id = job_id
        self.bars = bars
        self.start = start
        self.seconds = seconds
        self.speed = speed
        self.started = now
        self.status = "recording"
        self.track: Track | None = None
        self.path: str | None = None
        self.error: str | None = None
        self.rendered = threading.Event()
        self.cancelled = False
        self.restore: dict = {}

    def progress(self, now: float) -> float:
        if self.status == "ready":
            return 1.0
        if self.status == "recording":
            return round(min(1.0, (now - self.started) * self.speed / self.seconds) * 0.95, 4)
        return 0.95 if self.status == "rendering" else 0.0


class SimulatedBackend:
    name = "simulator"
    simulated = True

    def __init__(self, live: LiveSet, cache: str | None = None, capture_speed: float = 1.0,
                 user_samples: str | None = None, clock=time.time, prepare: bool = True):
        self.live = live
        self.clock = clock
        self.capture_speed = capture_speed
        self.cache = cache or synth.cache_root()
        self.notify = lambda: None
        self.faults = Faults()
        self.jobs: dict[str, CaptureJob] = {}
        self._meter_time = clock()
        live.anchor_time = self._meter_time
        if user_samples is None:
            user_samples = os.path.join(os.path.expanduser("~"), "Music", "Ableton", "User Library",
                                        "Samples")
        self.library = SampleLibrary(os.path.join(self.cache, "library"), user_samples)
        self._renders: dict[str, threading.Event] = {}
        self._render_jobs: list[tuple[dict, float, str]] = []
        for track in live.tracks:
            for clip in track.clips():
                self._adopt_render(clip)
        if prepare:
            threading.Thread(target=self._prepare, name="vantorel-prepare", daemon=True).start()

    # -- background preparation --------------------------------------------------

    def _adopt_render(self, clip: Clip) -> None:
        if clip.kind != "audio" or clip.render is None:
            return
        path = synth.render_path(clip.render, clip.file_tempo, os.path.join(self.cache, "clips"))
        clip.file = path
        if path not in self._renders:
            self._renders[path] = threading.Event()
            self._render_jobs.append((clip.render, clip.file_tempo, path))

    def _prepare(self, jobs=None) -> None:
        """Renders the set's audio clips (key detection and captures need them)."""
        for render, tempo, path in list(self._render_jobs if jobs is None else jobs):
            try:
                synth.render_to_file(render, tempo, path)
            except OSError:
                pass
            finally:
                self._renders[path].set()

    def prepare_now(self) -> None:
        self._prepare()

    def _wait_for_file(self, path: str | None) -> None:
        event = self._renders.get(path or "")
        if event is not None and not event.wait(120):
            raise refusal("file_not_ready")

    # -- command-layer hooks ------------------------------------------------------

    def attach(self, notify) -> None:
        self.notify = notify

    def extra_capabilities(self) -> list[str]:
        return ["master.capture", "simulator.edit"]

    def live_version(self) -> str:
        return self.live.live_version

    def captured_at(self):
        return None

    def rebaseline(self) -> None:
        pass  # the simulator counts the user's edits where they happen

    def tick(self) -> None:
        now = self.clock()
        self._advance_meters(now)
        self._advance_jobs(now)

    # -- lookups ------------------------------------------------------------------

    def _track(self, index: int) -> Track:
        if index >= len(self.live.tracks):
            raise refusal("track_missing", index=index, count=len(self.live.tracks))
        return self.live.tracks[index]

    def _label(self, track: Track) -> str:
        index = self.live.index_of(track)
        return "« %s »" % track.name if index is None else "%d « %s »" % (index + 1, track.name)

    def _present(self, track: Track, clip: Clip | None = None) -> None:
        """Undo steps check that what they restore is still in the set."""
        if self.live.index_of(track) is None:
            raise refusal("track_gone", name=track.name)
        if clip is not None and not any(other is clip for other in track.clips()):
            raise refusal("clip_gone", name=clip.name)

    def roles(self) -> list[str]:
        return [roles.infer_role(track) for track in self.live.tracks]

    def _open_clip(self, index: int, need_notes: bool = False) -> tuple[Track, Clip]:
        track = self._track(index)
        clip = self.live.detail_clip
        if clip is None or self.live.track_of(clip) is not track:
            raise refusal("no_open_clip", track=index + 1, name=track.name)
        if clip.kind != "midi":
            raise refusal("not_midi_clip", track=index + 1)
        if need_notes and not clip.notes:
            raise refusal("empty_clip", name=clip.name)
        return track, clip

    # -- meters and playhead --------------------------------------------------------

    def _reset_meters(self, now: float) -> None:
        for track in self.live.tracks + self.live.returns + [self.live.master]:
            track.meter = MeterWindow()
        self._meter_time = now

    def _content_level(self, track: Track, beat: float) -> float:
        for clip, origin, _, _, looping in synth._segments(self.live, track, beat, beat + 1e-6):
            offset = beat - origin
            if looping:
                offset %= clip.content_length
            elif offset >= clip.content_length:
                continue
            position = clip.loop_start + offset
            if clip.kind == "audio":
                return 0.8
            sounding = [note.velocity for note in clip.notes if not note.mute
                        and note.start <= position < note.start + max(note.duration, 0.25)]
            if sounding:
                return max(sounding) / 127.0
            return 0.12 if clip.notes else 0.0
        return 0.0

    def _levels(self, beat: float) -> tuple[list[float], list[float], float]:
        soloing = any(track.solo for track in self.live.tracks)
        levels = []
        for track in self.live.tracks:
            if track.temporary or not track.holds_clips or track.mute or (soloing and not track.solo):
                levels.append(0.0)
                continue
            levels.append(track.level * self._content_level(track, beat) * db_to_gain(track.volume_db))
        returns = []
        for position, ret in enumerate(self.live.returns):
            fed = sum(level * db_to_gain(track.sends[position])
                      for track, level in zip(self.live.tracks, levels) if position < len(track.sends))
            returns.append(0.0 if ret.mute else min(2.0, fed * 0.6 * db_to_gain(ret.volume_db)))
        master = math.sqrt(sum(level * level for level in levels + returns))
        return levels, returns, master * db_to_gain(self.live.master.volume_db)

    def _advance_meters(self, now: float) -> None:
        if not self.live.playing:
            self._meter_time = now
            return
        ticks = int((now - self._meter_time) / METER_STEP)
        if ticks <= 0:
            return
        computed = min(ticks, METER_CATCH_UP)
        spacing = METER_STEP * ticks / computed
        for k in range(computed):
            at = self._meter_time + (k + 1) * spacing
            levels, returns, master = self._levels(self.live.position(at))
            for track, level in zip(self.live.tracks, levels):
                track.meter.add(level, spacing)
            for ret, level in zip(self.live.returns, returns):
                ret.meter.add(level, spacing)
            self.live.master.meter.add(master, spacing)
        self._meter_time += ticks * METER_STEP

    def _start_transport(self, now: float, at: float | None = None) -> None:
        position = self.live.position(now) if at is None else at
        self.live.playing = True
        self.live.set_position(position, now)
        self._reset_meters(now)

    def _stop_transport(self, now: float) -> None:
        self._advance_meters(now)
        position = self.live.position(now)
        self.live.playing = False
        self.live.set_position(position, now)

    # -- reading views --------------------------------------------------------------

    def _clip_json(self, clip: Clip, track: Track, scene: int | None, now: float) -> dict:
        live = self.live
        playing = False
        if live.playing:
            beat = live.position(now)
            if scene is not None:
                playing = live.launched_scene == scene
            else:
                playing = live.launched_scene is None and clip.start <= beat < clip.end
        start = 0.0 if clip.start is None else clip.start
        data = {
            "name": clip.name, "type": clip.kind,
            "view": "session" if scene is not None else "arrangement",
            "startTimeBeats": round(start, 6), "endTimeBeats": round(start + clip.length, 6),
            "lengthBeats": round(clip.length, 6), "loopStartBeats": clip.loop_start,
            "loopEndBeats": clip.loop_end, "looping": clip.looping, "playing": playing,
            "recording": False, "selected": clip is live.detail_clip,
            "color": clip.color if clip.color is not None else track.color,
        }
        if scene is not None:
            data["sceneIndex"] = scene
        if clip.kind == "midi":
            data["noteCount"] = len(clip.notes)
            if clip.notes:
                data["pitchRange"] = [min(n.pitch for n in clip.notes), max(n.pitch for n in clip.notes)]
        else:
            data.update({"filePath": clip.file, "warping": clip.warp,
                         "transposeSemitones": clip.transpose, "fileTempo": clip.file_tempo})
        return data

    def _device_json(self, index: int, device, limit: int = 512) -> dict:
        return {
            "index": index, "name": device.name, "className": device.class_name, "type": device.kind,
            "isActive": device.active, "parameterCount": len(device.parameters),
            "parameters": [self._parameter_json(position, parameter)
                           for position, parameter in enumerate(device.parameters[:limit])],
        }

    @staticmethod
    def _parameter_json(index: int, parameter) -> dict:
        data = {"index": index, "name": parameter.name, "value": parameter.value,
                "min": parameter.minimum, "max": parameter.maximum,
                "displayValue": parameter.display(), "isQuantized": parameter.quantized,
                "automated": parameter.automated, "enabled": True, "defaultValue": parameter.default}
        if parameter.items:
            data["valueItems"] = list(parameter.items)
        return data

    def _mixer_json(self, track: Track) -> dict:
        sends = []
        for position, ret in enumerate(self.live.returns):
            db = track.sends[position] if position < len(track.sends) else FADER_MIN_DB
            sends.append({"index": position, "name": ret.name, "value": round(db_to_fader(db), 4),
                          "displayValue": show_db(db), "db": db})
        return {
            "volume": {"value": round(db_to_fader(track.volume_db), 4), "db": track.volume_db,
                       "displayValue": show_db(track.volume_db), "automated": "Volume" in track.automation},
            "panning": {"value": track.pan, "displayValue": show_pan(track.pan),
                        "automated": "Pan" in track.automation},
            "sends": sends if track.kind not in ("return", "master") else [],
        }

    def _track_json(self, index: int, track: Track, role: str, soloing: bool, now: float) -> dict:
        clips = []
        for scene, clip in enumerate(track.slots):
            if clip is not None:
                clips.append(self._clip_json(clip, track, scene, now))
        for clip in track.arrangement:
            clips.append(self._clip_json(clip, track, None, now))
        content = track.has_content()
        automated = bool(track.automation) or any(parameter.automated for device in track.devices
                                                  for parameter in device.parameters)
        return {
            "index": index, "name": track.name, "kind": track.kind,
            "color": track.color, "colorHex": "#%06X" % roles.PALETTE.get(track.color, 0x9A9A9A),
            "selected": track is self.live.selected_track,
            "isMidiTrack": track.kind == "midi", "isAudioTrack": track.kind == "audio",
            "isGroupTrack": track.kind == "group", "group": track.group,
            "active": (content and not track.mute and not track.temporary
                       and (not soloing or track.solo)),
            "hasContent": content, "muted": track.mute, "soloed": track.solo, "armed": track.arm,
            "canBeArmed": track.can_be_armed, "frozen": False,
            "automationObserved": automated, "inferredRole": role,
            "clips": len(clips), "clipDetails": clips,
            "devices": [self._device_json(position, device) for position, device in enumerate(track.devices)],
            "deviceCount": len(track.devices), "mixer": self._mixer_json(track),
            "meterWindow": track.meter.to_json(),
            "inputRouting": "Resampling" if track.temporary else ("Ext. In" if track.holds_clips else "—"),
            "outputRouting": "Master", "temporary": track.temporary,
        }

    def _bus_json(self, index: int | None, track: Track) -> dict:
        data = {"name": track.name, "kind": track.kind, "muted": track.mute,
                "devices": [self._device_json(position, device) for position, device in enumerate(track.devices)],
                "mixer": self._mixer_json(track), "meterWindow": track.meter.to_json(),
                "automationObserved": bool(track.automation)}
        if index is not None:
            data["index"] = index
        return data

    def _section_count(self) -> int:
        end = self.live.arrangement_end()
        return len({round(locator.time, 4) for locator in self.live.locators if locator.time < end})

    def session_snapshot(self) -> dict:
        live, now = self.live, self.clock()
        selected = live.selected_track
        detail = None
        if live.detail_clip is not None:
            owner = live.track_of(live.detail_clip)
            if owner is not None:
                detail = {"trackIndex": live.index_of(owner), "track": owner.name,
                          "name": live.detail_clip.name, "type": live.detail_clip.kind,
                          "view": "arrangement" if live.detail_clip.start is not None else "session"}
        return {
            "project": live.project, "liveVersion": live.live_version, "tempo": live.tempo,
            "signature": live.signature, "projectScale": live.project_scale, "key": live.scale_root,
            "currentTime": round(live.position(now), 4), "isPlaying": live.playing,
            "tracks": [{"index": index, "name": track.name, "kind": track.kind, "muted": track.mute,
                        "soloed": track.solo, "armed": track.arm, "clipCount": len(track.clips()),
                        "selected": track is selected, "color": track.color}
                       for index, track in enumerate(live.tracks)],
            "trackCount": len(live.tracks),
            "clips": sum(len(track.clips()) for track in live.tracks),
            "selectedTrack": selected.name if selected is not None else "",
            "selectedTrackIndex": live.index_of(selected) if selected is not None else None,
            "selectedScene": live.selected_scene, "detailClip": detail,
            "scenes": list(live.scenes), "launchedScene": live.launched_scene,
            "returnTracks": [ret.name for ret in live.returns],
            "locators": [{"name": locator.name, "time": locator.time} for locator in live.locators],
            "arrangementLengthBars": round(live.arrangement_end() / live.beats_per_bar, 3),
            "simulated": True,
        }

    def project_analysis(self) -> dict:
        live, now = self.live, self.clock()
        soloing = any(track.solo for track in live.tracks)
        track_roles = self.roles()
        return {
            "project": live.project, "tempo": live.tempo, "signature": live.signature,
            "beatsPerBar": live.beats_per_bar, "projectScale": live.project_scale,
            "arrangementLengthBars": round(live.arrangement_end() / live.beats_per_bar, 3),
            "sectionCountFromLocators": self._section_count(),
            "locators": [{"name": locator.name, "time": locator.time,
                          "bar": round(locator.time / live.beats_per_bar + 1, 3)}
                         for locator in live.locators],
            "scenes": [{"index": index, "name": name,
                        "clipCount": sum(1 for track in live.tracks
                                         if index < len(track.slots) and track.slots[index] is not None)}
                       for index, name in enumerate(live.scenes)],
            "tracks": [self._track_json(index, track, role, soloing, now)
                       for index, (track, role) in enumerate(zip(live.tracks, track_roles))],
            "returnTracks": [self._bus_json(index, ret) for index, ret in enumerate(live.returns)],
            "masterTrack": self._bus_json(None, live.master),
            "currentTime": round(live.position(now), 4), "isPlaying": live.playing,
        }

    def mix_prep(self) -> dict:
        live = self.live
        findings = []
        counts = {"genericNames": 0, "emptyTracks": 0, "tracksWithoutDevices": 0, "mutedTracks": 0,
                  "levelsNearFullScale": 0}

        def add(kind, counter, index, track, message):
            counts[counter] += 1
            findings.append({"kind": kind, "trackIndex": index, "track": track.name, "message": message})

        track_roles = self.roles()
        for index, track in enumerate(live.tracks):
            if track.temporary:
                continue
            label = "Piste %d « %s »" % (index + 1, track.name)
            if roles.is_generic(track.name):
                add("genericName", "genericNames", index, track,
                    "%s : nom générique, renomme-la d’après son rôle (%s)."
                    % (label, roles.LABELS[track_roles[index]]))
            if track.holds_clips and not track.has_content():
                add("emptyTrack", "emptyTracks", index, track,
                    "%s : aucun clip avec du contenu, à remplir ou supprimer." % label)
            elif track.holds_clips and not track.devices:
                add("noDevices", "tracksWithoutDevices", index, track,
                    "%s : aucun device, le son part brut vers le master." % label)
            if track.mute and track.has_content():
                add("mutedTrack", "mutedTracks", index, track, "%s : muette alors qu’elle a du contenu." % label)
            if track.meter.maximum >= NEAR_FULL_SCALE or track.volume_db >= 3.0:
                peak = 20 * math.log10(track.meter.maximum) if track.meter.maximum > 0 else None
                add("nearFullScale", "levelsNearFullScale", index, track,
                    "%s : niveau proche de 0 dB (%s, fader %s), garde de la marge."
                    % (label, "crête %.1f dBFS" % peak if peak is not None else "crête non mesurée",
                       show_db(track.volume_db)))
        master = live.master.meter
        master_finding = None
        if master.samples >= 2 and master.maximum >= NEAR_FULL_SCALE:
            master_finding = "Le master atteint %.1f dBFS : baisse les pistes avant le mastering." % (
                20 * math.log10(master.maximum))
        elif master.samples < 2:
            master_finding = "Master non mesuré : lance la lecture pour mesurer les niveaux."
        if master_finding:
            findings.append({"kind": "master", "trackIndex": None, "track": live.master.name,
                             "message": master_finding})
        summary = ("Préparation au mix : %d nom(s) générique(s), %d piste(s) vide(s), %d piste(s) sans "
                   "device, %d niveau(x) proche(s) de 0 dB." % (
                       counts["genericNames"], counts["emptyTracks"], counts["tracksWithoutDevices"],
                       counts["levelsNearFullScale"]))
        return {"summary": summary, "findings": findings, "counts": counts, "readOnly": True,
                "trackCount": len(live.tracks),
                "masterPeakDbfs": round(20 * math.log10(master.maximum), 2) if master.maximum > 0 else None}

    def key_source(self) -> dict:
        live = self.live
        clip = live.detail_clip
        track = live.track_of(clip) if clip is not None else None
        if track is None:
            raise refusal("no_clip_selected")
        result = {"track": track.name, "trackIndex": live.index_of(track), "clip": clip.name,
                  "project": live.project, "view": "session" if clip.start is None else "arrangement"}
        if clip.kind == "audio":
            self._wait_for_file(clip.file)
            if not clip.file or not os.path.isfile(clip.file):
                raise refusal("file_missing", name=clip.name)
            rate = clip.file_tempo if clip.warp else live.tempo
            result.update({"kind": "audio", "filePath": clip.file, "transposeSemitones": clip.transpose,
                           "analysisRange": {"startSeconds": round(clip.loop_start * 60.0 / rate, 6),
                                             "durationSeconds": round(clip.content_length * 60.0 / rate, 6)}})
        else:
            weights = [0.0] * 12
            for note in clip.notes:
                if not note.mute and clip.loop_start <= note.start < clip.loop_end:
                    weights[note.pitch % 12] += min(note.duration, clip.loop_end - note.start)
            result.update({"kind": "midi", "pitchClasses": [round(weight, 6) for weight in weights],
                           "transposeSemitones": 0.0, "noteCount": len(clip.notes)})
        return result

    # -- arrangement and organisation -------------------------------------------------

    def plan_arrangement(self, sections, scene) -> dict:
        layout = arrangement.plan(self.live, self.roles(), sections, scene)
        return self._layout_json(layout, self.live.arrangement_end())

    def _layout_json(self, layout: dict, start: float) -> dict:
        bar = self.live.beats_per_bar
        start = -(-start // bar) * bar if start > 0 else 0.0
        sections, at = [], start
        for section in layout["sections"]:
            sections.append({"name": section["name"], "bars": section["bars"], "startBeats": at,
                             "startBar": int(at / bar) + 1})
            at += section["bars"] * bar
        return {"sourceSceneIndex": layout["sourceSceneIndex"], "totalBars": layout["totalBars"],
                "sections": sections, "phaseCount": len(layout["phases"]), "arrangementStart": start,
                "sourceTracks": [self.live.tracks[index].name for index in layout["sourceTracks"]],
                "usesClubTemplate": layout["sections"] is arrangement.CLUB_TEMPLATE}

    def build_arrangement(self, sections, scene) -> Change:
        live = self.live
        if live.playing:
            raise refusal("arrangement_playing")
        previous_scene = live.launched_scene
        layout, created, locators, start = arrangement.build(live, self.roles(), sections, scene)
        # Live only plays the Arrangement once the tracks are back to it.
        live.launched_scene = None
        info = self._layout_json(layout, start)
        info.update({"arrangementStart": start,
                     "arrangementEnd": start + layout["totalBars"] * live.beats_per_bar,
                     "arrangementLengthBars": round(live.arrangement_end() / live.beats_per_bar, 3),
                     "clipsCreated": len(created), "locatorsCreated": len(locators)})
        kind = "club" if layout["sections"] is arrangement.CLUB_TEMPLATE else "personnalisé"
        summary = ("Arrangement %s de %d mesures créé à partir de la scène %d : %d sections, %d phases "
                   "de 8 mesures, %d clips et %d locators, à partir de la mesure %d." % (
                       kind, layout["totalBars"], layout["sourceSceneIndex"] + 1, len(layout["sections"]),
                       len(layout["phases"]), len(created), len(locators), int(start / live.beats_per_bar) + 1))

        def undo():
            for track, clip in created:
                track.arrangement[:] = [other for other in track.arrangement if other is not clip]
                if live.detail_clip is clip:
                    live.detail_clip = None
            live.locators[:] = [other for other in live.locators
                                if not any(other is made for made in locators)]
            live.launched_scene = previous_scene

        return Change(summary, info, undo)

    def organize(self) -> Change:
        live = self.live
        targets = [track for track in live.tracks if track.holds_clips and not track.temporary]
        track_roles = [roles.infer_role(track) for track in targets]
        names = roles.organised_names(targets, track_roles)
        before = [(track, track.name, track.color, [(clip, clip.color) for clip in track.clips()])
                  for track in targets]
        changes, recoloured = [], 0
        for track, role, name in zip(targets, track_roles, names):
            colour = roles.FAMILY_COLOURS[role][0]
            old_name, old_colour = track.name, track.color
            track.name, track.color = name, colour
            for clip in track.clips():
                if clip.color != colour:
                    clip.color = colour
                    recoloured += 1
            if old_name != name or old_colour != colour:
                changes.append({"trackIndex": live.index_of(track), "before": old_name, "after": name,
                                "role": role, "color": colour, "colorHex": "#%06X" % roles.PALETTE[colour]})
        result = {"changes": changes, "recolouredClips": recoloured,
                  "roles": [{"trackIndex": live.index_of(track), "name": track.name, "role": role}
                            for track, role in zip(targets, track_roles)]}
        if not changes and not recoloured:
            return Change("Les pistes sont déjà organisées : aucun changement.", result, changed=False)

        def undo():
            for track, name, colour, clips in before:
                track.name, track.color = name, colour
                for clip, clip_colour in clips:
                    clip.color = clip_colour

        summary = "%d piste(s) renommée(s) et colorée(s) par rôle, %d clip(s) recoloré(s)." % (
            len(changes), recoloured)
        return Change(summary, result, undo)

    # -- samples -------------------------------------------------------------------------

    def _library(self):
        try:
            self.library.ensure()
        except OSError as error:
            raise refusal("library_unavailable", detail=error)
        return self.library

    def search_samples(self, query: str, role, limit: int) -> dict:
        found = self._library().search(query, role, limit)
        return {"query": query, "role": role, "count": len(found),
                "results": [dict(sample.to_json(), score=score) for score, sample in found]}

    def import_sample(self, sample_id, query, role, start, track_name) -> Change:
        library = self._library()
        if sample_id is not None:
            sample = library.by_id.get(sample_id)
            if sample is None:
                raise refusal("sample_unknown", id=sample_id)
        else:
            found = library.search(query, role, 1)
            if not found:
                raise refusal("sample_no_match")
            sample = found[0][1]
        live = self.live
        seconds = sample.seconds
        if sample.bpm:
            tempo, warp = sample.bpm, True
        else:
            tempo, warp = live.tempo, False
        length = seconds * tempo / 60.0 if seconds else live.beats_per_bar
        length = max(round(length * 16) / 16.0, 0.0625)
        track_role = roles.role_from_text(sample.name) or "unknown"
        name = track_name or sample.name.replace("_", " ")
        track = Track(name, "audio", len(live.scenes))
        track.sends = [FADER_MIN_DB] * len(live.returns)
        track.color = roles.FAMILY_COLOURS[track_role][0]
        track.level = 0.6
        clip = Clip("audio", sample.name, length, start=start, color=track.color)
        clip.file, clip.file_tempo, clip.warp = sample.path, tempo, warp
        clip.looping = sample.loop
        track.arrangement.append(clip)
        live.tracks.append(track)
        previous = (live.selected_track, live.detail_clip)
        live.selected_track, live.detail_clip = track, clip
        index = len(live.tracks) - 1

        def undo():
            self._remove_track(track)
            if live.selected_track is None and previous[0] in live.tracks:
                live.selected_track, live.detail_clip = previous

        summary = "Sample « %s » (%s) importé sur la nouvelle piste audio %d « %s » à la mesure %s." % (
            sample.name, sample.pack, index + 1, name, _number_text(start / live.beats_per_bar + 1))
        return Change(summary, {"trackIndex": index, "trackName": name, "startTime": start,
                                "lengthBeats": length, "sample": sample.to_json()}, undo)

    # -- transport and tempo ------------------------------------------------------------------

    def play(self) -> Change:
        now = self.clock()
        if self.live.playing:
            return Change("La lecture est déjà en cours.", {"isPlaying": True}, changed=False)
        self._start_transport(now)
        return Change("Lecture lancée.", {"isPlaying": True, "currentTime": self.live.position(now)})

    def stop(self) -> Change:
        now = self.clock()
        if not self.live.playing:
            return Change("La lecture est déjà arrêtée.", {"isPlaying": False}, changed=False)
        self._stop_transport(now)
        return Change("Lecture arrêtée.", {"isPlaying": False, "currentTime": self.live.position(now)})

    def set_tempo(self, tempo: float) -> Change:
        live = self.live
        old = live.tempo

        def apply(value):
            now = self.clock()
            self._advance_meters(now)
            live.set_position(live.position(now), now)
            live.tempo = value

        apply(tempo)
        return Change("Tempo réglé à %s BPM (avant : %s BPM)." % (_number_text(tempo), _number_text(old)),
                      {"tempo": tempo, "previousTempo": old}, lambda: apply(old), changed=tempo != old)

    # -- tracks -------------------------------------------------------------------------------

    def _remove_track(self, track: Track) -> None:
        live = self.live
        index = live.index_of(track)
        if index is None:
            return
        del live.tracks[index]
        if live.detail_clip is not None and live.track_of(live.detail_clip) is None:
            live.detail_clip = None
        if live.selected_track is track:
            live.selected_track = live.tracks[min(index, len(live.tracks) - 1)] if live.tracks else None

    def create_track(self, kind: str, name, index) -> Change:
        live = self.live
        if index is not None and index > len(live.tracks):
            raise refusal("track_position", maximum=len(live.tracks))
        position = len(live.tracks) if index is None else index
        name = name or "%d-%s" % (position + 1, "MIDI" if kind == "midi" else "Audio")
        track = Track(name, kind, len(live.scenes))
        track.sends = [FADER_MIN_DB] * len(live.returns)
        live.tracks.insert(position, track)
        previous = live.selected_track
        live.selected_track, previous_clip = track, live.detail_clip
        live.detail_clip = None

        def undo():
            self._remove_track(track)
            if previous in live.tracks:
                live.selected_track = previous
                live.detail_clip = previous_clip if live.track_of(previous_clip) is not None else None

        summary = "Piste %s « %s » créée en position %d." % ("MIDI" if kind == "midi" else "audio", name,
                                                          position + 1)
        return Change(summary, {"trackIndex": position, "name": name, "kind": kind}, undo)

    def rename_track(self, index: int, name: str) -> Change:
        track = self._track(index)
        old = track.name
        track.name = name

        def undo():
            self._present(track)
            track.name = old

        return Change("Piste %d renommée « %s » (avant : « %s »)." % (index + 1, name, old),
                      {"trackIndex": index, "name": name, "previousName": old}, undo, changed=old != name)

    def select_track(self, index: int) -> Change:
        live = self.live
        track = self._track(index)
        changed = live.selected_track is not track
        live.selected_track = track
        if changed:
            # Live shows the clip of the highlighted scene of the new track.
            slot = track.slots[live.selected_scene] if live.selected_scene < len(track.slots) else None
            live.detail_clip = slot
        return Change("Piste %d « %s » sélectionnée." % (index + 1, track.name),
                      {"trackIndex": index, "name": track.name}, changed=changed)

    def set_track_state(self, index: int, field: str, enabled: bool) -> Change:
        track = self._track(index)
        if field == "arm" and not track.can_be_armed:
            raise refusal("cannot_arm", track=index + 1, name=track.name)
        attribute = {"mute": "mute", "solo": "solo", "arm": "arm"}[field]
        old = getattr(track, attribute)
        setattr(track, attribute, enabled)
        words = {"mute": ("muette", "audible"), "solo": ("en solo", "hors solo"),
                 "arm": ("armée", "désarmée")}[field]
        summary = "Piste %d « %s » %s." % (index + 1, track.name, words[0] if enabled else words[1])
        def undo():
            self._present(track)
            setattr(track, attribute, old)

        undo = undo if old != enabled else None
        return Change(summary, {"trackIndex": index, "field": field, "enabled": enabled}, undo,
                      changed=old != enabled)

    def set_track_volume(self, index: int, db: float) -> Change:
        track = self._track(index)
        old = track.volume_db
        track.volume_db = db

        def undo():
            self._present(track)
            track.volume_db = old

        return Change("Volume de la piste %d « %s » réglé à %s (avant : %s)." % (
            index + 1, track.name, show_db(db), show_db(old)),
            {"trackIndex": index, "displayDb": db, "displayValue": show_db(db),
             "value": round(db_to_fader(db), 4)}, undo, changed=old != db)

    def set_track_send(self, index: int, send: int, db: float) -> Change:
        track = self._track(index)
        if send >= len(self.live.returns):
            raise refusal("send_missing", index=send, count=len(self.live.returns))
        while len(track.sends) < len(self.live.returns):
            track.sends.append(FADER_MIN_DB)
        old = track.sends[send]
        track.sends[send] = db

        def undo():
            self._present(track)
            track.sends[send] = old

        return Change("Envoi %s de la piste %d « %s » réglé à %s." % (
            self.live.returns[send].name, index + 1, track.name, show_db(db)),
            {"trackIndex": index, "sendIndex": send, "displayDb": db, "displayValue": show_db(db)},
            undo, changed=old != db)

    # -- devices ------------------------------------------------------------------------------

    def _device(self, index: int, device_index: int):
        track = self._track(index)
        if device_index >= len(track.devices):
            raise refusal("device_missing", index=device_index, track=index + 1, count=len(track.devices))
        return track, track.devices[device_index]

    def read_parameters(self, index: int, device_index: int) -> dict:
        track, device = self._device(index, device_index)
        data = self._device_json(device_index, device)
        data.update({"trackIndex": index, "track": track.name, "deviceIndex": device_index})
        return data

    def write_parameter(self, index: int, device_index: int, parameter_index: int, value: float) -> Change:
        track, device = self._device(index, device_index)
        if parameter_index >= len(device.parameters):
            raise refusal("parameter_missing", index=parameter_index, device=device.name,
                          count=len(device.parameters))
        parameter = device.parameters[parameter_index]
        if not parameter.minimum <= value <= parameter.maximum:
            raise refusal("parameter_range", parameter=parameter.name, device=device.name,
                          minimum="%g" % parameter.minimum, maximum="%g" % parameter.maximum, value="%g" % value)
        if parameter.quantized and value != int(value):
            raise refusal("parameter_whole", parameter=parameter.name, device=device.name)
        old = parameter.value
        parameter.value = value

        def undo():
            self._present(track)
            parameter.value = old

        return Change("%s de %s (piste %d) réglé sur %s." % (parameter.name, device.name, index + 1,
                                                            parameter.display()),
                      {"trackIndex": index, "deviceIndex": device_index, "parameterIndex": parameter_index,
                       "value": value, "displayValue": parameter.display(), "previousValue": old},
                      undo, changed=old != value)

    # -- clips --------------------------------------------------------------------------------

    def create_midi_clip(self, index: int, start: float, length: float, notes: list, name) -> Change:
        live = self.live
        track = self._track(index)
        if track.kind != "midi":
            raise refusal("not_midi_track", track=index + 1, name=track.name)
        for other in track.arrangement:
            if start < other.end - 1e-9 and other.start < start + length - 1e-9:
                raise refusal("clip_overlap", track=index + 1, name=other.name,
                              start=_number_text(other.start), end=_number_text(other.end))
        clip = Clip("midi", name or "%s %d" % (track.name, len(track.arrangement) + 1), length, start=start,
                    notes=[Note.from_request(note) for note in notes], color=track.color)
        clip.notes.sort(key=lambda note: (note.start, note.pitch))
        track.arrangement.append(clip)
        track.arrangement.sort(key=lambda other: other.start)
        previous = (live.selected_track, live.detail_clip)
        live.selected_track, live.detail_clip = track, clip

        def undo():
            self._present(track, clip)
            track.arrangement[:] = [other for other in track.arrangement if other is not clip]
            if live.detail_clip is clip:
                live.selected_track, live.detail_clip = previous
                if live.detail_clip is not None and live.track_of(live.detail_clip) is None:
                    live.detail_clip = None

        summary = "Clip MIDI « %s » créé sur la piste %d « %s » : %s à partir de la mesure %s, %d note(s)." % (
            clip.name, index + 1, track.name, bars_text(length / live.beats_per_bar)
            if (length / live.beats_per_bar).is_integer() else "%s temps" % _number_text(length),
            _number_text(start / live.beats_per_bar + 1), len(clip.notes))
        return Change(summary, {"trackIndex": index, "clipName": clip.name, "startTime": start,
                                "length": length, "noteCount": len(clip.notes)}, undo)

    def _notes_change(self, index: int, clip: Clip, new_notes: list, name, summary: str) -> Change:
        track = self.live.tracks[index]
        old_notes, old_name = clip.notes, clip.name
        clip.notes = new_notes
        if name:
            clip.name = name

        def undo():
            self._present(track, clip)
            clip.notes, clip.name = old_notes, old_name

        return Change(summary, {"trackIndex": index, "clipName": clip.name, "noteCount": len(new_notes),
                                "notes": [note.to_json() for note in new_notes]}, undo)

    def replace_midi_notes(self, index: int, notes: list, name) -> Change:
        track, clip = self._open_clip(index)
        for position, note in enumerate(notes):
            if not clip.loop_start <= note["startTime"] < clip.loop_end:
                raise refusal("note_outside_open_clip", field="notes[%d]" % position,
                              start=_number_text(note["startTime"]), first=_number_text(clip.loop_start),
                              last=_number_text(clip.loop_end))
        new = sorted((Note.from_request(note) for note in notes), key=lambda note: (note.start, note.pitch))
        return self._notes_change(index, clip, new, name, "Notes du clip « %s » remplacées : %d note(s)." % (
            name or clip.name, len(new)))

    def evolve_midi_clip(self, index: int, style: str) -> Change:
        track, clip = self._open_clip(index, need_notes=True)
        new = evolve.evolve(clip.notes, style, clip.loop_start, clip.loop_end)
        words = {"humanize": "humanisé", "groove": "plus groovy", "variation": "varié",
                 "creative": "réinventé"}
        return self._notes_change(index, clip, new, None, "Clip « %s » %s : %d note(s), mêmes hauteurs." % (
            clip.name, words[style], len(new)))

    # -- master capture ---------------------------------------------------------------------------

    def _job(self, job_id: str) -> CaptureJob:
        job = self.jobs.get(job_id)
        if job is None:
            raise refusal("capture_unknown", id=job_id)
        return job

    def start_capture(self, bars: int, start: float) -> Change:
        live = self.live
        if any(job.status in ("recording", "rendering") for job in self.jobs.values()):
            raise refusal("capture_running")
        if live.playing:
            raise refusal("transport_playing")
        now = self.clock()
        job_id = "master_" + secrets.token_hex(16)
        seconds = bars * live.beats_per_bar * 60.0 / live.tempo
        job = CaptureJob(job_id, bars, start, seconds, self.capture_speed, now)
        job.path = os.path.join(self.cache, "captures", job_id + ".wav")
        track_roles = self.roles()
        mix = copy.deepcopy(live)
        track = Track(CAPTURE_TRACK, "audio", len(live.scenes))
        track.temporary, track.arm = True, True
        track.sends = [FADER_MIN_DB] * len(live.returns)
        job.restore = {"position": live.position(now), "arms": [(other, other.arm) for other in live.tracks]}
        for other in live.tracks:
            other.arm = False
        live.tracks.append(track)
        job.track = track
        self._start_transport(now, start)
        self.jobs[job_id] = job
        for other in mix.tracks:
            for clip in other.clips():
                if clip.kind == "audio":
                    self._wait_for_file(clip.file)
        threading.Thread(target=self._render_capture, args=(job, mix, track_roles), daemon=True,
                         name="vantorel-capture").start()
        summary = "Capture du master lancée : %s à partir de la mesure %s, sur une piste temporaire." % (
            bars_text(bars), _number_text(start / live.beats_per_bar + 1))
        return Change(summary, {"jobId": job_id, "status": "recording", "bars": bars, "startTime": start,
                                "durationSeconds": round(seconds, 3),
                                "expectedSeconds": round(seconds / self.capture_speed, 3),
                                "temporaryTrack": CAPTURE_TRACK, "trackIndex": len(live.tracks) - 1})

    def _render_capture(self, job: CaptureJob, mix: LiveSet, track_roles: list[str]) -> None:
        try:
            left, right = synth.render_mix(mix, track_roles, job.start, job.bars,
                                           cancelled=lambda: job.cancelled)
            if not job.cancelled:
                synth.write_wav(job.path, [left, right])
        except Exception as error:  # the job reports it as failed
            job.error = capture_failure("render_failed", detail=error)
        finally:
            job.rendered.set()

    def _finish_recording(self, job: CaptureJob, now: float) -> None:
        self._stop_transport(now)
        self.live.set_position(job.restore.get("position", job.start), now)
        for track, arm in job.restore.get("arms", []):
            if self.live.index_of(track) is not None:
                track.arm = arm

    def _advance_jobs(self, now: float) -> None:
        for job in self.jobs.values():
            if job.status == "recording" and (now - job.started) * job.speed >= job.seconds:
                self._finish_recording(job, now)
                job.status = "rendering"
                self.notify()
            if job.status == "rendering" and job.rendered.is_set():
                if job.error or not os.path.isfile(job.path or ""):
                    job.status, job.error = "failed", job.error or capture_failure("not_written")
                else:
                    job.status = "ready"

    def capture_status(self, job_id: str) -> dict:
        job = self._job(job_id)
        now = self.clock()
        if job.status == "rendering":
            job.rendered.wait(0.5)
            self._advance_jobs(now)
        result = {"jobId": job.id, "status": job.status, "progress": job.progress(now), "bars": job.bars,
                  "startTime": job.start, "durationSeconds": round(job.seconds, 3),
                  "temporaryTrackPresent": job.track is not None and self.live.index_of(job.track) is not None}
        if job.status == "ready":
            result.update({"filePath": job.path, "sampleRate": synth.SAMPLE_RATE, "channels": 2})
        if job.status == "failed":
            result["error"] = {"message": job.error}
        return result

    def _drop_capture_track(self, job: CaptureJob) -> bool:
        if job.track is not None and self.live.index_of(job.track) is not None:
            self._remove_track(job.track)
            return True
        return False

    def cancel_capture(self, job_id: str) -> Change:
        job = self._job(job_id)
        now = self.clock()
        running = job.status in ("recording", "rendering")
        if job.status == "recording":
            self._finish_recording(job, now)
        if running:
            job.cancelled = True
            job.status = "cancelled"
        removed = self._drop_capture_track(job)
        summary = "Capture du master annulée ; piste temporaire supprimée." if running else \
            "Capture du master déjà terminée ; piste temporaire %s." % ("supprimée" if removed else "déjà absente")
        return Change(summary, {"jobId": job.id, "status": job.status, "temporaryTrackRemoved": True},
                      changed=running or removed)

    def cleanup_capture(self, job_id: str) -> Change:
        job = self._job(job_id)
        if job.status in ("recording", "rendering"):
            change = self.cancel_capture(job_id)
            change.summary = "Capture du master interrompue et piste temporaire supprimée."
            return change
        removed = self._drop_capture_track(job)
        return Change("Piste temporaire de capture %s." % ("supprimée" if removed else "déjà absente"),
                      {"jobId": job.id, "status": job.status, "temporaryTrackRemoved": True}, changed=removed)

    # -- edits "by the user in Live" (simulator only) -------------------------------------------

    def sim_edit(self, body: dict) -> dict:
        live = self.live
        now = self.clock()
        action = protocol.choice(body, "action", SIM_ACTIONS)
        if action == "play":
            if not live.playing:
                self._start_transport(now)
        elif action == "stop":
            if live.playing:
                self._stop_transport(now)
        elif action == "movePlayhead":
            self._advance_meters(now)
            live.set_position(protocol.number(body, "time", minimum=0.0), now)
        elif action == "tempo":
            self._advance_meters(now)
            live.set_position(live.position(now), now)
            live.tempo = protocol.number(body, "tempo", minimum=20.0, maximum=999.0)
        elif action == "renameProject":
            live.project = protocol.text(body, "name", max_length=200)
        elif action == "loadSet":
            self._load_set(protocol.text(body, "path", max_length=4096), now)
        else:
            track = self._track(protocol.integer(body, "trackIndex"))
            if action == "rename":
                track.name = protocol.text(body, "name")
            elif action == "volume":
                track.volume_db = protocol.number(body, "displayDb", minimum=-70.0, maximum=6.0)
            elif action == "mute":
                track.mute = protocol.flag(body, "enabled")
            elif action == "selectTrack":
                live.selected_track = track
            elif action == "deleteTrack":
                self._remove_track(track)
            elif action in ("selectClip", "removeClip"):
                clip = self._edited_clip(track, body)
                if action == "selectClip":
                    live.selected_track, live.detail_clip = track, clip
                    if clip.start is None:
                        live.selected_scene = track.slots.index(clip)
                else:
                    track.slots = [None if slot is clip else slot for slot in track.slots]
                    track.arrangement = [other for other in track.arrangement if other is not clip]
                    if live.detail_clip is clip:
                        live.detail_clip = None
            elif action == "addClip":
                self._add_clip(track, body)
        if action not in ("play", "stop", "movePlayhead"):
            # Live cannot tell the producer's play, stop or seek from playback
            # itself, so neither backend counts them as changes to the set.
            self.notify()
        return {"action": action, "applied": True}

    def _load_set(self, path: str, now: float) -> None:
        """Live opening another set: the producer switching projects, or a
        new unsaved sketch. A bare name is one of the shipped sets."""
        if not os.path.isabs(path) and not os.path.isfile(path):
            shipped = os.path.join(SETS_FOLDER, path)
            path = shipped if os.path.isfile(shipped) or path.endswith(".json") else shipped + ".json"
        try:
            loaded = model.load_file(path)
        except model.SetFileError as error:
            raise refusal("set_unreadable", path=path, detail=error)
        for job in self.jobs.values():
            if job.status in ("recording", "rendering"):
                job.cancelled, job.status = True, "cancelled"
        self.live = loaded
        loaded.anchor_time = now
        self._meter_time = now
        known = len(self._render_jobs)
        for track in loaded.tracks:
            for clip in track.clips():
                self._adopt_render(clip)
        fresh = self._render_jobs[known:]
        if fresh:
            threading.Thread(target=self._prepare, args=(fresh,), name="vantorel-prepare", daemon=True).start()

    def _edited_clip(self, track: Track, body: dict) -> Clip:
        if "sceneIndex" in body:
            scene = protocol.integer(body, "sceneIndex")
            clip = track.slots[scene] if scene < len(track.slots) else None
        else:
            position = protocol.integer(body, "arrangementIndex")
            clip = track.arrangement[position] if position < len(track.arrangement) else None
        if clip is None:
            raise refusal("slot_empty", track=track.name)
        return clip

    def _add_clip(self, track: Track, body: dict) -> None:
        if track.kind != "midi":
            raise refusal("sim_midi_only")
        length = protocol.number(body, "length", above=0.0, maximum=4096.0)
        notes = [Note.from_request(note) for note in protocol.notes(body, "notes", length=length)]
        name = protocol.text(body, "name", required=False) or track.name
        if "sceneIndex" in body:
            scene = protocol.integer(body, "sceneIndex")
            while scene >= len(self.live.scenes):
                self.live.scenes.append(str(len(self.live.scenes) + 1))
                self.live.add_scene_slot()
            track.slots[scene] = Clip("midi", name, length, notes=notes, color=track.color)
        else:
            start = protocol.number(body, "startTime", minimum=0.0)
            track.arrangement.append(Clip("midi", name, length, start=start, notes=notes, color=track.color))
            track.arrangement.sort(key=lambda clip: clip.start)


SIM_ACTIONS = ("rename", "addClip", "removeClip", "volume", "mute", "selectTrack", "selectClip", "play",
               "stop", "movePlayhead", "tempo", "renameProject", "deleteTrack", "loadSet")
SETS_FOLDER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sets")
