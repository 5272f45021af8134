# The bridge's HTTP server: loopback only, token on every request, JSON
# envelopes both ways. Connections are served on threads so that a client
# keeping its connection open never blocks another; the commands themselves
# go to an executor that runs them one at a time (on Live's main thread
# inside Live). Loaded inside Live, so it stays valid Python 3.7.
import hmac
import socket
import sys

try:
    from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
except ImportError:  # pragma: no cover - every supported Python has it
    raise

from . import executor as executors
from . import protocol
from .config import LOOPBACK_HOSTS
from .protocol import BridgeError, refusal
from .surface import BRIDGE_VERSION

TOKEN_HEADER = "X-Vantorel-Token"
REQUEST_ID_HEADER = "X-Vantorel-Request-Id"
DRAIN_LIMIT = 16 * 1024 * 1024


class BridgeHTTPServer(ThreadingHTTPServer):
    daemon_threads = True
    # On Windows the option lets a second socket take a port already bound:
    # a second bridge would then steal requests instead of failing to start.
    allow_reuse_address = not sys.platform.startswith("win")

    def __init__(self, address, commands, token, executor=None):
        host = address[0]
        if host not in LOOPBACK_HOSTS:
            raise ValueError("The bridge only listens on the loopback interface, not %r." % host)
        if ":" in host:
            self.address_family = socket.AF_INET6
        if not isinstance(token, str) or len(token) < 32:
            raise ValueError("The bridge needs a token of at least 32 characters.")
        self.commands = commands
        self.token = token.encode("utf-8")
        self.executor = executor if executor is not None else executors.InlineExecutor()
        ThreadingHTTPServer.__init__(self, address, BridgeRequestHandler)

    @property
    def url(self):
        host, port = self.server_address[:2]
        if ":" in host:
            host = "[%s]" % host
        return "http://%s:%d" % (host, port)


class BridgeRequestHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VantorelBridge/" + BRIDGE_VERSION
    sys_version = ""

    def do_GET(self):
        self._serve("GET")

    def do_POST(self):
        self._serve("POST")

    def do_PUT(self):
        self._serve("PUT")

    def do_DELETE(self):
        self._serve("DELETE")

    def do_PATCH(self):
        self._serve("PATCH")

    def _serve(self, method):
        self._body_read = False
        try:
            self._check_token()
            body = self._read_body(method)
            path = self.path.split("?", 1)[0].split("#", 1)[0]
            commands = self.server.commands
            commands.pace(path)
            result = self.server.executor.run(lambda: commands.handle(method, path, body),
                                              executors.wait_for(path))
            self._reply(200, protocol.success(result))
        except BridgeError as error:
            if not self._body_read:
                # An unread body would be taken for the next request.
                self.close_connection = True
            extra = {}
            if error.status == 405:
                extra["Allow"] = ", ".join(self.server.commands.methods_for(
                    self.path.split("?", 1)[0]))
            self._reply(error.status, protocol.failure(error.code, error.message), extra)
        except Exception as error:  # a fault of ours must still get an envelope
            internal = refusal("internal", kind=type(error).__name__, detail=error)
            self._reply(internal.status, protocol.failure(internal.code, internal.message))

    def _check_token(self):
        given = self.headers.get(TOKEN_HEADER)
        if given is None or not hmac.compare_digest(given.encode("utf-8", "replace"),
                                                    self.server.token):
            raise refusal("unauthorized")

    def _read_body(self, method):
        length = self.headers.get("Content-Length")
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            self.close_connection = True
            raise refusal("length_required")
        try:
            size = int(length) if length is not None else 0
        except ValueError:
            self.close_connection = True
            raise refusal("content_length_not_number")
        if size < 0:
            self.close_connection = True
            raise refusal("content_length_negative")
        if size > protocol.MAX_BODY_BYTES:
            # Drain what a client may reasonably send so that it reads the
            # refusal instead of a broken pipe; the connection closes after.
            self.close_connection = True
            remaining = size if size <= DRAIN_LIMIT else 0
            while remaining > 0:
                chunk = self.rfile.read(min(remaining, 65536))
                if not chunk:
                    break
                remaining -= len(chunk)
            raise refusal("payload_too_large")
        raw = self.rfile.read(size) if size else b""
        self._body_read = True
        if method == "GET":
            return {}
        return protocol.decode_body(raw)

    def _reply(self, status, envelope, headers=None):
        payload = protocol.encode(envelope)
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(payload)))
        self.send_header("Cache-Control", "no-store")
        request_id = self.headers.get(REQUEST_ID_HEADER) if self.headers else None
        if request_id and len(request_id) <= 128 and request_id.isprintable():
            self.send_header(REQUEST_ID_HEADER, request_id)
        for key, value in (headers or {}).items():
            self.send_header(key, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(payload)

    def log_message(self, format, *args):
        # The bridge keeps no log; Live's own log is for start-up messages.
        pass


def serve(commands, host, port, token, executor=None):
    """Binds and returns the server; call serve_forever() on it."""
    return BridgeHTTPServer((host, port), commands, token, executor)
