"""The broker's working orders of one contract, by limit: served best limit first, then first come."""

from __future__ import annotations

import bisect
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass
from decimal import Decimal

from taloma.simulator.books import Instrument
from taloma.simulator.orderbook import OrderRecord


@dataclass
class Resting:
    order: OrderRecord
    instrument: Instrument
    limit: Decimal


class Side:
    """The working orders of one side of one contract, by limit: the limits in rising order,
    each with its orders in arrival order. Finished orders are dropped when next met."""

    def __init__(self, buy: bool, forget: Callable[[Resting], None]) -> None:
        self.buy = buy
        self.forget = forget
        self.prices: list[Decimal] = []
        self.queues: dict[Decimal, deque[Resting]] = {}

    def __bool__(self) -> bool:
        return bool(self.prices)

    def add(self, resting: Resting) -> None:
        queue = self.queues.get(resting.limit)
        if queue is None:
            bisect.insort(self.prices, resting.limit)
            queue = self.queues[resting.limit] = deque()
        # Arrival is the order's number: a re-priced order keeps its first come at its new limit.
        at = len(queue)
        while at and queue[at - 1].order.seqno > resting.order.seqno:
            at -= 1
        queue.insert(at, resting)

    def remove(self, resting: Resting) -> None:
        queue = self.queues.get(resting.limit)
        if queue is None:
            return
        for at, found in enumerate(queue):
            if found is resting:
                del queue[at]
                break
        if not queue:
            self._drop(resting.limit)

    def _drop(self, price: Decimal) -> None:
        del self.queues[price]
        del self.prices[bisect.bisect_left(self.prices, price)]

    def serve(self, reach: Decimal, serve: Callable[[Resting], bool]) -> None:
        """Hand ``serve`` the working orders whose limit reaches ``reach``, best limit first, then
        first come, until it returns false; only the levels within reach are looked at."""
        prices = self.prices
        at = len(prices) - 1 if self.buy else 0
        while 0 <= at < len(prices):
            price = prices[at]
            if price < reach if self.buy else price > reach:
                return
            queue = self.queues[price]
            going = True
            i = 0
            while i < len(queue) and going:
                resting = queue[i]
                if resting.order.remaining > 0:
                    going = serve(resting)
                if resting.order.remaining <= 0:
                    del queue[i]
                    self.forget(resting)
                else:
                    i += 1
            if not queue:
                self._drop(price)
                if self.buy:
                    at -= 1
            elif not going:
                return
            else:
                at += -1 if self.buy else 1


__all__ = ["Resting", "Side"]
