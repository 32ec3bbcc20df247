"""The text an order request's signature covers.

A broker that verifies signatures reads the signed text back and checks it against the request, so
a signature made for one order, price or quantity cannot be spent on another. The text is one line
of eleven fields joined by "|"::

    {person_id}|{operation}|{broker_id}|{account_id}|{code}|{action}|{price}|{quantity}|{ordno}|{seqno}|{time}

A field the operation does not carry is empty: a placement has no order numbers, a price change
no action or quantity, a quantity change no action or price, a cancel none of the three. Prices are
canonical decimal texts ("18000", "0.3"), the time is UTC to the millisecond
("2026-12-08T01:30:00.250Z"). Sign the text with ``PyVornSign.gen_ca(text)``.
"""

from __future__ import annotations

import calendar
import math
import re
import threading
import time
from collections.abc import Mapping
from dataclasses import dataclass
from decimal import Decimal, InvalidOperation
from typing import Any

__all__ = ["OPERATIONS", "OrderText", "order_text", "parse_order_text", "price_text"]

OPERATIONS = ("place", "update_price", "update_qty", "cancel")

# Which of action, price, quantity and the order numbers each operation carries.
_CARRIES: dict[str, tuple[bool, bool, bool, bool]] = {
    "place": (True, True, True, False),
    "update_price": (False, True, False, True),
    "update_qty": (False, False, True, True),
    "cancel": (False, False, False, True),
}
_ACTIONS = {"Buy": "Buy", "Sell": "Sell", "B": "Buy", "S": "Sell"}
_TIME = re.compile(r"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2})\.(\d{3})Z")
_FIELDS = 11


@dataclass(frozen=True)
class OrderText:
    """The fields of a signed order text, each as it appears in the text."""

    person_id: str
    operation: str
    broker_id: str
    account_id: str
    code: str
    action: str
    price: str
    quantity: str
    ordno: str
    seqno: str
    time: str

    @property
    def at(self) -> float:
        """The time of the text, in epoch seconds."""
        found = _TIME.fullmatch(self.time)
        assert found is not None  # parse_order_text admits no other form
        stamp = time.strptime(found.group(1), "%Y-%m-%dT%H:%M:%S")
        return calendar.timegm(stamp) + int(found.group(2)) / 1000


def price_text(price: Any) -> str:
    """The canonical decimal text of a price: 18000, 18000.0 and "18000.00" are all "18000"."""
    if isinstance(price, bool) or not isinstance(price, (int, float, Decimal, str)):
        raise ValueError(f"price must be a number or a decimal text, not {price!r}")
    try:
        value = Decimal(str(price).strip())
    except InvalidOperation:
        raise ValueError(f"price is not a decimal number: {price!r}") from None
    if not value.is_finite():
        raise ValueError(f"price must be finite, not {price!r}")
    if value == 0:
        return "0"
    return format(value.normalize(), "f")


def _quantity_text(quantity: Any) -> str:
    if isinstance(quantity, int) and not isinstance(quantity, bool):
        return str(quantity)
    if isinstance(quantity, str) and quantity.isascii() and quantity.isdigit():
        return str(int(quantity))
    raise ValueError(f"quantity must be an integer, not {quantity!r}")


def _action_text(action: Any) -> str:
    text = getattr(action, "value", action)
    if not isinstance(text, str) or text not in _ACTIONS:
        raise ValueError(f"action must be Buy or Sell, not {action!r}")
    return _ACTIONS[text]


def _account_ids(account: Any) -> tuple[Any, Any]:
    if isinstance(account, Mapping):
        return account.get("broker_id"), account.get("account_id")
    ids = getattr(account, "broker_id", None), getattr(account, "account_id", None)
    if None in ids and callable(getattr(account, "get", None)):
        ids = account.get("broker_id"), account.get("account_id")
    return ids


def _field(name: str, value: Any) -> str:
    if not isinstance(value, str):
        raise ValueError(f"{name} must be a text, not {value!r}")
    if "|" in value or "\n" in value or "\r" in value:
        raise ValueError(f"{name} must not contain '|' or a line break: {value!r}")
    return value


# Default times are distinct per process, so two identical requests never sign one text (the
# broker refuses a text it has seen).
_clock_lock = threading.Lock()
_last_ms = 0


def _now_ms() -> int:
    global _last_ms
    with _clock_lock:
        _last_ms = max(math.floor(time.time() * 1000), _last_ms + 1)
        return _last_ms


def _time_text(at: float | None) -> str:
    if at is None:
        ms = _now_ms()
    else:
        if isinstance(at, bool) or not isinstance(at, (int, float)) or not math.isfinite(at) or at < 0:
            raise ValueError(f"at must be epoch seconds, not {at!r}")
        # Through the float's shortest text, so 1.123 is 1123 ms and not 1122.
        ms = math.floor(Decimal(repr(float(at))) * 1000)
    seconds, millis = divmod(ms, 1000)
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + f".{millis:03d}Z"


def _fields(
    operation: str,
    person_id: Any,
    broker_id: Any,
    account_id: Any,
    code: Any,
    action: Any,
    price: Any,
    quantity: Any,
    ordno: Any,
    seqno: Any,
) -> list[str]:
    if operation not in _CARRIES:
        raise ValueError(f"operation must be one of {', '.join(OPERATIONS)}, not {operation!r}")
    has_action, has_price, has_quantity, has_numbers = _CARRIES[operation]
    if not _field("person_id", person_id):
        raise ValueError("person_id must not be empty")
    if not _field("code", code):
        raise ValueError("code must not be empty")
    if has_numbers and not (_field("ordno", ordno) and _field("seqno", seqno)):
        raise ValueError(f"{operation} needs the order's ordno and seqno")
    for name, value, needed in (
        ("action", action, has_action),
        ("price", price, has_price),
        ("quantity", quantity, has_quantity),
    ):
        if needed and value is None:
            raise ValueError(f"{operation} needs the {name}")
    return [
        person_id,
        operation,
        _field("broker_id", broker_id),
        _field("account_id", account_id),
        code,
        _action_text(action) if has_action else "",
        price_text(price) if has_price else "",
        _quantity_text(quantity) if has_quantity else "",
        ordno if has_numbers else "",
        seqno if has_numbers else "",
    ]


def order_text(
    operation: str,
    *,
    person_id: str,
    account: Any,
    code: str,
    action: Any = None,
    price: Any = None,
    quantity: Any = None,
    ordno: str = "",
    seqno: str = "",
    at: float | None = None,
) -> str:
    """The text to sign for one order request.

    ``account``: an ``Account`` record or a mapping with "broker_id" and "account_id". ``action``:
    an ``Action``, "Buy"/"Sell" or "B"/"S". ``price``: as the request carries it (a market order's
    0 included). ``at``: epoch seconds of the signature (default now). Values the operation does
    not carry are ignored; a missing one it needs, a "|" or a line break in a field, or a price
    that is not finite raise ``ValueError``.
    """
    broker_id, account_id = _account_ids(account)
    fields = _fields(operation, person_id, broker_id, account_id, code, action, price, quantity, ordno, seqno)
    return "|".join([*fields, _time_text(at)])


def parse_order_text(text: str) -> OrderText:
    """The fields of an order text; ``ValueError`` unless it is exactly what ``order_text`` makes."""
    if not isinstance(text, str):
        raise ValueError("an order text is a str")
    parts = text.split("|")
    if len(parts) != _FIELDS:
        raise ValueError(f"an order text has {_FIELDS} fields, this one {len(parts)}")
    found = _TIME.fullmatch(parts[-1])
    if found is None:
        raise ValueError(f"time is not UTC to the millisecond: {parts[-1]!r}")
    try:
        time.strptime(found.group(1), "%Y-%m-%dT%H:%M:%S")
    except ValueError:
        raise ValueError(f"time is not a valid date and time: {parts[-1]!r}") from None
    person_id, operation, broker_id, account_id, code, action, price, quantity, ordno, seqno, _ = parts
    canonical = _fields(
        operation, person_id, broker_id, account_id, code, action or None, price or None, quantity or None, ordno, seqno
    )
    if canonical != parts[:-1]:
        raise ValueError("the order text is not in its canonical form")
    return OrderText(*parts)
