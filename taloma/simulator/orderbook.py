"""The simulated broker's order records: every order it accepted, and its status codes.

Both the order handlers (:mod:`taloma.simulator.orders`) and the matcher
(:mod:`taloma.simulator.fills`) work on these records; neither imports the other.

Status codes of the order query ("st_code"), from the order's quantities:

======  =====================================================
"0000"  working: accepted, nothing filled, quantity left
"0001"  partly filled, the rest working
"0002"  filled in full
"0003"  partly filled, the rest cancelled
"0004"  cancelled, nothing filled
======  =====================================================
"""

from __future__ import annotations

import datetime as dt
import threading
from dataclasses import dataclass, field
from typing import Any

from taloma.simulator.users import User

WORKING, PART_FILLED, FILLED, PART_CANCELLED, CANCELLED = "0000", "0001", "0002", "0003", "0004"
STATUS_CODES = {
    WORKING: "working: accepted, nothing filled, quantity left",
    PART_FILLED: "partly filled, the rest working",
    FILLED: "filled in full",
    PART_CANCELLED: "partly filled, the rest cancelled",
    CANCELLED: "cancelled, nothing filled",
}

_BASE36 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
# Fixed-width message field of the service; clients strip the padding.
_MSG_WIDTH = 24


def status_code(quantity: int, matched: int, cancelled: int) -> str:
    """The order query's "st_code" of an order with these quantities."""
    if quantity - matched - cancelled > 0:
        return PART_FILLED if matched else WORKING
    if matched == quantity:
        return FILLED
    return PART_CANCELLED if matched else CANCELLED


@dataclass
class OrderRecord:
    """One accepted order, numbered by "seqno" (six digits) and "ordno" (five characters)."""

    seqno: str
    ordno: str
    person_id: str
    broker_id: str
    account: str
    stock_id: str
    futopt: str
    callput: str
    action: str
    price: int | float
    price_type: str
    quantity: int
    order_type: str
    octype: str
    placed: dt.datetime
    cancel_qty: int = 0
    match_qty: int = 0
    chg_price: int | float = 0
    msg: str = "order accepted"
    fills: list[dict[str, Any]] = field(default_factory=list)

    @property
    def remaining(self) -> int:
        return self.quantity - self.cancel_qty - self.match_qty

    def entry(self) -> dict[str, Any]:
        """The order as one entry of the status query."""
        return {
            "st_comno": self.stock_id,
            "st_seqno": self.seqno,
            "st_ordno": self.ordno,
            "st_orddt": self.placed.strftime("%Y%m%d"),
            "st_ordtm": self.placed.strftime("%H%M%S"),
            "st_comtype": self.futopt,
            "st_callput": self.callput,
            "name_zh": "",
            "st_ps": self.action,
            "st_ordknd": self.order_type,
            "st_prctype": self.price_type,
            "st_octype": self.octype,
            "st_price1": self.price,
            "st_ordqty": self.quantity,
            "st_code": status_code(self.quantity, self.match_qty, self.cancel_qty),
            "st_errmsg": self.msg.ljust(_MSG_WIDTH),
            "st_ord_match_qty": self.match_qty,
            "st_cancel_qty": self.cancel_qty,
            "st_chg_price1": self.chg_price,
            "st_fills": list(self.fills),
            "broker_id": self.broker_id,
            "account": self.account,
        }

    def reply(self) -> dict[str, Any]:
        return {
            "seqno": self.seqno,
            "ordno": self.ordno,
            "stock_id": self.stock_id,
            "ord_date": self.placed.strftime("%Y%m%d"),
            "ord_time": self.placed.strftime("%H:%M:%S"),
            "broker_id": self.broker_id,
            "account": self.account,
            "quantity": self.remaining,
        }


class OrderBook:
    """Every order the broker accepted, by "seqno"; one lock guards it all."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.orders: dict[str, OrderRecord] = {}
        self._count = 0

    def add(self, **fields: Any) -> OrderRecord:
        with self.lock:
            self._count += 1
            n = self._count
            order = OrderRecord(seqno=f"{n:06d}", ordno="k" + _base36(n).rjust(4, "0"), **fields)
            self.orders[order.seqno] = order
            return order

    def find(self, user: User, body: dict[str, Any]) -> OrderRecord | None:
        """The user's order named by the request (caller holds the lock)."""
        seqno = body.get("seqno")
        order = self.orders.get(seqno) if isinstance(seqno, str) else None
        if order is None or order.person_id != user.person_id:
            return None
        if (order.ordno, order.stock_id, order.broker_id, order.account) != (
            body.get("ordno"),
            body.get("stock_id"),
            body.get("broker_id"),
            body.get("account"),
        ):
            return None
        return order


def _base36(n: int) -> str:
    out = ""
    while True:
        n, d = divmod(n, 36)
        out = _BASE36[d] + out
        if n == 0:
            return out


__all__ = [
    "CANCELLED",
    "FILLED",
    "PART_CANCELLED",
    "PART_FILLED",
    "STATUS_CODES",
    "WORKING",
    "OrderBook",
    "OrderRecord",
    "status_code",
]
