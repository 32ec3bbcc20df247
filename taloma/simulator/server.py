"""A simulated broker: a real HTTP server on the loopback interface."""

from __future__ import annotations

import errno
import importlib
import json
import logging
import math
import random
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import TYPE_CHECKING, Any, NoReturn
from urllib.parse import parse_qsl, urlsplit

from taloma.simulator import routes
from taloma.simulator.state import BrokerState, Settings, make_users

if TYPE_CHECKING:
    from taloma.simulator.bus import Mosquitto, Publisher
    from taloma.simulator.fills import Matcher
    from taloma.simulator.market import Market

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
# A market clock beyond this overflows the date within hours; below the minimum it all but
# stands still (tests use that to have books change only by their own orders).
MIN_SPEED, MAX_SPEED = 1e-6, 10_000.0
# The keywords of the broker's parts and settings that the feature modules read.
FEATURE_OPTIONS = ("trusted_ca", "ca_verifier", "clock", "catalogue_stocks")

# Feature modules register their endpoints when imported; a feature that is
# not there yet is simply absent.
_FEATURES = ("auth", "orders", "catalogue", "accounts")


_KEYWORDS = ("port", "users", "api_ver", "latency", "failure_rate", "delay_share", "delay", "seed", "verbose",
             "market", "bus", "speed", "contracts", "idle_timeout")


def _load_features() -> None:
    for name in _FEATURES:
        module = f"taloma.simulator.{name}"
        try:
            importlib.import_module(module)
        except ModuleNotFoundError as exc:
            if exc.name != module:
                raise


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body leave in one segment at the end of each request; written separately on a
    # kept-alive connection they meet the client's delayed ACK and every reply waits ~40 ms.
    wbufsize = -1
    disable_nagle_algorithm = True
    server: _Server

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
        handler = routes.lookup(method, parts.path[len(prefix):]) if parts.path.startswith(prefix) else None
        if handler is None:
            self._reply(404, {"success": "False", "msg": f"no such endpoint: {method} {parts.path}"})
            return
        try:
            body = _parse_json(raw) if raw else None
        except ValueError as exc:
            self._refuse(400, str(exc))
            return
        settings = self.server.state.settings
        if settings.latency:
            time.sleep(settings.latency)
        if settings.delay_share and self.server.chance() < settings.delay_share:
            time.sleep(settings.delay)
        if settings.failure_rate and self.server.chance() < settings.failure_rate:
            self._reply(200, routes.fail("simulated failure"))
            return
        request = routes.Request(
            method=method,
            path=parts.path[len(prefix):],
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
                data = json.dumps({"success": "False", "msg": f"simulator error: the reply is not standard JSON: "
                                                              f"{exc}"}).encode("utf-8")
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


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128

    def __init__(self, address: tuple[str, int], state: BrokerState, verbose: bool, seed: int | None,
                 idle_timeout: float = IDLE_TIMEOUT) -> None:
        super().__init__(address, _Handler)
        self.state = state
        self.verbose = verbose
        self.idle_timeout = idle_timeout
        self._random = random.Random(seed)
        self._random_lock = threading.Lock()
        self._refused = 0  # accepts refused in the current burst
        self._closing = threading.Event()

    def get_request(self) -> tuple[Any, Any]:
        try:
            request = super().get_request()
        except OSError as exc:
            if exc.errno in _ACCEPT_EXHAUSTED:
                if not self._refused:
                    log.warning("cannot accept connections (%s): backing off until descriptors are freed",
                                exc.strerror)
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

    def chance(self) -> float:
        with self._random_lock:
            return self._random.random()


def _check_number(name: str, value: Any, low: float, high: float, integer: bool = False) -> None:
    kinds = (int,) if integer else (int, float)
    if isinstance(value, bool) or not isinstance(value, kinds):
        raise TypeError(f"{name} must be {'an integer' if integer else 'a number'}, not {type(value).__name__}")
    if not (math.isfinite(value) and low <= value <= high):
        raise ValueError(f"{name} must be a finite number within {low:g}..{high:g}, not {value!r}")


def _check_options(options: dict[str, Any]) -> None:
    unknown = sorted(set(options) - set(FEATURE_OPTIONS))
    if unknown:
        valid = ", ".join(sorted([*_KEYWORDS, *FEATURE_OPTIONS]))
        raise TypeError(f"BrokerSimulator got unknown keyword(s) {', '.join(unknown)}; valid: {valid}")
    for name in ("ca_verifier", "clock"):
        if options.get(name) is not None and not callable(options[name]):
            raise TypeError(f"{name} must be callable, not {type(options[name]).__name__}")
    stocks = options.get("catalogue_stocks")
    if stocks is not None:
        from taloma.simulator.catalogue import STOCK_CODES

        _check_number("catalogue_stocks", stocks, 1, len(STOCK_CODES), integer=True)


class BrokerSimulator:
    """The simulated broker, serving "/api/{api_ver}/..." on 127.0.0.1.

    Use it as a context manager; ``base_url`` is the value for
    ``taloma.backend.http.api_url_simulation``::

        with BrokerSimulator(users=[("A123456789", "secret")]) as sim:
            taloma.backend.http.api_url_simulation = sim.base_url

    ``users`` is a list of (person id, password) pairs; ``latency`` delays every
    reply by that many seconds, and ``delay`` seconds more for the share
    ``delay_share`` of replies; ``failure_rate`` is the share of replies that
    fail. ``idle_timeout`` is how long a connection may wait for its next request
    (:data:`IDLE_TIMEOUT`). Feature modules read their own options, the keywords in
    :data:`FEATURE_OPTIONS`: ``trusted_ca`` (CA certificate files) makes the broker verify
    the "ca_content" of every order request against them (``ca_verifier``, a callable, instead
    of them), ``clock`` is a callable returning the local ``datetime`` of "now" and
    ``catalogue_stocks`` the size of the catalogue. Other keywords are a ``TypeError``, values
    out of range a ``ValueError``.

    ``market=True`` runs a simulated market (:class:`taloma.simulator.market.Market`, as ``market``)
    for ``contracts`` (codes of the catalogue; default: the market's own list) plus every contract
    that receives an order, its clock at ``speed`` times real time. ``bus="auto"`` starts a private
    Mosquitto broker on 127.0.0.1 (stopped with the simulator); ``bus="mqtt://host:port"`` names
    a running one. With a market and a bus the market's messages are published there; ``bus_url``
    is the address to give ``taloma.feed.Feed``.
    """

    def __init__(
        self,
        port: int = 0,
        users: list[tuple[str, str]] | None = None,
        api_ver: str | None = None,
        latency: float = 0.0,
        failure_rate: float = 0.0,
        delay_share: float = 0.0,
        delay: float = 0.0,
        seed: int | None = None,
        verbose: bool = False,
        market: bool = False,
        bus: str | None = None,
        speed: float = 1.0,
        contracts: list[str] | None = None,
        idle_timeout: float = IDLE_TIMEOUT,
        **options: Any,
    ) -> None:
        if api_ver is None:
            import taloma.backend.http as settings

            api_ver = settings.api_ver
        _check_options(options)
        _check_number("port", port, 0, 65535, integer=True)
        for name, value in (("failure_rate", failure_rate), ("delay_share", delay_share)):
            _check_number(name, value, 0.0, 1.0)
        for name, value in (("latency", latency), ("delay", delay)):
            _check_number(name, value, 0.0, math.inf)
        _check_number("speed", speed, MIN_SPEED, MAX_SPEED)
        _check_number("idle_timeout", idle_timeout, 0.0, math.inf)
        if idle_timeout == 0:
            raise ValueError("idle_timeout must be positive")
        _load_features()
        state = self.state = BrokerState(users=make_users(users), api_ver=api_ver)
        state.settings = Settings(latency=latency, failure_rate=failure_rate, delay_share=delay_share, delay=delay,
                                  seed=seed, trusted_ca=options.get("trusted_ca"),
                                  catalogue_stocks=options.get("catalogue_stocks"))
        state.verifier = options.get("ca_verifier")
        state.clock = options.get("clock")
        if state.settings.trusted_ca is not None and state.verifier is None:
            from taloma.Vorn.verify import CaVerifier

            state.verifier = CaVerifier(state.settings.trusted_ca).verify_ca_content
        self._server = _Server(("127.0.0.1", port), state, verbose, seed, idle_timeout)
        self._thread: threading.Thread | None = None
        self.market: Market | None = None
        self.bus_url: str | None = None
        self._broker: Mosquitto | None = None
        self._publisher: Publisher | None = None
        self._matcher: Matcher | None = None
        try:
            self._open_market(market, bus, speed, contracts, seed)
        except BaseException:
            self.stop()
            raise

    def expire_sessions(self) -> None:
        """Forgets every login token, as the broker does overnight: requests must log in again."""
        self.state.expire_tokens()

    def _open_market(self, market: bool, bus: str | None, speed: float, contracts: list[str] | None,
                     seed: int | None) -> None:
        if market:
            from taloma.simulator.catalogue import catalogue_of
            from taloma.simulator.market import Market

            clock = self.state.clock
            self.market = Market(catalogue_of(self.state), contracts, speed=speed, seed=seed,
                                 start=clock() if clock else None)
            self.state.market = self.market
            from taloma.simulator.fills import attach

            self._matcher = attach(self.state, self.market)
        if bus is None:
            return
        from taloma.simulator.bus import Mosquitto, Publisher

        if bus == "auto":
            self._broker = Mosquitto()
            self.bus_url = self._broker.url
        else:
            self.bus_url = bus
        if self.market is not None:
            self._publisher = Publisher(self.bus_url)
            self.market.add_listener(self._publisher.on_event)
            assert self._matcher is not None
            self._matcher.publish_to(self.bus_url)

    @property
    def port(self) -> int:
        return self._server.server_address[1]

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    @property
    def api_uri(self) -> str:
        return f"{self.base_url}/api/{self.state.api_ver}/"

    def start(self) -> BrokerSimulator:
        if self.market is not None:
            self.market.start()
        if self._thread is None:
            self._thread = threading.Thread(target=self._server.serve_forever, name="taloma-simulator", daemon=True)
            self._thread.start()
        return self

    def serve_forever(self) -> None:
        if self.market is not None:
            self.market.start()
        self._server.serve_forever()

    def stop(self) -> None:
        if self._thread is not None:
            self._server.shutdown()
            self._thread.join()
            self._thread = None
        self._server.server_close()
        if self.market is not None:
            self.market.stop()
        if self._matcher is not None:
            self._matcher.close()
            self._matcher = None
        if self._publisher is not None:
            self._publisher.close()
            self._publisher = None
        if self._broker is not None:
            self._broker.close()
            self._broker = None

    def __enter__(self) -> BrokerSimulator:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()
