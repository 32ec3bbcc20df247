"""The market-data subscriber: bus messages in, the package's native records out.

Messages travel on an MQTT bus under the topics that ``contract2topic`` names (each "*" level
filled by one concrete level); the payload is a MessagePack map of the content fields that the
record's factory (``from_content`` / ``from_content_odd``) takes.
"""

from __future__ import annotations

import logging
import socket
import threading
import time
import uuid
from types import MappingProxyType
from typing import Any, Callable, Mapping
from urllib.parse import urlsplit

import paho.mqtt.client as mqtt
from msgpack import unpackb
from paho.mqtt.enums import CallbackAPIVersion

from taloma.backend.solace.ladder import LadderFOPv1, LadderSTKv1
from taloma.backend.solace.quote import QuoteSTKv1, contract2topic
from taloma.backend.solace.tick import TickFOPv1, TickSTKv1
from taloma.constant import QuoteType, QuoteVersion
from taloma.contracts import Future, Option, Stock

log = logging.getLogger("taloma.feed")

DEFAULT_PORT = 1883
CONNECT_TIMEOUT = 5.0
KEEPALIVE = 10


def parse_bus_url(bus_url: str) -> tuple[str, int]:
    """(host, port) of "mqtt://host[:port]"; ``ValueError`` for anything else."""
    parts = urlsplit(bus_url)
    if parts.scheme != "mqtt" or not parts.hostname or parts.path not in ("", "/"):
        raise ValueError(f"expected a bus address mqtt://host:port, not {bus_url!r}")
    try:
        port = parts.port or DEFAULT_PORT
    except ValueError:
        raise ValueError(f"bad port in bus address {bus_url!r}") from None
    return parts.hostname, port


class _ReadAhead:
    """A TCP socket read in large chunks.

    paho reads each packet a byte or two at a time, one system call per read and a select()
    between packets; served from a buffer, a burst of messages costs one call per chunk, and
    paho's ``pending()`` check skips the select while the buffer holds data.
    """

    __slots__ = ("_sock", "_buf", "_pos")

    CHUNK = 256 * 1024

    def __init__(self, sock: socket.socket) -> None:
        self._sock = sock
        self._buf = b""
        self._pos = 0

    def recv(self, size: int) -> bytes:
        buf, pos = self._buf, self._pos
        if pos >= len(buf):
            buf = self._sock.recv(self.CHUNK)  # BlockingIOError and a closed peer pass as from the socket
            if not buf:
                return buf
            pos = 0
        end = min(pos + size, len(buf))
        self._buf, self._pos = buf, end
        return buf[pos:end]

    def pending(self) -> int:
        return len(self._buf) - self._pos

    def __getattr__(self, name: str) -> Any:
        return getattr(self._sock, name)


class _Client(mqtt.Client):
    """paho's client over a read-ahead socket, reading up to a batch of buffered packets per turn
    of its loop instead of one packet per select()."""

    BATCH = 64  # the loop still turns often enough to write, ping and notice a closed feed

    def _create_socket(self) -> Any:
        sock = super()._create_socket()
        return _ReadAhead(sock) if type(sock) is socket.socket else sock

    def loop_read(self, max_packets: int = 1) -> mqtt.MQTTErrorCode:
        rc = super().loop_read(max_packets)
        sock = self._sock
        for _ in range(self.BATCH):
            if rc != mqtt.MQTTErrorCode.MQTT_ERR_SUCCESS or sock is None or self._sock is not sock \
                    or not sock.pending():
                break
            rc = super().loop_read(max_packets)
        return rc


def connect_client(
    bus_url: str,
    name: str,
    timeout: float = CONNECT_TIMEOUT,
    on_connect: Callable[[mqtt.Client], None] | None = None,
    on_message: Callable[[mqtt.Client, Any, mqtt.MQTTMessage], None] | None = None,
) -> mqtt.Client:
    """A paho client connected to the bus, its network thread running and reconnecting on loss.

    ``on_connect(client)`` runs on the network thread after every (re)connection, before any
    message of it arrives. Raises ``ConnectionError`` naming host and port when the bus refuses
    or does not answer within ``timeout`` seconds.
    """
    host, port = parse_bus_url(bus_url)
    client = _Client(CallbackAPIVersion.VERSION2, client_id=f"{name}-{uuid.uuid4().hex[:12]}",
                         clean_session=True, protocol=mqtt.MQTTv311)
    client.connect_timeout = timeout
    client.reconnect_delay_set(1, 2)
    connected = threading.Event()
    refused: list[str] = []

    def connect_done(c: mqtt.Client, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        if reason.is_failure:
            refused.append(str(reason))
            connected.set()
            return
        if on_connect is not None:
            on_connect(c)
        connected.set()

    client.on_connect = connect_done
    if on_message is not None:
        client.on_message = on_message
    where = f"{host}:{port}"
    try:
        client.connect(host, port, keepalive=KEEPALIVE)
    except OSError as exc:
        raise ConnectionError(f"cannot reach the message bus at {where}: {exc}") from None
    client.loop_start()
    if not connected.wait(timeout) or refused:
        client.disconnect()
        client.loop_stop()
        why = f"refused the connection ({refused[0]})" if refused else f"did not answer within {timeout:g} s"
        raise ConnectionError(f"the message bus at {where} {why}")
    return client


# ---- the subscriber -------------------------------------------------------------------------

Callback = Callable[[str, Any], None]
Decoder = Callable[..., Any]


def _filter_of(topic: str) -> str:
    """The MQTT subscription filter of a package topic: each "*" level is one MQTT "+" level."""
    return "/".join("+" if level == "*" else level for level in topic.split("/"))


def _matches(filter_levels: list[str], topic: str) -> bool:
    levels = topic.split("/")
    return len(levels) == len(filter_levels) and all(f in ("+", t) for f, t in zip(filter_levels, levels))


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


class _Subscription:
    __slots__ = ("topic", "filter", "levels", "decode", "callbacks")

    def __init__(self, topic: str, decode: Decoder) -> None:
        self.topic = topic
        self.filter = _filter_of(topic)
        self.levels = self.filter.split("/")
        self.decode = decode
        self.callbacks: tuple[Callback, ...] = ()


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
    """

    def __init__(self, bus_url: str, timeout: float = CONNECT_TIMEOUT, warn_interval: float = 10.0) -> None:
        self.bus_url = bus_url
        self.warn_interval = warn_interval
        self._lock = threading.Lock()
        self._subscriptions: dict[str, _Subscription] = {}  # by filter
        self._routes: dict[bytes, _Subscription | None] = {}  # arrival topic -> subscription
        self._warned: dict[str, list[float]] = {}  # topic -> [last warning, refused since]
        self._received = self._delivered = self._refused = 0
        self._closed = self._lost = False
        host, port = parse_bus_url(bus_url)
        self._where = f"{host}:{port}"
        self._client = connect_client(bus_url, "taloma-feed", timeout, on_connect=self._restore,
                                      on_message=self._on_message)
        self._client.on_disconnect = self._on_disconnect

    # ---- subscriptions ------------------------------------------------------------------

    def subscribe(self, contract: Any, quote_type: QuoteType, callback: Callback,
                  version: QuoteVersion = QuoteVersion.v1, intraday_odd: bool = False) -> str:
        """Deliver the contract's records of one kind to ``callback``; returns the topic.

        Subscribing the same callback again changes nothing.
        """
        topic = contract2topic(contract, quote_type, intraday_odd, version)
        return self._add(topic, market_decoder(contract, quote_type, intraday_odd), callback)

    def unsubscribe(self, contract: Any, quote_type: QuoteType, version: QuoteVersion = QuoteVersion.v1,
                    intraday_odd: bool = False, callback: Callback | None = None) -> None:
        """Stop delivering the contract's records of one kind (to ``callback`` only, if given)."""
        self._remove(contract2topic(contract, quote_type, intraday_odd, version), callback)

    def _add(self, topic: str, decode: Decoder, callback: Callback) -> str:
        """Subscribe ``callback`` to a topic (with "*" levels) whose payloads ``decode(**content)``
        turns into records; the one road for every kind of subscription."""
        if not callable(callback):
            raise TypeError("callback must be callable")
        with self._lock:
            if self._closed:
                raise RuntimeError("the feed is closed")
            key = _filter_of(topic)
            subscription = self._subscriptions.get(key)
            new = subscription is None
            if subscription is None:
                subscription = _Subscription(topic, decode)
                self._subscriptions[key] = subscription
                self._routes = {}
            if callback not in subscription.callbacks:
                subscription.callbacks = (*subscription.callbacks, callback)
        # Outside the lock: paho's own locks are taken, and a reconnection takes ours in _restore.
        # While the bus is away this does nothing; the reconnection subscribes.
        if new:
            self._client.subscribe(subscription.filter, qos=0)
        return topic

    def _remove(self, topic: str, callback: Callback | None) -> None:
        with self._lock:
            key = _filter_of(topic)
            subscription = self._subscriptions.get(key)
            if subscription is None:
                return
            if callback is not None:
                subscription.callbacks = tuple(c for c in subscription.callbacks if c != callback)
            if callback is not None and subscription.callbacks:
                return
            subscription.callbacks = ()
            del self._subscriptions[key]
            self._routes = {}
            if self._closed:
                return
        self._client.unsubscribe(key)

    def _restore(self, client: mqtt.Client) -> None:
        # A new connection starts without subscriptions.
        with self._lock:
            filters = [(key, 0) for key in self._subscriptions]
        if filters:
            client.subscribe(filters)
        if self._lost:
            self._lost = False
            log.warning("reconnected to the message bus at %s; %d subscriptions restored", self._where,
                        len(filters))

    def _on_disconnect(self, client: mqtt.Client, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        if not self._closed and not self._lost:
            self._lost = True
            log.warning("lost the message bus at %s (%s); reconnecting", self._where, reason)

    # ---- delivery ------------------------------------------------------------------------

    def _route(self, raw_topic: bytes) -> _Subscription | None:
        routes = self._routes
        topic = raw_topic.decode("utf-8", "replace")
        with self._lock:
            found = next((s for s in self._subscriptions.values() if _matches(s.levels, topic)), None)
        if len(routes) < 100_000:
            routes[raw_topic] = found
        return found

    def _on_message(self, client: mqtt.Client, userdata: Any, message: mqtt.MQTTMessage) -> None:
        if self._closed:
            return
        self._received += 1
        raw_topic = message._topic  # bytes: no decoding on the way to a cached route
        try:
            subscription = self._routes[raw_topic]
        except KeyError:
            subscription = self._route(raw_topic)
        if subscription is None:
            return
        try:
            record = subscription.decode(**unpackb(message.payload))
        except Exception as exc:
            self._refuse(subscription.topic, raw_topic, exc)
            return
        self._delivered += 1
        for callback in subscription.callbacks:
            try:
                callback(subscription.topic, record)
            except Exception:
                log.exception("market-data callback %r raised on topic %s", callback, subscription.topic)
            if self._closed:
                return

    def _refuse(self, topic: str, raw_topic: bytes, exc: Exception) -> None:
        self._refused += 1
        now = time.monotonic()
        state = self._warned.get(topic)
        if state is None:
            if len(self._warned) > 10_000:
                self._warned.clear()
            state = self._warned[topic] = [now - self.warn_interval, 0]
        state[1] += 1
        if now - state[0] >= self.warn_interval:
            more = f" ({state[1] - 1} more refused since the last warning)" if state[1] > 1 else ""
            log.warning("refused a message on topic %s (%s): %s: %s%s", topic,
                        raw_topic.decode("utf-8", "replace"), type(exc).__name__, exc, more)
            state[0], state[1] = now, 0

    # ---- state and lifetime --------------------------------------------------------------

    @property
    def stats(self) -> Mapping[str, int]:
        """Counts of messages "received", records "delivered" and payloads "refused"."""
        return MappingProxyType({"received": self._received, "delivered": self._delivered,
                                 "refused": self._refused})

    @property
    def topics(self) -> list[str]:
        """The topics subscribed to."""
        with self._lock:
            return [s.topic for s in self._subscriptions.values()]

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Unsubscribe everything and disconnect; safe from a callback, twice, or with the bus gone."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            self._subscriptions.clear()
            self._routes = {}
        client = self._client
        client.disconnect()
        client.loop_stop()  # does not wait when called on the feed thread itself

    def __enter__(self) -> Feed:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{len(self._subscriptions)} subscriptions"
        return f"Feed({self.bus_url!r}, {state})"

    # ---- the account's own fills ---------------------------------------------------------

    def subscribe_fills(self, account: Any, callback: Callable[[dict[str, Any]], None],
                        timeout: float = CONNECT_TIMEOUT) -> str:
        """Call ``callback(event)`` once per fill of ``account`` (an account record, or a mapping
        with "broker_id" and "account_id"); returns the topic. ``event`` is a mapping (see
        :func:`fill_event`). The subscription is in place at the bus when this returns.
        """
        topic = self._add(account_fills_topic(account), fill_event, _FillCallback(callback))
        # The bus handles one client's packets in order: once a later publish is acknowledged
        # the subscription is active, so no fill placed from now on can pass it by.
        if threading.current_thread() is not getattr(self._client, "_thread", None):
            try:
                self._client.publish(f"taloma/probe/{uuid.uuid4().hex}", b"", qos=1).wait_for_publish(timeout)
            except (ValueError, RuntimeError):
                pass  # the bus is away: the subscription is restored when it is back
        return topic

    def unsubscribe_fills(self, account: Any, callback: Callable[[dict[str, Any]], None] | None = None) -> None:
        """Stop delivering the account's fills (to ``callback`` only, if given)."""
        self._remove(account_fills_topic(account), None if callback is None else _FillCallback(callback))


# ---- fill events ----------------------------------------------------------------------------

FILLS_TOPIC = "FIL/v1/{broker_id}/{account_id}"


def fills_topic(broker_id: str, account_id: str) -> str:
    """The topic of one account's fills."""
    for part in (broker_id, account_id):
        if not isinstance(part, str) or not part or any(c in part for c in "/+#*"):
            raise ValueError(f"not an account identifier for a topic: {part!r}")
    return FILLS_TOPIC.format(broker_id=broker_id, account_id=account_id)


def account_fills_topic(account: Any) -> str:
    get = account.get if hasattr(account, "get") else lambda key, default: getattr(account, key, default)
    return fills_topic(get("broker_id", ""), get("account_id", ""))


_FILL_FIELDS = {"ordno": str, "seqno": str, "code": str, "action": str, "price": str, "quantity": int}


def fill_event(**content: Any) -> dict[str, Any]:
    """The mapping a fills callback receives, from a fill message's content.

    "ordno", "seqno", "code" (texts), "action" (``Action``), "price" (``Decimal``), "quantity"
    (the lots of this fill), and as the broker sends them: "broker_id", "account_id", "time"
    (market time, ``datetime``), "fill_no", "order_quantity", "deal_quantity", "remaining"
    (the order's lots after this fill), "status" (``Status.PartFilled`` or ``Status.Filled``),
    "order_type", "price_type", "fee" and "tax" (``Decimal``).
    """
    from decimal import Decimal

    from taloma.backend.solace.utils import datetime_parser
    from taloma.constant import Action
    from taloma.order import Status

    for key, kind in _FILL_FIELDS.items():
        if not isinstance(content.get(key), kind) or isinstance(content.get(key), bool):
            raise TypeError(f"fill field {key!r} must be {kind.__name__}, not {content.get(key)!r}")
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

    __slots__ = ("callback",)

    def __init__(self, callback: Callable[[dict[str, Any]], None]) -> None:
        if not callable(callback):
            raise TypeError("callback must be callable")
        self.callback = callback

    def __call__(self, topic: str, event: dict[str, Any]) -> None:
        self.callback(event)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, _FillCallback) and other.callback == self.callback

    def __hash__(self) -> int:
        return hash(self.callback)

    def __repr__(self) -> str:
        return repr(self.callback)
