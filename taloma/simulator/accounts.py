"""Account queries of the simulated broker: funds, margin, positions, profit and loss.

Every query is a POST whose body carries "token", "broker_id" and "account_id" and the
query's own codes. The figures are generated from the simulator's seed and the account,
so the same account always shows the same book. Replies nest the way the service nests
them: summary rows with their detail rows, a list when there are several and a bare
row when there is one. A failure carries its text in "msg" at both levels, since
clients read the one inside "result".

Read from the broker's state: ``settings.seed`` (default 0); ``matcher`` (the simulator's market
is on, :mod:`taloma.simulator.fills`): then a futures account starts flat and its margin,
positions and settled profit and loss come from its own fills.
"""

from __future__ import annotations

import datetime as dt
import random
from collections.abc import Callable
from decimal import Decimal
from typing import Any

from taloma.simulator.figures import CURRENCY_RATES, date_of, failure, money, price_text
from taloma.simulator.live_accounts import LIVE
from taloma.simulator.routes import Request, ok, route
from taloma.simulator.state import BrokerState, User

_STOCK_TYPES = ("A", "0", "1", "2", "R")
_STOCK_CURRENCIES = ("A", "NTD", "CNY")
_MARGIN_CURRENCIES = ("NTX", "USX", "NTD", "USD", "HKD", "EUR", "JPY", "GBP")
_SETTLE_CURRENCIES = ("NTD", "USD", "HKD", "EUR", "CAD", "BAS")

_HOLDINGS = (
    # code, name, price
    ("2330", "台積電", Decimal("1045")),
    ("2317", "鴻海", Decimal("178.5")),
    ("2454", "聯發科", Decimal("1320")),
    ("2412", "中華電", Decimal("125.5")),
    ("2882", "國泰金", Decimal("64.2")),
    ("1301", "台塑", Decimal("48.35")),
    ("2603", "長榮", Decimal("212")),
    ("3008", "大立光", Decimal("2480")),
    ("6446", "藥華藥", Decimal("611")),
)
_FUTURES = (
    # code, product type ("1" futures, "2" options), point value, price
    ("TXFL6", "1", 200, Decimal("23150")),
    ("MXFL6", "1", 50, Decimal("23152")),
    ("TXO23000L6", "2", 50, Decimal("312")),
    ("TXO23500X6", "2", 50, Decimal("187.5")),
    ("CDFL6", "1", 2000, Decimal("1052")),
)


def _query(path: str, kind: str, checks: dict[str, tuple[str, ...]]) -> Callable[[Callable[..., Any]], Any]:
    """Registers an account query: token, account and parameter codes are checked first."""

    def register(build: Callable[..., Any]) -> Any:
        @route("POST", path)
        def handler(state: BrokerState, request: Request) -> Any:
            body = request.body if isinstance(request.body, dict) else {}
            user = state.user_of(body.get("token"))
            if user is None:
                return failure("token is invalid or expired, please log in again")
            account = _account_of(user, body.get("broker_id"), body.get("account_id"))
            if account is None or account["accttype"] != kind:
                return failure(f"account {body.get('broker_id')}-{body.get('account_id')} is not yours")
            for key, allowed in checks.items():
                if body.get(key) not in allowed:
                    return failure(f"invalid {key} {body.get(key)!r}")
            rnd = random.Random(f"{state.settings.seed or 0}:{account['broker_id']}{account['account']}:{path}")
            matcher = state.matcher
            if matcher is not None and path in LIVE:
                with matcher.lock:
                    return LIVE[path](matcher, rnd, body, account)
            return build(rnd, body, account)

        return handler

    return register


def _account_of(user: User, broker_id: Any, account_id: Any) -> dict[str, str] | None:
    for account in user.accounts:
        if account["broker_id"] == broker_id and account["account"] == account_id:
            return account
    return None


def _lots(rnd: random.Random) -> list[tuple[str, str, Decimal, int, Decimal]]:
    """(code, name, price, shares, cost per share) of a stock book."""
    chosen = rnd.sample(_HOLDINGS, 5)
    return [
        (
            code,
            name,
            price,
            1000 * rnd.randint(1, 5),
            (price * Decimal(rnd.uniform(0.8, 1.15))).quantize(Decimal("0.01")),
        )
        for code, name, price in chosen
    ]


def _stock_detail(
    rnd: random.Random, code: str, price: Decimal, cost: Decimal, shares: int, when: dt.date, pl_key: str
) -> dict[str, str]:
    amount = cost * shares
    fee = (amount * Decimal("0.001425")).quantize(Decimal("1"))
    return {
        "stock": code,
        "trade_date": when.strftime("%Y%m%d"),
        "quantity": str(shares),
        "price": price_text(cost),
        "cost": money(amount + fee),
        "fee": money(fee),
        pl_key: money((price - cost) * shares - fee),
        "ordno": f"{rnd.choice('ABCDEFGHKLMN')}{rnd.randint(1000, 9999)}",
    }


@_query("Equity/SummarisePrtlos", "S", {"tax": (" ", "1")})
def funds(rnd: random.Random, body: dict[str, Any], account: dict[str, str]) -> Any:
    rows = []
    for market in ("TSE", "OTC", "ESB"):
        buy = Decimal(rnd.randint(50_000, 3_000_000))
        sell = Decimal(rnd.randint(0, 2_000_000))
        tax = (sell * Decimal("0.003")).quantize(Decimal("1")) if body["tax"] == " " else Decimal(0)
        rows.append(
            {
                "market": market,
                "currency": "NTD",
                "buy_amount": money(buy),
                "sell_amount": money(sell),
                "fee": money(((buy + sell) * Decimal("0.001425")).quantize(Decimal("1"))),
                "tax": money(tax),
                "net_amount": money(sell - buy - tax),
                "unreal_pl": money(Decimal(rnd.randint(-200_000, 400_000))),
                "real_pl": money(Decimal(rnd.randint(-100_000, 300_000))),
            }
        )
    return ok({"msg": "", "profit_sums": {"profit_sum": rows}})


@_query("Future/Margin", "F", {"currency": _MARGIN_CURRENCIES, "margin_type": ("1", "2")})
def margin(rnd: random.Random, body: dict[str, Any], account: dict[str, str]) -> Any:
    rate = CURRENCY_RATES[body["currency"]]
    equity = Decimal(rnd.randint(800_000, 5_000_000))
    initial = Decimal(rnd.randint(100_000, 600_000))
    maintenance = (initial * Decimal("0.77")).quantize(Decimal("1"))
    unreal = Decimal(rnd.randint(-150_000, 250_000))
    fields = {
        "currency": body["currency"],
        "margin_type": body["margin_type"],
        "yesterday_balance": money(equity * rate),
        "today_balance": money((equity + unreal) * rate),
        "deposit_withdrawal": "0",
        "fee": money(Decimal(rnd.randint(100, 3000)) * rate),
        "tax": money(Decimal(rnd.randint(50, 2000)) * rate),
        "initial_margin": money(initial * rate),
        "maintenance_margin": money(maintenance * rate),
        "unreal_pl": money(unreal * rate),
        "equity": money((equity + unreal) * rate),
        "available_margin": money((equity + unreal - initial) * rate),
    }
    if body["margin_type"] == "2":
        fields["risk_indicator"] = f"{(equity + unreal) / maintenance * 100:.2f}"
    return ok({"msg": "", "body": fields})


@_query("Future/Position", "F", {"product_type": ("0", "1", "2", "3"), "query_type": ("0", "1")})
def positions(rnd: random.Random, body: dict[str, Any], account: dict[str, str]) -> Any:
    rows = []
    for code, product_type, point_value, price in _FUTURES:
        if body["product_type"] not in ("0", product_type):
            continue  # "3" (US-dollar based) holds nothing here
        action = rnd.choice("BS")
        lots = [(rnd.randint(1, 3), price + Decimal(rnd.randint(-60, 60))) for _ in range(rnd.randint(1, 3))]
        if body["query_type"] == "1":
            quantity = sum(q for q, _ in lots)
            average = sum((q * p for q, p in lots), Decimal(0)) / quantity
            lots = [(quantity, average)]
        for quantity, cost in lots:
            sign = 1 if action == "B" else -1
            rows.append(
                {
                    "code": code,
                    "product_type": product_type,
                    "action": action,
                    "quantity": str(quantity),
                    "avg_price": price_text(cost),
                    "last_price": price_text(price),
                    "currency": "NTD",
                    "unreal_pl": money(sign * (price - cost) * quantity * point_value),
                }
            )
    return ok({"msg": "", "body": rows})


@_query(
    "Future/SettleProfitLossDetail",
    "F",
    {"product_type": ("0", "1", "2"), "summary": ("Y", "N"), "currency": _SETTLE_CURRENCIES},
)
def settled(rnd: random.Random, body: dict[str, Any], account: dict[str, str]) -> Any:
    start, end = date_of(body.get("start_date")), date_of(body.get("end_date"))
    if start is None or end is None or start > end:
        return failure("start_date and end_date must be dates %Y%m%d, start first")
    rate = CURRENCY_RATES[body["currency"]]
    rows: list[dict[str, str]] = []
    day = start
    while day <= end and len(rows) < 200:
        if day.weekday() < 5 and rnd.random() < 0.6:
            for code, product_type, point_value, _price in _FUTURES:
                if body["product_type"] not in ("0", product_type) or rnd.random() < 0.5:
                    continue
                quantity = rnd.randint(1, 4)
                pl = Decimal(rnd.randint(-80, 100)) * quantity * point_value
                rows.append(
                    {
                        "date": day.strftime("%Y%m%d"),
                        "code": code,
                        "product_type": product_type,
                        "quantity": str(quantity),
                        "settle_pl": money(pl * rate),
                        "fee": money(Decimal(60 * quantity) * rate),
                        "tax": money(abs(pl) * Decimal("0.00002") * rate),
                        "currency": body["currency"],
                    }
                )
        day += dt.timedelta(days=1)
    if body["summary"] == "Y":
        totals: dict[str, dict[str, Any]] = {}
        for row in rows:
            t = totals.setdefault(
                row["code"],
                {
                    "code": row["code"],
                    "product_type": row["product_type"],
                    "quantity": 0,
                    "settle_pl": Decimal(0),
                    "fee": Decimal(0),
                    "tax": Decimal(0),
                    "currency": row["currency"],
                },
            )
            t["quantity"] += int(row["quantity"])
            for key in ("settle_pl", "fee", "tax"):
                t[key] += Decimal(row[key])
        rows = [{k: (str(v) if not isinstance(v, str) else v) for k, v in t.items()} for t in totals.values()]
    return ok({"msg": "", "body": rows})


def _split_rows(
    rnd: random.Random, lots: list[tuple[str, str, Decimal, int, Decimal]], dates: list[dt.date], realised: bool
) -> tuple[list[dict[str, Any]], Decimal]:
    """Summary rows, each with its detail rows (a bare row when there is only one)."""
    prefix, pl_key = ("profit", "real_pl") if realised else ("unreal", "unreal_pl")
    rows = []
    total = Decimal(0)
    for code, name, price, shares, cost in lots:
        parts = rnd.randint(1, 3)
        share = shares // parts
        details = [_stock_detail(rnd, code, price, cost, share, rnd.choice(dates), pl_key) for _ in range(parts)]
        pl = sum((Decimal(d[pl_key]) for d in details), Decimal(0))
        total += pl
        rows.append(
            {
                "stock": code,
                "stock_name": name,
                "quantity": str(share * parts),
                "avg_price": price_text(cost),
                "last_price": price_text(price),
                pl_key: money(pl),
                "currency": "NTD",
                f"{prefix}_details": {f"{prefix}_detail": details[0] if len(details) == 1 else details},
            }
        )
    return rows, total


@_query(
    "Equity/UnRealPrtlos",
    "S",
    {"stock_type": _STOCK_TYPES, "currency": _STOCK_CURRENCIES, "action": (" ", "1", "2", "3")},
)
def unrealised(rnd: random.Random, body: dict[str, Any], account: dict[str, str]) -> Any:
    if body.get("currency") == "CNY":
        return ok({"msg": "", "unreal_sums": {"unreal_sum": []}})
    today = dt.date.today()
    dates = [today - dt.timedelta(days=d) for d in range(5, 400)]
    rows, total = _split_rows(rnd, _lots(rnd), dates, realised=False)
    # The service closes the list with a total row, which has no details.
    rows.append({"stock": "", "stock_name": "合計", "unreal_pl": money(total), "currency": "NTD"})
    return ok({"msg": "", "unreal_sums": {"unreal_sum": rows}})


@_query("Equity/RealPrtlos", "S", {"stock_type": _STOCK_TYPES, "currency": _STOCK_CURRENCIES, "action": (" ", "1")})
def realised(rnd: random.Random, body: dict[str, Any], account: dict[str, str]) -> Any:
    start, end = date_of(body.get("start_date")), date_of(body.get("end_date"))
    if start is None or end is None or start > end:
        return failure("start_date and end_date must be dates %Y%m%d, start first")
    if body.get("currency") == "CNY":
        return ok({"msg": "", "profit_sums": {"profit_sum": []}})
    dates = [start + dt.timedelta(days=d) for d in range((end - start).days + 1)]
    rows, total = _split_rows(rnd, _lots(rnd), dates, realised=True)
    rows.append({"stock": "", "stock_name": "合計", "real_pl": money(total), "currency": "NTD"})
    return ok({"msg": "", "profit_sums": {"profit_sum": rows}})
