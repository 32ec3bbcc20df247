"""Where the simulated market's prices come from: contracts, references and price paths.

A contract's reference (the previous close) is its catalogue price for a stock; an index future
sits a small fixed basis from its index, and an option at its plain Bachelier value. While the
market trades, an index follows its futures and an option's random walk leans toward its value
at the underlying's price.

:class:`Listing` finds a code in a catalogue, or makes an entry for a well-formed code of a
product the catalogue lists but does not happen to hold (a stock "2330", a future "TXFA7", an
option "TXO23000L6" or "TXO2300000X6"): it trades with its product's underlying and contract
size.
"""

from __future__ import annotations

import datetime as dt
import itertools
import math
import random
import re
import threading
from collections.abc import Callable, Iterable
from decimal import Decimal
from typing import Any, Protocol

from taloma.constant import Exchange
from taloma.contracts import Contract, Future, Option, Stock
from taloma.rules import (
    INDEX_FUTURE_LADDER,
    INDEX_OPTION_LADDER,
    STOCK_LADDER,
    STOCK_LOT,
    STOCK_OPTION_LADDER,
)
from taloma.simulator.books import Instrument

_STOCK_CODE = re.compile(r"\d{4,6}")
_FUTURE_CODE = re.compile(r"(?P<product>[A-Z][A-Z0-9]{2})(?P<month>[A-L])(?P<year>\d)")
_OPTION_CODE = re.compile(r"(?P<product>[A-Z][A-Z0-9]{2})(?P<strike>\d{3,7})(?P<month>[A-X])(?P<year>\d)")

INDEX_LEVELS = {"#001": Decimal(17500), "#013": Decimal(800), "#017": Decimal(1600), "#050": Decimal(130)}
"""Each index's level when a market opens."""

Entry = dict[str, Any]
Groups = dict[str, list[Entry]]


class CatalogueLike(Protocol):
    """The contract lists a market trades from (a :class:`taloma.simulator.catalogue.Catalogue`)."""

    def stocks(self) -> list[Entry]: ...

    def futures(self) -> Groups: ...

    def index_options(self) -> Groups: ...

    def options(self) -> Groups: ...


def _normal_cdf(x: float) -> float:
    return 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))


def option_value(underlying: float, strike: float, right: str, years: float) -> float:
    """A plain Bachelier value, good enough to keep premiums and strikes in step."""
    sigma = max(underlying * 0.18 * math.sqrt(max(years, 1 / 365)), 1e-9)
    d = (underlying - strike) / sigma
    call = (underlying - strike) * _normal_cdf(d) + sigma * math.exp(-d * d / 2) / math.sqrt(2 * math.pi)
    return call if right == "C" else call - (underlying - strike)


def delivery_day(month: str) -> dt.date:
    """The last trading day of a delivery month ("YYYYMM", weeklies "YYYYMMW1"): its third Wednesday."""
    first = dt.date(int(month[:4]), int(month[4:6]), 1)
    return first + dt.timedelta(days=(2 - first.weekday()) % 7 + 14)


class Listing:
    """What a catalogue lists, and the well-formed codes of its products it does not happen to
    hold (its stocks are a sample of the code range, its strikes a band around one index level,
    its months a window): these trade as their product's siblings do."""

    def __init__(self, catalogue: CatalogueLike) -> None:
        self.catalogue = catalogue
        self._lock = threading.RLock()
        self._tables: dict[str, dict[str, tuple[str, Entry]]] = {}

    def entry(self, code: str) -> tuple[str, Entry] | None:
        """(kind, catalogue entry) of a listed code, else none."""
        # The parts are searched cheapest first: the stock option list is long to make.
        cat = self.catalogue
        parts: tuple[tuple[str, str, Callable[[], Iterable[Entry]]], ...] = (
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

    def _sibling(self, kind: str, product: str) -> Entry | None:
        if kind == "future":
            series = self.catalogue.futures().get(product)
        else:
            series = self.catalogue.index_options().get(product) or self.catalogue.options().get(product)
        return series[0] if series else None

    def synthetic(self, code: str, today: dt.date) -> tuple[str, Entry] | None:
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
        entry: Entry = {key: sibling[key] for key in keys if key in sibling}
        entry.update(code=code, csname=code, deliverymonth=f"{year}{month:02d}")
        if kind == "future":
            return kind, entry
        digits = found.group("strike")
        strike = Decimal(digits) / 100 if len(digits) == 7 else Decimal(digits)
        return kind, {**entry, "eprice": str(strike), "poc": "C" if letter < "M" else "P"}

    def find(self, code: str, today: dt.date) -> tuple[str, Entry] | None:
        """The listed entry of ``code``, or its synthetic one, or none."""
        return self.entry(code) or self.synthetic(code, today)


class Prices:
    """A market's instruments and the prices they start from and lean toward.

    ``index_level`` is each index's level now: the market moves it as its futures trade.
    """

    def __init__(self, listing: Listing, start: dt.date) -> None:
        self.listing = listing
        self.start = start
        self.index_level: dict[str, Decimal] = dict(INDEX_LEVELS)

    def _years_to(self, month: str) -> float:
        return max((delivery_day(month) - self.start).days, 1) / 365

    def reference(self, kind: str, entry: Entry) -> Decimal:
        """The previous close of a catalogue entry."""
        if kind == "stock":
            return STOCK_LADDER.floor(Decimal(entry["reference"]))
        underlying = entry["ostock"]
        if underlying.startswith("#"):
            spot = self.index_level.get(underlying, Decimal(1000))
        else:
            found = self.listing.entry(underlying)
            spot = Decimal(found[1]["reference"]) if found else Decimal(100)
        if kind == "future":
            ladder = INDEX_FUTURE_LADDER if underlying.startswith("#") else STOCK_LADDER
            # A small, fixed basis per contract.
            basis = Decimal(random.Random(entry["code"]).randint(-30, 30)) * ladder.size(spot)
            return ladder.floor(spot + basis)
        ladder = INDEX_OPTION_LADDER if underlying.startswith("#") else STOCK_OPTION_LADDER
        value = option_value(float(spot), float(entry["eprice"]), entry["poc"], self._years_to(entry["deliverymonth"]))
        return max(ladder.floor(Decimal(repr(round(value, 4)))), ladder.size(Decimal(0)))

    def instrument(self, code: str) -> Instrument:
        """The contract of a listed or well-formed code; ``KeyError`` for any other."""
        found = self.listing.find(code, self.start)
        if found is None:
            raise KeyError(f"no contract {code!r} in the simulated broker's catalogue")
        kind, entry = found
        reference = self.reference(kind, entry)
        if kind == "stock":
            contract: Contract = Stock(exchange=entry["exchange"], code=code, name=entry["name"].strip())
            return Instrument(code, kind, contract, STOCK_LADDER, reference, multiplier=STOCK_LOT)
        by_index = entry["ostock"].startswith("#")
        multiplier = int(Decimal(str(entry["basic"])))
        common: dict[str, Any] = dict(
            exchange=Exchange.TAIFEX,
            code=code,
            name=entry["csname"],
            category=entry["category"],
            delivery_month=entry["deliverymonth"],
            underlying_code=entry["ostock"],
            multiplier=multiplier,
        )
        if kind == "future":
            ladder = INDEX_FUTURE_LADDER if by_index else STOCK_LADDER
            return Instrument(
                code,
                kind,
                Future(**common),
                ladder,
                reference,
                underlying=entry["ostock"],
                delivery_month=entry["deliverymonth"],
                multiplier=multiplier,
            )
        ladder = INDEX_OPTION_LADDER if by_index else STOCK_OPTION_LADDER
        contract = Option(**common, strike_price=entry["eprice"], option_right=entry["poc"])
        return Instrument(
            code,
            kind,
            contract,
            ladder,
            reference,
            underlying=entry["ostock"],
            strike=Decimal(entry["eprice"]),
            right=entry["poc"],
            delivery_month=entry["deliverymonth"],
            multiplier=multiplier,
        )

    def default_contracts(self) -> list[str]:
        """The front-month index future, six near-the-money index options of its month, and
        three large stocks of the stock exchange (whose odd lots trade too)."""
        catalogue = self.listing.catalogue
        futures = catalogue.futures()["TXF"]
        front = next((f for f in futures if delivery_day(f["deliverymonth"]) >= self.start), futures[0])
        month = front["deliverymonth"]
        centre = self.reference("future", front)
        options = [o for o in catalogue.index_options()["TXO"] if o["deliverymonth"] == month]
        strikes = sorted({Decimal(o["eprice"]) for o in options}, key=lambda k: (abs(k - centre), k))[:3]
        near = [o["code"] for o in options if Decimal(o["eprice"]) in strikes]
        # The dearest stock of the exchange in three price bands, so three tick sizes trade.
        large = []
        for low, high in ((500, 1000), (100, 500), (50, 100)):
            band = [s for s in catalogue.stocks() if s["exchange"] == "TSE" and low <= Decimal(s["reference"]) < high]
            if band:
                large.append(max(band, key=lambda s: (Decimal(s["reference"]), s["code"])))
        return [front["code"], *sorted(near), *(s["code"] for s in large)]

    def basis(self, instrument: Instrument) -> Decimal:
        """An index future's distance from its index, kept as the index follows it."""
        if instrument.kind == "future" and instrument.underlying.startswith("#"):
            return instrument.reference - self.index_level.get(instrument.underlying, instrument.reference)
        return Decimal(0)

    def traded(self, instrument: Instrument, price: Decimal, basis: Decimal) -> None:
        """A regular-lot trade of ``instrument`` at ``price``: an index follows its futures."""
        if instrument.kind == "future" and instrument.underlying.startswith("#"):
            self.index_level[instrument.underlying] = price - basis

    def spot(self, underlying: str, last: Decimal | None) -> Decimal | None:
        """The price of an underlying: an index's level, else the stock's ``last`` trade or reference."""
        if not underlying:
            return None
        if underlying.startswith("#"):
            return self.index_level.get(underlying)
        if last is not None:
            return last
        found = self.listing.entry(underlying)
        return Decimal(found[1]["reference"]) if found else None

    def target(self, instrument: Instrument, spot: Decimal | None) -> Decimal:
        """The price the random walk leans toward: an option's value at ``spot``, else the reference."""
        if instrument.kind == "option" and spot is not None:
            value = option_value(
                float(spot), float(instrument.strike), instrument.right, self._years_to(instrument.delivery_month)
            )
            return Decimal(repr(round(value, 4)))
        return instrument.reference


__all__ = [
    "INDEX_LEVELS",
    "CatalogueLike",
    "Listing",
    "Prices",
    "delivery_day",
    "option_value",
]
