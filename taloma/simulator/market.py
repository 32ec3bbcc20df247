"""The simulated market: order books, trades and their market-data messages.

Each contract in the market has an order book (five price levels a side on the exchange's
tick-size ladder) that a random process trades against and re-quotes; a stock has a second
book for its intraday odd lots (volumes in shares). Time is a market clock that runs at
``speed`` times real time from the moment the market is made.

Every change is a :class:`MarketEvent`: a trade ("tick") or a change of a book ("book"),
with an immutable :class:`Snapshot` of the contract right after it and the market-data
messages it gives (the content fields of the package's decoders, under the topics that
``contract2topic`` names, each "*" level filled with :data:`TOPIC_FILL`). Listeners run on
the market thread, one event at a time, in the order the events happened::

    market = Market(catalogue, contracts=["TXFL6"], speed=10.0, seed=1)
    market.add_listener(lambda event: print(event.kind, event.code, event.snapshot.last))
    market.start()
    ...
    market.trade("TXFL6", "B", 2, limit=Decimal("17600"))   # an order taking liquidity
    market.stop()

A contract joins the market when it is named at construction or by :meth:`Market.add`
(the simulated broker adds every contract that receives an order). Codes are those of the
broker's catalogue; a well-formed code of a product it lists that it happens not to hold (a
stock "2330", a future "TXFA7", an option "TXO23000L6" or "TXO2300000X6") trades as such all
the same, with the product's underlying and contract size. An exception on the market thread is
logged and kept as :attr:`Market.failure`.
"""

from __future__ import annotations

import datetime as dt
import heapq
import itertools
import logging
import math
import random
import re
import threading
import time
from collections import deque
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Any, Callable, Iterable

from taloma.backend.solace.quote import contract2topic
from taloma.constant import Exchange, QuoteType, QuoteVersion
from taloma.contracts import Contract, Future, Option, Stock
from taloma.rules import (
    INDEX_FUTURE_LADDER,
    INDEX_OPTION_LADDER,
    STOCK_LADDER,
    STOCK_LOT,
    STOCK_OPTION_LADDER,
    Ladder,
    price_limits,
)

log = logging.getLogger("taloma.simulator.market")

TOPIC_FILL = "0"
"""The concrete level that the market publishes in place of each "*" of a topic."""

LEVELS = 5
"""Price levels per side of every book."""

MAX_SPEED = 10_000.0
"""The fastest market clock, market seconds per real second (a near-standing clock is fine: tests
freeze the market that way)."""

_STOCK_CODE = re.compile(r"\d{4,6}")
_FUTURE_CODE = re.compile(r"(?P<product>[A-Z][A-Z0-9]{2})(?P<month>[A-L])(?P<year>\d)")
_OPTION_CODE = re.compile(r"(?P<product>[A-Z][A-Z0-9]{2})(?P<strike>\d{3,7})(?P<month>[A-X])(?P<year>\d)")
_INDEX_LEVEL = {"#001": Decimal(17500), "#013": Decimal(800), "#017": Decimal(1600), "#050": Decimal(130)}


# ---- records handed out ---------------------------------------------------------------------


@dataclass(frozen=True)
class Instrument:
    """What the market knows of one contract."""

    code: str
    kind: str  # "stock", "future" or "option"
    contract: Contract  # for contract2topic and for users
    ladder: Ladder
    reference: Decimal  # previous close: limits and changes are reckoned from it
    underlying: str = ""  # "#001" (an index) or a stock code; "" for a stock
    strike: Decimal = Decimal(0)
    right: str = ""  # "C" or "P" for an option
    delivery_month: str = ""
    multiplier: int = 1  # contract size: shares of a regular lot, or the product's unit

    @property
    def exchange(self) -> Exchange:
        return self.contract.exchange

    @property
    def has_odd_lots(self) -> bool:
        return self.kind == "stock"

    @property
    def limits(self) -> tuple[Decimal, Decimal]:
        """(limit down, limit up) of the day."""
        return price_limits(self.kind, self.reference, self.ladder)

    @property
    def limit_up(self) -> Decimal:
        return self.limits[1]

    @property
    def limit_down(self) -> Decimal:
        return self.limits[0]


@dataclass(frozen=True)
class Level:
    price: Decimal
    volume: int  # lots (futures, options, regular stock lots) or shares (odd lots)


@dataclass(frozen=True)
class Book:
    """One side-by-side book, best level first on each side."""

    bids: tuple[Level, ...]
    asks: tuple[Level, ...]

    @property
    def best_bid(self) -> Decimal | None:
        return self.bids[0].price if self.bids else None

    @property
    def best_ask(self) -> Decimal | None:
        return self.asks[0].price if self.asks else None


@dataclass(frozen=True)
class Session:
    """Trading totals of one book for the day."""

    open: Decimal | None = None
    high: Decimal | None = None
    low: Decimal | None = None
    last: Decimal | None = None
    volume: int = 0  # of the day, in the book's unit
    amount: Decimal = Decimal(0)
    trades: int = 0


@dataclass(frozen=True)
class Snapshot:
    """A contract's state at one moment; immutable, safe to keep and share."""

    instrument: Instrument
    time: dt.datetime  # market clock
    book: Book
    session: Session
    odd_book: Book | None = None  # stocks only
    odd_session: Session | None = None
    underlying_price: Decimal | None = None

    @property
    def code(self) -> str:
        return self.instrument.code

    @property
    def trading_day(self) -> dt.date:
        return self.time.date()

    @property
    def last(self) -> Decimal | None:
        """The last trade price of the day (regular lots), or none before the first trade."""
        return self.session.last


@dataclass(frozen=True)
class Trade:
    price: Decimal
    volume: int
    aggressor: str  # "B": a buyer took the ask; "S": a seller hit the bid
    odd: bool = False


@dataclass(frozen=True)
class Message:
    """One market-data message: the content fields of a decoder, and the topics it goes to."""

    quote_type: QuoteType
    odd: bool
    topics: tuple[str, ...]
    content: dict[str, Any]


@dataclass(frozen=True)
class MarketEvent:
    kind: str  # "tick" or "book"
    code: str
    odd: bool
    snapshot: Snapshot  # right after the event
    trade: Trade | None = None  # for "tick"
    origin: str = "market"  # "market" (the random process), "order" (Market.trade) or "add"
    messages: tuple[Message, ...] = ()


Listener = Callable[[MarketEvent], None]


# ---- the clock ----------------------------------------------------------------------------


class MarketClock:
    """Market time: ``start`` plus real time elapsed times ``speed``."""

    def __init__(self, speed: float = 1.0, start: dt.datetime | None = None) -> None:
        if isinstance(speed, bool) or not isinstance(speed, (int, float)) or not 0 < speed <= MAX_SPEED:
            raise ValueError(f"speed must be a number above 0 and at most {MAX_SPEED:,.0f}, not {speed!r}")
        self.speed = float(speed)
        self.start = start or dt.datetime.now()
        self._t0 = time.monotonic()

    def elapsed(self) -> float:
        """Market seconds since the start."""
        return (time.monotonic() - self._t0) * self.speed

    def at(self, elapsed: float) -> dt.datetime:
        try:
            return self.start + dt.timedelta(seconds=elapsed)
        except OverflowError:
            # The calendar's end: a clock left running for centuries stops there.
            return dt.datetime.max

    def now(self) -> dt.datetime:
        return self.at(self.elapsed())


# ---- per-contract state -------------------------------------------------------------------


@dataclass
class _Side:
    levels: list[list[Any]] = field(default_factory=list)  # [price, volume], best first


@dataclass
class _BookState:
    bids: _Side
    asks: _Side
    unit_low: int
    unit_high: int
    session: Session = field(default_factory=Session)
    bid_trades: int = 0  # trades that hit the bid
    ask_trades: int = 0
    bid_volume: int = 0
    ask_volume: int = 0
    published: dict[str, dict[Decimal, int]] = field(default_factory=lambda: {"bid": {}, "ask": {}})

    def frozen(self) -> Book:
        return Book(
            tuple(Level(p, v) for p, v in self.bids.levels),
            tuple(Level(p, v) for p, v in self.asks.levels),
        )


@dataclass
class _State:
    instrument: Instrument
    book: _BookState
    odd: _BookState | None
    topics: dict[tuple[QuoteType, bool], tuple[str, ...]]
    basis: Decimal = Decimal(0)


_RATES = {"future": 2.0, "option": 0.6, "stock": 1.0}  # events per market second
_ODD_RATE = 0.4
_TRADE_SHARE = 0.35
_MAX_LAG = 1.0  # real seconds


def _normal_cdf(x: float) -> float:
    return 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))


def _option_value(underlying: float, strike: float, right: str, years: float) -> float:
    """A plain Bachelier value, good enough to keep premiums and strikes in step."""
    sigma = max(underlying * 0.18 * math.sqrt(max(years, 1 / 365)), 1e-9)
    d = (underlying - strike) / sigma
    call = (underlying - strike) * _normal_cdf(d) + sigma * math.exp(-d * d / 2) / math.sqrt(2 * math.pi)
    return call if right == "C" else call - (underlying - strike)


class Listing:
    """What a catalogue lists, and the well-formed codes of its products it does not happen to
    hold (its stocks are a sample of the code range, its strikes a band around one index level,
    its months a window): these trade as their product's siblings do."""

    def __init__(self, catalogue: Any) -> None:
        self.catalogue = catalogue
        self._lock = threading.RLock()
        self._tables: dict[str, dict[str, tuple[str, dict[str, Any]]]] = {}

    def entry(self, code: str) -> tuple[str, dict[str, Any]] | None:
        """(kind, catalogue entry) of a listed code, else none."""
        # The parts are searched cheapest first: the stock option list is long to make.
        cat = self.catalogue
        parts: tuple[tuple[str, str, Callable[[], Iterable[dict[str, Any]]]], ...] = (
            ("stocks", "stock", cat.stocks),
            ("futures", "future", lambda: itertools.chain.from_iterable(cat.futures().values())),
            ("index options", "option", lambda: itertools.chain.from_iterable(cat.index_options().values())),
            ("options", "option", lambda: itertools.chain.from_iterable(cat.options().values())),
        )
        # A code's shape tells where it can be: only a wanted part is made.
        if _STOCK_CODE.fullmatch(code):
            parts = parts[:1]
        elif _FUTURE_CODE.fullmatch(code):
            parts = parts[1:2]
        elif _OPTION_CODE.fullmatch(code):
            parts = parts[2:]
        with self._lock:
            for name, kind, entries in parts:
                table = self._tables.get(name)
                if table is None:
                    table = self._tables[name] = {entry["code"]: (kind, entry) for entry in entries()}
                if code in table:
                    return table[code]
            return None

    def _sibling(self, kind: str, product: str) -> dict[str, Any] | None:
        if kind == "future":
            series = self.catalogue.futures().get(product)
        else:
            series = self.catalogue.index_options().get(product) or self.catalogue.options().get(product)
        return series[0] if series else None

    def synthetic(self, code: str, today: dt.date) -> tuple[str, dict[str, Any]] | None:
        """A catalogue-like entry for a well-formed code of a listed product (any stock code)."""
        found = _STOCK_CODE.fullmatch(code)
        if found:
            price = random.Random(f"synthetic:{code}").uniform(10, 1000)
            return "stock", {"exchange": "TSE", "code": code, "name": code, "reference": f"{price:.2f}"}
        found = _FUTURE_CODE.fullmatch(code) or _OPTION_CODE.fullmatch(code)
        if not found:
            return None
        kind = "option" if "strike" in found.groupdict() else "future"
        product, letter, digit = found.group("product"), found.group("month"), int(found.group("year"))
        sibling = self._sibling(kind, product)
        if sibling is None:
            return None
        year = today.year - today.year % 10 + digit
        if year < today.year:
            year += 10
        month = "ABCDEFGHIJKLMNOPQRSTUVWX".index(letter) % 12 + 1
        # The product's underlying, contract size and kinds come from a listed sibling.
        keys = ("category", "ostock", "basic", "prod_kind", "stype")
        entry: dict[str, Any] = {key: sibling[key] for key in keys if key in sibling}
        entry.update(code=code, csname=code, deliverymonth=f"{year}{month:02d}")
        if kind == "future":
            return kind, entry
        digits = found.group("strike")
        strike = Decimal(digits) / 100 if len(digits) == 7 else Decimal(digits)
        return kind, {**entry, "eprice": str(strike), "poc": "C" if letter < "M" else "P"}

    def find(self, code: str, today: dt.date) -> tuple[str, dict[str, Any]] | None:
        """The listed entry of ``code``, or its synthetic one, or none."""
        return self.entry(code) or self.synthetic(code, today)


class Market:
    """A simulated market over a simulated broker's catalogue.

    ``contracts`` are contract codes of the catalogue (default: :meth:`default_contracts`);
    ``speed`` is market seconds per real second; ``seed`` makes the books and the random
    process repeatable; ``start`` is the market clock's start (default: now); ``versions`` are
    the topic schemes messages are published under.
    """

    def __init__(
        self,
        catalogue: Any,
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
        self._states: dict[str, _State] = {}
        self._index_level: dict[str, Decimal] = dict(_INDEX_LEVEL)
        self._schedule: list[tuple[float, int, str, bool]] = []
        self._sequence = itertools.count()
        self._pending: deque[MarketEvent] = deque()
        self._listeners: list[Listener] = []
        self._thread: threading.Thread | None = None
        self._stopping = False
        self.failure: BaseException | None = None
        """What stopped the market thread, if anything did; orders are refused from then on."""
        self.listing = Listing(catalogue)
        codes = list(self.default_contracts() if contracts is None else contracts)
        for code in codes:
            self.add(code)
        # Books that exist before anyone listens are not news.
        self._pending.clear()

    # ---- contracts ------------------------------------------------------------------------

    def _catalogue_entry(self, code: str) -> tuple[str, dict[str, Any]] | None:
        return self.listing.entry(code)

    def default_contracts(self) -> list[str]:
        """The front-month index future, six near-the-money index options of its month, and
        three large stocks of the stock exchange (whose odd lots trade too)."""
        futures = self.catalogue.futures()["TXF"]
        today = self.clock.start.date()
        front = next((f for f in futures if _delivery_day(f["deliverymonth"]) >= today), futures[0])
        month = front["deliverymonth"]
        centre = self._reference_of("future", front)
        options = [o for o in self.catalogue.index_options()["TXO"] if o["deliverymonth"] == month]
        strikes = sorted({Decimal(o["eprice"]) for o in options}, key=lambda k: (abs(k - centre), k))[:3]
        near = [o["code"] for o in options if Decimal(o["eprice"]) in strikes]
        # The dearest stock of the exchange in three price bands, so three tick sizes trade.
        large = []
        for low, high in ((500, 1000), (100, 500), (50, 100)):
            band = [s for s in self.catalogue.stocks()
                    if s["exchange"] == "TSE" and low <= Decimal(s["reference"]) < high]
            if band:
                large.append(max(band, key=lambda s: (Decimal(s["reference"]), s["code"])))
        return [front["code"], *sorted(near), *(s["code"] for s in large)]

    def _reference_of(self, kind: str, entry: dict[str, Any]) -> Decimal:
        if kind == "stock":
            return STOCK_LADDER.floor(Decimal(entry["reference"]))
        underlying = entry["ostock"]
        if underlying.startswith("#"):
            spot = self._index_level.get(underlying, Decimal(1000))
        else:
            found = self._catalogue_entry(underlying)
            spot = Decimal(found[1]["reference"]) if found else Decimal(100)
        if kind == "future":
            ladder = INDEX_FUTURE_LADDER if underlying.startswith("#") else STOCK_LADDER
            # A small, fixed basis per contract.
            basis = Decimal(random.Random(entry["code"]).randint(-30, 30)) * ladder.size(spot)
            return ladder.floor(spot + basis)
        ladder = INDEX_OPTION_LADDER if underlying.startswith("#") else STOCK_OPTION_LADDER
        years = max((_delivery_day(entry["deliverymonth"]) - self.clock.start.date()).days, 1) / 365
        value = _option_value(float(spot), float(entry["eprice"]), entry["poc"], years)
        return max(ladder.floor(Decimal(repr(round(value, 4)))), ladder.size(Decimal(0)))

    def _instrument(self, code: str) -> Instrument:
        found = self.listing.find(code, self.clock.start.date())
        if found is None:
            raise KeyError(f"no contract {code!r} in the simulated broker's catalogue")
        kind, entry = found
        reference = self._reference_of(kind, entry)
        if kind == "stock":
            contract: Contract = Stock(exchange=entry["exchange"], code=code, name=entry["name"].strip())
            return Instrument(code, kind, contract, STOCK_LADDER, reference, multiplier=STOCK_LOT)
        by_index = entry["ostock"].startswith("#")
        multiplier = int(Decimal(str(entry["basic"])))
        common = dict(exchange=Exchange.TAIFEX, code=code, name=entry["csname"], category=entry["category"],
                      delivery_month=entry["deliverymonth"], underlying_code=entry["ostock"], multiplier=multiplier)
        if kind == "future":
            ladder = INDEX_FUTURE_LADDER if by_index else STOCK_LADDER
            return Instrument(code, kind, Future(**common), ladder, reference, underlying=entry["ostock"],
                              delivery_month=entry["deliverymonth"], multiplier=multiplier)
        ladder = INDEX_OPTION_LADDER if by_index else STOCK_OPTION_LADDER
        contract = Option(**common, strike_price=entry["eprice"], option_right=entry["poc"])
        return Instrument(code, kind, contract, ladder, reference, underlying=entry["ostock"],
                          strike=Decimal(entry["eprice"]), right=entry["poc"],
                          delivery_month=entry["deliverymonth"], multiplier=multiplier)

    def add(self, code: str) -> Instrument:
        """Bring a contract into the market (nothing happens if it is there).

        Raises ``KeyError`` for a code that is neither in the catalogue nor well formed. A new
        contract's first books are published as "book" events.
        """
        with self._lock:
            state = self._states.get(code)
            if state is not None:
                return state.instrument
            instrument = self._instrument(code)
            state = self._new_state(instrument)
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

    def trade(self, code: str, side: str, quantity: int, limit: Decimal | None = None,
              odd: bool = False, whole: bool = False) -> list[Trade]:
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
            if odd and state.odd is None:
                raise ValueError(f"{code} has no odd-lot book")
            if whole and _depth(state.odd if odd else state.book, aggressor, limit) < quantity:
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
                        log.exception("market listener %r failed on a %s event of %s", listener, event.kind,
                                      event.code)

    def _plan(self, after: float, code: str, odd: bool) -> None:
        kind = self._states[code].instrument.kind
        rate = _ODD_RATE if odd else _RATES[kind]
        heapq.heappush(self._schedule, (after + self._random.expovariate(rate), next(self._sequence), code, odd))

    # ---- the random process -------------------------------------------------------------

    def _new_state(self, instrument: Instrument) -> _State:
        if instrument.kind == "stock":
            book = self._fresh_book(instrument, instrument.reference, 1, 60)
            odd: _BookState | None = self._fresh_book(instrument, instrument.reference, 10, 2000)
        else:
            low, high = (1, 30) if instrument.kind == "future" else (1, 120)
            book, odd = self._fresh_book(instrument, instrument.reference, low, high), None
        topics: dict[tuple[QuoteType, bool], tuple[str, ...]] = {}
        kinds = [(QuoteType.Tick, False), (QuoteType.Ladder, False)]
        if instrument.kind == "stock":
            kinds += [(QuoteType.Tick, True), (QuoteType.Ladder, True), (QuoteType.Quote, False)]
        for quote_type, is_odd in kinds:
            names = []
            for version in self.versions:
                if quote_type == QuoteType.Quote and version != QuoteVersion.v1:
                    continue
                names.append(contract2topic(instrument.contract, quote_type, is_odd, version).replace("*", TOPIC_FILL))
            topics[(quote_type, is_odd)] = tuple(names)
        state = _State(instrument, book, odd, topics)
        if instrument.kind == "future" and instrument.underlying.startswith("#"):
            state.basis = instrument.reference - self._index_level.get(instrument.underlying, instrument.reference)
        return state

    def _fresh_book(self, instrument: Instrument, around: Decimal, low: int, high: int) -> _BookState:
        ladder = instrument.ladder
        bid = min(max(ladder.floor(around), instrument.limit_down), ladder.down(instrument.limit_up))
        ask = ladder.up(bid)
        book = _BookState(_Side(), _Side(), low, high)
        for _ in range(LEVELS):
            if bid >= instrument.limit_down:
                book.bids.levels.append([bid, self._volume(book)])
            if ask <= instrument.limit_up:
                book.asks.levels.append([ask, self._volume(book)])
            bid, ask = ladder.down(bid), ladder.up(ask)
        return book

    def _volume(self, book: _BookState) -> int:
        return self._random.randint(book.unit_low, book.unit_high)

    def _target(self, state: _State) -> Decimal:
        """The price the random walk leans toward."""
        instrument = state.instrument
        if instrument.kind == "option":
            spot = self._underlying_price(state)
            if spot is not None:
                years = max((_delivery_day(instrument.delivery_month) - self.clock.start.date()).days, 1) / 365
                return Decimal(repr(round(_option_value(float(spot), float(instrument.strike), instrument.right,
                                                        years), 4)))
        return instrument.reference

    def _underlying_price(self, state: _State) -> Decimal | None:
        underlying = state.instrument.underlying
        if not underlying:
            return None
        if underlying.startswith("#"):
            return self._index_level.get(underlying)
        stock = self._states.get(underlying)
        if stock is not None and stock.book.session.last is not None:
            return stock.book.session.last
        found = self._catalogue_entry(underlying)
        return Decimal(found[1]["reference"]) if found else None

    def _random_event(self, state: _State, odd: bool) -> list[MarketEvent]:
        book = state.odd if odd else state.book
        assert book is not None
        if odd and self._follow_regular(state):
            # Subscribers see the moved book before anything trades in it.
            self._pending.append(self._book_event(state, True, "market"))
        if self._random.random() < _TRADE_SHARE and book.bids.levels and book.asks.levels:
            mid = (book.bids.levels[0][0] + book.asks.levels[0][0]) / 2
            target = self._target(state)
            lean = float((mid - target) / max(target, Decimal("0.01"))) * 10
            buy = self._random.random() < 0.5 - max(-0.3, min(0.3, lean))
            side = "B" if buy else "S"
            touch = (book.asks if buy else book.bids).levels[0][1]
            quantity = self._random.randint(1, max(1, min(touch, book.unit_high // 3 or 1)))
            self._execute(state, odd, side, quantity, None, "market")
            event = self._book_event(state, odd, "market")
            self._pending.append(event)
        else:
            self._requote(state, book)
            self._pending.append(self._book_event(state, odd, "market"))
        batch = list(self._pending)
        self._pending.clear()
        return batch

    def _follow_regular(self, state: _State) -> bool:
        """Odd lots trade near the regular book: re-centres an odd book that drifted away."""
        assert state.odd is not None
        regular, odd, ladder = state.book, state.odd, state.instrument.ladder
        if not (regular.bids.levels and odd.bids.levels):
            return False
        anchor = regular.bids.levels[0][0]
        if abs(odd.bids.levels[0][0] - anchor) <= 3 * ladder.size(anchor):
            return False
        fresh = self._fresh_book(state.instrument, anchor, odd.unit_low, odd.unit_high)
        odd.bids, odd.asks = fresh.bids, fresh.asks
        return True

    def _requote(self, state: _State, book: _BookState) -> None:
        instrument, ladder = state.instrument, state.instrument.ladder
        bids, asks = book.bids.levels, book.asks.levels
        roll = self._random.random()
        if bids and asks and ladder.up(bids[0][0]) < asks[0][0] and roll < 0.5:
            # Someone improves a side inside a wide spread.
            if self._random.random() < 0.5:
                bids.insert(0, [ladder.up(bids[0][0]), self._volume(book)])
            else:
                asks.insert(0, [ladder.down(asks[0][0]), self._volume(book)])
        elif roll < 0.8:
            levels = bids if (self._random.random() < 0.5 or not asks) else asks
            if levels:
                level = levels[self._random.randrange(len(levels))]
                level[1] = max(1, level[1] + self._random.randint(-book.unit_high // 4 - 1, book.unit_high // 4 + 1))
        else:
            levels = bids if self._random.random() < 0.5 else asks
            if len(levels) > 1:
                # A cancel empties a level.
                del levels[self._random.randrange(1, len(levels))]
        self._refill(instrument, book)

    def _refill(self, instrument: Instrument, book: _BookState) -> None:
        ladder = instrument.ladder
        bids, asks = book.bids.levels, book.asks.levels
        del bids[LEVELS:], asks[LEVELS:]
        if not bids and not asks:
            fresh = self._fresh_book(instrument, book.session.last or instrument.reference, book.unit_low,
                                     book.unit_high)
            book.bids, book.asks = fresh.bids, fresh.asks
            return
        if not bids:
            price = ladder.down(asks[0][0])
            if price >= instrument.limit_down:
                bids.append([price, self._volume(book)])
        if not asks:
            price = ladder.up(bids[0][0])
            if price <= instrument.limit_up:
                asks.append([price, self._volume(book)])
        while bids and len(bids) < LEVELS and ladder.down(bids[-1][0]) >= instrument.limit_down:
            bids.append([ladder.down(bids[-1][0]), self._volume(book)])
        while asks and len(asks) < LEVELS and ladder.up(asks[-1][0]) <= instrument.limit_up:
            asks.append([ladder.up(asks[-1][0]), self._volume(book)])

    def _execute(self, state: _State, odd: bool, aggressor: str, quantity: int, limit: Decimal | None,
                 origin: str) -> list[Trade]:
        book = state.odd if odd else state.book
        assert book is not None
        levels = book.asks.levels if aggressor == "B" else book.bids.levels
        fills: list[Trade] = []
        while quantity > 0 and levels:
            price, available = levels[0]
            if limit is not None and (price > limit if aggressor == "B" else price < limit):
                break
            taken = min(quantity, available)
            quantity -= taken
            if taken == available:
                levels.pop(0)
            else:
                levels[0][1] = available - taken
            trade = Trade(price, taken, aggressor, odd)
            fills.append(trade)
            self._record(state, book, trade)
            self._pending.append(self._tick_event(state, trade, origin))
        self._refill(state.instrument, book)
        return fills

    def _record(self, state: _State, book: _BookState, trade: Trade) -> None:
        s = book.session
        multiplier = STOCK_LOT if state.instrument.kind == "stock" and not trade.odd else 1
        book.session = Session(
            open=s.open if s.open is not None else trade.price,
            high=trade.price if s.high is None else max(s.high, trade.price),
            low=trade.price if s.low is None else min(s.low, trade.price),
            last=trade.price,
            volume=s.volume + trade.volume,
            amount=s.amount + trade.price * trade.volume * multiplier,
            trades=s.trades + 1,
        )
        if trade.aggressor == "B":
            book.ask_trades += 1
            book.ask_volume += trade.volume
        else:
            book.bid_trades += 1
            book.bid_volume += trade.volume
        instrument = state.instrument
        if instrument.kind == "future" and instrument.underlying.startswith("#") and not trade.odd:
            # The index follows its futures.
            self._index_level[instrument.underlying] = trade.price - state.basis

    # ---- snapshots and messages ---------------------------------------------------------

    def _snapshot(self, state: _State, at: dt.datetime | None = None) -> Snapshot:
        return Snapshot(
            instrument=state.instrument,
            time=at or self.clock.now(),
            book=state.book.frozen(),
            session=state.book.session,
            odd_book=state.odd.frozen() if state.odd is not None else None,
            odd_session=state.odd.session if state.odd is not None else None,
            underlying_price=self._underlying_price(state),
        )

    def _tick_event(self, state: _State, trade: Trade, origin: str) -> MarketEvent:
        now = self.clock.now()
        snapshot = self._snapshot(state, now)
        book = state.odd if trade.odd else state.book
        assert book is not None
        messages = [self._message(state, QuoteType.Tick, trade.odd, _tick_content(state, book, trade, now,
                                                                                  snapshot.underlying_price))]
        if state.instrument.kind == "stock" and not trade.odd:
            messages.append(self._message(state, QuoteType.Quote, False,
                                          _quote_content(state, book, trade, now, self._diffs(book, False))))
        return MarketEvent("tick", state.instrument.code, trade.odd, snapshot, trade, origin, tuple(messages))

    def _book_event(self, state: _State, odd: bool, origin: str) -> MarketEvent:
        now = self.clock.now()
        snapshot = self._snapshot(state, now)
        book = state.odd if odd else state.book
        assert book is not None
        diffs = self._diffs(book, True)
        content = _book_content(state, book, now, diffs, snapshot.underlying_price)
        messages = [self._message(state, QuoteType.Ladder, odd, content)]
        if state.instrument.kind == "stock" and not odd:
            messages.append(self._message(state, QuoteType.Quote, False,
                                          _quote_content(state, book, None, now, diffs)))
        return MarketEvent("book", state.instrument.code, odd, snapshot, None, origin, tuple(messages))

    @staticmethod
    def _diffs(book: _BookState, commit: bool) -> tuple[list[int], list[int]]:
        """Each level's volume change since the last published book."""
        out = []
        for name, side in (("bid", book.bids), ("ask", book.asks)):
            before = book.published[name]
            out.append([volume - before.get(price, 0) for price, volume in side.levels])
            if commit:
                book.published[name] = {price: volume for price, volume in side.levels}
        return out[0], out[1]

    def _message(self, state: _State, quote_type: QuoteType, odd: bool, content: dict[str, Any]) -> Message:
        return Message(quote_type, odd, state.topics[(quote_type, odd)], content)


def _depth(book: Any, aggressor: str, limit: Decimal | None) -> int:
    """The volume an incoming order of ``aggressor``'s side can take within ``limit``."""
    levels = book.asks.levels if aggressor == "B" else book.bids.levels
    return sum(v for p, v in levels if limit is None or (p <= limit if aggressor == "B" else p >= limit))


def _delivery_day(month: str) -> dt.date:
    """The last trading day of a delivery month ("YYYYMM", weeklies "YYYYMMW1"): its third Wednesday."""
    first = dt.date(int(month[:4]), int(month[4:6]), 1)
    return first + dt.timedelta(days=(2 - first.weekday()) % 7 + 14)


# ---- message contents (the decoders' content fields) --------------------------------------


def _stamp(now: dt.datetime) -> tuple[str, str]:
    return now.strftime("%Y/%m/%d"), now.strftime("%H:%M:%S.%f")


def _change(instrument: Instrument, price: Decimal) -> tuple[int, Decimal, Decimal]:
    """(change type, change, change in percent) against the reference price."""
    diff = price - instrument.reference
    if price >= instrument.limit_up:
        kind = 1
    elif price <= instrument.limit_down and instrument.kind != "option":
        kind = 5
    else:
        kind = 2 if diff > 0 else 4 if diff < 0 else 3
    pct = (diff * 100 / instrument.reference).quantize(Decimal("0.01")) if instrument.reference else Decimal(0)
    return kind, diff, pct


def _trade_fields(state: _State, book: _BookState, trade: Trade | None) -> dict[str, Any]:
    """The fields shared by ticks and quotes: the day's totals and the last trade."""
    instrument, s, ladder = state.instrument, book.session, state.instrument.ladder
    last = s.last if s.last is not None else instrument.reference
    kind, diff, pct = _change(instrument, last)
    shares = STOCK_LOT if instrument.kind == "stock" and not (trade and trade.odd) and book is state.book else 1
    average = (s.amount / (s.volume * shares)).quantize(Decimal("0.01")) if s.volume else last
    volume = trade.volume if trade else 0
    return {
        "open": ladder.text(s.open if s.open is not None else last),
        "avg_price": str(average),
        "close": ladder.text(last),
        "high": ladder.text(s.high if s.high is not None else last),
        "low": ladder.text(s.low if s.low is not None else last),
        "amount": str(last * volume * shares),
        "amount_sum": str(s.amount),
        "volume": volume,
        "vol_sum": s.volume,
        "tick_type": (1 if trade.aggressor == "B" else 2) if trade else 0,
        "diff_type": kind,
        "diff_price": ladder.text(diff),
        "diff_rate": pct,
        "trade_bid_vol_sum": book.bid_volume,
        "trade_ask_vol_sum": book.ask_volume,
        "trade_bid_cnt": book.bid_trades,
        "trade_ask_cnt": book.ask_trades,
    }


def _tick_content(state: _State, book: _BookState, trade: Trade, now: dt.datetime,
                  underlying: Decimal | None) -> dict[str, Any]:
    date, clock = _stamp(now)
    fields = _trade_fields(state, book, trade)
    pct: Decimal = fields["diff_rate"]
    instrument = state.instrument
    head = {"code": instrument.code, "date": date, "time": clock}
    if instrument.kind != "stock":
        return {
            **head, "open": fields["open"], "target_kind_price": str(underlying or 0),
            "trade_bid_vol_sum": fields["trade_bid_vol_sum"], "trade_ask_vol_sum": fields["trade_ask_vol_sum"],
            "avg_price": fields["avg_price"], "close": fields["close"], "high": fields["high"], "low": fields["low"],
            "amount": fields["amount"], "amount_sum": fields["amount_sum"], "volume": fields["volume"],
            "vol_sum": fields["vol_sum"], "tick_type": fields["tick_type"], "diff_type": fields["diff_type"],
            "diff_price": fields["diff_price"], "diff_rate": str(pct), "simtrade": 0,
        }
    if trade.odd:
        return {**head, **fields, "diff_rate": str(pct), "suspend": 0, "simtrade": 0}
    return {
        **head, **fields, "diff_rate": int(pct * 100),
        "closing_oddlot_shares": 0, "closing_oddlot_close": "", "closing_oddlot_amount": "0",
        "closing_oddlot_bid_price": "", "closing_oddlot_ask_price": "",
        "fixed_trade_volume": 0, "fixed_trade_amount": "0", "suspend": 0, "simtrade": 0,
    }


def _levels(state: _State, book: _BookState) -> dict[str, Any]:
    text = state.instrument.ladder.text
    return {
        "bid_price": [text(p) for p, _ in book.bids.levels],
        "bid_volume": [v for _, v in book.bids.levels],
        "ask_price": [text(p) for p, _ in book.asks.levels],
        "ask_volume": [v for _, v in book.asks.levels],
    }


def _book_content(state: _State, book: _BookState, now: dt.datetime, diffs: tuple[list[int], list[int]],
                  underlying: Decimal | None) -> dict[str, Any]:
    date, clock = _stamp(now)
    levels = _levels(state, book)
    content = {"code": state.instrument.code, "date": date, "time": clock, **levels,
               "diff_bid_vol": diffs[0], "diff_ask_vol": diffs[1]}
    if state.instrument.kind == "stock":
        return {**content, "suspend": 0, "simtrade": 0}
    return {
        **content,
        "bid_vol_sum": sum(levels["bid_volume"]), "ask_vol_sum": sum(levels["ask_volume"]),
        "first_derived_bid_price": "0", "first_derived_ask_price": "0",
        "first_derived_bid_volume": 0, "first_derived_ask_volume": 0,
        "target_kind_price": str(underlying or 0), "simtrade": 0,
    }


def _quote_content(state: _State, book: _BookState, trade: Trade | None, now: dt.datetime,
                   diffs: tuple[list[int], list[int]]) -> dict[str, Any]:
    date, clock = _stamp(now)
    fields = _trade_fields(state, book, trade)
    return {
        "code": state.instrument.code, "date": date, "time": clock, **fields,
        "diff_rate": int(fields["diff_rate"] * 100),
        "closing_oddlot_shares": 0, "closing_oddlot_close": "", "closing_oddlot_amount": "0",
        "closing_oddlot_bid_price": "", "closing_oddlot_ask_price": "",
        "fixed_trade_volume": 0, "fixed_trade_amount": "0",
        **_levels(state, book), "diff_bid_vol": diffs[0], "diff_ask_vol": diffs[1],
        "avail_borrowing": 0, "suspend": 0, "simtrade": 0,
    }


__all__ = [
    "INDEX_FUTURE_LADDER",
    "INDEX_OPTION_LADDER",
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
