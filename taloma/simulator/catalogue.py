"""Contract lists of the simulated broker.

The catalogue has the size and shape of the real one: about 2,000 stocks on TSE and OTC
(in code order, so the two exchanges interleave, names padded with blanks as the service
pads them), a few hundred futures and over 100,000 options in a few hundred product
groups, and the indices of both exchanges. It is generated from the simulator's seed,
one product type at a time when first asked for, and each reply is encoded once and
served from then on as the same bytes.

Read from the broker's state: ``settings.seed`` (default 0); ``clock``, a callable returning the
local ``datetime`` of "now" (default ``datetime.now``), whose month is the first delivery month;
``settings.catalogue_stocks``, the number of stocks (default 2,000, at most 8,861): one stock in eight
underlies futures and options, so a smaller catalogue is also a much shorter option list.
"""

from __future__ import annotations

import datetime as dt
import json
import random
import threading
from collections.abc import Callable
from typing import Any, TypeVar

from taloma.simulator.routes import Request, fail, ok, route
from taloma.simulator.state import BrokerState

T = TypeVar("T")

_MONTH_LETTERS = "ABCDEFGHIJKL"  # futures and calls; puts use the next twelve letters
_PUT_LETTERS = "MNOPQRSTUVWX"

# Syllables for plausible company names.
_NAME_PARTS = (
    "台",
    "積",
    "電",
    "鴻",
    "海",
    "聯",
    "發",
    "科",
    "華",
    "碩",
    "光",
    "寶",
    "國",
    "泰",
    "金",
    "富",
    "邦",
    "中",
    "信",
    "鋼",
    "塑",
    "化",
    "長",
    "榮",
    "航",
    "陽",
    "明",
    "統",
    "一",
    "大",
    "立",
    "達",
    "興",
    "昌",
    "新",
    "東",
    "元",
    "宏",
    "碁",
    "和",
    "益",
    "永",
    "豐",
    "開",
    "南",
    "亞",
    "泥",
    "嘉",
    "晶",
    "技",
)
_INDUSTRIES = tuple(f"{n:02d}" for n in range(1, 32))

# Index futures and options: product, name, unit, underlying.
_INDEX_FUTURES = (
    ("TXF", "臺股期貨", "200", "#001"),
    ("MXF", "小型臺指", "50", "#001"),
    ("EXF", "電子期貨", "4000", "#013"),
    ("FXF", "金融期貨", "1000", "#017"),
    ("T5F", "臺灣50期貨", "100", "#050"),
)
_INDEX_OPTIONS = (
    # product, name, unit, underlying, centre, step, strikes per side
    ("TXO", "臺指選擇權", "50", "#001", 17500, 50, 75),
    ("TX1", "臺指選擇權W1", "50", "#001", 17500, 50, 60),
    ("TX2", "臺指選擇權W2", "50", "#001", 17500, 50, 60),
    ("TX4", "臺指選擇權W4", "50", "#001", 17500, 50, 60),
    ("TX5", "臺指選擇權W5", "50", "#001", 17500, 50, 60),
    ("TEO", "電子選擇權", "200", "#013", 800, 5, 40),
    ("TFO", "金融選擇權", "50", "#017", 1600, 10, 40),
)


def _months(first_year: int, first_month: int, count: int, quarterly: int) -> list[tuple[int, int]]:
    """`count` consecutive months, then `quarterly` further quarter-end months."""
    out: list[tuple[int, int]] = []
    year, month = first_year, first_month
    while len(out) < count:
        out.append((year, month))
        month += 1
        if month > 12:
            year, month = year + 1, 1
    while len(out) < count + quarterly:
        if month % 3 == 0:
            out.append((year, month))
        month += 1
        if month > 12:
            year, month = year + 1, 1
    return out


def _strike_text(value: float, step: float) -> str:
    # One decimal as a rule; two for the finer steps of cheap stocks ("24.50" and "25.00" alike).
    return f"{value:.2f}" if step < 1 else f"{value:.1f}"


def _stock_step(price: float) -> float:
    if price < 50:
        return 0.5
    if price < 100:
        return 1.0
    if price < 500:
        return 5.0
    return 10.0


STOCK_CODES = range(1101, 9962)
DEFAULT_STOCKS = 2000


class Catalogue:
    """The generated catalogue of one simulator; each part is built on first use."""

    def __init__(self, seed: int, today: dt.date | None = None, stocks: int = DEFAULT_STOCKS) -> None:
        if not 1 <= stocks <= len(STOCK_CODES):
            raise ValueError(f"the catalogue holds 1 to {len(STOCK_CODES)} stocks, not {stocks}")
        self.seed = seed
        self.stock_count = stocks
        # Delivery months run from the current month, as on the exchange.
        self.today = today or dt.date.today()
        self._lock = threading.RLock()  # parts build on other parts
        self._parts: dict[str, Any] = {}
        self._encoded: dict[Any, bytes] = {}

    def _part(self, name: str, build: Callable[[], T]) -> T:
        with self._lock:
            if name not in self._parts:
                self._parts[name] = build()
            part: T = self._parts[name]
            return part

    def encoded(self, key: Any, make: Callable[[], Any]) -> bytes:
        """The reply for `key`, encoded once."""
        with self._lock:
            data = self._encoded.get(key)
        if data is None:
            data = json.dumps(make(), ensure_ascii=False).encode("utf-8")
            with self._lock:
                data = self._encoded.setdefault(key, data)
        return data

    # ---- stocks ------------------------------------------------------------------------------

    def stocks(self) -> list[dict[str, Any]]:
        return self._part("stocks", self._make_stocks)

    def _make_stocks(self) -> list[dict[str, Any]]:
        rnd = random.Random(f"{self.seed}:stocks")
        codes = sorted(rnd.sample(STOCK_CODES, self.stock_count))
        stocks = []
        for code in codes:
            exchange = "TSE" if rnd.random() < 0.55 else "OTC"
            name = "".join(rnd.choice(_NAME_PARTS) for _ in range(rnd.randint(2, 4)))
            # Names arrive padded to the service's field width, a few with blanks in front.
            padded = name + " " * rnd.randint(0, 6)
            if rnd.random() < 0.03:
                padded = " " + padded
            reference = round(rnd.uniform(8, 900), 1)
            stocks.append(
                {
                    "exchange": exchange,
                    "code": str(code),
                    "name": padded,
                    "industry": rnd.choice(_INDUSTRIES),
                    "reference": f"{reference:.2f}",
                    "day_trade": rnd.choice(("Yes", "No", "OnlyBuy")),
                }
            )
        return stocks

    # ---- futures and options -----------------------------------------------------------------

    def underlyings(self) -> list[tuple[str, str, float]]:
        """(stock code, name, price) of the stocks with futures and options."""

        def build() -> list[tuple[str, str, float]]:
            rnd = random.Random(f"{self.seed}:underlyings")
            chosen = rnd.sample(self.stocks(), max(1, self.stock_count // 8))
            return [(s["code"], s["name"].strip(" "), float(s["reference"])) for s in chosen]

        return self._part("underlyings", build)

    def _months(self, count: int, quarterly: int) -> list[tuple[int, int]]:
        return _months(self.today.year, self.today.month, count, quarterly)

    def futures(self) -> dict[str, list[dict[str, Any]]]:
        return self._part("futures", self._make_futures)

    def _make_futures(self) -> dict[str, list[dict[str, Any]]]:
        rnd = random.Random(f"{self.seed}:futures")
        content: dict[str, list[dict[str, Any]]] = {}
        products = [(p, n, u, o, "I") for p, n, u, o in _INDEX_FUTURES]
        for index, (code, name, _price) in enumerate(self.underlyings()[:60]):
            products.append((_product_code(index, "F"), f"{name}期貨", "2000", code, "S"))
        for product, name, unit, underlying, kind in products:
            months = self._months(3, 2) if kind == "I" else self._months(2, 3)
            entries = []
            for year, month in months:
                entries.append(
                    {
                        "code": f"{product}{_MONTH_LETTERS[month - 1]}{year % 10}",
                        "ename": product,
                        "csname": f"{name}{month:02d}",
                        "category": product,
                        "deliverymonth": f"{year}{month:02d}",
                        "prod_kind": kind,
                        "ostock": underlying,
                        "basic": unit,
                        "stype": "F",
                        "limit_up": f"{rnd.uniform(1, 2) * 1000:.1f}",
                    }
                )
            content[product] = entries
        return content

    def options(self) -> dict[str, list[dict[str, Any]]]:
        return self._part("options", self._make_options)

    def index_options(self) -> dict[str, list[dict[str, Any]]]:
        """The index option groups alone, without the far longer stock option list."""
        return self._part("index_options", self._make_index_options)

    def _make_index_options(self) -> dict[str, list[dict[str, Any]]]:
        content: dict[str, list[dict[str, Any]]] = {}
        for product, name, unit, underlying, centre, step, side in _INDEX_OPTIONS:
            weekly = product.startswith("TX") and product != "TXO"
            months = self._months(1, 0) if weekly else self._months(3, 2)
            content[product] = _option_series(product, name, unit, underlying, "I", months, centre, step, side, weekly)
        return content

    def _make_options(self) -> dict[str, list[dict[str, Any]]]:
        content = dict(self.index_options())
        for index, (code, name, price) in enumerate(self.underlyings()):
            step = _stock_step(price)
            centre = round(price / step) * step
            months = self._months(2, 3)
            product = _product_code(index, "O")
            content[product] = _option_series(
                product, f"{name}選擇權", "2000", code, "S", months, centre, step, 20, False
            )
        return content

    def deliveries(self, product_type: str) -> dict[str, list[dict[str, str]]]:
        """Delivery months and last trading days of each group."""
        groups = self.futures() if product_type == "F" else self.options()
        out: dict[str, list[dict[str, str]]] = {}
        for group, entries in groups.items():
            months = sorted({e["deliverymonth"] for e in entries})
            out[group] = [
                {"deliverymonth": m, "deliverydate": f"{m[:4]}/{m[4:6]}/{_third_wednesday(m)}"} for m in months
            ]
        return out

    # ---- indices -----------------------------------------------------------------------------

    def indices(self) -> dict[str, str]:
        return self._part("indices", self._make_indices)

    def _make_indices(self) -> dict[str, str]:
        rnd = random.Random(f"{self.seed}:indices")
        out = {"001": "加權指數", "101": "櫃買指數"}
        for n in range(2, 45):
            out[f"0{n:02d}"] = "".join(rnd.choice(_NAME_PARTS) for _ in range(2)) + "類指數"
        for n in range(2, 28):
            out[f"1{n:02d}"] = "櫃買" + "".join(rnd.choice(_NAME_PARTS) for _ in range(2)) + "類指數"
        return dict(sorted(out.items()))


def _product_code(index: int, suffix: str) -> str:
    letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    return f"{letters[index // 26 % 26]}{letters[index % 26]}{suffix}"


def _third_wednesday(month: str) -> str:
    first = dt.date(int(month[:4]), int(month[4:6]), 1)
    offset = (2 - first.weekday()) % 7
    return f"{1 + offset + 14:02d}"


def _option_series(
    product: str,
    name: str,
    unit: str,
    underlying: str,
    kind: str,
    months: list[tuple[int, int]],
    centre: float,
    step: float,
    side: int,
    weekly: bool,
) -> list[dict[str, Any]]:
    entries = []
    for year, month in months:
        delivery = f"{year}{month:02d}" + ("W" + product[-1] if weekly else "")
        for i in range(-side, side + 1):
            strike = centre + i * step
            if strike <= 0:
                continue
            eprice = _strike_text(strike, step)
            for right, letters in (("C", _MONTH_LETTERS), ("P", _PUT_LETTERS)):
                entries.append(
                    {
                        "code": f"{product}{round(strike * 100):07d}{letters[month - 1]}{year % 10}",
                        "ename": product,
                        "csname": f"{name}{month:02d}月 {eprice} {'買權' if right == 'C' else '賣權'}",
                        "category": product,
                        "deliverymonth": delivery,
                        "poc": right,
                        "eprice": eprice,
                        "prod_kind": kind,
                        "ostock": underlying,
                        "basic": unit,
                        "stype": "O",
                    }
                )
    return entries


def catalogue_of(state: BrokerState) -> Catalogue:
    """The simulator's catalogue, made on first use."""

    def make() -> Catalogue:
        settings = state.settings
        stocks = int(settings.catalogue_stocks or DEFAULT_STOCKS)
        return Catalogue(int(settings.seed or 0), state.now().date(), stocks)

    return state.feature("catalogue", make)


@route("GET", "codeList/stock_code")
def stock_code(state: BrokerState, request: Request) -> Any:
    cat = catalogue_of(state)
    return cat.encoded("S", lambda: ok(cat.stocks()))


@route("GET", "codeList/sc_code")
def index_code(state: BrokerState, request: Request) -> Any:
    cat = catalogue_of(state)
    return cat.encoded("I", lambda: ok(cat.indices()))


@route("POST", "codeList/stmb_code")
def futopt_code(state: BrokerState, request: Request) -> Any:
    body = request.body if isinstance(request.body, dict) else {}
    code, kind = body.get("code"), body.get("type")
    if code not in ("F", "O"):
        return fail(f"unknown product type {code!r}: expected F or O")
    if kind not in ("contract", "delivery"):
        return fail(f"unknown list type {kind!r}: expected contract or delivery")
    cat = catalogue_of(state)
    if kind == "delivery":
        return cat.encoded((code, kind), lambda: ok({"content": cat.deliveries(code)}))
    parts = cat.futures if code == "F" else cat.options
    return cat.encoded((code, kind), lambda: ok({"content": parts()}))
