"""Market data of a session: callbacks, the latest record of each subscription, and async streams.

One feed subscription per contract and kind fans its records out to the session's callbacks and
streams, so subscribing twice or streaming what a callback already receives costs the bus nothing.
"""

from __future__ import annotations

import asyncio
import logging
import threading
from collections import deque
from collections.abc import Callable, Mapping
from types import MappingProxyType
from typing import TYPE_CHECKING, Any

from taloma.backend.solace.quote import contract2topic
from taloma.constant import QuoteType, QuoteVersion
from taloma.contracts import Contract, Stock
from taloma.errors import TalomaError

if TYPE_CHECKING:
    from taloma.feed import Feed

__all__ = ["MarketData", "RecordStream"]

log = logging.getLogger("taloma")

NO_BUS = "no market-data bus: pass bus_url= or set TALOMA_BUS_URL"
_QUOTE_TYPES = {member.value: member for member in QuoteType}

RecordCallback = Callable[[Any], None]


def quote_type_of(value: QuoteType | str) -> QuoteType:
    """A ``QuoteType`` from a member or its text in any case."""
    if isinstance(value, QuoteType):
        return value
    if not isinstance(value, str):
        raise TypeError(f"quote_type must be a QuoteType or its text, not {type(value).__name__}")
    found = _QUOTE_TYPES.get(value.strip().lower())
    if found is None:
        raise ValueError(f"quote_type {value!r} is not one of {', '.join(map(repr, _QUOTE_TYPES))}")
    return found


def _wake(waiter: asyncio.Future[None]) -> None:
    if not waiter.done():
        waiter.set_result(None)


class _Sink:
    """The records of one stream, between the feed thread and the stream's event loop.

    Held by the subscription, never by the stream's user, so a stream dropped by its user (an
    ``async for`` left by ``break``) is collected and closes itself.
    """

    __slots__ = ("items", "maxsize", "lock", "waiter", "closed", "dropped", "market")

    def __init__(self, market: MarketData, maxsize: int) -> None:
        self.items: deque[Any] = deque()
        self.maxsize = maxsize
        self.lock = threading.Lock()
        self.waiter: asyncio.Future[None] | None = None
        self.closed = False
        self.dropped = 0
        self.market = market

    def put(self, record: Any) -> None:
        # On the feed thread. Only a waiting consumer is woken, once, so a loop that falls behind
        # holds at most one wake-up per stream besides the bounded records.
        with self.lock:
            if self.closed:
                return
            if len(self.items) >= self.maxsize:
                self.items.popleft()
                self.dropped += 1
                self.market._dropped += 1
            self.items.append(record)
            waiter, self.waiter = self.waiter, None
        if waiter is not None:
            waiter.get_loop().call_soon_threadsafe(_wake, waiter)

    def end(self) -> None:
        with self.lock:
            self.closed = True
            self.items.clear()
            waiter, self.waiter = self.waiter, None
        if waiter is not None:
            try:
                waiter.get_loop().call_soon_threadsafe(_wake, waiter)
            except RuntimeError:  # its loop is closed: nobody waits any more
                pass


class _Subscription:
    """One feed subscription: a contract's records of one kind, to callbacks and streams."""

    __slots__ = ("key", "contract", "quote_type", "odd_lot", "callbacks", "sinks", "last", "market")

    def __init__(self, key: str, contract: Contract, quote_type: QuoteType, odd_lot: bool, market: MarketData) -> None:
        self.key, self.contract, self.quote_type, self.odd_lot = key, contract, quote_type, odd_lot
        self.callbacks: tuple[RecordCallback, ...] = ()
        self.sinks: tuple[_Sink, ...] = ()
        self.market = market
        self.last = market._last

    def deliver(self, topic: str, record: Any) -> None:
        if self.market._feed_thread is None:
            self.market._feed_thread = threading.get_ident()
        self.last[self.key] = record
        for sink in self.sinks:
            sink.put(record)
        for callback in self.callbacks:
            try:
                callback(record)
            except Exception:
                log.exception("market-data callback %r raised on %s", callback, topic)


class RecordStream:
    """An async iterator of one subscription's records (see :meth:`MarketData.stream`)."""

    def __init__(self, market: MarketData, subscription: _Subscription, sink: _Sink) -> None:
        self._market, self._subscription, self._sink = market, subscription, sink

    @property
    def dropped(self) -> int:
        """Records this stream lost to its bound, the oldest first."""
        return self._sink.dropped

    def __aiter__(self) -> RecordStream:
        return self

    async def __anext__(self) -> Any:
        sink = self._sink
        while True:
            with sink.lock:
                if sink.items:
                    return sink.items.popleft()
                if sink.closed:
                    raise StopAsyncIteration
                waiter = sink.waiter = asyncio.get_running_loop().create_future()
            try:
                await waiter
            finally:
                with sink.lock:
                    if sink.waiter is waiter:
                        sink.waiter = None

    def close(self) -> None:
        """End the stream and drop its subscription; safe twice and from any thread."""
        if not self._sink.closed:
            self._sink.end()
            self._market._detach(self._subscription, self._sink)

    async def aclose(self) -> None:
        self.close()

    async def __aenter__(self) -> RecordStream:
        return self

    async def __aexit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        # A stream in a reference cycle may be collected on the feed's thread, inside the feed's
        # own lock: there it only ends, and its subscription goes with the next change.
        try:
            if threading.get_ident() == self._market._feed_thread:
                self._sink.end()
            else:
                self.close()
        except Exception:  # interpreter shutdown: the feed may be gone
            pass


class MarketData:
    """A session's market data from the bus at ``bus_url``, for contracts that ``resolve`` turns
    from a record or a code into a contract record.

    ``subscribe`` calls ``callback(record)`` on the feed's thread for each record; ``last`` gives
    the latest record of a subscription; ``stream`` is an async iterator for asyncio programs.
    ``feed`` (a :class:`taloma.feed.Feed`) connects on first use.
    """

    def __init__(self, bus_url: str | None, resolve: Callable[[Any], Contract]) -> None:
        if bus_url is not None and not isinstance(bus_url, str):
            raise TypeError(f"bus_url must be text, not {type(bus_url).__name__}")
        self.bus_url = bus_url or None
        self._resolve = resolve
        self._lock = threading.RLock()
        self._feed: Feed | None = None
        self._closed = False
        self._subscriptions: dict[str, _Subscription] = {}
        self._last: dict[str, Any] = {}
        self._dropped = 0
        self._feed_thread: int | None = None

    # ---- the feed -------------------------------------------------------------------------

    @property
    def feed(self) -> Feed:
        """The subscriber, connected on first use."""
        feed = self._feed
        if feed is None:
            with self._lock:
                if self._closed:
                    raise TalomaError("the market data is closed")
                if self.bus_url is None:
                    raise TalomaError(NO_BUS)
                if self._feed is None:
                    from taloma.feed import Feed

                    self._feed = Feed(self.bus_url)
                feed = self._feed
        return feed

    @property
    def stats(self) -> Mapping[str, int]:
        """The feed's counts ("received", "delivered", "refused") and the records streams "dropped"."""
        counts = dict(self._feed.stats) if self._feed is not None else {"received": 0, "delivered": 0, "refused": 0}
        counts["dropped"] = self._dropped
        return MappingProxyType(counts)

    def close(self) -> None:
        """End every stream and close the feed; safe twice."""
        with self._lock:
            self._closed = True
            subscriptions, self._subscriptions = list(self._subscriptions.values()), {}
            feed, self._feed = self._feed, None
        for subscription in subscriptions:
            for sink in subscription.sinks:
                sink.end()
        if feed is not None:
            feed.close()

    def __enter__(self) -> MarketData:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ---- subscriptions --------------------------------------------------------------------

    def _key(self, contract: Any, quote_type: QuoteType | str, odd_lot: bool) -> tuple[str, Contract, QuoteType]:
        kind = quote_type_of(quote_type)
        if not isinstance(odd_lot, bool):
            raise TypeError(f"odd_lot must be True or False, not {type(odd_lot).__name__}")
        record = self._resolve(contract)
        if odd_lot and not isinstance(record, Stock):
            raise ValueError(f"odd_lot: only stocks trade odd lots, not {type(record).__name__} {record.code}")
        return contract2topic(record, kind, odd_lot, QuoteVersion.v1), record, kind

    def _subscription(self, contract: Any, quote_type: QuoteType | str, odd_lot: bool) -> _Subscription:
        """The subscription of a contract's records of one kind, made at the feed if new."""
        key, record, kind = self._key(contract, quote_type, odd_lot)
        from taloma.feed import market_decoder

        market_decoder(record, kind, odd_lot)  # a kind the contract has no records of is refused here
        with self._lock:
            for unused in [s for s in self._subscriptions.values() if not (s.callbacks or s.sinks)]:
                self._drop_if_unused(unused)
            subscription = self._subscriptions.get(key)
            if subscription is None:
                feed = self.feed
                subscription = _Subscription(key, record, kind, odd_lot, self)
                feed.subscribe(record, kind, subscription.deliver, intraday_odd=odd_lot)
                self._subscriptions[key] = subscription
            return subscription

    def subscribe(
        self, contract: Any, callback: RecordCallback, quote_type: QuoteType | str = "tick", *, odd_lot: bool = False
    ) -> None:
        """Call ``callback(record)`` for each of the contract's records of ``quote_type`` ("tick",
        "ladder" or "quote"); subscribing the same callback again changes nothing."""
        if not callable(callback):
            raise TypeError(f"callback must be callable, not {type(callback).__name__}")
        with self._lock:
            subscription = self._subscription(contract, quote_type, odd_lot)
            if callback not in subscription.callbacks:
                subscription.callbacks = (*subscription.callbacks, callback)

    def unsubscribe(
        self,
        contract: Any,
        quote_type: QuoteType | str = "tick",
        *,
        odd_lot: bool = False,
        callback: RecordCallback | None = None,
    ) -> None:
        """Stop calling the callbacks of a subscription (only ``callback``, if given); its streams
        go on until closed."""
        key, _, _ = self._key(contract, quote_type, odd_lot)
        with self._lock:
            subscription = self._subscriptions.get(key)
            if subscription is None:
                return
            subscription.callbacks = tuple(c for c in subscription.callbacks if callback is not None and c != callback)
            self._drop_if_unused(subscription)

    def _detach(self, subscription: _Subscription, sink: _Sink) -> None:
        with self._lock:
            subscription.sinks = tuple(s for s in subscription.sinks if s is not sink)
            self._drop_if_unused(subscription)

    def _drop_if_unused(self, subscription: _Subscription) -> None:
        if (
            subscription.callbacks
            or subscription.sinks
            or self._subscriptions.get(subscription.key) is not subscription
        ):
            return
        del self._subscriptions[subscription.key]
        if self._feed is not None:
            self._feed.unsubscribe(
                subscription.contract,
                subscription.quote_type,
                intraday_odd=subscription.odd_lot,
                callback=subscription.deliver,
            )

    def last(self, contract: Any, quote_type: QuoteType | str = "tick", *, odd_lot: bool = False) -> Any:
        """The latest record received for the contract's subscription of ``quote_type``, or None."""
        key, _, _ = self._key(contract, quote_type, odd_lot)
        return self._last.get(key)

    def stream(
        self, contract: Any, quote_type: QuoteType | str = "tick", *, odd_lot: bool = False, maxsize: int = 10_000
    ) -> RecordStream:
        """An async iterator of the contract's records of ``quote_type`` from now on.

        It keeps at most ``maxsize`` records: a consumer slower than the bus loses the oldest,
        counted in ``stats["dropped"]``. It ends when closed (``aclose()``, leaving ``async with``,
        or leaving ``async for`` once nothing else holds it) or when the market data is closed.
        """
        if isinstance(maxsize, bool) or not isinstance(maxsize, int):
            raise TypeError(f"maxsize must be an integer, not {type(maxsize).__name__}")
        if maxsize < 1:
            raise ValueError(f"maxsize must be at least 1, not {maxsize}")
        with self._lock:
            subscription = self._subscription(contract, quote_type, odd_lot)
            sink = _Sink(self, maxsize)
            subscription.sinks = (*subscription.sinks, sink)
        return RecordStream(self, subscription, sink)

    @property
    def subscriptions(self) -> list[tuple[Contract, QuoteType, bool]]:
        """(contract, quote type, odd lot) of every subscription in place."""
        with self._lock:
            return [(s.contract, s.quote_type, s.odd_lot) for s in self._subscriptions.values()]

    def __repr__(self) -> str:
        where = self.bus_url or "no bus"
        return f"MarketData({where!r}, {len(self._subscriptions)} subscriptions)"
