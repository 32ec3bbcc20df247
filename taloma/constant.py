"""Generic enumerations shared by the whole package."""

from enum import Enum


class _TextEnum(str, Enum):
    """A text-valued enumeration whose text form is its value."""

    def __str__(self) -> str:
        return str(self.value)  # typed for checkers: a member-less base has no value type

    def __format__(self, spec: str) -> str:
        return format(self.value, spec)


class Exchange(_TextEnum):
    TSE = "TSE"
    OTC = "OTC"
    OES = "OES"
    TAIFEX = "TAIFEX"


class QuoteType(_TextEnum):
    Tick = "tick"
    Ladder = "ladder"
    Quote = "quote"


class QuoteVersion(_TextEnum):
    v0 = "v0"
    v1 = "v1"


class SecurityType(_TextEnum):
    Index = "IND"
    Stock = "STK"
    Future = "FUT"
    Option = "OPT"


class OptionRight(_TextEnum):
    Call = "C"
    Put = "P"


class Action(_TextEnum):
    Buy = "Buy"
    Sell = "Sell"


class OrderType(_TextEnum):
    ROD = "ROD"
    IOC = "IOC"
    FOK = "FOK"


class FuturesPriceType(_TextEnum):
    LMT = "LMT"
    MKT = "MKT"
    MKP = "MKP"


class FuturesOCType(_TextEnum):
    Auto = "Auto"
    New = "New"
    Cover = "Cover"
    DayTrade = "DayTrade"


class StockPriceType(_TextEnum):
    LimitPrice = "LimitPrice"
    Close = "Close"
    LimitUp = "LimitUp"
    LimitDown = "LimitDown"


class StockOrderType(_TextEnum):
    Common = "Common"
    BlockTrade = "BlockTrade"
    Fixing = "Fixing"
    Odd = "Odd"


class StockOrderCond(_TextEnum):
    Cash = "Cash"
    Netting = "Netting"
    MarginTrading = "MarginTrading"
    ShortSelling = "ShortSelling"


class StockFirstSell(_TextEnum):
    Yes = "Yes"
    No = "No"
