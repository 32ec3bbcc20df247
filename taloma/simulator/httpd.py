"""The simulated broker's HTTP layer: requests read within limits, routed, answered as JSON.

A request's body needs a Content-Length of at most :data:`MAX_BODY` bytes and must be UTF-8
JSON of finite numbers; a connection waits at most :data:`IDLE_TIMEOUT` seconds for its next
request. A route's reply is sent as standard JSON (a reply that is not is a 500). Before a
request is handled the server's ``faults`` hook may delay it or answer it instead.
"""

from __future__ import annotations

import errno
import json
import logging
import socket
import sys
import threading
import time
from collections.abc import Callable
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import TYPE_CHECKING, Any, NoReturn
from urllib.parse import parse_qsl, urlsplit

from taloma.simulator import routes

if TYPE_CHECKING:
    from taloma.simulator.state import BrokerState

log = logging.getLogger("taloma.simulator.server")

# Seconds a connection may wait for its next request, or for the rest of one, before it is
# closed: idle kept-alive connections would otherwise hold descriptors and threads for good.
# Short, since a client that flooded the descriptors locks everyone out for this long.
IDLE_TIMEOUT = 10.0
# Bytes of a request body; a longer one is refused (413) from its Content-Length, unread.
MAX_BODY = 1 << 20
# Seconds a refused request's unread body is still taken and discarded after the reply: closed
# with data unread, the connection is reset, and a client still sending never sees the reply.
LINGER = 2.0
# Seconds the accept loop pauses when the process is out of descriptors or memory, instead
# of finding the listening socket readable again at once and spinning.
ACCEPT_BACKOFF = 0.1
_ACCEPT_EXHAUSTED = frozenset({errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM})


def _no_faults() -> None:
    return None


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body leave in one segment at the end of each request; written separately on a
    # kept-alive connection they meet the client's delayed ACK and every reply waits ~40 ms.
    wbufsize = -1
    disable_nagle_algorithm = True
    server: Server

    def log_message(self, format: str, *args: Any) -> None:
        if self.server.verbose:
            super().log_message(format, *args)

    def do_GET(self) -> None:
        self._serve("GET")

    def do_POST(self) -> None:
        self._serve("POST")

    def setup(self) -> None:
        super().setup()
        self.connection.settimeout(self.server.idle_timeout)

    def _serve(self, method: str) -> None:
        raw = self._read_body(method)
        if raw is None:
            return
        parts = urlsplit(self.path)
        prefix = f"/api/{self.server.state.api_ver}/"
        handler = routes.lookup(method, parts.path[len(prefix) :]) if parts.path.startswith(prefix) else None
        if handler is None:
            self._reply(404, {"success": "False", "msg": f"no such endpoint: {method} {parts.path}"})
            return
        try:
            body = _parse_json(raw) if raw else None
        except ValueError as exc:
            self._refuse(400, str(exc))
            return
        injected = self.server.faults()
        if injected is not None:
            self._reply(200, injected)
            return
        request = routes.Request(
            method=method,
            path=parts.path[len(prefix) :],
            query=dict(parse_qsl(parts.query)),
            body=body,
            client_ip=self.client_address[0],
            headers={k.lower(): v for k, v in self.headers.items()},
        )
        try:
            reply = handler(self.server.state, request)
        except Exception as exc:  # a simulator fault must reach the client as a reply
            self._reply(500, {"success": "False", "msg": f"simulator error: {type(exc).__name__}: {exc}"})
            raise
        self._reply(200, reply)

    def _read_body(self, method: str) -> bytes | None:
        """The request's body, or None once the request was refused or its connection lost."""
        lengths = self.headers.get_all("Content-Length") or []
        if self.headers.get("Transfer-Encoding") is not None or (not lengths and method == "POST"):
            self._refuse(400, "a request body needs a Content-Length (chunked bodies are not accepted)", unread=True)
            return None
        if not lengths:
            return b""
        text = lengths[0].strip()
        if len(set(lengths)) > 1 or not (text.isascii() and text.isdigit()):
            self._refuse(400, f"bad Content-Length: {', '.join(lengths)!r}", unread=True)
            return None
        length = int(text)
        if length > MAX_BODY:
            self._refuse(413, f"request body of {length} bytes is over the limit of {MAX_BODY} bytes", unread=True)
            return None
        try:
            raw = self.rfile.read(length)
        except OSError:  # timed out or reset part way
            raw = b""
        if len(raw) < length:
            self.close_connection = True
            return None
        return raw

    def _refuse(self, status: int, msg: str, unread: bool = False) -> None:
        # What follows a refused request on its connection cannot be trusted to start a new one.
        self.close_connection = True
        self._reply(status, {"success": "False", "msg": msg})
        if unread:
            self._linger()

    def _linger(self) -> None:
        connection = self.connection
        try:
            self.wfile.flush()
            connection.shutdown(socket.SHUT_WR)
            deadline = time.monotonic() + LINGER
            while (left := deadline - time.monotonic()) > 0:
                connection.settimeout(left)
                if not connection.recv(1 << 16):
                    break
        except OSError:  # the client went away, or kept sending past the deadline
            pass

    def _reply(self, status: int, payload: Any) -> None:
        if isinstance(payload, bytes):
            data = payload
        else:
            try:
                data = json.dumps(payload, ensure_ascii=False, allow_nan=False).encode("utf-8")
            except (ValueError, TypeError, RecursionError) as exc:
                log.error("reply to %s %s is not standard JSON: %s", self.command, self.path, exc)
                status = 500
                data = json.dumps(
                    {"success": "False", "msg": f"simulator error: the reply is not standard JSON: {exc}"}
                ).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)


def _refuse_constant(name: str) -> NoReturn:
    raise ValueError(f"{name} is not a JSON number")


def _parse_json(raw: bytes) -> Any:
    """A request body: UTF-8 JSON of finite numbers, nested no deeper than the parser recurses."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ValueError(f"request body is not UTF-8: {exc}") from None
    try:
        return json.loads(text, parse_constant=_refuse_constant)
    except RecursionError:
        raise ValueError("request body is nested too deep") from None
    except ValueError as exc:
        raise ValueError(f"request body is not JSON: {exc}") from None


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128

    def __init__(
        self,
        address: tuple[str, int],
        state: BrokerState,
        verbose: bool,
        faults: Callable[[], Any] | None = None,
        idle_timeout: float = IDLE_TIMEOUT,
    ) -> None:
        super().__init__(address, Handler)
        self.state = state
        self.verbose = verbose
        self.idle_timeout = idle_timeout
        self.faults: Callable[[], Any] = faults or _no_faults
        self._refused = 0  # accepts refused in the current burst
        self._closing = threading.Event()

    def get_request(self) -> tuple[Any, Any]:
        try:
            request = super().get_request()
        except OSError as exc:
            if exc.errno in _ACCEPT_EXHAUSTED:
                if not self._refused:
                    log.warning("cannot accept connections (%s): backing off until descriptors are freed", exc.strerror)
                self._refused += 1
                self._closing.wait(ACCEPT_BACKOFF)
            raise
        if self._refused:
            log.warning("accepting connections again after %d refused attempts", self._refused)
            self._refused = 0
        return request

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client that went away or sat idle past the timeout is not a simulator fault.
        if isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError, ConnectionAbortedError, TimeoutError)):
            return
        super().handle_error(request, client_address)

    def shutdown(self) -> None:
        self._closing.set()
        super().shutdown()


__all__ = ["ACCEPT_BACKOFF", "IDLE_TIMEOUT", "LINGER", "MAX_BODY", "Handler", "Server"]
