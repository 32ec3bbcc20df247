"""A simulated broker: a real HTTP server on the loopback interface."""

from __future__ import annotations

import importlib
import math
import random
import threading
import time
from typing import TYPE_CHECKING, Any

from taloma.simulator import routes
from taloma.simulator.httpd import ACCEPT_BACKOFF, IDLE_TIMEOUT, LINGER, MAX_BODY, Server
from taloma.simulator.state import BrokerState, Settings, make_users

if TYPE_CHECKING:
    from taloma.simulator.bus import Mosquitto, Publisher
    from taloma.simulator.fills import Matcher
    from taloma.simulator.market import Market

# A market clock beyond this overflows the date within hours; below the minimum it all but
# stands still (tests use that to have books change only by their own orders).
MIN_SPEED, MAX_SPEED = 1e-6, 10_000.0
# The keywords of the broker's parts and settings that the feature modules read.
FEATURE_OPTIONS = ("trusted_ca", "ca_verifier", "clock", "catalogue_stocks")

# Feature modules register their endpoints when imported; a feature that is
# not there yet is simply absent.
_FEATURES = ("auth", "orders", "catalogue", "accounts")


_KEYWORDS = (
    "port",
    "users",
    "api_ver",
    "latency",
    "failure_rate",
    "delay_share",
    "delay",
    "seed",
    "verbose",
    "market",
    "bus",
    "speed",
    "contracts",
    "idle_timeout",
)


def _load_features() -> None:
    for name in _FEATURES:
        module = f"taloma.simulator.{name}"
        try:
            importlib.import_module(module)
        except ModuleNotFoundError as exc:
            if exc.name != module:
                raise


class _Faults:
    """Delays and failures injected before each request is handled, by the broker's settings."""

    def __init__(self, state: BrokerState, seed: int | None) -> None:
        self._state = state
        self._random = random.Random(seed)
        self._lock = threading.Lock()

    def _chance(self) -> float:
        with self._lock:
            return self._random.random()

    def __call__(self) -> dict[str, Any] | None:
        """The reply of a simulated failure, or None to handle the request."""
        settings = self._state.settings
        if settings.latency:
            time.sleep(settings.latency)
        if settings.delay_share and self._chance() < settings.delay_share:
            time.sleep(settings.delay)
        if settings.failure_rate and self._chance() < settings.failure_rate:
            return routes.fail("simulated failure")
        return None


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
        state.settings = Settings(
            latency=latency,
            failure_rate=failure_rate,
            delay_share=delay_share,
            delay=delay,
            seed=seed,
            trusted_ca=options.get("trusted_ca"),
            catalogue_stocks=options.get("catalogue_stocks"),
        )
        state.verifier = options.get("ca_verifier")
        state.clock = options.get("clock")
        if state.settings.trusted_ca is not None and state.verifier is None:
            from taloma.Vorn.verify import CaVerifier

            state.verifier = CaVerifier(state.settings.trusted_ca).verify_ca_content
        self._server = Server(("127.0.0.1", port), state, verbose, _Faults(state, seed), idle_timeout)
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

    def _open_market(
        self, market: bool, bus: str | None, speed: float, contracts: list[str] | None, seed: int | None
    ) -> None:
        if market:
            from taloma.simulator.catalogue import catalogue_of
            from taloma.simulator.market import Market

            clock = self.state.clock
            self.market = Market(
                catalogue_of(self.state), contracts, speed=speed, seed=seed, start=clock() if clock else None
            )
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


__all__ = [
    "ACCEPT_BACKOFF",
    "FEATURE_OPTIONS",
    "IDLE_TIMEOUT",
    "LINGER",
    "MAX_BODY",
    "MAX_SPEED",
    "MIN_SPEED",
    "BrokerSimulator",
]
