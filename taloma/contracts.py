"""Contract records: stocks, futures, options and indices.

A record takes every field of a catalogue record: the fixed fields below, ``currency`` (kept,
"TWD" unless given) and any field a later catalogue adds (kept as given, readable as an attribute
and with ``get``), so ``Future(**catalogue_record)`` works whatever the service sends. ``dict()``
and the repr show the fixed fields (and a currency other than "TWD"); equality compares the fixed
fields and the currency.
"""

from __future__ import annotations

from decimal import Decimal
from typing import Any

from taloma.constant import Exchange, SecurityType

__all__ = ["Contract", "Future", "Index", "Option", "Stock"]

_FIELDS = (
    "security_type",
    "exchange",
    "code",
    "symbol",
    "name",
    "category",
    "delivery_month",
    "strike_price",
    "option_right",
    "underlying_kind",
    "underlying_code",
    "unit",
    "multiplier",
)


DEFAULT_CURRENCY = "TWD"


class Contract:
    """A tradable contract; every field is optional."""

    __slots__ = (*_FIELDS, "currency", "_extra")
    security_type: SecurityType | str
    exchange: Exchange | str
    code: str
    symbol: str
    name: str
    category: str
    delivery_month: str
    strike_price: Decimal | float | int | str
    option_right: str
    underlying_kind: str
    underlying_code: str
    unit: float | int
    multiplier: float | int
    currency: str
    _extra: dict[str, Any] | None
    _security_type: str = ""

    def __init__(
        self,
        security_type: SecurityType | str | None = None,
        exchange: Exchange | str = "",
        code: str = "",
        symbol: str = "",
        name: str = "",
        category: str = "",
        delivery_month: str = "",
        strike_price: Decimal | float | int | str = 0,
        option_right: str = "",
        underlying_kind: str = "",
        underlying_code: str = "",
        unit: float | int = 0,
        multiplier: float | int = 0,
        currency: str = DEFAULT_CURRENCY,
        **extra: Any,
    ) -> None:
        if security_type is None:
            security_type = self._security_type
        try:
            security_type = SecurityType(security_type)
        except ValueError:
            pass
        if isinstance(exchange, str) and not isinstance(exchange, Exchange):
            try:
                exchange = Exchange(exchange)
            except ValueError:
                pass
        self.security_type = security_type
        self.exchange = exchange
        self.code = code
        self.symbol = symbol
        self.name = name
        self.category = category
        self.delivery_month = delivery_month
        self.strike_price = strike_price
        self.option_right = option_right
        self.underlying_kind = underlying_kind
        self.underlying_code = underlying_code
        self.unit = unit
        self.multiplier = multiplier
        self.currency = currency
        self._extra = extra or None

    def __getattr__(self, name: str) -> Any:
        # Only reached for names that are not slots: the catalogue's extra fields.
        if not name.startswith("_"):
            try:
                extra = object.__getattribute__(self, "_extra")
            except AttributeError:  # not set yet (a copy being built)
                extra = None
            if extra and name in extra:
                return extra[name]
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    def dict(self) -> dict[str, Any]:
        return {name: getattr(self, name) for name in _FIELDS}

    def get(self, key: str, default: Any = None) -> Any:
        if key in _FIELDS or key == "currency":
            return getattr(self, key)
        return self._extra.get(key, default) if self._extra else default

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Contract):
            return NotImplemented
        return type(self) is type(other) and self.dict() == other.dict() and self.currency == other.currency

    def __hash__(self) -> int:
        return hash((type(self).__name__, str(self.security_type), str(self.exchange), self.code))

    def __repr__(self) -> str:
        shown = []
        for key in _FIELDS:
            value = getattr(self, key)
            if value in ("", 0) and key != "code":
                continue
            shown.append(f"{key}={str(value)!r}" if key in ("security_type", "exchange") else f"{key}={value!r}")
        if self.currency != DEFAULT_CURRENCY:
            shown.append(f"currency={self.currency!r}")
        return f"{type(self).__name__}({', '.join(shown)})"

    __str__ = __repr__


class Stock(Contract):
    __slots__ = ()
    _security_type = SecurityType.Stock


class Future(Contract):
    __slots__ = ()
    _security_type = SecurityType.Future


class Option(Contract):
    __slots__ = ()
    _security_type = SecurityType.Option


class Index(Contract):
    __slots__ = ()
    _security_type = SecurityType.Index
