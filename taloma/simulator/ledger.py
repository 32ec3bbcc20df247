"""The accounts' books of the simulated broker's fills: fees, tax, positions and realised profit.

Positions are netted per account and contract whatever the order's open/close type; a fill
that meets an opposite position closes it first in, first out. Realised profit of a closing
fill is (close - open price) x lots x multiplier for a long lot (the reverse for a short),
dated the market's trading day, fees and tax not deducted (its settled row shows the fee and
tax of the closing lots). Fees and tax of every fill, by the
rate table ``RATES`` (rounded to whole dollars):

==========  ===============  ===================================
kind        fee              transaction tax
==========  ===============  ===================================
future      NT$50 per lot    0.002% of price x multiplier x lots
option      NT$25 per lot    0.1% of premium x multiplier x lots
==========  ===============  ===================================

Multipliers are the catalogue's ("basic": TXF 200, MXF 50, TXO 50, stock futures 2000); a
well-formed code the catalogue does not hold takes its product's (the market's instrument).
Initial margin is 13.5% of a futures position's value at the last price; a sold option needs
its premium value plus 4% of strike x multiplier, a bought one none; maintenance margin is 77%
of initial.
"""

from __future__ import annotations

import datetime as dt
from collections import deque
from dataclasses import dataclass, field
from decimal import ROUND_HALF_UP, Decimal
from typing import Any


@dataclass(frozen=True)
class Rates:
    fee_per_lot: Decimal
    tax_rate: Decimal  # of price x multiplier x lots


RATES = {
    "future": Rates(Decimal(50), Decimal("0.00002")),
    "option": Rates(Decimal(25), Decimal("0.001")),
}
INITIAL_MARGIN_RATE = Decimal("0.135")
SHORT_OPTION_STRIKE_RATE = Decimal("0.04")
MAINTENANCE_SHARE = Decimal("0.77")

_WHOLE = Decimal(1)


def fee_and_tax(kind: str, price: Decimal, lots: int, multiplier: int) -> tuple[Decimal, Decimal]:
    rates = RATES[kind]
    tax = (price * multiplier * lots * rates.tax_rate).quantize(_WHOLE, ROUND_HALF_UP)
    return rates.fee_per_lot * lots, tax


@dataclass(frozen=True)
class Fill:
    """One fill of one order."""

    number: int  # the broker's fill number, from 1
    broker_id: str
    account_id: str
    ordno: str
    seqno: str
    code: str
    kind: str  # "future" or "option"
    action: str  # "B" or "S"
    price: Decimal
    quantity: int
    time: dt.datetime  # market clock
    multiplier: int
    fee: Decimal
    tax: Decimal
    order_quantity: int
    deal_quantity: int  # the order's filled lots after this fill
    remaining: int  # the order's working lots after this fill
    order_type: str
    price_type: str
    seq: int = 0  # the account's fill count, from 1: a subscriber that sees a jump missed some

    def content(self) -> dict[str, Any]:
        """The bus payload: texts for prices and money, integers for lots."""
        return {
            "broker_id": self.broker_id,
            "account_id": self.account_id,
            "ordno": self.ordno,
            "seqno": self.seqno,
            "code": self.code,
            "action": "Buy" if self.action == "B" else "Sell",
            "price": str(self.price),
            "quantity": self.quantity,
            "time": self.time.strftime("%Y/%m/%d %H:%M:%S.%f"),
            "fill_no": self.number,
            "order_quantity": self.order_quantity,
            "deal_quantity": self.deal_quantity,
            "remaining": self.remaining,
            "status": "Filled" if self.deal_quantity == self.order_quantity else "PartFilled",
            "order_type": self.order_type,
            "price_type": self.price_type,
            "fee": str(self.fee),
            "tax": str(self.tax),
            "seq": self.seq,
        }


@dataclass
class Lot:
    """An open part of a position: what one fill left open."""

    action: str  # "B" long, "S" short
    quantity: int
    price: Decimal
    time: dt.datetime
    ordno: str


@dataclass(frozen=True)
class Settlement:
    """The closing part of one fill."""

    time: dt.datetime
    code: str
    kind: str
    quantity: int
    profit: Decimal
    fee: Decimal
    tax: Decimal


@dataclass(frozen=True)
class Position:
    code: str
    kind: str
    action: str
    lots: tuple[Lot, ...]
    last: Decimal
    multiplier: int
    strike: Decimal

    @property
    def quantity(self) -> int:
        return sum(lot.quantity for lot in self.lots)

    @property
    def average(self) -> Decimal:
        return sum((lot.price * lot.quantity for lot in self.lots), Decimal(0)) / self.quantity

    def unrealised(self, lot: Lot | None = None) -> Decimal:
        lots = self.lots if lot is None else (lot,)
        sign = 1 if self.action == "B" else -1
        return sum((sign * (self.last - x.price) * x.quantity * self.multiplier for x in lots), Decimal(0))

    @property
    def initial_margin(self) -> Decimal:
        if self.kind == "future":
            return self.last * self.multiplier * self.quantity * INITIAL_MARGIN_RATE
        if self.action == "B":
            return Decimal(0)
        return (self.last + self.strike * SHORT_OPTION_STRIKE_RATE) * self.multiplier * self.quantity


@dataclass
class Ledger:
    """One account's open lots, closed parts, fees and tax."""

    lots: dict[str, deque[Lot]] = field(default_factory=dict)
    settlements: list[Settlement] = field(default_factory=list)
    fees: Decimal = Decimal(0)
    taxes: Decimal = Decimal(0)

    def apply(self, fill: Fill) -> None:
        self.fees += fill.fee
        self.taxes += fill.tax
        lots = self.lots.setdefault(fill.code, deque())
        left, closed, profit = fill.quantity, 0, Decimal(0)
        while left and lots and lots[0].action != fill.action:
            lot = lots[0]
            take = min(left, lot.quantity)
            sign = 1 if lot.action == "B" else -1
            profit += sign * (fill.price - lot.price) * take * fill.multiplier
            lot.quantity -= take
            left -= take
            closed += take
            if lot.quantity == 0:
                lots.popleft()
        if closed:
            fee, tax = fee_and_tax(fill.kind, fill.price, closed, fill.multiplier)
            self.settlements.append(Settlement(fill.time, fill.code, fill.kind, closed, profit, fee, tax))
        if left:
            lots.append(Lot(fill.action, left, fill.price, fill.time, fill.ordno))
        if not lots:
            del self.lots[fill.code]


__all__ = [
    "INITIAL_MARGIN_RATE",
    "MAINTENANCE_SHARE",
    "RATES",
    "SHORT_OPTION_STRIKE_RATE",
    "Fill",
    "Ledger",
    "Lot",
    "Position",
    "Rates",
    "Settlement",
    "fee_and_tax",
]
