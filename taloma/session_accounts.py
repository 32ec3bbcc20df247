"""Typed rows of the futures account queries, from the account records' text fields."""

from __future__ import annotations

import dataclasses
import datetime as dt
from collections.abc import Mapping
from decimal import Decimal, InvalidOperation
from typing import Any

from taloma.constant import Action

__all__ = ["PRODUCTS", "Margin", "Position", "Settlement", "margin_of", "position_of", "settlement_of"]

# Named products of the futures queries, as the service codes them.
PRODUCTS = {"all": "0", "futures": "1", "options": "2"}


@dataclasses.dataclass(frozen=True)
class Position:
    """One contract's open position, netted (first in, first out)."""

    code: str
    action: Action
    quantity: int
    avg_price: Decimal
    last_price: Decimal
    unrealised_pnl: Decimal


@dataclasses.dataclass(frozen=True)
class Margin:
    """A futures account's equity and margin, with the day's fees and tax."""

    equity: Decimal
    available_margin: Decimal
    initial_margin: Decimal
    maintenance_margin: Decimal
    fee: Decimal
    tax: Decimal
    unrealised_pnl: Decimal


@dataclasses.dataclass(frozen=True)
class Settlement:
    """One closing fill's realised profit (fees and tax not deducted)."""

    date: dt.date
    code: str
    quantity: int
    pnl: Decimal
    fee: Decimal
    tax: Decimal


_ACTIONS = {"B": Action.Buy, "S": Action.Sell}


def _decimal(row: Mapping[str, Any], key: str) -> Decimal:
    value = row.get(key, "")
    try:
        return Decimal(str(value).strip() or "0")
    except InvalidOperation:
        raise ValueError(f"the service's {key!r} is not a number: {value!r}") from None


def _int(row: Mapping[str, Any], key: str) -> int:
    number = _decimal(row, key)
    if number != number.to_integral_value():
        raise ValueError(f"the service's {key!r} is not a whole number: {row.get(key)!r}")
    return int(number)


def position_of(row: Mapping[str, Any]) -> Position:
    side = str(row.get("action", "")).strip()
    action = _ACTIONS.get(side[:1].upper()) if side else None
    if action is None:
        try:
            action = Action(side)
        except ValueError:
            raise ValueError(f"the service's position side is neither B nor S: {side!r}") from None
    return Position(
        code=str(row.get("code", "")),
        action=action,
        quantity=_int(row, "quantity"),
        avg_price=_decimal(row, "avg_price"),
        last_price=_decimal(row, "last_price"),
        unrealised_pnl=_decimal(row, "unreal_pl"),
    )


def margin_of(row: Mapping[str, Any]) -> Margin:
    return Margin(
        equity=_decimal(row, "equity"),
        available_margin=_decimal(row, "available_margin"),
        initial_margin=_decimal(row, "initial_margin"),
        maintenance_margin=_decimal(row, "maintenance_margin"),
        fee=_decimal(row, "fee"),
        tax=_decimal(row, "tax"),
        unrealised_pnl=_decimal(row, "unreal_pl"),
    )


def settlement_of(row: Mapping[str, Any]) -> Settlement:
    text = str(row.get("date", ""))
    try:
        day = dt.datetime.strptime(text, "%Y%m%d").date()
    except ValueError:
        raise ValueError(f"the service's settlement date is not YYYYMMDD: {text!r}") from None
    return Settlement(
        date=day,
        code=str(row.get("code", "")),
        quantity=_int(row, "quantity"),
        pnl=_decimal(row, "settle_pl"),
        fee=_decimal(row, "fee"),
        tax=_decimal(row, "tax"),
    )


def rows_of(data: Any) -> list[Mapping[str, Any]]:
    """The non-empty rows of a record's data: a list, or one bare row."""
    rows = data if isinstance(data, list) else [data]
    return [row for row in rows if isinstance(row, Mapping) and row]
