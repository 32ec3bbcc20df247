"""A simulated broker: a real HTTP server on the loopback interface."""

from __future__ import annotations

import importlib
import json
import random
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import TYPE_CHECKING, Any
from urllib.parse import parse_qsl, urlsplit

from taloma.simulator import routes
from taloma.simulator.state import BrokerState, make_users

if TYPE_CHECKING:
    from taloma.simulator.bus import Mosquitto, Publisher
    from taloma.simulator.fills import Matcher
    from taloma.simulator.market import Market

# Feature modules register their endpoints when imported; a feature that is
# not there yet is simply absent.
_FEATURES = ("auth", "orders", "catalogue", "accounts")


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

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        if self.server.verbose:
            super().log_message(format, *args)

    def do_GET(self) -> None:  # noqa: N802
        self._serve("GET")

    def do_POST(self) -> None:  # noqa: N802
        self._serve("POST")

    def _serve(self, method: str) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length > 0 else b""
        parts = urlsplit(self.path)
        prefix = f"/api/{self.server.state.api_ver}/"
        handler = routes.lookup(method, parts.path[len(prefix):]) if parts.path.startswith(prefix) else None
        if handler is None:
            self._reply(404, {"success": "False", "msg": f"no such endpoint: {method} {parts.path}"})
            return
        try:
            body = json.loads(raw) if raw else None
        except ValueError:
            self._reply(400, {"success": "False", "msg": "request body is not JSON"})
            return
        options = self.server.state.options
        if options.get("latency"):
            time.sleep(options["latency"])
        if options.get("delay_share") and self.server.chance() < options["delay_share"]:
            time.sleep(options["delay"])
        if options.get("failure_rate") and self.server.chance() < options["failure_rate"]:
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

    def _reply(self, status: int, payload: Any) -> None:
        data = payload if isinstance(payload, bytes) else json.dumps(payload, ensure_ascii=False).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128

    def __init__(self, address: tuple[str, int], state: BrokerState, verbose: bool, seed: int | None) -> None:
        super().__init__(address, _Handler)
        self.state = state
        self.verbose = verbose
        self._random = random.Random(seed)
        self._random_lock = threading.Lock()

    def chance(self) -> float:
        with self._random_lock:
            return self._random.random()


class BrokerSimulator:
    """The simulated broker, serving "/api/{api_ver}/..." on 127.0.0.1.

    Use it as a context manager; ``base_url`` is the value for
    ``taloma.backend.http.api_url_simulation``::

        with BrokerSimulator(users=[("A123456789", "secret")]) as sim:
            taloma.backend.http.api_url_simulation = sim.base_url

    ``users`` is a list of (person id, password) pairs; ``latency`` delays every
    reply by that many seconds, and ``delay`` seconds more for the share
    ``delay_share`` of replies; ``failure_rate`` is the share of replies that
    fail. Feature modules read their own options from ``options``. ``trusted_ca`` (CA certificate
    files) makes the broker verify the "ca_content" of every order request against them.

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
        **options: Any,
    ) -> None:
        if api_ver is None:
            import taloma.backend.http as settings

            api_ver = settings.api_ver
        if not 0.0 <= failure_rate <= 1.0:
            raise ValueError("failure_rate must be between 0 and 1")
        if not 0.0 <= delay_share <= 1.0:
            raise ValueError("delay_share must be between 0 and 1")
        if latency < 0 or delay < 0:
            raise ValueError("latency and delay must not be negative")
        _load_features()
        if options.get("trusted_ca") is not None and options.get("ca_verifier") is None:
            from taloma.Vorn.verify import CaVerifier

            options["ca_verifier"] = CaVerifier(options["trusted_ca"]).verify_ca_content
        options.update(latency=latency, failure_rate=failure_rate, delay_share=delay_share, delay=delay, seed=seed)
        self.state = BrokerState(users=make_users(users), api_ver=api_ver, options=options)
        self._server = _Server(("127.0.0.1", port), self.state, verbose, seed)
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

    def _open_market(self, market: bool, bus: str | None, speed: float, contracts: list[str] | None,
                     seed: int | None) -> None:
        if market:
            from taloma.simulator.catalogue import catalogue_of
            from taloma.simulator.market import Market

            clock = self.state.options.get("clock")
            self.market = Market(catalogue_of(self.state), contracts, speed=speed, seed=seed,
                                 start=clock() if clock else None)
            self.state.options["market"] = self.market
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
