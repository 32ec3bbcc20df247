"""The simulated market: order books, trades and their market-data messages.

Each contract in the market has an order book (five price levels a side on the exchange's
tick-size ladder) that a random process trades against and re-quotes; a stock has a second
book for its intraday odd lots (volumes in shares). Time is a market clock that runs at
``speed`` times real time from the moment the market is made.

Every change is a :class:`MarketEvent`: a trade ("tick") or a change of a book ("book"),
with an immutable :class:`Snapshot` of the contract right after it and the market-data
messages it gives (:mod:`taloma.simulator.messages`). Listeners run on the market thread, one
event at a time, in the order the events happened::

    market = Market(catalogue, contracts=["TXFL6"], speed=10.0, seed=1)
    market.add_listener(lambda event: print(event.kind, event.code, event.snapshot.last))
    market.start()
    ...
    market.trade("TXFL6", "B", 2, limit=Decimal("17600"))   # an order taking liquidity
    market.stop()

A contract joins the market when it is named at construction or by :meth:`Market.add`
(the simulated broker adds every contract that receives an order). Codes are those of the
broker's catalogue, or well-formed codes of its products (:mod:`taloma.simulator.prices`).
An exception on the market thread is logged and kept as :attr:`Market.failure`. The clock,
books, price paths and message content live in modules of their own; this one runs the market.
"""

from __future__ import annotations

import datetime as dt
import heapq
import itertools
import logging
import random
import threading
from collections import deque
from collections.abc import Iterable
from decimal import Decimal

from taloma.constant import QuoteVersion
from taloma.rules import (
    INDEX_FUTURE_LADDER,
    INDEX_OPTION_LADDER,
    STOCK_LADDER,
    STOCK_LOT,
    STOCK_OPTION_LADDER,
    Ladder,
)
from taloma.simulator.books import (
    LEVELS,
    Book,
    ContractState,
    Instrument,
    Level,
    Listener,
    MarketEvent,
    Message,
    Session,
    Snapshot,
    Trade,
    follow_regular,
    new_state,
    refill,
    requote,
)
from taloma.simulator.clock import MAX_SPEED, MarketClock
from taloma.simulator.messages import TOPIC_FILL, book_messages, tick_messages, topics_of
from taloma.simulator.prices import CatalogueLike, Listing, Prices

log = logging.getLogger("taloma.simulator.market")

_RATES = {"future": 2.0, "option": 0.6, "stock": 1.0}  # events per market second
_ODD_RATE = 0.4
_TRADE_SHARE = 0.35
_MAX_LAG = 1.0  # real seconds


class Market:
    """A simulated market over a simulated broker's catalogue.

    ``contracts`` are contract codes of the catalogue (default: :meth:`default_contracts`);
    ``speed`` is market seconds per real second; ``seed`` makes the books and the random
    process repeatable; ``start`` is the market clock's start (default: now); ``versions`` are
    the topic schemes messages are published under.
    """

    def __init__(
        self,
        catalogue: CatalogueLike,
        contracts: Iterable[str] | None = None,
        speed: float = 1.0,
        seed: int | None = None,
        start: dt.datetime | None = None,
        versions: Iterable[QuoteVersion] = (QuoteVersion.v1, QuoteVersion.v0),
    ) -> None:
        self.catalogue = catalogue
        self.clock = MarketClock(speed, start)
        self.versions = tuple(QuoteVersion(v) for v in versions)
        self._random = random.Random(seed)
        self._lock = threading.RLock()
        self._wake = threading.Condition(self._lock)
        self._states: dict[str, ContractState] = {}
        self._schedule: list[tuple[float, int, str, bool]] = []
        self._sequence = itertools.count()
        self._pending: deque[MarketEvent] = deque()
        self._listeners: list[Listener] = []
        self._thread: threading.Thread | None = None
        self._stopping = False
        self.failure: BaseException | None = None
        """What stopped the market thread, if anything did; orders are refused from then on."""
        self.listing = Listing(catalogue)
        self.prices = Prices(self.listing, self.clock.start.date())
        codes = list(self.default_contracts() if contracts is None else contracts)
        for code in codes:
            self.add(code)
        # Books that exist before anyone listens are not news.
        self._pending.clear()

    # ---- contracts ------------------------------------------------------------------------

    def default_contracts(self) -> list[str]:
        """The front-month index future, six near-the-money index options of its month, and
        three large stocks of the stock exchange (whose odd lots trade too)."""
        return self.prices.default_contracts()

    def add(self, code: str) -> Instrument:
        """Bring a contract into the market (nothing happens if it is there).

        Raises ``KeyError`` for a code that is neither in the catalogue nor well formed. A new
        contract's first books are published as "book" events.
        """
        with self._lock:
            state = self._states.get(code)
            if state is not None:
                return state.instrument
            instrument = self.prices.instrument(code)
            topics = topics_of(instrument, self.versions)
            state = new_state(instrument, topics, self.prices.basis(instrument), self._random)
            self._states[code] = state
            now = self.clock.elapsed()
            self._plan(now, code, False)
            if state.odd is not None:
                self._plan(now, code, True)
            self._pending.append(self._book_event(state, False, "add"))
            if state.odd is not None:
                self._pending.append(self._book_event(state, True, "add"))
            self._wake.notify()
            return instrument

    def __contains__(self, code: object) -> bool:
        with self._lock:
            return code in self._states

    def codes(self) -> list[str]:
        """The codes of the contracts in the market, in the order they joined."""
        with self._lock:
            return list(self._states)

    def instrument(self, code: str) -> Instrument:
        with self._lock:
            return self._states[code].instrument

    def snapshot(self, code: str) -> Snapshot:
        """The contract's state now; ``KeyError`` if it is not in the market."""
        with self._lock:
            return self._snapshot(self._states[code])

    def snapshots(self) -> dict[str, Snapshot]:
        """Every contract's state, taken at one moment."""
        with self._lock:
            return {code: self._snapshot(state) for code, state in self._states.items()}

    @property
    def trading_day(self) -> dt.date:
        return self.clock.now().date()

    def now(self) -> dt.datetime:
        return self.clock.now()

    # ---- listeners ------------------------------------------------------------------------

    def add_listener(self, listener: Listener) -> None:
        """Call ``listener(event)`` on the market thread for every event from now on.

        A listener that raises is logged and stays. It may call any method of the market,
        :meth:`trade` included (its events follow after the current one).
        """
        with self._lock:
            self._listeners = [*self._listeners, listener]

    def remove_listener(self, listener: Listener) -> None:
        with self._lock:
            self._listeners = [entry for entry in self._listeners if entry is not listener]

    # ---- orders taking liquidity ------------------------------------------------------------

    def trade(
        self, code: str, side: str, quantity: int, limit: Decimal | None = None, odd: bool = False, whole: bool = False
    ) -> list[Trade]:
        """Execute an incoming order against the book; returns its fills, best price first.

        ``side`` is "B"/"Buy" or "S"/"Sell"; ``limit`` none takes any price; ``odd`` trades the
        stock's odd-lot book (``quantity`` in shares); ``whole`` trades nothing unless the book
        fills all of ``quantity``. What the book cannot fill is left to the caller. The fills
        are published as ticks and the book change after them, all on the market thread; the
        contract joins the market first if it is not there.
        """
        aggressor = {"B": "B", "Buy": "B", "S": "S", "Sell": "S"}.get(str(side))
        if aggressor is None:
            raise ValueError(f"side must be B or S, not {side!r}")
        if quantity <= 0:
            raise ValueError("quantity must be positive")
        self.add(code)
        with self._lock:
            state = self._states[code]
            book = state.book_of(odd)
            if whole and book.depth(aggressor, limit) < quantity:
                return []
            fills = self._execute(state, odd, aggressor, quantity, limit, "order")
            if fills:
                self._pending.append(self._book_event(state, odd, "order"))
                self._wake.notify()
            return fills

    # ---- running ----------------------------------------------------------------------------

    def start(self) -> Market:
        with self._lock:
            if self._thread is None:
                self._stopping = False
                self._thread = threading.Thread(target=self._run, name="taloma-market", daemon=True)
                self._thread.start()
        return self

    def stop(self) -> None:
        with self._lock:
            thread, self._thread = self._thread, None
            self._stopping = True
            self._wake.notify()
        if thread is not None and thread is not threading.current_thread():
            thread.join()

    def __enter__(self) -> Market:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def step(self) -> list[MarketEvent]:
        """Make the next random event now, without the thread; returns its events (for tests)."""
        with self._lock:
            if not self._schedule:
                return []
            due, _, code, odd = heapq.heappop(self._schedule)
            events = self._random_event(self._states[code], odd)
            self._plan(due, code, odd)
            return events

    def _run(self) -> None:
        try:
            self._loop()
        except Exception as exc:
            log.exception("the market thread stopped")
            self.failure = exc

    def _loop(self) -> None:
        while True:
            with self._lock:
                while True:
                    if self._stopping:
                        return
                    if self._pending:
                        batch = list(self._pending)
                        self._pending.clear()
                        break
                    if self._schedule:
                        due = self._schedule[0][0]
                        now = self.clock.elapsed()
                        wait = (due - now) / self.clock.speed
                        if wait <= 0:
                            _, _, code, odd = heapq.heappop(self._schedule)
                            batch = self._random_event(self._states[code], odd)
                            # A market faster than the machine skips what it cannot make, so it
                            # never lags more than a second of real time behind its clock.
                            self._plan(due if wait > -_MAX_LAG else now, code, odd)
                            break
                        self._wake.wait(min(wait, 1.0))
                    else:
                        self._wake.wait(1.0)
                listeners = self._listeners
            for event in batch:
                for listener in listeners:
                    try:
                        listener(event)
                    except Exception:
                        log.exception("market listener %r failed on a %s event of %s", listener, event.kind, event.code)

    def _plan(self, after: float, code: str, odd: bool) -> None:
        kind = self._states[code].instrument.kind
        rate = _ODD_RATE if odd else _RATES[kind]
        heapq.heappush(self._schedule, (after + self._random.expovariate(rate), next(self._sequence), code, odd))

    # ---- the random process -------------------------------------------------------------

    def _underlying_price(self, state: ContractState) -> Decimal | None:
        underlying = state.instrument.underlying
        stock = self._states.get(underlying) if underlying else None
        return self.prices.spot(underlying, stock.book.session.last if stock is not None else None)

    def _random_event(self, state: ContractState, odd: bool) -> list[MarketEvent]:
        book = state.book_of(odd)
        if odd and follow_regular(state, self._random):
            # Subscribers see the moved book before anything trades in it.
            self._pending.append(self._book_event(state, True, "market"))
        if self._random.random() < _TRADE_SHARE and book.bids.levels and book.asks.levels:
            mid = (book.bids.levels[0][0] + book.asks.levels[0][0]) / 2
            spot = self._underlying_price(state) if state.instrument.kind == "option" else None
            target = self.prices.target(state.instrument, spot)
            lean = float((mid - target) / max(target, Decimal("0.01"))) * 10
            buy = self._random.random() < 0.5 - max(-0.3, min(0.3, lean))
            side = "B" if buy else "S"
            touch = (book.asks if buy else book.bids).levels[0][1]
            quantity = self._random.randint(1, max(1, min(touch, book.unit_high // 3 or 1)))
            self._execute(state, odd, side, quantity, None, "market")
        else:
            requote(state.instrument, book, self._random)
        self._pending.append(self._book_event(state, odd, "market"))
        batch = list(self._pending)
        self._pending.clear()
        return batch

    def _execute(
        self, state: ContractState, odd: bool, aggressor: str, quantity: int, limit: Decimal | None, origin: str
    ) -> list[Trade]:
        book = state.book_of(odd)
        shares = STOCK_LOT if state.instrument.kind == "stock" and not odd else 1
        fills: list[Trade] = []
        while (trade := book.take(aggressor, quantity, limit, odd)) is not None:
            quantity -= trade.volume
            fills.append(trade)
            book.record(trade, shares)
            if not odd:
                self.prices.traded(state.instrument, trade.price, state.basis)
            self._pending.append(self._tick_event(state, trade, origin))
        refill(state.instrument, book, self._random)
        return fills

    # ---- snapshots and events -------------------------------------------------------------

    def _snapshot(self, state: ContractState) -> Snapshot:
        return Snapshot(
            instrument=state.instrument,
            time=self.clock.now(),
            book=state.book.frozen(),
            session=state.book.session,
            odd_book=state.odd.frozen() if state.odd is not None else None,
            odd_session=state.odd.session if state.odd is not None else None,
            underlying_price=self._underlying_price(state),
        )

    def _tick_event(self, state: ContractState, trade: Trade, origin: str) -> MarketEvent:
        snapshot = self._snapshot(state)
        messages = tick_messages(state, trade, snapshot)
        return MarketEvent("tick", state.instrument.code, trade.odd, snapshot, trade, origin, messages)

    def _book_event(self, state: ContractState, odd: bool, origin: str) -> MarketEvent:
        snapshot = self._snapshot(state)
        return MarketEvent(
            "book", state.instrument.code, odd, snapshot, None, origin, book_messages(state, odd, snapshot)
        )


__all__ = [
    "INDEX_FUTURE_LADDER",
    "INDEX_OPTION_LADDER",
    "LEVELS",
    "MAX_SPEED",
    "STOCK_LADDER",
    "STOCK_LOT",
    "STOCK_OPTION_LADDER",
    "TOPIC_FILL",
    "Book",
    "Instrument",
    "Ladder",
    "Level",
    "Listing",
    "Market",
    "MarketClock",
    "MarketEvent",
    "Message",
    "Session",
    "Snapshot",
    "Trade",
]
