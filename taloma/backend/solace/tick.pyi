"""Tick records of stocks, futures and options, and their decoders."""

import datetime
import typing as typing
from decimal import Decimal as Decimal
from typing import Any, Dict, List, TypeVar

from .utils import datetime_parser as datetime_parser

dt = datetime

_S = TypeVar("_S", bound="TickSTKv1")
_F = TypeVar("_F", bound="TickFOPv1")

class TickBase:
    def __repr__(self) -> str: ...
    def keys(self) -> List[str]: ...
    def __getitem__(self, key: str, /) -> Any: ...
    @staticmethod
    def _transform_raw(v: Any) -> Any: ...
    def to_dict(self, raw: bool = False) -> Dict[str, Any]: ...

class TickSTKv1(TickBase):
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
    fixed_trade_vol: int
    suspend: int
    simtrade: int
    intraday_odd: int
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
        fixed_trade_vol: int,
        suspend: bool | int,
        simtrade: bool | int,
        intraday_odd: bool | int,
    ) -> None: ...
    @classmethod
    def from_content(
        cls: type[_S],
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
        closing_oddlot_amount: str | None,
        closing_oddlot_bid_price: str | None,
        closing_oddlot_ask_price: str | None,
        fixed_trade_volume: int,
        fixed_trade_amount: str | None,
        suspend: int,
        simtrade: int,
    ) -> _S: ...
    @classmethod
    def from_content_odd(
        cls: type[_S],
        code: str | None,
        date: str | None,
        time: str | None,
        close: str,
        tick_type: int,
        diff_price: str,
        diff_rate: str,
        diff_type: int,
        volume: int,
        vol_sum: int,
        amount: str,
        amount_sum: str,
        avg_price: str,
        open: str,
        high: str,
        low: str,
        trade_bid_vol_sum: int,
        trade_ask_vol_sum: int,
        trade_bid_cnt: int,
        trade_ask_cnt: int,
        suspend: int,
        simtrade: int,
    ) -> _S: ...

class TickFOPv1(TickBase):
    __slots__: List[str]
    code: str
    datetime: dt.datetime
    open: Decimal
    underlying_price: Decimal
    bid_side_total_vol: int
    ask_side_total_vol: int
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
    simtrade: int
    def __init__(
        self,
        code: str | None,
        datetime: dt.datetime,
        open: Decimal,
        underlying_price: Decimal,
        bid_side_total_vol: int,
        ask_side_total_vol: int,
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
        simtrade: bool | int,
    ) -> None: ...
    @classmethod
    def from_content(
        cls: type[_F],
        code: str | None,
        date: str | None,
        time: str | None,
        open: str,
        target_kind_price: str,
        trade_bid_vol_sum: int,
        trade_ask_vol_sum: int,
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
        diff_rate: str,
        simtrade: int,
    ) -> _F: ...

def _decimal_cache_info() -> Dict[str, int]: ...
