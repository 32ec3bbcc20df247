"""Order books of the simulated market, and the records the market hands out.

Each contract has a book of :data:`LEVELS` price levels a side on its tick ladder (a stock has
a second one for its odd lots). The books are mutable and the market's own; what it hands out
(:class:`Snapshot`, :class:`MarketEvent` and their parts) is immutable and safe to keep and share.
The random process that re-quotes a book takes the market's ``random.Random`` so that a seed
replays the same market.
"""

from __future__ import annotations

import datetime as dt
import random
from collections.abc import Callable
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Any

from taloma.constant import Exchange, QuoteType
from taloma.contracts import Contract
from taloma.rules import Ladder, price_limits

LEVELS = 5
"""Price levels per side of every book."""


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
    def exchange(self) -> Exchange | str:
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


# ---- the books themselves -------------------------------------------------------------------


@dataclass
class Side:
    levels: list[list[Any]] = field(default_factory=list)  # [price, volume], best first


@dataclass
class BookState:
    """One live book: its levels, the day's totals, and what was last published of it."""

    bids: Side
    asks: Side
    unit_low: int  # the range of a level's random volume
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

    def volume(self, rnd: random.Random) -> int:
        return rnd.randint(self.unit_low, self.unit_high)

    def depth(self, aggressor: str, limit: Decimal | None) -> int:
        """The volume an incoming order of ``aggressor``'s side can take within ``limit``."""
        levels = self.asks.levels if aggressor == "B" else self.bids.levels
        return sum(v for p, v in levels if limit is None or (p <= limit if aggressor == "B" else p >= limit))

    def take(self, aggressor: str, quantity: int, limit: Decimal | None, odd: bool) -> Trade | None:
        """Trade up to ``quantity`` at the best opposite level within ``limit``, or none."""
        levels = self.asks.levels if aggressor == "B" else self.bids.levels
        if quantity <= 0 or not levels:
            return None
        price, available = levels[0]
        if limit is not None and (price > limit if aggressor == "B" else price < limit):
            return None
        taken = min(quantity, available)
        if taken == available:
            levels.pop(0)
        else:
            levels[0][1] = available - taken
        return Trade(price, taken, aggressor, odd)

    def record(self, trade: Trade, shares: int) -> None:
        """Add a trade to the day's totals; ``shares`` per unit of volume, for the amount."""
        s = self.session
        self.session = Session(
            open=s.open if s.open is not None else trade.price,
            high=trade.price if s.high is None else max(s.high, trade.price),
            low=trade.price if s.low is None else min(s.low, trade.price),
            last=trade.price,
            volume=s.volume + trade.volume,
            amount=s.amount + trade.price * trade.volume * shares,
            trades=s.trades + 1,
        )
        if trade.aggressor == "B":
            self.ask_trades += 1
            self.ask_volume += trade.volume
        else:
            self.bid_trades += 1
            self.bid_volume += trade.volume

    def diffs(self, commit: bool) -> tuple[list[int], list[int]]:
        """Each level's volume change since the last published book."""
        out = []
        for name, side in (("bid", self.bids), ("ask", self.asks)):
            before = self.published[name]
            out.append([volume - before.get(price, 0) for price, volume in side.levels])
            if commit:
                self.published[name] = {price: volume for price, volume in side.levels}
        return out[0], out[1]


@dataclass
class ContractState:
    """Everything the market keeps of one contract."""

    instrument: Instrument
    book: BookState
    odd: BookState | None
    topics: dict[tuple[QuoteType, bool], tuple[str, ...]]
    basis: Decimal = Decimal(0)  # an index future's distance from its index

    def book_of(self, odd: bool) -> BookState:
        book = self.odd if odd else self.book
        if book is None:
            raise ValueError(f"{self.instrument.code} has no odd-lot book")
        return book


# ---- the random process's moves ------------------------------------------------------------


def fresh_book(instrument: Instrument, around: Decimal, low: int, high: int, rnd: random.Random) -> BookState:
    """A full book whose best bid is ``around`` (within the day's limits)."""
    ladder = instrument.ladder
    bid = min(max(ladder.floor(around), instrument.limit_down), ladder.down(instrument.limit_up))
    ask = ladder.up(bid)
    book = BookState(Side(), Side(), low, high)
    for _ in range(LEVELS):
        if bid >= instrument.limit_down:
            book.bids.levels.append([bid, book.volume(rnd)])
        if ask <= instrument.limit_up:
            book.asks.levels.append([ask, book.volume(rnd)])
        bid, ask = ladder.down(bid), ladder.up(ask)
    return book


def new_state(
    instrument: Instrument, topics: dict[tuple[QuoteType, bool], tuple[str, ...]], basis: Decimal, rnd: random.Random
) -> ContractState:
    """A contract's first books, full and around its reference."""
    if instrument.kind == "stock":
        book = fresh_book(instrument, instrument.reference, 1, 60, rnd)
        odd: BookState | None = fresh_book(instrument, instrument.reference, 10, 2000, rnd)
    else:
        low, high = (1, 30) if instrument.kind == "future" else (1, 120)
        book, odd = fresh_book(instrument, instrument.reference, low, high, rnd), None
    return ContractState(instrument, book, odd, topics, basis)


def refill(instrument: Instrument, book: BookState, rnd: random.Random) -> None:
    """Back to :data:`LEVELS` levels a side, on the ladder and within the day's limits."""
    ladder = instrument.ladder
    bids, asks = book.bids.levels, book.asks.levels
    del bids[LEVELS:], asks[LEVELS:]
    if not bids and not asks:
        fresh = fresh_book(instrument, book.session.last or instrument.reference, book.unit_low, book.unit_high, rnd)
        book.bids, book.asks = fresh.bids, fresh.asks
        return
    if not bids:
        price = ladder.down(asks[0][0])
        if price >= instrument.limit_down:
            bids.append([price, book.volume(rnd)])
    if not asks:
        price = ladder.up(bids[0][0])
        if price <= instrument.limit_up:
            asks.append([price, book.volume(rnd)])
    while bids and len(bids) < LEVELS and ladder.down(bids[-1][0]) >= instrument.limit_down:
        bids.append([ladder.down(bids[-1][0]), book.volume(rnd)])
    while asks and len(asks) < LEVELS and ladder.up(asks[-1][0]) <= instrument.limit_up:
        asks.append([ladder.up(asks[-1][0]), book.volume(rnd)])


def requote(instrument: Instrument, book: BookState, rnd: random.Random) -> None:
    """A quote that improves, resizes or cancels a level."""
    ladder = instrument.ladder
    bids, asks = book.bids.levels, book.asks.levels
    roll = rnd.random()
    if bids and asks and ladder.up(bids[0][0]) < asks[0][0] and roll < 0.5:
        # Someone improves a side inside a wide spread.
        if rnd.random() < 0.5:
            bids.insert(0, [ladder.up(bids[0][0]), book.volume(rnd)])
        else:
            asks.insert(0, [ladder.down(asks[0][0]), book.volume(rnd)])
    elif roll < 0.8:
        levels = bids if (rnd.random() < 0.5 or not asks) else asks
        if levels:
            level = levels[rnd.randrange(len(levels))]
            level[1] = max(1, level[1] + rnd.randint(-book.unit_high // 4 - 1, book.unit_high // 4 + 1))
    else:
        levels = bids if rnd.random() < 0.5 else asks
        if len(levels) > 1:
            # A cancel empties a level.
            del levels[rnd.randrange(1, len(levels))]
    refill(instrument, book, rnd)


def follow_regular(state: ContractState, rnd: random.Random) -> bool:
    """Odd lots trade near the regular book: re-centres an odd book that drifted away."""
    regular, odd, ladder = state.book, state.book_of(True), state.instrument.ladder
    if not (regular.bids.levels and odd.bids.levels):
        return False
    anchor = regular.bids.levels[0][0]
    if abs(odd.bids.levels[0][0] - anchor) <= 3 * ladder.size(anchor):
        return False
    fresh = fresh_book(state.instrument, anchor, odd.unit_low, odd.unit_high, rnd)
    odd.bids, odd.asks = fresh.bids, fresh.asks
    return True


__all__ = [
    "LEVELS",
    "Book",
    "BookState",
    "ContractState",
    "Instrument",
    "Level",
    "Listener",
    "MarketEvent",
    "Message",
    "Session",
    "Side",
    "Snapshot",
    "Trade",
    "follow_regular",
    "fresh_book",
    "new_state",
    "refill",
    "requote",
]
