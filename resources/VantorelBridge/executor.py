# Where commands run. Inside Live every read and change of the Live Set must
# happen on Live's main thread, which calls the surface's update_display()
# about every 100 ms: HTTP threads queue their command and wait, the main
# thread runs the queue a few milliseconds at a time. The simulated set has
# no such thread, so there a lock runs commands one at a time on the caller's
# thread. A command may be a generator: it yields to let Live apply what it
# asked for (Live applies some changes only on its next tick) and returns its
# result; until it returns it keeps the queue, so no other command slips in
# halfway through a change. Loaded inside Live, so it stays valid Python 3.7.
import collections
import threading
import time
import types

from .protocol import BridgeError, refusal

START_LIMIT = 10.0
MAIN_THREAD_BUDGET = 0.03
DEFAULT_WAIT = 10.0
# Live's own slow changes: a full arrangement places hundreds of clips.
WAITS = {"/v1/arrangement/build": 90.0, "/v1/samples/import": 20.0}


def wait_for(path):
    return WAITS.get(path, DEFAULT_WAIT)


def drive(value):
    """Runs a command to its end on the calling thread."""
    if not isinstance(value, types.GeneratorType):
        return value
    try:
        while True:
            next(value)
    except StopIteration as stop:
        return stop.value


class InlineExecutor(object):
    def __init__(self):
        self._lock = threading.Lock()

    def run(self, work, wait=None):
        with self._lock:
            return drive(work())

    def close(self):
        pass


class _Task(object):
    def __init__(self, work):
        self.work = work
        self.generator = None
        self.started = threading.Event()
        self.done = threading.Event()
        self.result = None
        self.error = None

    def finish(self, result=None, error=None):
        self.result, self.error = result, error
        self.done.set()


class MainThreadExecutor(object):
    """Queued on HTTP threads, run by pump() on Live's main thread."""

    def __init__(self, clock=time.monotonic, budget=MAIN_THREAD_BUDGET, start_limit=START_LIMIT):
        self._clock = clock
        self._budget = budget
        self._start_limit = start_limit
        self._lock = threading.Lock()
        self._queue = collections.deque()
        self._current = None
        self._closed = False

    def run(self, work, wait=DEFAULT_WAIT):
        task = _Task(work)
        with self._lock:
            if self._closed:
                raise refusal("live_closing")
            self._queue.append(task)
        if not task.started.wait(self._start_limit):
            with self._lock:
                if not task.started.is_set():
                    # Never started: nothing was read or changed.
                    self._queue.remove(task)
                    raise refusal("live_busy")
        if not task.done.wait(wait):
            # Live carries the change through on its own; the client reads
            # the context again to see where it stands.
            raise refusal("live_timeout")
        if task.error is not None:
            raise task.error
        return task.result

    def pump(self):
        """Live's main thread: runs queued work for up to the budget, at least
        one step, and stops early when a command waits for the next tick."""
        deadline = self._clock() + self._budget
        while True:
            with self._lock:
                task = self._current
                if task is None:
                    if not self._queue:
                        return
                    task = self._queue.popleft()
                    task.started.set()
                    self._current = task
            waiting = self._step(task)
            if waiting or self._clock() >= deadline:
                return

    def _step(self, task):
        try:
            if task.generator is None:
                value = task.work()
                if not isinstance(value, types.GeneratorType):
                    self._end(task, result=value)
                    return False
                task.generator = value
            next(task.generator)
            return True
        except StopIteration as stop:
            self._end(task, result=stop.value)
        except BridgeError as error:
            self._end(task, error=error)
        except Exception as error:  # reported to the client as an internal fault
            self._end(task, error=error)
        return False

    def _end(self, task, result=None, error=None):
        with self._lock:
            self._current = None
        task.finish(result, error)

    def close(self):
        """Fails what is queued; a command halfway through is closed."""
        with self._lock:
            self._closed = True
            pending = list(self._queue)
            self._queue.clear()
            current, self._current = self._current, None
        if current is not None and current.generator is not None:
            try:
                current.generator.close()
            except Exception:
                pass
            pending.insert(0, current)
        for task in pending:
            task.started.set()
            task.finish(error=refusal("live_closing"))
