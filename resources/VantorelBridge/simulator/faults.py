"""Replies and delays injected into the simulated bridge, so the clients'
tests can meet what a real Live does now and then: a step refused halfway
through a plan, a capture that fails, a cleanup that is refused, a bridge that
answers slowly. `POST /v1/sim/fail-next` queues the reply that the next
request to a path gets instead of running; `POST /v1/sim/delay` holds the
requests to a path for some seconds before they run."""

from __future__ import annotations

import threading

from .. import protocol
from ..protocol import BridgeError

MAX_DELAY_SECONDS = 120.0


class InjectedReply:
    def __init__(self, result: dict | None = None, error: BridgeError | None = None):
        self.result = result
        self.error = error


class Faults:
    def __init__(self):
        self._lock = threading.Lock()
        self._replies: dict[str, list[InjectedReply]] = {}
        self._delays: dict[str, list] = {}          # path -> [seconds, remaining or None]
        self._stopped = threading.Event()

    # -- requests from the tests -------------------------------------------------

    def fail_next(self, body: dict) -> dict:
        path = _path(body)
        if "result" in body:
            result = body["result"]
            if not isinstance(result, dict):
                raise protocol.refusal("object", field="result")
            reply = InjectedReply(result=result)
        else:
            status = protocol.integer(body, "status", minimum=200, maximum=599, required=False, default=409)
            code = protocol.text(body, "code", max_length=64)
            message = protocol.text(body, "message", max_length=2000)
            reply = InjectedReply(error=BridgeError(status, code, message))
        with self._lock:
            queue = self._replies.setdefault(path, [])
            queue.append(reply)
            return {"path": path, "pending": len(queue)}

    def delay(self, body: dict) -> dict:
        path = _path(body)
        seconds = protocol.number(body, "seconds", minimum=0.0, maximum=MAX_DELAY_SECONDS)
        times = protocol.integer(body, "times", minimum=1, required=False)
        with self._lock:
            if seconds == 0:
                self._delays.pop(path, None)
            else:
                self._delays[path] = [seconds, times]
        return {"path": path, "seconds": seconds, "times": times}

    # -- hooks of the command layer ------------------------------------------------

    def take(self, path: str) -> InjectedReply | None:
        with self._lock:
            queue = self._replies.get(path)
            if not queue:
                return None
            reply = queue.pop(0)
            if not queue:
                del self._replies[path]
            return reply

    def wait(self, path: str) -> None:
        """Runs on the request's own thread before it queues for the set, so a
        slow path never holds up the others."""
        with self._lock:
            entry = self._delays.get(path)
            if entry is None:
                return
            seconds, remaining = entry
            if remaining is not None:
                if remaining <= 1:
                    del self._delays[path]
                else:
                    entry[1] = remaining - 1
        self._stopped.wait(seconds)

    def stop(self) -> None:
        self._stopped.set()


def _path(body: dict) -> str:
    path = protocol.text(body, "path", max_length=200)
    if not path.startswith("/v1/"):
        raise protocol.refusal("sim_path")
    return path
