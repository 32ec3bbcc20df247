"""Trading against the simulated market through the package's HTTP functions, and the figures a
trader can recompute from their own fills (first in, first out, as the broker closes positions)."""

from __future__ import annotations

import datetime as dt
from collections import defaultdict, deque
from collections.abc import Iterable
from decimal import Decimal
from typing import Any

import taloma.backend.http as settings
import taloma.backend.http.futureoption.order as fo
from taloma.backend.http import account as acc
from taloma.backend.http.client import Client
from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType
from taloma.contracts import Future
from taloma.order import Order, Trade

# The exchange's contract sizes, by product.
MULTIPLIER = {"TXF": 200, "MXF": 50, "TXO": 50}
FEE_PER_LOT = {"future": Decimal(50), "option": Decimal(25)}
TAX_RATE = {"future": Decimal("0.00002"), "option": Decimal("0.001")}


def users(n: int) -> list[tuple[str, str]]:
    return [(f"F{100000000 + i}", f"pass-{i}") for i in range(n)]


def ok(record: Any) -> Any:
    assert record._status, record._msg
    return record


class Trader:
    """One logged-in client of the simulated broker, trading its futures account."""

    def __init__(self, sim: Any, person_id: str, password: str, retries: int = 1) -> None:
        self.sim, self.retries = sim, retries
        saved = settings.api_url_simulation
        settings.api_url_simulation = sim.base_url
        try:
            self.client = Client(simulation=True, proxies=None)
        finally:
            settings.api_url_simulation = saved
        for _ in range(retries):  # a login may meet an injected failure
            self.client.login(person_id, password)
            if self.client._token:
                break
        assert self.client._token
        self.account = self.client.default_futopt_account

    def contract(self, code: str) -> Any:
        if code in self.sim.market:
            return self.sim.market.instrument(code).contract
        return Future(code=code, exchange="TAIFEX")  # one the market does not trade

    def retry(self, send: Any) -> Any:
        """A query that an injected failure refused is sent again (it changed nothing)."""
        for _ in range(self.retries):
            reply = send()
            if reply._status if hasattr(reply, "_status") else reply.get("msg") != "simulated failure":
                break
        return reply

    def place(
        self,
        code: str,
        action: Action,
        quantity: int,
        price: Any = 0,
        price_type: FuturesPriceType = FuturesPriceType.LMT,
        order_type: OrderType = OrderType.ROD,
    ) -> tuple[Trade, dict[str, Any]]:
        """(trade, placement reply); the trade's order and status are set from the reply."""
        order = Order(
            action=action,
            price_type=price_type,
            order_type=order_type,
            price=float(price) if isinstance(price, Decimal) else price,
            quantity=quantity,
            octype=FuturesOCType.Auto,
            account=self.account,
        )
        contract = self.contract(code)
        reply = fo.place_futopt_order(contract, order, "CA", self.client)
        order, status, _ = fo.futopt_resp2order_status(reply, order)
        return Trade(contract=contract, order=order, status=status), reply

    def entries(self) -> dict[str, dict[str, Any]]:
        for _ in range(50):
            listed = fo.query_futopt_order(self.client)
            if listed:
                return listed
        return listed

    def refresh(self, trade: Trade) -> tuple[Trade, dict[str, Any]]:
        entry = self.entries()[trade.status.id]
        return fo.resp2trade(entry, trade), entry

    def positions(self, query_type: str = "1") -> list[dict[str, Any]]:
        rows = self.retry(lambda: acc.AccountOpenPosition("0", query_type, self.account, self.client))
        return [row for row in ok(rows).data() if row]

    def settled(self, summary: str = "N") -> list[dict[str, Any]]:
        today = dt.date.today()
        start, end = ((today + dt.timedelta(days=d)).strftime("%Y%m%d") for d in (-1, 1))
        return ok(
            self.retry(lambda: acc.AccountSettleProfitLoss("0", summary, start, end, "NTD", self.account, self.client))
        ).data()

    def margin(self) -> dict[str, Any]:
        return ok(self.retry(lambda: acc.AccountMargin("NTD", "1", self.account, self.client))).data()


def product(code: str) -> str:
    return code[:3]


def kind(code: str) -> str:
    return "option" if product(code) == "TXO" else "future"


def costs(fills: Iterable[tuple[str, str, Decimal, int]]) -> tuple[Decimal, Decimal]:
    """(fees, tax) of (code, action, price, lots) fills by the documented rate table."""
    fee = tax = Decimal(0)
    for code, _, price, lots in fills:
        fee += FEE_PER_LOT[kind(code)] * lots
        tax += (price * MULTIPLIER[product(code)] * lots * TAX_RATE[kind(code)]).quantize(Decimal(1), "ROUND_HALF_UP")
    return fee, tax


def recompute(
    fills: Iterable[tuple[str, str, Decimal, int]], last: dict[str, Decimal]
) -> dict[str, tuple[int, Decimal, Decimal]]:
    """Per code (signed position, realised, unrealised at ``last``) of (code, action, price, lots) fills
    in the order they happened."""
    open_lots: dict[str, deque[list[Any]]] = defaultdict(deque)
    realised: dict[str, Decimal] = defaultdict(Decimal)
    for code, action, price, lots in fills:
        book, m = open_lots[code], MULTIPLIER[product(code)]
        while lots and book and book[0][0] != action:
            take = min(lots, book[0][2])
            realised[code] += (1 if book[0][0] == "B" else -1) * (price - book[0][1]) * take * m
            book[0][2] -= take
            lots -= take
            if book[0][2] == 0:
                book.popleft()
        if lots:
            book.append([action, price, lots])
    out = {}
    for code in set(open_lots) | set(realised):
        book, m = open_lots[code], MULTIPLIER[product(code)]
        signed = sum(q if a == "B" else -q for a, _, q in book)
        unreal = sum(((1 if a == "B" else -1) * (last[code] - p) * q * m for a, p, q in book), Decimal(0))
        out[code] = (signed, realised[code], unreal)
    return out
