"""The exchange's rules: tick-size ladders, daily price limits and lots.

One module for the simulated exchange and the package's own input checks, so that both refuse an
order with the same words::

    ladder = ladder_of(contract)
    limits = price_limits("future", reference, ladder)
    problem = price_problem(price, ladder, limits) or quantity_problem(quantity)
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from decimal import ROUND_CEILING, ROUND_FLOOR, Decimal, InvalidOperation
from typing import Any

__all__ = [
    "INDEX_FUTURE_LADDER",
    "INDEX_OPTION_LADDER",
    "KINDS",
    "STOCK_LADDER",
    "STOCK_LOT",
    "STOCK_OPTION_LADDER",
    "Ladder",
    "as_price",
    "ladder_of",
    "price_limits",
    "price_problem",
    "quantity_problem",
]

STOCK_LOT = 1000
"""Shares in one regular lot of a stock."""

KINDS = ("stock", "future", "option")


class Ladder:
    """A tick-size table: the price grid of one kind of contract.

    ``bands`` are (upper bound, tick size) pairs in rising order, the last bound infinite; a
    price at a band's upper bound belongs to the next band (a stock at 10.00 moves by 0.05).
    """

    def __init__(self, name: str, bands: Iterable[tuple[float | str, str]], places: int) -> None:
        self.name = name
        self.bands = tuple((Decimal(str(upper)), Decimal(size)) for upper, size in bands)
        self.places = places
        self._quantum = Decimal(1).scaleb(-places)

    def size(self, price: Decimal) -> Decimal:
        """The tick size of a step up from ``price``."""
        for upper, size in self.bands:
            if price < upper:
                return size
        return self.bands[-1][1]

    def size_below(self, price: Decimal) -> Decimal:
        """The tick size of a step down from ``price``."""
        for upper, size in self.bands:
            if price <= upper:
                return size
        return self.bands[-1][1]

    def up(self, price: Decimal, steps: int = 1) -> Decimal:
        for _ in range(steps):
            price = price + self.size(price)
        return price.quantize(self._quantum)

    def down(self, price: Decimal, steps: int = 1) -> Decimal:
        for _ in range(steps):
            price = price - self.size_below(price)
        return price.quantize(self._quantum)

    def floor(self, price: Decimal) -> Decimal:
        """The highest price on the grid at or below ``price``."""
        size = self.size(price)
        return ((price / size).to_integral_value(ROUND_FLOOR) * size).quantize(self._quantum)

    def ceil(self, price: Decimal) -> Decimal:
        """The lowest price on the grid at or above ``price``."""
        size = self.size_below(price)
        return ((price / size).to_integral_value(ROUND_CEILING) * size).quantize(self._quantum)

    def nearest(self, price: Decimal) -> tuple[Decimal, Decimal]:
        """The valid prices at or just below and at or just above ``price``."""
        return self.floor(price), self.ceil(price)

    def on_grid(self, price: Decimal) -> bool:
        return self.floor(price) == price

    def text(self, price: Decimal) -> str:
        return str(price.quantize(self._quantum))

    def __repr__(self) -> str:
        return f"Ladder({self.name!r})"


_INF = "Infinity"
# The stock exchange's price bands (also the grid of stock futures).
STOCK_LADDER = Ladder("stock", ((10, "0.01"), (50, "0.05"), (100, "0.1"), (500, "0.5"), (1000, "1"), (_INF, "5")), 2)
# Index futures move by whole index points.
INDEX_FUTURE_LADDER = Ladder("index future", ((_INF, "1"),), 0)
# The index options' premium bands.
INDEX_OPTION_LADDER = Ladder("index option", ((10, "0.1"), (50, "0.5"), (500, "1"), (1000, "5"), (_INF, "10")), 1)
# Stock options' premium bands.
STOCK_OPTION_LADDER = Ladder(
    "stock option", ((5, "0.01"), (15, "0.05"), (50, "0.1"), (150, "0.5"), (1000, "1"), (_INF, "5")), 2
)

# The catalogue's one-letter product types.
_CATALOGUE_TYPES = {"S": "STK", "F": "FUT", "O": "OPT", "I": "IND"}


def _field(contract: Any, *names: str) -> Any:
    for name in names:
        value = contract.get(name) if isinstance(contract, Mapping) else getattr(contract, name, None)
        if value not in (None, ""):
            return value
    return ""


def ladder_of(contract: Any) -> Ladder:
    """The tick ladder of a contract record or a catalogue entry.

    Raises ``TypeError`` for what is neither, ``ValueError`` for a contract that has no price
    grid of its own (an index) or whose type is unknown.
    """
    if isinstance(contract, (str, bytes)) or not (isinstance(contract, Mapping) or hasattr(contract, "security_type")):
        raise TypeError(f"a contract record or catalogue entry is needed, not {type(contract).__name__}")
    raw = _field(contract, "security_type", "stype")
    kind = str(getattr(raw, "value", raw))
    kind = _CATALOGUE_TYPES.get(kind, kind)
    if kind == "STK":
        return STOCK_LADDER
    if kind not in ("FUT", "OPT"):
        raise ValueError(f"no tick ladder for security type {kind or 'none'!r}")
    by_index = _field(contract, "underlying_kind", "prod_kind") == "I" or str(
        _field(contract, "underlying_code", "ostock")
    ).startswith("#")
    if kind == "FUT":
        return INDEX_FUTURE_LADDER if by_index else STOCK_LADDER
    return INDEX_OPTION_LADDER if by_index else STOCK_OPTION_LADDER


def price_limits(kind: str, reference: Decimal, ladder: Ladder) -> tuple[Decimal, Decimal]:
    """(limit down, limit up) of a day whose reference (previous close) is ``reference``.

    Stocks and futures move 10 % either way on their ladder; an option's premium may rise to
    three times the reference plus 100 and fall to one tick.
    """
    if kind == "option":
        return ladder.size(Decimal(0)), ladder.floor(reference * 3 + 100)
    if kind in ("stock", "future"):
        return ladder.ceil(reference * Decimal("0.9")), ladder.floor(reference * Decimal("1.1"))
    raise ValueError(f"kind must be one of {', '.join(KINDS)}, not {kind!r}")


def as_price(value: Any) -> Decimal | None:
    """The finite Decimal a price stands for, or none (bools and texts are no prices)."""
    if isinstance(value, bool) or not isinstance(value, (int, float, Decimal)):
        return None
    try:
        # A float by its shortest text: 17050.5, not 17050.500000000001...
        price = value if isinstance(value, Decimal) else Decimal(str(value))
    except (InvalidOperation, ValueError):
        return None
    return price if price.is_finite() else None


def _shown(value: Any) -> str:
    return repr(value) if isinstance(value, (str, bytes)) else str(value)


def price_problem(price: Any, ladder: Ladder | None, limits: tuple[Decimal, Decimal] | None = None) -> str | None:
    """Why the exchange refuses ``price`` on ``ladder`` within ``limits`` (low, high), or none.

    Without a ladder only the number is checked (finite and positive)."""
    value = as_price(price)
    if value is None:
        return f"price must be a finite number, not {_shown(price)}"
    if value <= 0:
        return f"price must be positive, not {_shown(price)}"
    if ladder is None:
        return None
    if not ladder.on_grid(value):
        below, above = ladder.nearest(value)
        return (
            f"price {value} is not on the tick ladder of {ladder.name} (tick {ladder.size(value)}): "
            f"nearest valid prices {ladder.text(below)} and {ladder.text(above)}"
        )
    if limits is not None and not limits[0] <= value <= limits[1]:
        return f"price {value} is outside today's limits {ladder.text(limits[0])} to {ladder.text(limits[1])}"
    return None


def quantity_problem(quantity: Any) -> str | None:
    """Why ``quantity`` is no order quantity (a positive integer), or none."""
    if isinstance(quantity, bool) or not isinstance(quantity, int) or quantity <= 0:
        return f"quantity must be a positive integer, not {_shown(quantity)}"
    return None
