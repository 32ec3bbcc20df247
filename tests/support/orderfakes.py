"""Stand-ins for the order tests: a session that records what it is asked to post."""

from __future__ import annotations

import copy
import json
from typing import Any

from taloma.account import FutureAccount, StockAccount
from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType
from taloma.order import Order

OK = {"success": "True", "result": {}}


class Reply:
    def __init__(self, payload: Any) -> None:
        self.payload = payload
        self.content = json.dumps(payload).encode("utf-8")

    def json(self) -> Any:
        return copy.deepcopy(self.payload)


class BrokenReply:
    content = b"<html>gateway timeout</html>"

    def json(self) -> Any:
        raise ValueError("reply is not JSON")


class RecordingSession:
    """Records every post; answers with the queued replies, then with ``OK``."""

    def __init__(self, *replies: Any) -> None:
        self.posts: list[tuple[str, dict[str, Any]]] = []
        self.timeouts: list[Any] = []
        self.replies = list(replies)

    def post(self, uri: str, json: Any = None, timeout: Any = None, **kwargs: Any) -> Any:
        assert not kwargs, f"unexpected post arguments {kwargs}"
        self.timeouts.append(timeout)
        # A copy: the caller must not be able to change what was sent.
        self.posts.append((uri, copy.deepcopy(json)))
        reply = self.replies.pop(0) if self.replies else OK
        return reply if isinstance(reply, (Reply, BrokenReply)) else Reply(reply)

    @property
    def last(self) -> dict[str, Any]:
        assert self.posts, "nothing was posted"
        return self.posts[-1][1]


class StandInClient:
    """The attributes of a logged-in client that the order functions read."""

    def __init__(self, *replies: Any, accounts: list[Any] | None = None) -> None:
        self.session = RecordingSession(*replies)
        self._token = "tok-123"
        self.person_id = "A123456789"
        self._public_ip = "203.0.113.7"
        self.timeout = (1.5, 2.5)
        self.accounts = accounts if accounts is not None else [STOCK_ACCOUNT, FUTURE_ACCOUNT]
        api = "http://sim.test/api/v1/"
        self.f_order_uri = api + "Future/order"
        self.f_order_cancel_uri = api + "Future/cancel"
        self.f_order_chqty_uri = api + "Future/updateQty"
        self.f_order_chprice_uri = api + "Future/updatePrice"
        self.f_query_order_uri = api + "Future/FOrderStatusQuery"


STOCK_ACCOUNT = StockAccount(person_id="A123456789", broker_id="9A95", account_id="1234567", username="Trader")
FUTURE_ACCOUNT = FutureAccount(person_id="A123456789", broker_id="F002000", account_id="7654321", username="Trader")


def future_order(**fields: Any) -> Order:
    base: dict[str, Any] = dict(
        action=Action.Buy,
        price_type=FuturesPriceType.LMT,
        order_type=OrderType.ROD,
        price=17000,
        quantity=2,
        octype=FuturesOCType.Auto,
        account=FUTURE_ACCOUNT,
    )
    base.update(fields)
    return Order(**base)
