from typing import ClassVar

from taloma.backend.http.constant import BaseProps as BaseProps
from taloma.backend.http.constant import Constant as Constant
from taloma.orderprops import OrderProps as OrderProps

__all__ = ("oprops",)

share_ops: type[OrderProps.Stock]

class Action(Constant):
    Buy: ClassVar[str]
    Sell: ClassVar[str]

class OrderType(Constant):
    Common: ClassVar[str]
    BlockTrade: ClassVar[str]
    Fixing: ClassVar[str]
    Odd: ClassVar[str]

class PriceType(Constant):
    LimitPrice: ClassVar[str]
    Close: ClassVar[str]
    LimitUp: ClassVar[str]
    LimitDown: ClassVar[str]

class OrderCond(Constant):
    Cash: ClassVar[str]
    Netting: ClassVar[str]
    MarginTrading: ClassVar[str]
    ShortSelling: ClassVar[str]

class FirstSell(Constant):
    Yes: ClassVar[str]
    No: ClassVar[str]

class oprops(BaseProps):
    """Converters of the stock order properties to the service's codes."""

    action: ClassVar[Action]
    price_type: ClassVar[PriceType]
    order_type: ClassVar[OrderType]
    order_cond: ClassVar[OrderCond]
    first_sell: ClassVar[FirstSell]

class _market_id:
    """The package's generic market names."""

    TSE: ClassVar[str]
    OTC: ClassVar[str]
    OES: ClassVar[str]

class MarketID(Constant):
    TSE: ClassVar[str]
    OTC: ClassVar[str]
    OES: ClassVar[str]

market_id: MarketID
