# The command layer between the HTTP server and a backend (the simulated Live
# Set, or Live itself): it validates every request, checks the revision and
# the confirmation of every change, keeps the revision counter and the
# bridge's own undo history, and shapes each reply. Backends only look things
# up and apply changes. Loaded inside Live, so it stays valid Python 3.7.
import re
import time
import types

from . import protocol
from .protocol import BridgeError, refusal
from .surface import BRIDGE_VERSION

UNDO_LIMIT = 64
EVOLVE_STYLES = ("creative", "variation", "groove", "humanize")
SAMPLE_ID = re.compile(r"^[a-f0-9]{24}$")
JOB_ID = re.compile(r"^master_[a-f0-9]{32}$")


class Change(object):
    """What a backend operation did. `summary` is the French sentence the
    producer reads; `undo` takes the change back (None when it cannot or
    should not be undone, e.g. transport and selection)."""

    def __init__(self, summary, result=None, undo=None, changed=True):
        self.summary = summary
        self.result = result or {}
        self.undo = undo
        self.changed = changed


class UndoStep(object):
    def __init__(self, summary, undo):
        self.summary = summary
        self.undo = undo


class CommandLayer(object):
    def __init__(self, backend, clock=time.time, first_revision=1):
        self.backend = backend
        self.clock = clock
        # A bridge that starts from the time in milliseconds never repeats a
        # revision of an earlier run, so a plan prepared before a restart is
        # refused as stale instead of landing on a set that merely caught up.
        self.revision = first_revision
        self.faults = getattr(backend, "faults", None)
        self.history = []
        backend.attach(self.note_change)
        self.routes = {
            ("GET", "/v1/health"): self.health,
            ("GET", "/v1/context"): self.context,
            ("GET", "/v1/session"): self.session,
            ("GET", "/v1/analysis/project"): self.analysis,
            ("GET", "/v1/analysis/mix-prep"): self.mix_prep,
            ("GET", "/v1/key-source"): self.key_source,
            ("POST", "/v1/arrangement/plan"): self.arrangement_plan,
            ("POST", "/v1/arrangement/build"): self.arrangement_build,
            ("POST", "/v1/workflows/organize"): self.organize,
            ("POST", "/v1/samples/search"): self.samples_search,
            ("POST", "/v1/samples/import"): self.samples_import,
            ("POST", "/v1/transport/play"): self.play,
            ("POST", "/v1/transport/stop"): self.stop,
            ("POST", "/v1/tempo"): self.tempo,
            ("POST", "/v1/tracks/create"): self.create_track,
            ("POST", "/v1/clips/midi"): self.create_midi_clip,
            ("POST", "/v1/clips/midi/replace"): self.replace_midi_notes,
            ("POST", "/v1/clips/midi/evolve"): self.evolve_midi_clip,
            ("POST", "/v1/tracks/rename"): self.rename_track,
            ("POST", "/v1/tracks/select"): self.select_track,
            ("POST", "/v1/tracks/state"): self.track_state,
            ("POST", "/v1/tracks/volume"): self.track_volume,
            ("POST", "/v1/tracks/send"): self.track_send,
            ("POST", "/v1/devices/parameters/read"): self.read_parameters,
            ("POST", "/v1/devices/parameters"): self.write_parameter,
            ("POST", "/v1/undo"): self.undo,
            ("POST", "/v1/master-capture/start"): self.capture_start,
            ("POST", "/v1/master-capture/status"): self.capture_status,
            ("POST", "/v1/master-capture/cancel"): self.capture_cancel,
            ("POST", "/v1/master-capture/cleanup"): self.capture_cleanup,
        }
        if getattr(backend, "simulated", False):
            # Lets tests and the demo play "the user in Live" under a pending plan.
            self.routes[("POST", "/v1/sim/edit")] = self.sim_edit
            self.routes[("POST", "/v1/sim/fail-next")] = self.faults.fail_next
            self.routes[("POST", "/v1/sim/delay")] = self.faults.delay

    # -- dispatch ------------------------------------------------------------

    def methods_for(self, path):
        return sorted(method for method, known in self.routes if known == path)

    def handle(self, method, path, body):
        handler = self.routes.get((method, path))
        if handler is None:
            allowed = self.methods_for(path)
            if allowed:
                raise refusal("method_not_allowed", path=path, methods=" ou ".join(allowed))
            raise refusal("unknown_endpoint", method=method, path=path)
        if self.faults is not None and not path.startswith("/v1/sim/"):
            injected = self.faults.take(path)
            if injected is not None:
                if injected.error is not None:
                    raise injected.error
                return dict(injected.result)
        self.backend.tick()
        return handler(body)

    def pace(self, path):
        """Runs before a request waits for its turn at the set: the simulator
        may hold a path there to play a slow Live."""
        if self.faults is not None:
            self.faults.wait(path)

    def note_change(self):
        """Called for every change the bridge did not make itself (the user
        editing in Live, the end of a capture)."""
        self.revision += 1

    def _check_revision(self, body):
        expected = protocol.integer(body, "expectedRevision")
        if expected != self.revision:
            raise refusal("stale_revision", current=self.revision, expected=expected)

    def _guarded(self, body, confirm=True):
        if confirm:
            protocol.require_confirm(body)
        self._check_revision(body)

    def _apply(self, change):
        """Records a backend's change. A backend that must wait for Live's
        next tick returns a generator that yields until the change is done
        and returns it; the executor drives it (see executor.py)."""
        if isinstance(change, types.GeneratorType):
            return self._apply_when_done(change)
        return self._record(change)

    def _apply_when_done(self, pending):
        change = yield from pending
        return self._record(change)

    def _record(self, change):
        # The backend's own change must not come back as a change "by the
        # user" on the next tick.
        self.backend.rebaseline()
        if change.changed:
            self.revision += 1
        if change.undo is not None:
            self.history.append(UndoStep(change.summary, change.undo))
            del self.history[:-UNDO_LIMIT]
        result = dict(change.result)
        result["summary"] = change.summary
        result["revision"] = self.revision
        result["undoAvailable"] = change.undo is not None
        return result

    # -- reading -------------------------------------------------------------

    def health(self, body):
        capabilities = list(protocol.CAPABILITIES)
        capabilities.extend(self.backend.extra_capabilities())
        return {
            "bridgeVersion": BRIDGE_VERSION,
            "capabilities": capabilities,
            "liveVersion": self.backend.live_version(),
            "backend": self.backend.name,
        }

    def _snapshot(self):
        session = self.backend.session_snapshot()
        session["revision"] = self.revision
        session["undoAvailable"] = bool(self.history)
        return session

    def context(self, body):
        started = self.clock()
        session = self._snapshot()
        analysis = self.backend.project_analysis()
        analysis["revision"] = self.revision
        captured = self.backend.captured_at()
        if captured is None:
            captured = started
        return {
            "session": session,
            "projectAnalysis": analysis,
            "contextAgeMs": max(0, int(round((self.clock() - captured) * 1000))),
            "capturedAtUnix": captured,
        }

    def session(self, body):
        return self._snapshot()

    def analysis(self, body):
        analysis = self.backend.project_analysis()
        analysis["revision"] = self.revision
        return analysis

    def mix_prep(self, body):
        report = self.backend.mix_prep()
        report["revision"] = self.revision
        return report

    def key_source(self, body):
        source = self.backend.key_source()
        source["revision"] = self.revision
        return source

    # -- arrangement, organisation, samples ----------------------------------

    def _arrangement_request(self, body):
        sections = protocol.sections(body)
        scene = protocol.integer(body, "sourceSceneIndex", required=False)
        return sections, scene

    def arrangement_plan(self, body):
        sections, scene = self._arrangement_request(body)
        result = self.backend.plan_arrangement(sections, scene)
        result["revision"] = self.revision
        return result

    def arrangement_build(self, body):
        sections, scene = self._arrangement_request(body)
        self._guarded(body)
        return self._apply(self.backend.build_arrangement(sections, scene))

    def organize(self, body):
        self._guarded(body)
        return self._apply(self.backend.organize())

    def samples_search(self, body):
        query = protocol.text(body, "query", max_length=200, required=False, default="")
        role = protocol.choice(body, "role", protocol.SAMPLE_ROLES, required=False)
        limit = protocol.integer(body, "limit", minimum=1, maximum=40, required=False,
                                 default=10)
        result = self.backend.search_samples(query, role, limit)
        result["revision"] = self.revision
        return result

    def samples_import(self, body):
        sample_id = protocol.text(body, "sampleId", max_length=24, required=False)
        if sample_id is not None and not SAMPLE_ID.match(sample_id):
            raise refusal("sample_id")
        query = protocol.text(body, "query", max_length=2000, required=False, default="")
        role = protocol.choice(body, "role", protocol.SAMPLE_ROLES, required=False)
        if sample_id is None and not query and role is None:
            raise refusal("sample_choice")
        start = protocol.number(body, "startTime", minimum=0.0, maximum=1576800.0)
        track_name = protocol.text(body, "trackName", required=False)
        self._guarded(body)
        return self._apply(self.backend.import_sample(sample_id, query, role, start, track_name))

    # -- transport and tempo -------------------------------------------------

    def play(self, body):
        return self._apply(self.backend.play())

    def stop(self, body):
        return self._apply(self.backend.stop())

    def tempo(self, body):
        tempo = protocol.number(body, "tempo", minimum=40.0, maximum=240.0)
        self._guarded(body, confirm=False)
        return self._apply(self.backend.set_tempo(tempo))

    # -- tracks and clips ----------------------------------------------------

    def create_track(self, body):
        kind = protocol.choice(body, "kind", ("midi", "audio"))
        name = protocol.text(body, "name", required=False)
        index = protocol.integer(body, "index", required=False)
        self._guarded(body)
        return self._apply(self.backend.create_track(kind, name, index))

    def create_midi_clip(self, body):
        track = protocol.integer(body, "trackIndex")
        start = protocol.number(body, "startTime", minimum=0.0, maximum=1576800.0)
        length = protocol.number(body, "length", above=0.0, maximum=4096.0)
        notes = protocol.notes(body, "notes", length=length)
        name = protocol.text(body, "name", required=False)
        self._guarded(body)
        return self._apply(self.backend.create_midi_clip(track, start, length, notes, name))

    def replace_midi_notes(self, body):
        track = protocol.integer(body, "trackIndex")
        notes = protocol.notes(body, "notes", min_count=1)
        name = protocol.text(body, "name", required=False)
        self._guarded(body)
        return self._apply(self.backend.replace_midi_notes(track, notes, name))

    def evolve_midi_clip(self, body):
        track = protocol.integer(body, "trackIndex")
        style = protocol.choice(body, "style", EVOLVE_STYLES)
        self._guarded(body)
        return self._apply(self.backend.evolve_midi_clip(track, style))

    def rename_track(self, body):
        track = protocol.integer(body, "trackIndex")
        name = protocol.text(body, "name")
        self._guarded(body)
        return self._apply(self.backend.rename_track(track, name))

    def select_track(self, body):
        track = protocol.integer(body, "trackIndex")
        self._guarded(body)
        return self._apply(self.backend.select_track(track))

    def track_state(self, body):
        track = protocol.integer(body, "trackIndex")
        field = protocol.choice(body, "field", ("mute", "solo", "arm"))
        enabled = protocol.flag(body, "enabled")
        self._guarded(body)
        return self._apply(self.backend.set_track_state(track, field, enabled))

    def track_volume(self, body):
        track = protocol.integer(body, "trackIndex")
        db = protocol.number(body, "displayDb", minimum=-70.0, maximum=6.0)
        self._guarded(body)
        return self._apply(self.backend.set_track_volume(track, db))

    def track_send(self, body):
        track = protocol.integer(body, "trackIndex")
        send = protocol.integer(body, "sendIndex")
        db = protocol.number(body, "displayDb", minimum=-70.0, maximum=0.0)
        self._guarded(body)
        return self._apply(self.backend.set_track_send(track, send, db))

    def read_parameters(self, body):
        track = protocol.integer(body, "trackIndex")
        device = protocol.integer(body, "deviceIndex")
        result = self.backend.read_parameters(track, device)
        result["revision"] = self.revision
        return result

    def write_parameter(self, body):
        track = protocol.integer(body, "trackIndex")
        device = protocol.integer(body, "deviceIndex")
        parameter = protocol.integer(body, "parameterIndex")
        value = protocol.number(body, "value")
        self._guarded(body)
        return self._apply(self.backend.write_parameter(track, device, parameter, value))

    # -- undo ----------------------------------------------------------------

    def undo(self, body):
        # The app's direct undo sends {}; a plan step sends confirm alone.
        if "confirm" in body and body["confirm"] is not True:
            raise refusal("confirm_true")
        if not self.history:
            raise refusal("nothing_to_undo")
        step = self.history.pop()
        try:
            outcome = step.undo()
        except BridgeError as error:
            # The change can never be taken back (its track is gone): drop it
            # rather than leave an undo that always fails at the top.
            raise refusal("undo_failed", reason=error.message)
        if isinstance(outcome, types.GeneratorType):
            return self._undone_when_done(step, outcome)
        return self._undone(step)

    def _undone_when_done(self, step, pending):
        try:
            yield from pending
        except BridgeError as error:
            raise refusal("undo_failed", reason=error.message)
        return self._undone(step)

    def _undone(self, step):
        self.backend.rebaseline()
        self.revision += 1
        return {
            "summary": "Annulé : " + _lower_first(step.summary),
            "undone": step.summary,
            "revision": self.revision,
            "undoAvailable": bool(self.history),
        }

    # -- master capture ------------------------------------------------------

    def _job_id(self, body):
        job = protocol.text(body, "jobId", max_length=80)
        if not JOB_ID.match(job):
            raise refusal("job_id")
        return job

    def capture_start(self, body):
        bars = protocol.integer(body, "bars", minimum=1, maximum=32)
        start = protocol.number(body, "startTime", minimum=0.0, maximum=1576800.0)
        self._guarded(body)
        return self._apply(self.backend.start_capture(bars, start))

    def capture_status(self, body):
        result = self.backend.capture_status(self._job_id(body))
        result["revision"] = self.revision
        return result

    def capture_cancel(self, body):
        job = self._job_id(body)
        protocol.require_confirm(body)
        return self._apply(self.backend.cancel_capture(job))

    def capture_cleanup(self, body):
        job = self._job_id(body)
        protocol.require_confirm(body)
        return self._apply(self.backend.cleanup_capture(job))

    # -- simulator only ------------------------------------------------------

    def sim_edit(self, body):
        result = self.backend.sim_edit(body)
        if result.get("action") == "loadSet":
            # Undo steps hold objects of the set that was closed.
            self.history = []
        result["revision"] = self.revision
        return result


def _lower_first(text):
    return text[:1].lower() + text[1:] if text else text
