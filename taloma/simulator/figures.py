"""How the simulated broker's account queries write their figures: money, prices, dates, failures."""

from __future__ import annotations

import datetime as dt
from decimal import Decimal
from typing import Any

# Units of each currency a query may ask for, per New Taiwan dollar.
CURRENCY_RATES = {
    "NTD": Decimal(1), "NTX": Decimal(1), "USD": Decimal("0.031"), "USX": Decimal("0.031"),
    "HKD": Decimal("0.24"), "EUR": Decimal("0.029"), "JPY": Decimal("4.6"), "GBP": Decimal("0.025"),
    "CAD": Decimal("0.043"), "BAS": Decimal(1),
}  # fmt: skip


def failure(msg: str) -> dict[str, Any]:
    """A failed query: the text at both levels, since clients read the one inside "result"."""
    return {"success": "False", "msg": msg, "result": {"msg": msg}}


def money(value: Decimal) -> str:
    return str(value.quantize(Decimal("1")))


def price_text(value: Decimal) -> str:
    return str(value.quantize(Decimal("0.01")))


def date_of(text: Any) -> dt.date | None:
    """The date of a "YYYYMMDD" text, or none."""
    try:
        return dt.datetime.strptime(text, "%Y%m%d").date() if isinstance(text, str) and len(text) == 8 else None
    except ValueError:
        return None


__all__ = ["CURRENCY_RATES", "date_of", "failure", "money", "price_text"]
