"""python3 -m VantorelBridge [--set FILE.json] [--port N] [--config remote_config.json]

Serves the bridge's HTTP API over a simulated Live Set. Prints one line,
"VantorelBridge VERSION listening on http://HOST:PORT", once it accepts
connections; SIGTERM or Ctrl-C stop it cleanly."""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import os
import signal
import sys
import threading
import time

from . import config
from .commands import CommandLayer
from .server import serve
from .simulator import model
from .simulator.backend import SimulatedBackend
from .surface import BRIDGE_VERSION

DEFAULT_SET = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sets", "club-loop.json")
PROCESS_NAME = b"Ableton Live 12"


def name_process() -> None:
    """The app recognises Live among running processes by this name."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or None, use_errno=True)
        libc.prctl(15, ctypes.c_char_p(PROCESS_NAME), 0, 0, 0)  # PR_SET_NAME
    except (OSError, AttributeError):
        pass


def arguments(argv):
    parser = argparse.ArgumentParser(prog="python3 -m VantorelBridge",
                                     description="VantorelBridge over a simulated Live Set.")
    parser.add_argument("--set", default=DEFAULT_SET, help="Live Set file (JSON); default: the club loop demo")
    parser.add_argument("--port", type=int, help="port to listen on (0 picks a free one); default: the config's")
    parser.add_argument("--config", help="remote_config.json holding the token; default: the installed copy's")
    parser.add_argument("--capture-speed", type=float, default=1.0,
                        help="record master captures this many times faster than real time")
    parser.add_argument("--cache", help="folder for rendered audio (default: $XDG_CACHE_HOME or $TMPDIR)")
    options = parser.parse_args(argv)
    if options.port is not None and not 0 <= options.port <= 65535:
        parser.error("--port must be between 0 and 65535")
    if not 0 < options.capture_speed <= 1000:
        parser.error("--capture-speed must be above 0 and at most 1000")
    return options


def main(argv=None) -> int:
    options = arguments(sys.argv[1:] if argv is None else argv)
    try:
        settings = config.load(options.config)
        live = model.load_file(options.set)
    except (config.ConfigurationError, model.SetFileError) as error:
        print("VantorelBridge: %s" % error, file=sys.stderr)
        return 1
    name_process()
    backend = SimulatedBackend(live, cache=options.cache, capture_speed=options.capture_speed)
    port = settings.port if options.port is None else options.port
    try:
        commands = CommandLayer(backend, first_revision=int(time.time() * 1000))
        server = serve(commands, settings.host, port, settings.token)
    except (OSError, ValueError) as error:
        print("VantorelBridge: cannot listen on %s port %d: %s" % (settings.host, port, error), file=sys.stderr)
        return 1

    def stop(signum, frame):
        backend.faults.stop()
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("VantorelBridge %s listening on %s" % (BRIDGE_VERSION, server.url), flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
