"""Service codes of futures and options order properties."""

from taloma.backend.http.constant import BaseProps, Constant
from taloma.orderprops import OrderProps

__all__ = ["oprops"]

_props = OrderProps.Futures


class Action(Constant):
    Buy = "B"
    Sell = "S"


class PriceType(Constant):
    LMT = "LMT"
    MKT = "MKT"
    MKP = "MKP"


class OrderType(Constant):
    ROD = "ROD"
    IOC = "IOC"
    FOK = "FOK"


class OCType(Constant):
    Auto = " "
    New = "0"
    Cover = "1"
    DayTrade = "6"


class oprops(BaseProps):  # noqa: N801 - the name callers import
    action = Action(_props.action)
    price_type = PriceType(_props.price_type)
    order_type = OrderType(_props.order_type)
    octype = OCType(_props.octype)
