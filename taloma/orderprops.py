"""Generic order property catalogues, one per product family."""

from taloma.constant import (
    Action,
    FuturesOCType,
    FuturesPriceType,
    OrderType,
    StockFirstSell,
    StockOrderCond,
    StockOrderType,
    StockPriceType,
)


class OrderProps:
    class Stock:
        action = Action
        price_type = StockPriceType
        order_type = StockOrderType
        order_cond = StockOrderCond
        first_sell = StockFirstSell

    class Futures:
        action = Action
        price_type = FuturesPriceType
        order_type = OrderType
        octype = FuturesOCType
