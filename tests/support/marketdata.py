"""Sample bus messages of every market-data record, the field list each record must show, and the
decoder (class and factory) each message goes through."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from taloma.backend.solace import ladder, quote, tick
from taloma.backend.solace.ladder import LadderFOPv1, LadderSTKv1
from taloma.backend.solace.quote import QuoteSTKv1
from taloma.backend.solace.tick import TickFOPv1, TickSTKv1

MODULES = (quote, tick, ladder)

FIELDS = {
    QuoteSTKv1: [
        "code",
        "datetime",
        "open",
        "avg_price",
        "close",
        "high",
        "low",
        "amount",
        "total_amount",
        "volume",
        "total_volume",
        "tick_type",
        "chg_type",
        "price_chg",
        "pct_chg",
        "bid_side_total_vol",
        "ask_side_total_vol",
        "bid_side_total_cnt",
        "ask_side_total_cnt",
        "closing_oddlot_shares",
        "closing_oddlot_close",
        "closing_oddlot_amount",
        "closing_oddlot_bid_price",
        "closing_oddlot_ask_price",
        "fixed_trade_vol",
        "fixed_trade_amount",
        "bid_price",
        "bid_volume",
        "diff_bid_vol",
        "ask_price",
        "ask_volume",
        "diff_ask_vol",
        "avail_borrowing",
        "suspend",
        "simtrade",
    ],
    TickSTKv1: [
        "code",
        "datetime",
        "open",
        "avg_price",
        "close",
        "high",
        "low",
        "amount",
        "total_amount",
        "volume",
        "total_volume",
        "tick_type",
        "chg_type",
        "price_chg",
        "pct_chg",
        "bid_side_total_vol",
        "ask_side_total_vol",
        "bid_side_total_cnt",
        "ask_side_total_cnt",
        "closing_oddlot_shares",
        "fixed_trade_vol",
        "suspend",
        "simtrade",
        "intraday_odd",
    ],
    TickFOPv1: [
        "code",
        "datetime",
        "open",
        "underlying_price",
        "bid_side_total_vol",
        "ask_side_total_vol",
        "avg_price",
        "close",
        "high",
        "low",
        "amount",
        "total_amount",
        "volume",
        "total_volume",
        "tick_type",
        "chg_type",
        "price_chg",
        "pct_chg",
        "simtrade",
    ],
    LadderSTKv1: [
        "code",
        "datetime",
        "bid_price",
        "bid_volume",
        "diff_bid_vol",
        "ask_price",
        "ask_volume",
        "diff_ask_vol",
        "suspend",
        "simtrade",
        "intraday_odd",
    ],
    LadderFOPv1: [
        "code",
        "datetime",
        "bid_total_vol",
        "ask_total_vol",
        "bid_price",
        "bid_volume",
        "diff_bid_vol",
        "ask_price",
        "ask_volume",
        "diff_ask_vol",
        "first_derived_bid_price",
        "first_derived_ask_price",
        "first_derived_bid_vol",
        "first_derived_ask_vol",
        "underlying_price",
        "simtrade",
    ],
}
# The name a record's repr starts with.
REPR_NAME = {QuoteSTKv1: "Quote", TickSTKv1: "Tick", TickFOPv1: "Tick", LadderSTKv1: "Ladder", LadderFOPv1: "Ladder"}


def _changed(fields: dict[str, Any], changes: dict[str, Any]) -> dict[str, Any]:
    fields.update(changes)
    return fields


def quote_stk(**changes: Any) -> dict[str, Any]:
    return _changed(
        dict(
            code="2330",
            date="2024/03/15",
            time="09:01:02.345678",
            open="580.00",
            avg_price="582.37",
            close="583.00",
            high="585.00",
            low="579.00",
            amount="1749000",
            amount_sum="987654321",
            volume=3,
            vol_sum=1696,
            tick_type=1,
            diff_type=2,
            diff_price="3.00",
            diff_rate=52,
            trade_bid_vol_sum=800,
            trade_ask_vol_sum=896,
            trade_bid_cnt=120,
            trade_ask_cnt=131,
            closing_oddlot_shares=0,
            closing_oddlot_close="12.3",
            closing_oddlot_amount="0",
            closing_oddlot_bid_price="",
            closing_oddlot_ask_price="",
            fixed_trade_volume=0,
            fixed_trade_amount="0",
            bid_price=["582.00", "581.00", "580.00", "579.00", "578.00"],
            bid_volume=[10, 20, 30, 40, 50],
            diff_bid_vol=[1, -2, 0, 0, 3],
            ask_price=["583.00", "584.00", "585.00"],
            ask_volume=[5, 6, 7],
            diff_ask_vol=[0, 0, -1],
            avail_borrowing=12000,
            suspend=0,
            simtrade=0,
        ),
        changes,
    )


def tick_stk(**changes: Any) -> dict[str, Any]:
    return _changed(
        dict(
            code="2330",
            date="2024/03/15",
            time="10:00:00.5",
            open="580.00",
            avg_price="581.20",
            close="582.00",
            high="583.00",
            low="579.00",
            amount="1164000",
            amount_sum="990000000",
            volume=2,
            vol_sum=1700,
            tick_type=1,
            diff_type=2,
            diff_price="2.00",
            diff_rate=250,
            trade_bid_vol_sum=800,
            trade_ask_vol_sum=900,
            trade_bid_cnt=11,
            trade_ask_cnt=12,
            closing_oddlot_shares=7,
            closing_oddlot_close="12.3",
            closing_oddlot_amount="",
            closing_oddlot_bid_price="",
            closing_oddlot_ask_price="",
            fixed_trade_volume=8,
            fixed_trade_amount="",
            suspend=0,
            simtrade=1,
        ),
        changes,
    )


# An odd-lot message carries fewer fields, in an order of its own.
TICK_ODD_ORDER = [
    "code",
    "date",
    "time",
    "close",
    "tick_type",
    "diff_price",
    "diff_rate",
    "diff_type",
    "volume",
    "vol_sum",
    "amount",
    "amount_sum",
    "avg_price",
    "open",
    "high",
    "low",
    "trade_bid_vol_sum",
    "trade_ask_vol_sum",
    "trade_bid_cnt",
    "trade_ask_cnt",
    "suspend",
    "simtrade",
]


def tick_odd(**changes: Any) -> dict[str, Any]:
    base = tick_stk(diff_rate="2.5")
    return _changed({k: base[k] for k in TICK_ODD_ORDER}, changes)


def tick_fop(**changes: Any) -> dict[str, Any]:
    return _changed(
        dict(
            code="TXFC4",
            date="2024-03-15",
            time="10:00:00",
            open="18250",
            target_kind_price="18231.57",
            trade_bid_vol_sum=300,
            trade_ask_vol_sum=310,
            avg_price="18260.5",
            close="18270",
            high="18290",
            low="18240",
            amount="36540",
            amount_sum="11200000",
            volume=2,
            vol_sum=610,
            tick_type=2,
            diff_type=2,
            diff_price="20",
            diff_rate="0.11",
            simtrade=0,
        ),
        changes,
    )


def ladder_stk(**changes: Any) -> dict[str, Any]:
    return _changed(
        dict(
            code="2330",
            date="2024/03/15",
            time="11:22:33.000100",
            bid_price=["582.00", "581.00", "580.00", "579.00", "578.00"],
            bid_volume=[5, 4, 3, 2, 1],
            diff_bid_vol=[0, 1, 0, -1, 0],
            ask_price=["583.00", "584.00", "585.00"],
            ask_volume=[7, 8, 9],
            diff_ask_vol=[1, 1, 1],
            suspend=0,
            simtrade=0,
        ),
        changes,
    )


LADDER_ODD_ORDER = [
    "code",
    "date",
    "time",
    "bid_price",
    "ask_price",
    "bid_volume",
    "ask_volume",
    "diff_bid_vol",
    "diff_ask_vol",
    "suspend",
    "simtrade",
]


def ladder_odd(**changes: Any) -> dict[str, Any]:
    base = ladder_stk()
    return _changed({k: base[k] for k in LADDER_ODD_ORDER}, changes)


def ladder_fop(**changes: Any) -> dict[str, Any]:
    return _changed(
        dict(
            code="TXO18200C4",
            date="2024/03/15",
            time="11:22:33",
            bid_vol_sum=60,
            ask_vol_sum=70,
            bid_price=["152.0", "151.5", "151.0", "150.5", "150.0"],
            bid_volume=[10, 11, 12, 13, 14],
            diff_bid_vol=[0, 0, 0, 0, 1],
            ask_price=["152.5", "153.0", "153.5", "154.0", "154.5"],
            ask_volume=[20, 21, 22, 23, 24],
            diff_ask_vol=[1, 0, 0, 0, 0],
            first_derived_bid_price="151.9",
            first_derived_ask_price="152.6",
            first_derived_bid_volume=3,
            first_derived_ask_volume=4,
            target_kind_price="18231.57",
            simtrade=1,
        ),
        changes,
    )


@dataclass(frozen=True)
class Decoder:
    """One kind of bus message: the record class, its factory and a sample message."""

    cls: type
    factory: str
    content: Callable[..., dict[str, Any]]
    # Text fields of the message that are not made decimals without fail: guarded or not carried.
    lenient: tuple[str, ...] = ()

    def text_fields(self) -> list[str]:
        """The message fields that must be text (those the sample gives as text)."""
        return [k for k, v in self.content().items() if isinstance(v, str)]

    def decimal_texts(self) -> list[str]:
        """The text fields made decimals, with no fallback for a text that is not one."""
        return [k for k in self.text_fields() if k not in ("code", "date", "time", *self.lenient)]

    def price_lists(self) -> list[str]:
        return [k for k in ("bid_price", "ask_price") if k in self.content()]

    def __call__(self, **changes: Any) -> Any:
        return self.on(self.cls)(**self.content(**changes))

    def on(self, cls: type) -> Callable[..., Any]:
        """The factory as called on cls (a subclass, say)."""
        return getattr(cls, self.factory)

    def __str__(self) -> str:
        return self.content.__name__


CLOSING_ODDLOT_PRICES = ("closing_oddlot_close", "closing_oddlot_bid_price", "closing_oddlot_ask_price")

DECODERS = [
    Decoder(QuoteSTKv1, "from_content", quote_stk, lenient=CLOSING_ODDLOT_PRICES),
    Decoder(
        TickSTKv1,
        "from_content",
        tick_stk,
        lenient=(*CLOSING_ODDLOT_PRICES, "closing_oddlot_amount", "fixed_trade_amount"),
    ),
    Decoder(TickSTKv1, "from_content_odd", tick_odd),
    Decoder(TickFOPv1, "from_content", tick_fop),
    Decoder(LadderSTKv1, "from_content", ladder_stk),
    Decoder(LadderSTKv1, "from_content_odd", ladder_odd),
    Decoder(LadderFOPv1, "from_content", ladder_fop),
]
# The first decoder of each class gives its sample record.
SAMPLE = {d.cls: d for d in reversed(DECODERS)}


# One futures tick as the bus carries it; the feed tests, the feed bench and the stress scripts send it.
FOP_TICK = {
    "code": "TXFL6",
    "date": "2026/12/08",
    "time": "09:00:01.250431",
    "open": "23150",
    "target_kind_price": "23148",
    "trade_bid_vol_sum": 8,
    "trade_ask_vol_sum": 7,
    "avg_price": "23151.37",
    "close": "23152",
    "high": "23160",
    "low": "23141",
    "amount": "23152",
    "amount_sum": "3745",
    "volume": 1,
    "vol_sum": 16,
    "tick_type": 1,
    "diff_type": 2,
    "diff_price": "12",
    "diff_rate": "0.05",
    "simtrade": 0,
}
