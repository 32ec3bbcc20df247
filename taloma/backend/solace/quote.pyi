"""Stock quote records and decoder; market-data bus topic naming."""

import datetime
from decimal import Decimal as Decimal
from typing import Any as Any
from typing import Dict as Dict
from typing import List as List
from typing import TypeVar

from taloma.constant import Exchange as Exchange
from taloma.constant import QuoteType as QuoteType
from taloma.constant import QuoteVersion as QuoteVersion
from taloma.contracts import Contract as Contract
from taloma.contracts import Future as Future
from taloma.contracts import Index as Index
from taloma.contracts import Option as Option
from taloma.contracts import Stock as Stock

from .utils import datetime_parser as datetime_parser

dt = datetime

_Q = TypeVar("_Q", bound="QuoteSTKv1")

class QuoteBase:
    def __repr__(self) -> str: ...
    def keys(self) -> List[str]: ...
    def __getitem__(self, key: str, /) -> Any: ...
    @staticmethod
    def _transform_raw(k: str, v: Any) -> Any: ...
    def to_dict(self, raw: bool = False) -> Dict[str, Any]: ...

class QuoteSTKv1(QuoteBase):
    __slots__: List[str]
    code: str
    datetime: dt.datetime
    open: Decimal
    avg_price: Decimal
    close: Decimal
    high: Decimal
    low: Decimal
    amount: Decimal
    total_amount: Decimal
    volume: int
    total_volume: int
    tick_type: int
    chg_type: int
    price_chg: Decimal
    pct_chg: Decimal
    bid_side_total_vol: int
    ask_side_total_vol: int
    bid_side_total_cnt: int
    ask_side_total_cnt: int
    closing_oddlot_shares: int
    closing_oddlot_close: Decimal
    closing_oddlot_amount: Decimal
    closing_oddlot_bid_price: Decimal
    closing_oddlot_ask_price: Decimal
    fixed_trade_vol: int
    fixed_trade_amount: Decimal
    bid_price: List[Decimal]
    bid_volume: List[int]
    diff_bid_vol: List[int]
    ask_price: List[Decimal]
    ask_volume: List[int]
    diff_ask_vol: List[int]
    avail_borrowing: int
    suspend: int
    simtrade: int
    def __init__(
        self,
        code: str | None,
        datetime: dt.datetime,
        open: Decimal,
        avg_price: Decimal,
        close: Decimal,
        high: Decimal,
        low: Decimal,
        amount: Decimal,
        total_amount: Decimal,
        volume: int,
        total_volume: int,
        tick_type: int,
        chg_type: int,
        price_chg: Decimal,
        pct_chg: Decimal,
        bid_side_total_vol: int,
        ask_side_total_vol: int,
        bid_side_total_cnt: int,
        ask_side_total_cnt: int,
        closing_oddlot_shares: int,
        closing_oddlot_close: Decimal,
        closing_oddlot_amount: Decimal,
        closing_oddlot_bid_price: Decimal,
        closing_oddlot_ask_price: Decimal,
        fixed_trade_vol: int,
        fixed_trade_amount: Decimal,
        bid_price: List[Decimal],
        bid_volume: List[int],
        diff_bid_vol: List[int],
        ask_price: List[Decimal],
        ask_volume: List[int],
        diff_ask_vol: List[int],
        avail_borrowing: int,
        suspend: int,
        simtrade: int,
    ) -> None: ...
    @classmethod
    def from_content(
        cls: type[_Q],
        code: str | None,
        date: str | None,
        time: str | None,
        open: str,
        avg_price: str,
        close: str,
        high: str,
        low: str,
        amount: str,
        amount_sum: str,
        volume: int,
        vol_sum: int,
        tick_type: int,
        diff_type: int,
        diff_price: str,
        diff_rate: int,
        trade_bid_vol_sum: int,
        trade_ask_vol_sum: int,
        trade_bid_cnt: int,
        trade_ask_cnt: int,
        closing_oddlot_shares: int,
        closing_oddlot_close: str | None,
        closing_oddlot_amount: str,
        closing_oddlot_bid_price: str | None,
        closing_oddlot_ask_price: str | None,
        fixed_trade_volume: int,
        fixed_trade_amount: str,
        bid_price: List[str],
        bid_volume: List[int],
        diff_bid_vol: List[int],
        ask_price: List[str],
        ask_volume: List[int],
        diff_ask_vol: List[int],
        avail_borrowing: int,
        suspend: int,
        simtrade: int,
    ) -> _Q: ...

def contract2topic(contract: Contract, quote_type: QuoteType, intraday_odd: Any, version: QuoteVersion = ...) -> str: ...
def v1contract2topic(contract: Contract, quote_type: QuoteType, intraday_odd: Any) -> str: ...
def v2contract2topic(contract: Contract, quote_type: QuoteType, intraday_odd: Any) -> str: ...
def _decimal_cache_info() -> Dict[str, int]: ...
