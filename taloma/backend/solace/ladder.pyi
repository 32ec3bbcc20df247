"""Order-book records of stocks, futures and options, and their decoders."""

import datetime
from decimal import Decimal as Decimal
from typing import Any as Any
from typing import Dict as Dict
from typing import List as List
from typing import TypeVar

from .utils import datetime_parser as datetime_parser

dt = datetime

_S = TypeVar("_S", bound="LadderSTKv1")
_F = TypeVar("_F", bound="LadderFOPv1")

class LadderBase:
    def __repr__(self) -> str: ...
    def keys(self) -> List[str]: ...
    def __getitem__(self, key: str, /) -> Any: ...
    @staticmethod
    def _transform_raw(k: str, v: Any) -> Any: ...
    def to_dict(self, raw: bool = False) -> Dict[str, Any]: ...

class LadderSTKv1(LadderBase):
    __slots__: List[str]
    code: str
    datetime: dt.datetime
    bid_price: List[Decimal]
    bid_volume: List[int]
    diff_bid_vol: List[int]
    ask_price: List[Decimal]
    ask_volume: List[int]
    diff_ask_vol: List[int]
    suspend: int
    simtrade: int
    intraday_odd: int
    def __init__(
        self,
        code: str | None,
        datetime: dt.datetime,
        bid_price: List[Decimal],
        bid_volume: List[int],
        diff_bid_vol: List[int],
        ask_price: List[Decimal],
        ask_volume: List[int],
        diff_ask_vol: List[int],
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
        bid_price: List[str],
        bid_volume: List[int],
        diff_bid_vol: List[int],
        ask_price: List[str],
        ask_volume: List[int],
        diff_ask_vol: List[int],
        suspend: int,
        simtrade: int,
    ) -> _S: ...
    @classmethod
    def from_content_odd(
        cls: type[_S],
        code: str | None,
        date: str | None,
        time: str | None,
        bid_price: List[str],
        ask_price: List[str],
        bid_volume: List[int],
        ask_volume: List[int],
        diff_bid_vol: List[int],
        diff_ask_vol: List[int],
        suspend: int,
        simtrade: int,
    ) -> _S: ...

class LadderFOPv1(LadderBase):
    __slots__: List[str]
    code: str
    datetime: dt.datetime
    bid_total_vol: int
    ask_total_vol: int
    bid_price: List[Decimal]
    bid_volume: List[int]
    diff_bid_vol: List[int]
    ask_price: List[Decimal]
    ask_volume: List[int]
    diff_ask_vol: List[int]
    first_derived_bid_price: Decimal
    first_derived_ask_price: Decimal
    first_derived_bid_vol: int
    first_derived_ask_vol: int
    underlying_price: Decimal
    simtrade: int
    def __init__(
        self,
        code: str | None,
        datetime: dt.datetime,
        bid_total_vol: int,
        ask_total_vol: int,
        bid_price: List[Decimal],
        bid_volume: List[int],
        diff_bid_vol: List[int],
        ask_price: List[Decimal],
        ask_volume: List[int],
        diff_ask_vol: List[int],
        first_derived_bid_price: Decimal,
        first_derived_ask_price: Decimal,
        first_derived_bid_vol: int,
        first_derived_ask_vol: int,
        underlying_price: Decimal,
        simtrade: bool | int,
    ) -> None: ...
    @classmethod
    def from_content(
        cls: type[_F],
        code: str | None,
        date: str | None,
        time: str | None,
        bid_vol_sum: int,
        ask_vol_sum: int,
        bid_price: List[str],
        bid_volume: List[int],
        diff_bid_vol: List[int],
        ask_price: List[str],
        ask_volume: List[int],
        diff_ask_vol: List[int],
        first_derived_bid_price: str,
        first_derived_ask_price: str,
        first_derived_bid_volume: int,
        first_derived_ask_volume: int,
        target_kind_price: str,
        simtrade: int,
    ) -> _F: ...

def _decimal_cache_info() -> Dict[str, int]: ...
