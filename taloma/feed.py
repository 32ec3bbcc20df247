"""The market-data subscriber: bus messages in, the package's native records out.

Messages travel on an MQTT bus under the topics that ``contract2topic`` names (each "*" level
filled by one concrete level); the payload is a MessagePack map of the content fields that the
record's factory (``from_content`` / ``from_content_odd``) takes. The feed receives through the
native receiver (``taloma.backend.solace.receiver``): libmosquitto reads the bus on its own thread,
and each payload is decoded straight into its record, whose integer fields must be integers.
"""

from __future__ import annotations

import logging
import os
import threading
import time
import uuid
import weakref
from collections.abc import Callable, Mapping
from types import MappingProxyType
from typing import Any

from taloma.backend.solace.ladder import LadderFOPv1, LadderSTKv1
from taloma.backend.solace.quote import QuoteSTKv1, contract2topic
from taloma.backend.solace.receiver import Receiver
from taloma.backend.solace.tick import TickFOPv1, TickSTKv1

# The bus plumbing lives in taloma.bus; its names stay importable from here.
from taloma.bus import CONNECT_TIMEOUT as CONNECT_TIMEOUT
from taloma.bus import DEFAULT_PORT as DEFAULT_PORT
from taloma.bus import FILLS_TOPIC as FILLS_TOPIC
from taloma.bus import KEEPALIVE as KEEPALIVE
from taloma.bus import account_fills_topic as account_fills_topic
from taloma.bus import connect_client as connect_client
from taloma.bus import fills_topic as fills_topic
from taloma.bus import parse_bus_url as parse_bus_url
from taloma.constant import QuoteType, QuoteVersion
from taloma.contracts import Future, Option, Stock

log = logging.getLogger("taloma.feed")

# ---- the subscriber -------------------------------------------------------------------------

Callback = Callable[[str, Any], None]
Decoder = Callable[..., Any]


def _filter_of(topic: str) -> str:
    """The MQTT subscription filter of a package topic: each "*" level is one MQTT "+" level."""
    return "/".join("+" if level == "*" else level for level in topic.split("/"))


def market_decoder(contract: Any, quote_type: QuoteType, intraday_odd: bool) -> Decoder:
    """The native factory that builds the record of a contract's market-data message."""
    quote_type = QuoteType(quote_type)
    if isinstance(contract, Stock):
        if quote_type == QuoteType.Quote:
            return QuoteSTKv1.from_content
        record = TickSTKv1 if quote_type == QuoteType.Tick else LadderSTKv1
        return record.from_content_odd if intraday_odd else record.from_content
    if isinstance(contract, (Future, Option)):
        if quote_type == QuoteType.Tick:
            return TickFOPv1.from_content
        if quote_type == QuoteType.Ladder:
            return LadderFOPv1.from_content
    raise ValueError(f"no market-data record for {quote_type} of {type(contract).__name__} {contract.code}")


# The route cache maps each arrival topic to its subscription; cleared when it would exceed either bound.
ROUTE_CACHE_TOPICS = 100_000
ROUTE_CACHE_BYTES = 8 << 20

GapHook = Callable[[str, str, int, int], None]


class _Subscription:
    __slots__ = ("topic", "filter", "decode", "callbacks", "qos", "account", "seq")

    def __init__(self, topic: str, decode: Decoder, qos: int = 0, account: tuple[str, str] | None = None) -> None:
        self.topic = topic
        self.filter = _filter_of(topic)
        self.decode = decode
        self.callbacks: tuple[Callback, ...] = ()
        self.qos = qos
        self.account = account  # (broker_id, account_id) of a fills subscription
        self.seq = 0  # the last fill sequence number delivered; 0 before the first


def _numbers(first: int, last: int) -> str:
    if last - first < 10:
        return ", ".join(str(n) for n in range(first, last + 1))
    return f"{first} to {last}"


class _Core:
    """The feed's state and the receiver's hooks.

    The receiver's delivery thread holds these hooks for as long as it runs, so nothing here
    refers to the ``Feed``: a dropped feed is collected and its finalizer closes this core.
    """

    def __init__(self, bus_url: str, timeout: float, warn_interval: float) -> None:
        self.warn_interval = warn_interval
        # _bus_lock makes a table change and its bus call one step, so the bus hears them in the
        # table's order; _lock guards the table alone.
        # Reentrant: a collection on a thread inside the core may run the finalizer there.
        self._bus_lock = threading.RLock()
        self._lock = threading.RLock()
        self._stale: set[str] = set()  # filters removed while the bus was away
        self._subscriptions: dict[str, _Subscription] = {}  # by filter
        self._warned: dict[str, list[float]] = {}  # topic -> [last warning, refused since]
        self.gaps = self.duplicates = 0
        self.closed = self._lost = False
        self.pid = os.getpid()
        host, port = parse_bus_url(bus_url)
        self.where = f"{host}:{port}"
        client = _Client(
            on_connect=self._restore,
            on_disconnect=self._on_disconnect,
            on_refused=self._refuse,
            on_error=self._callback_raised,
        )
        # The bus keeps the session (subscriptions, and QoS 1 fills while the link is down) for this id.
        client.connect(
            host,
            port,
            f"taloma-feed-{uuid.uuid4().hex[:12]}",
            clean_session=False,
            keepalive=KEEPALIVE,
            timeout=timeout,
        )
        client.limit_routes(ROUTE_CACHE_TOPICS, ROUTE_CACHE_BYTES)
        self.client = client

    @property
    def _routes(self) -> list[str]:
        """The arrival topics whose routes are cached now."""
        return self.client.cached_routes()

    @property
    def stats(self) -> dict[str, int]:
        return {**self.client.stats, "gaps": self.gaps, "duplicates": self.duplicates}

    # ---- subscriptions ------------------------------------------------------------------

    def add(
        self,
        topic: str,
        decode: Decoder,
        callback: Callback,
        qos: int = 0,
        account: tuple[str, str] | None = None,
        confirm: float | None = None,
    ) -> None:
        """Subscribe ``callback``; with ``confirm``, wait that many seconds for the bus to
        acknowledge, else undo and raise ``ConnectionError``."""
        if not callable(callback):
            raise TypeError("callback must be callable")
        with self._bus_lock:
            with self._lock:
                if self.closed:
                    raise RuntimeError("the feed is closed")
                key = _filter_of(topic)
                subscription = self._subscriptions.get(key)
                new = subscription is None
                if subscription is None:
                    subscription = _Subscription(topic, decode, qos, account)
                    self._subscriptions[key] = subscription
                    self._stale.discard(key)
                added = callback not in subscription.callbacks
                if added:
                    subscription.callbacks = (*subscription.callbacks, callback)
                if new or added:
                    self._route(subscription)
            # While the bus is away this does nothing; the reconnection subscribes.
            mid = self.client.subscribe(key, subscription.qos) if new or confirm is not None else -1
        if confirm is None:
            return
        if mid < 0:
            failure = "is not connected"
        elif not self.client.wait_granted(mid, confirm):
            failure = f"did not grant the subscription to {key} within {confirm:g} s"
        else:
            return
        self._undo(key, subscription, callback if added else None)
        raise ConnectionError(f"the message bus at {self.where} {failure}")

    def _route(self, subscription: _Subscription) -> None:
        """Hands the subscription's decoder and callbacks to the receiver; called with _lock held."""
        decode = subscription.decode
        if subscription.account is not None:
            self.client.route(
                subscription.filter, subscription.topic, _FillDecoder(self, subscription), subscription.callbacks
            )
            return
        cls, name = getattr(decode, "__self__", None), getattr(decode, "__name__", "")
        content = getattr(cls, "_content", {}).get(name) if isinstance(cls, type) else None
        self.client.route(subscription.filter, subscription.topic, decode, subscription.callbacks, content)

    def _undo(self, key: str, subscription: _Subscription, callback: Callback | None) -> None:
        with self._bus_lock:
            with self._lock:
                if self._subscriptions.get(key) is not subscription:
                    return
                if callback is not None:
                    subscription.callbacks = tuple(c for c in subscription.callbacks if c is not callback)
                if subscription.callbacks:
                    self._route(subscription)
                    return
                del self._subscriptions[key]
                self.client.unroute(key)
            # The bus may have taken it without our hearing back.
            self._unsubscribe(key)

    def remove(self, topic: str, callback: Callback | None) -> None:
        with self._bus_lock:
            with self._lock:
                key = _filter_of(topic)
                subscription = self._subscriptions.get(key)
                if subscription is None:
                    return
                if callback is not None:
                    subscription.callbacks = tuple(c for c in subscription.callbacks if c != callback)
                    if subscription.callbacks:
                        self._route(subscription)
                        return
                subscription.callbacks = ()
                del self._subscriptions[key]
                if self.closed:
                    return
                self.client.unroute(key)
            self._unsubscribe(key)

    def _unsubscribe(self, key: str) -> None:
        # Called with _bus_lock held. A session the bus keeps would go on collecting the topic's
        # messages, so a filter it cannot be told about now is told on reconnection.
        if self.client.unsubscribe(key) < 0:
            self._stale.add(key)

    def _restore(self) -> None:
        # The session may be new (a bus restarted without its store): subscribe everything again.
        client = self.client
        with self._bus_lock:
            with self._lock:
                filters = [(key, s.qos) for key, s in self._subscriptions.items()]
                stale, self._stale = sorted(self._stale), set()
            for key in stale:
                client.unsubscribe(key)
            for key, qos in filters:
                client.subscribe(key, qos)
        if self._lost:
            self._lost = False
            log.warning("reconnected to the message bus at %s; %d subscriptions restored", self.where, len(filters))

    def _on_disconnect(self, reason: str) -> None:
        if not self.closed and not self._lost:
            self._lost = True
            log.warning("lost the message bus at %s (%s); reconnecting", self.where, reason)

    # ---- delivery ------------------------------------------------------------------------

    def _in_sequence(self, subscription: _Subscription, event: dict[str, Any]) -> bool:
        """False for a fill already delivered (a redelivery); a gap is reported before the fill."""
        seq = event.get("seq")
        if seq is None:  # a publisher that does not number its fills
            return True
        last = subscription.seq
        if last and seq <= last:
            self.duplicates += 1
            return False
        subscription.seq = seq
        if last and seq > last + 1:
            self._gap(subscription, last + 1, seq)
        return True

    def _gap(self, subscription: _Subscription, expected: int, received: int) -> None:
        assert subscription.account is not None
        broker_id, account_id = subscription.account
        self.gaps += received - expected
        log.warning(
            "missed fills %s of account %s/%s: fill %d arrived after %d",
            _numbers(expected, received - 1),
            broker_id,
            account_id,
            received,
            expected - 1,
        )
        for callback in subscription.callbacks:
            on_gap = getattr(callback, "on_gap", None)
            if on_gap is None:
                continue
            try:
                on_gap(broker_id, account_id, expected, received)
            except Exception:
                log.exception("fill gap hook %r raised for account %s/%s", on_gap, broker_id, account_id)

    def _callback_raised(self, callback: Callback, topic: str, exc: BaseException) -> None:
        log.error("market-data callback %r raised on topic %s", callback, topic, exc_info=exc)

    def _refuse(self, topic: str, arrival: str, exc: BaseException) -> None:
        now = time.monotonic()
        state = self._warned.get(topic)
        if state is None:
            if len(self._warned) > 10_000:
                self._warned.clear()
            state = self._warned[topic] = [now - self.warn_interval, 0]
        state[1] += 1
        if now - state[0] >= self.warn_interval:
            more = f" ({state[1] - 1} more refused since the last warning)" if state[1] > 1 else ""
            log.warning("refused a message on topic %s (%s): %s: %s%s", topic, arrival, type(exc).__name__, exc, more)
            state[0], state[1] = now, 0

    # ---- state and lifetime --------------------------------------------------------------

    def topics(self) -> list[str]:
        with self._lock:
            return [s.topic for s in self._subscriptions.values()]

    def count(self) -> int:
        return len(self._subscriptions)

    def close(self) -> None:
        if os.getpid() != self.pid:
            self.closed = True  # a forked child's copy: the connection is the parent's
            return
        with self._bus_lock:
            with self._lock:
                if self.closed:
                    return
                self.closed = True
                keys = list(self._subscriptions)
                self._subscriptions.clear()
            client = self.client
            for key in keys:
                client.unsubscribe(key)  # the bus keeps the session: leave it collecting nothing
        client.close()  # from a callback it returns at once; the delivery thread ends after it


class _Client(Receiver):
    """The feed's receiver."""


class _FillDecoder:
    """A fill message to its event, or None for a redelivery; a gap is reported first."""

    __slots__ = ("core", "subscription")

    def __init__(self, core: _Core, subscription: _Subscription) -> None:
        self.core, self.subscription = core, subscription

    def __call__(self, **content: Any) -> dict[str, Any] | None:
        event = self.subscription.decode(**content)
        return event if self.core._in_sequence(self.subscription, event) else None


class Feed:
    """Market data from a message bus, as the package's native records.

    ::

        with Feed(sim.bus_url) as feed:
            feed.subscribe(future, QuoteType.Tick, lambda topic, tick: print(tick.close))

    Every callback runs on the feed's one thread, in the order messages arrive on each topic,
    and is called as ``callback(topic, record)`` with the topic text that ``contract2topic``
    names for the subscription. A payload that does not decode is refused (a WARNING naming the
    topic, at most one per topic every ``warn_interval`` seconds) and counted; a callback that
    raises is logged; neither stops the feed. A lost bus is reconnected and every subscription
    restored. ``Feed(...)`` raises ``ConnectionError`` naming host and port when the bus cannot
    be reached within ``timeout`` seconds.

    The feed's session at the bus outlives a dropped link: fills (QoS 1) made meanwhile arrive
    once it is back. A feed dropped without :meth:`close` is closed when it is collected, unless
    one of its own callbacks refers to it. A forked child does not inherit the feed: there its
    calls raise ``RuntimeError`` (``close()`` does nothing); the parent's feed goes on.
    """

    def __init__(self, bus_url: str, timeout: float = CONNECT_TIMEOUT, warn_interval: float = 10.0) -> None:
        self.bus_url = bus_url
        self._core = core = _Core(bus_url, timeout, warn_interval)
        self._client = core.client
        self._finalizer = weakref.finalize(self, core.close)

    @property
    def warn_interval(self) -> float:
        return self._core.warn_interval

    @warn_interval.setter
    def warn_interval(self, seconds: float) -> None:
        self._core.warn_interval = seconds

    # ---- subscriptions ------------------------------------------------------------------

    def subscribe(
        self,
        contract: Any,
        quote_type: QuoteType,
        callback: Callback,
        version: QuoteVersion = QuoteVersion.v1,
        intraday_odd: bool = False,
    ) -> str:
        """Deliver the contract's records of one kind to ``callback``; returns the topic.

        Subscribing the same callback again changes nothing.
        """
        topic = contract2topic(contract, quote_type, intraday_odd, version)
        return self._add(topic, market_decoder(contract, quote_type, intraday_odd), callback)

    def unsubscribe(
        self,
        contract: Any,
        quote_type: QuoteType,
        version: QuoteVersion = QuoteVersion.v1,
        intraday_odd: bool = False,
        callback: Callback | None = None,
    ) -> None:
        """Stop delivering the contract's records of one kind (to ``callback`` only, if given)."""
        self._core.remove(contract2topic(contract, quote_type, intraday_odd, version), callback)

    def _add(self, topic: str, decode: Decoder, callback: Callback) -> str:
        """Subscribe ``callback`` to a topic (with "*" levels) whose payloads ``decode(**content)``
        turns into records; the one road for every kind of market-data subscription."""
        self._core.add(topic, decode, callback)
        return topic

    # ---- state and lifetime --------------------------------------------------------------

    @property
    def stats(self) -> Mapping[str, int]:
        """Counts of messages "received", records "delivered" and payloads "refused"; of fills
        missed ("gaps", by their sequence numbers) and of fills dropped as already delivered
        ("duplicates")."""
        return MappingProxyType(self._core.stats)

    @property
    def topics(self) -> list[str]:
        """The topics subscribed to."""
        return self._core.topics()

    @property
    def closed(self) -> bool:
        return self._core.closed

    def close(self) -> None:
        """Unsubscribe everything and disconnect; safe from a callback, twice, or with the bus gone."""
        self._finalizer()

    def __enter__(self) -> Feed:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"{self._core.count()} subscriptions"
        return f"Feed({self.bus_url!r}, {state})"

    # ---- the account's own fills ---------------------------------------------------------

    def subscribe_fills(
        self,
        account: Any,
        callback: Callable[[dict[str, Any]], None],
        timeout: float = CONNECT_TIMEOUT,
        *,
        on_gap: GapHook | None = None,
    ) -> str:
        """Call ``callback(event)`` once per fill of ``account`` (an account record, or a mapping
        with "broker_id" and "account_id"); returns the topic. ``event`` is a mapping (see
        :func:`fill_event`).

        The subscription is in place at the bus when this returns: otherwise (no acknowledgement
        within ``timeout`` seconds, or the bus is away) it raises ``ConnectionError`` naming the
        bus and leaves nothing subscribed. Called on the feed's own thread (from a callback), it
        cannot wait for the bus and returns at once.

        Fills travel at QoS 1 and the bus keeps them for the feed across a dropped link; each is
        delivered once. A fill's "seq" numbers the account's fills from 1: a fill already
        delivered is dropped (counted in ``stats["duplicates"]``). When fills were missed (a bus
        restarted without its store), a WARNING names the account and the missing numbers, they
        are counted in ``stats["gaps"]``, and ``on_gap(broker_id, account_id, expected, received)``
        is called on the feed's thread before the fill ``received`` is delivered: fills
        ``expected`` to ``received - 1`` never came (query the broker for them). The first fill
        heard for the account sets the count; a fill without "seq" is delivered as it comes.
        """
        topic = account_fills_topic(account)
        broker_id, account_id = topic.split("/")[2:]
        on_thread = self._client.on_delivery_thread()
        self._core.add(
            topic,
            fill_event,
            _FillCallback(callback, on_gap),
            qos=1,
            account=(broker_id, account_id),
            confirm=None if on_thread else timeout,
        )
        return topic

    def unsubscribe_fills(self, account: Any, callback: Callable[[dict[str, Any]], None] | None = None) -> None:
        """Stop delivering the account's fills (to ``callback`` only, if given)."""
        self._core.remove(account_fills_topic(account), None if callback is None else _FillCallback(callback))


# ---- fill events ----------------------------------------------------------------------------

_FILL_FIELDS = {"ordno": str, "seqno": str, "code": str, "action": str, "price": str, "quantity": int}


def fill_event(**content: Any) -> dict[str, Any]:
    """The mapping a fills callback receives, from a fill message's content.

    "ordno", "seqno", "code" (texts), "action" (``Action``), "price" (``Decimal``), "quantity"
    (the lots of this fill), and as the broker sends them: "broker_id", "account_id", "time"
    (market time, ``datetime``), "fill_no", "order_quantity", "deal_quantity", "remaining"
    (the order's lots after this fill), "status" (``Status.PartFilled`` or ``Status.Filled``),
    "order_type", "price_type", "fee" and "tax" (``Decimal``), and "seq" (the account's fills
    numbered from 1) when the broker numbers them.
    """
    from decimal import Decimal

    from taloma.backend.solace.utils import datetime_parser
    from taloma.constant import Action
    from taloma.order import Status

    for key, kind in _FILL_FIELDS.items():
        if not isinstance(content.get(key), kind) or isinstance(content.get(key), bool):
            raise TypeError(f"fill field {key!r} must be {kind.__name__}, not {content.get(key)!r}")
    seq = content.get("seq")
    if seq is not None and (not isinstance(seq, int) or isinstance(seq, bool) or seq < 1):
        raise TypeError(f"fill field 'seq' must be a positive int, not {seq!r}")
    event = dict(content)
    event["action"] = Action(content["action"])
    event["price"] = Decimal(content["price"])
    for key in ("fee", "tax"):
        if isinstance(event.get(key), str):
            event[key] = Decimal(event[key])
    if isinstance(event.get("time"), str):
        date, _, clock = event["time"].partition(" ")
        event["time"] = datetime_parser(date, clock)
    if isinstance(event.get("status"), str):
        event["status"] = Status(event["status"])
    return event


class _FillCallback:
    """Adapts ``callback(event)`` to the feed's ``callback(topic, record)``; equal by the callback."""

    __slots__ = ("callback", "on_gap")

    def __init__(self, callback: Callable[[dict[str, Any]], None], on_gap: GapHook | None = None) -> None:
        if not callable(callback):
            raise TypeError("callback must be callable")
        if on_gap is not None and not callable(on_gap):
            raise TypeError("on_gap must be callable")
        self.callback = callback
        self.on_gap = on_gap

    def __call__(self, topic: str, event: dict[str, Any]) -> None:
        self.callback(event)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, _FillCallback) and other.callback == self.callback

    def __hash__(self) -> int:
        return hash(self.callback)

    def __repr__(self) -> str:
        return repr(self.callback)
