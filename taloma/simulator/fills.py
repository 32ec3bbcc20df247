"""Fills: the simulated broker's futures and options orders trade against its simulated market.

With a market (``BrokerSimulator(market=True)``) every order for a future or an option of the
catalogue is matched against that contract's book:

- On arrival a buy takes the asks at or below its limit, best first (a sell hits the bids at or
  above it) through :meth:`Market.trade`, so each fill is bounded by the volume the book shows at
  that level at that moment and by what is left of the order, and it is printed on the tape.
  A market order ("MKT") takes any price the book shows; a market-range order ("MKP") takes
  prices up to ``MKP_TICKS`` ticks beyond the best opposite price.
- What is left of an immediate-or-cancel order ("IOC") is cancelled at once; a fill-or-kill
  order ("FOK") fills whole or is cancelled whole; a market order never rests. What is left of
  a rest-of-day ("ROD") limit or market-range order rests at its limit.
- A resting buy fills when the market trades at or below its limit (a seller hit a bid it would
  have been part of: it shares that trade's volume, at the trade's price) or offers at or below
  it (it takes those asks); a sell symmetrically. Resting orders of one contract are served best
  limit first, then first come. A fill is never at a price worse than the order's limit. The
  broker's orders never trade with one another: each trades with the market's book and tape.
- Orders for a contract the market does not trade are refused on arrival (see
  :mod:`taloma.simulator.orders`).
- A price change re-prices what is left (and fills it at once if the new limit is marketable);
  a quantity change and a cancel take from what is left.

The status codes of the order query ("st_code") are listed in :mod:`taloma.simulator.orderbook`;
"st_errmsg" says what happened last ("order accepted", "partly filled", "filled", "IOC: rest
cancelled", "FOK: not filled in full", "market order: rest cancelled", "price changed",
"quantity reduced", "order cancelled"); "st_fills" lists the order's fills ("no": the broker's fill
number, "price" text, "quantity", market "time" as "HHMMSS").

Each fill goes in its account's ledger (:mod:`taloma.simulator.ledger`: positions, fees, tax and
realised profit).

Each fill is published on the bus (when the simulator has one) on the account's topic
``fills_topic(broker_id, account_id)`` = "FIL/v1/{broker_id}/{account_id}" as a MessagePack
map (:meth:`Fill.content`); ``taloma.feed.Feed.subscribe_fills`` delivers them. "seq" numbers
an account's fills from 1 without gaps, so a subscriber can tell that it missed some.
"""

from __future__ import annotations

import logging
import threading
from decimal import Decimal
from typing import TYPE_CHECKING, Any, Protocol

from taloma.simulator.ledger import (
    INITIAL_MARGIN_RATE,
    MAINTENANCE_SHARE,
    RATES,
    SHORT_OPTION_STRIKE_RATE,
    Fill,
    Ledger,
    Lot,
    Position,
    Rates,
    Settlement,
    fee_and_tax,
)
from taloma.simulator.orderbook import (
    CANCELLED,
    FILLED,
    PART_CANCELLED,
    PART_FILLED,
    STATUS_CODES,
    WORKING,
    OrderBook,
    OrderRecord,
    status_code,
)
from taloma.simulator.resting import Resting, Side

if TYPE_CHECKING:
    from taloma.simulator.books import Book, Instrument, MarketEvent
    from taloma.simulator.market import Market

log = logging.getLogger("taloma.simulator.fills")

MKP_TICKS = 5
"""How far beyond the best opposite price a market-range order may fill."""

# Working orders held before the finished ones among them are swept out.
_PURGE_AT = 1024


class Matcher:
    """Matches the broker's orders against the market and keeps the accounts' ledgers.

    Every method runs with ``lock`` held (the order book's lock): the order handlers call
    :meth:`arrive` and :meth:`reprice` inside it, and the market listener takes it. The market's
    own lock is only ever taken inside it, never the other way round.
    """

    def __init__(self, market: Market, lock: threading.Lock) -> None:
        self.market = market
        self.lock = lock
        self.fills: list[Fill] = []
        self._ledgers: dict[tuple[str, str], Ledger] = {}
        self._sequences: dict[tuple[str, str], int] = {}
        self._sides: dict[str, dict[str, Side]] = {}  # code -> "B"/"S" -> working orders
        self._resting: dict[str, Resting] = {}  # seqno -> working order
        self._purge_at = _PURGE_AT
        self._known: dict[str, Instrument | None] = {}
        self._client: Any = None
        market.add_listener(self.on_event)

    def publish_to(self, bus_url: str) -> None:
        """Publish every fill from now on on the bus at ``bus_url``."""
        from taloma.bus import connect_client

        self._client = connect_client(bus_url, "taloma-sim-fills")

    def close(self) -> None:
        self.market.remove_listener(self.on_event)
        client, self._client = self._client, None
        if client is not None:
            client.disconnect()
            client.loop_stop()

    # ---- contracts ------------------------------------------------------------------------

    def _instrument(self, code: str) -> Instrument | None:
        """The future or option ``code`` if the market can trade it, else none."""
        if code not in self._known:
            try:
                instrument: Instrument | None = self.market.add(code)
            except KeyError:
                instrument = None
            self._known[code] = instrument if instrument is not None and instrument.kind in RATES else None
        return self._known[code]

    def _limit(self, order: OrderRecord, instrument: Instrument) -> Decimal | None:
        if order.price_type == "MKT":
            return None
        if order.price_type == "LMT" or order.chg_price:
            return Decimal(str(order.chg_price or order.price))
        # A market-range order: a few ticks beyond the best opposite price, within the day's limits.
        snapshot = self.market.snapshot(instrument.code)
        ladder, book = instrument.ladder, snapshot.book
        if order.action == "B":
            start = book.best_ask or snapshot.last or instrument.reference
            return min(ladder.up(start, MKP_TICKS), instrument.limit_up)
        start = book.best_bid or snapshot.last or instrument.reference
        return max(ladder.down(start, MKP_TICKS), instrument.limit_down)

    # ---- orders ---------------------------------------------------------------------------

    def arrive(self, order: OrderRecord) -> None:
        """Match a new order; what is left rests or is cancelled by its type."""
        instrument = self._instrument(order.stock_id)
        limit = None
        if instrument is not None:
            limit = self._limit(order, instrument)
            self._take(order, instrument, limit, whole=order.order_type == "FOK")
        if order.remaining <= 0:
            return
        if order.order_type == "IOC":
            self._cancel_rest(order, "IOC: rest cancelled")
        elif order.order_type == "FOK":
            self._cancel_rest(order, "FOK: not filled in full")
        elif order.price_type == "MKT":
            self._cancel_rest(order, "market order: rest cancelled")
        elif instrument is not None and limit is not None:
            self._rest(order, instrument, limit)
        # else: a contract the market does not trade; the order rests untouched

    def _rest(self, order: OrderRecord, instrument: Instrument, limit: Decimal) -> None:
        if len(self._resting) >= self._purge_at:
            self._purge()
        resting = self._resting[order.seqno] = Resting(order, instrument, limit)
        sides = self._sides.get(order.stock_id)
        if sides is None:
            sides = self._sides[order.stock_id] = {"B": Side(True, self._forget), "S": Side(False, self._forget)}
        sides[order.action].add(resting)

    def _forget(self, resting: Resting) -> None:
        if self._resting.get(resting.order.seqno) is resting:
            del self._resting[resting.order.seqno]

    def _unrest(self, resting: Resting) -> None:
        self._forget(resting)
        sides = self._sides.get(resting.order.stock_id)
        if sides is not None:
            sides[resting.order.action].remove(resting)
            self._forget_done(resting.order.stock_id)

    def _purge(self) -> None:
        # Orders cancelled far from the market are never met by an event: they go here, seldom
        # enough to cost nothing per order.
        for resting in [r for r in self._resting.values() if r.order.remaining <= 0]:
            self._unrest(resting)
        self._purge_at = max(_PURGE_AT, 2 * len(self._resting))

    def reprice(self, order: OrderRecord) -> None:
        """Apply a price change to what is left of a resting order."""
        resting = self._resting.get(order.seqno)
        if resting is None:
            return
        self._unrest(resting)
        if order.remaining <= 0:
            return
        limit = Decimal(str(order.chg_price))
        self._take(order, resting.instrument, limit)
        if order.remaining > 0:
            self._rest(order, resting.instrument, limit)

    def _take(self, order: OrderRecord, instrument: Instrument, limit: Decimal | None, whole: bool = False) -> bool:
        """Trade what is left of ``order`` against the book; whether anything traded."""
        if order.remaining <= 0:
            return False
        trades = self.market.trade(order.stock_id, order.action, order.remaining, limit=limit, whole=whole)
        for trade in trades:
            self._fill(order, instrument, trade.price, trade.volume)
        return bool(trades)

    @staticmethod
    def _cancel_rest(order: OrderRecord, why: str) -> None:
        order.cancel_qty += order.remaining
        order.msg = why

    def _fill(self, order: OrderRecord, instrument: Instrument, price: Decimal, quantity: int) -> Fill:
        assert 0 < quantity <= order.remaining
        multiplier = instrument.multiplier
        now = self.market.now()
        order.match_qty += quantity
        order.msg = "filled" if order.remaining == 0 else "partly filled"
        number = len(self.fills) + 1
        account = (order.broker_id, order.account)
        seq = self._sequences[account] = self._sequences.get(account, 0) + 1
        order.fills.append({"no": number, "price": str(price), "quantity": quantity, "time": now.strftime("%H%M%S")})
        fee, tax = fee_and_tax(instrument.kind, price, quantity, multiplier)
        fill = Fill(
            number,
            order.broker_id,
            order.account,
            order.ordno,
            order.seqno,
            order.stock_id,
            instrument.kind,
            order.action,
            price,
            quantity,
            now,
            multiplier,
            fee,
            tax,
            order.quantity,
            order.match_qty,
            order.remaining,
            order.order_type,
            order.price_type,
            seq,
        )
        self.fills.append(fill)
        self._ledgers.setdefault(account, Ledger()).apply(fill)
        self._publish(fill)
        return fill

    def _publish(self, fill: Fill) -> None:
        if self._client is None:
            return
        import msgpack

        from taloma.bus import fills_topic

        try:
            # QoS 1: paho keeps it while the bus reconnects.
            self._client.publish(fills_topic(fill.broker_id, fill.account_id), msgpack.packb(fill.content()), qos=1)
        except Exception:  # the fill stands whatever the bus does
            log.exception("could not publish fill %d of %s", fill.number, fill.seqno)

    # ---- the market ------------------------------------------------------------------------

    def on_event(self, event: MarketEvent) -> None:
        """Market listener: resting orders of the event's contract meet the market."""
        if event.odd or event.code not in self._sides:
            return
        with self.lock:
            sides = self._sides.get(event.code)
            if sides is None:
                return
            if event.kind == "tick" and event.origin == "market" and event.trade is not None:
                self._share(sides, event.trade.aggressor, event.trade.price, event.trade.volume)
            self._sweep(sides, event.snapshot.book)
            self._forget_done(event.code)

    def _share(self, sides: dict[str, Side], aggressor: str, price: Decimal, volume: int) -> None:
        # A seller hit the bids: resting buys at or above the price were among them (and the reverse).
        left = [volume]

        def share(resting: Resting) -> bool:
            take = min(left[0], resting.order.remaining)
            self._fill(resting.order, resting.instrument, price, take)
            left[0] -= take
            return left[0] > 0

        if volume > 0:
            sides["B" if aggressor == "S" else "S"].serve(price, share)

    def _sweep(self, sides: dict[str, Side], book: Book) -> None:
        for action, best in (("B", book.best_ask), ("S", book.best_bid)):
            if best is not None:
                # Once an order takes nothing, no later one (a limit no better) can.
                sides[action].serve(best, lambda resting: self._take(resting.order, resting.instrument, resting.limit))

    def _forget_done(self, code: str) -> None:
        sides = self._sides.get(code)
        if sides is not None and not (sides["B"] or sides["S"]):
            del self._sides[code]

    # ---- the accounts' view ---------------------------------------------------------------

    def positions(self, broker_id: str, account_id: str) -> list[Position]:
        """The account's open positions (call with the lock held)."""
        ledger = self._ledgers.get((broker_id, account_id))
        if ledger is None:
            return []
        out = []
        for code, lots in ledger.lots.items():
            snapshot = self.market.snapshot(code)
            instrument = snapshot.instrument
            last = snapshot.last if snapshot.last is not None else instrument.reference
            out.append(
                Position(
                    code,
                    instrument.kind,
                    lots[0].action,
                    tuple(Lot(**vars(x)) for x in lots),
                    last,
                    instrument.multiplier,
                    instrument.strike,
                )
            )
        return out

    def settlements(self, broker_id: str, account_id: str) -> list[Settlement]:
        ledger = self._ledgers.get((broker_id, account_id))
        return list(ledger.settlements) if ledger is not None else []

    def costs(self, broker_id: str, account_id: str) -> tuple[Decimal, Decimal]:
        """(fees, tax) of every fill of the account."""
        ledger = self._ledgers.get((broker_id, account_id))
        return (ledger.fees, ledger.taxes) if ledger is not None else (Decimal(0), Decimal(0))


class Broker(Protocol):
    """Where :func:`attach` finds the order book and keeps the matcher: the broker's state."""

    orders: OrderBook
    matcher: Matcher | None


def attach(state: Broker, market: Market) -> Matcher:
    """The simulator's matcher over its order book, kept as ``state.matcher``."""
    matcher = Matcher(market, state.orders.lock)
    state.matcher = matcher
    return matcher


__all__ = [
    "CANCELLED",
    "FILLED",
    "INITIAL_MARGIN_RATE",
    "MAINTENANCE_SHARE",
    "MKP_TICKS",
    "PART_CANCELLED",
    "PART_FILLED",
    "RATES",
    "SHORT_OPTION_STRIKE_RATE",
    "STATUS_CODES",
    "WORKING",
    "Fill",
    "Ledger",
    "Lot",
    "Matcher",
    "Position",
    "Rates",
    "Settlement",
    "attach",
    "fee_and_tax",
    "status_code",
]
