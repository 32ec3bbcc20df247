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

from taloma.simulator.fills import MAINTENANCE_SHARE
from taloma.simulator.routes import Request, ok, route
from taloma.simulator.state import BrokerState, User

_STOCK_TYPES = ("A", "0", "1", "2", "R")
_STOCK_CURRENCIES = ("A", "NTD", "CNY")
_MARGIN_CURRENCIES = ("NTX", "USX", "NTD", "USD", "HKD", "EUR", "JPY", "GBP")
_SETTLE_CURRENCIES = ("NTD", "USD", "HKD", "EUR", "CAD", "BAS")
_RATES = {"NTD": Decimal(1), "NTX": Decimal(1), "USD": Decimal("0.031"), "USX": Decimal("0.031"),
          "HKD": Decimal("0.24"), "EUR": Decimal("0.029"), "JPY": Decimal("4.6"), "GBP": Decimal("0.025"),
          "CAD": Decimal("0.043"), "BAS": Decimal(1)}

_HOLDINGS = (
    # code, name, price
    ("2330", "台積電", Decimal("1045")), ("2317", "鴻海", Decimal("178.5")), ("2454", "聯發科", Decimal("1320")),
    ("2412", "中華電", Decimal("125.5")), ("2882", "國泰金", Decimal("64.2")), ("1301", "台塑", Decimal("48.35")),
    ("2603", "長榮", Decimal("212")), ("3008", "大立光", Decimal("2480")), ("6446", "藥華藥", Decimal("611")),
)
_FUTURES = (
    # code, product type ("1" futures, "2" options), point value, price
    ("TXFL6", "1", 200, Decimal("23150")), ("MXFL6", "1", 50, Decimal("23152")),
    ("TXO23000L6", "2", 50, Decimal("312")), ("TXO23500X6", "2", 50, Decimal("187.5")),
    ("CDFL6", "1", 2000, Decimal("1052")),
)


def _failure(msg: str) -> dict[str, Any]:
    return {"success": "False", "msg": msg, "result": {"msg": msg}}


def _money(value: Decimal) -> str:
    return str(value.quantize(Decimal("1")))


def _price(value: Decimal) -> str:
    return str(value.quantize(Decimal("0.01")))


def _date(text: Any) -> dt.date | None:
    try:
        return dt.datetime.strptime(text, "%Y%m%d").date() if isinstance(text, str) and len(text) == 8 else None
    except ValueError:
        return None


def _query(path: str, kind: str, checks: dict[str, tuple[str, ...]]) -> Callable[[Callable[..., Any]], Any]:
    """Registers an account query: token, account and parameter codes are checked first."""

    def register(build: Callable[..., Any]) -> Any:
        @route("POST", path)
        def handler(state: BrokerState, request: Request) -> Any:
            body = request.body if isinstance(request.body, dict) else {}
            user = state.user_of(body.get("token"))
            if user is None:
                return _failure("token is invalid or expired, please log in again")
            account = _account_of(user, body.get("broker_id"), body.get("account_id"))
            if account is None or account["accttype"] != kind:
                return _failure(f"account {body.get('broker_id')}-{body.get('account_id')} is not yours")
            for key, allowed in checks.items():
                if body.get(key) not in allowed:
                    return _failure(f"invalid {key} {body.get(key)!r}")
            rnd = random.Random(f"{state.settings.seed or 0}:{account['broker_id']}{account['account']}:{path}")
            matcher = state.matcher
            if matcher is not None and path in _LIVE:
                with matcher.lock:
                    return _LIVE[path](matcher, rnd, body, account)
            return build(rnd, body, account)

        return handler

    return register


_LIVE: dict[str, Callable[..., Any]] = {}


def _live(path: str) -> Callable[[Callable[..., Any]], Any]:
    """Registers the view of a query that follows the fills when the market is on."""

    def register(build: Callable[..., Any]) -> Any:
        _LIVE[path] = build
        return build

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
        (code, name, price, 1000 * rnd.randint(1, 5), (price * Decimal(rnd.uniform(0.8, 1.15))).quantize(Decimal("0.01")))
        for code, name, price in chosen
    ]


def _stock_detail(rnd: random.Random, code: str, price: Decimal, cost: Decimal, shares: int, when: dt.date,
                  pl_key: str) -> dict[str, str]:
    amount = cost * shares
    fee = (amount * Decimal("0.001425")).quantize(Decimal("1"))
    return {
        "stock": code, "trade_date": when.strftime("%Y%m%d"), "quantity": str(shares),
        "price": _price(cost), "cost": _money(amount + fee), "fee": _money(fee),
        pl_key: _money((price - cost) * shares - fee),
        "ordno": f"{rnd.choice('ABCDEFGHKLMN')}{rnd.randint(1000, 9999)}",
    }


@_query("Equity/SummarisePrtlos", "S", {"tax": (" ", "1")})
def funds(rnd: random.Random, body: dict[str, Any], account: dict[str, str]) -> Any:
    rows = []
    for market in ("TSE", "OTC", "ESB"):
        buy = Decimal(rnd.randint(50_000, 3_000_000))
        sell = Decimal(rnd.randint(0, 2_000_000))
        tax = (sell * Decimal("0.003")).quantize(Decimal("1")) if body["tax"] == " " else Decimal(0)
        rows.append({
            "market": market, "currency": "NTD", "buy_amount": _money(buy), "sell_amount": _money(sell),
            "fee": _money(((buy + sell) * Decimal("0.001425")).quantize(Decimal("1"))), "tax": _money(tax),
            "net_amount": _money(sell - buy - tax), "unreal_pl": _money(Decimal(rnd.randint(-200_000, 400_000))),
            "real_pl": _money(Decimal(rnd.randint(-100_000, 300_000))),
        })
    return ok({"msg": "", "profit_sums": {"profit_sum": rows}})


@_query("Future/Margin", "F", {"currency": _MARGIN_CURRENCIES, "margin_type": ("1", "2")})
def margin(rnd: random.Random, body: dict[str, Any], account: dict[str, str]) -> Any:
    rate = _RATES[body["currency"]]
    equity = Decimal(rnd.randint(800_000, 5_000_000))
    initial = Decimal(rnd.randint(100_000, 600_000))
    maintenance = (initial * Decimal("0.77")).quantize(Decimal("1"))
    unreal = Decimal(rnd.randint(-150_000, 250_000))
    fields = {
        "currency": body["currency"], "margin_type": body["margin_type"],
        "yesterday_balance": _money(equity * rate), "today_balance": _money((equity + unreal) * rate),
        "deposit_withdrawal": "0", "fee": _money(Decimal(rnd.randint(100, 3000)) * rate),
        "tax": _money(Decimal(rnd.randint(50, 2000)) * rate), "initial_margin": _money(initial * rate),
        "maintenance_margin": _money(maintenance * rate), "unreal_pl": _money(unreal * rate),
        "equity": _money((equity + unreal) * rate), "available_margin": _money((equity + unreal - initial) * rate),
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
            rows.append({
                "code": code, "product_type": product_type, "action": action, "quantity": str(quantity),
                "avg_price": _price(cost), "last_price": _price(price), "currency": "NTD",
                "unreal_pl": _money(sign * (price - cost) * quantity * point_value),
            })
    return ok({"msg": "", "body": rows})


@_query("Future/SettleProfitLossDetail", "F", {
    "product_type": ("0", "1", "2"), "summary": ("Y", "N"), "currency": _SETTLE_CURRENCIES})
def settled(rnd: random.Random, body: dict[str, Any], account: dict[str, str]) -> Any:
    start, end = _date(body.get("start_date")), _date(body.get("end_date"))
    if start is None or end is None or start > end:
        return _failure("start_date and end_date must be dates %Y%m%d, start first")
    rate = _RATES[body["currency"]]
    rows: list[dict[str, str]] = []
    day = start
    while day <= end and len(rows) < 200:
        if day.weekday() < 5 and rnd.random() < 0.6:
            for code, product_type, point_value, _price in _FUTURES:
                if body["product_type"] not in ("0", product_type) or rnd.random() < 0.5:
                    continue
                quantity = rnd.randint(1, 4)
                pl = Decimal(rnd.randint(-80, 100)) * quantity * point_value
                rows.append({
                    "date": day.strftime("%Y%m%d"), "code": code, "product_type": product_type,
                    "quantity": str(quantity), "settle_pl": _money(pl * rate),
                    "fee": _money(Decimal(60 * quantity) * rate), "tax": _money(abs(pl) * Decimal("0.00002") * rate),
                    "currency": body["currency"],
                })
        day += dt.timedelta(days=1)
    if body["summary"] == "Y":
        totals: dict[str, dict[str, Any]] = {}
        for row in rows:
            t = totals.setdefault(row["code"], {"code": row["code"], "product_type": row["product_type"],
                                                "quantity": 0, "settle_pl": Decimal(0), "fee": Decimal(0),
                                                "tax": Decimal(0), "currency": row["currency"]})
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
        rows.append({
            "stock": code, "stock_name": name, "quantity": str(share * parts), "avg_price": _price(cost),
            "last_price": _price(price), pl_key: _money(pl), "currency": "NTD",
            f"{prefix}_details": {f"{prefix}_detail": details[0] if len(details) == 1 else details},
        })
    return rows, total


@_query("Equity/UnRealPrtlos", "S", {
    "stock_type": _STOCK_TYPES, "currency": _STOCK_CURRENCIES, "action": (" ", "1", "2", "3")})
def unrealised(rnd: random.Random, body: dict[str, Any], account: dict[str, str]) -> Any:
    if body.get("currency") == "CNY":
        return ok({"msg": "", "unreal_sums": {"unreal_sum": []}})
    today = dt.date.today()
    dates = [today - dt.timedelta(days=d) for d in range(5, 400)]
    rows, total = _split_rows(rnd, _lots(rnd), dates, realised=False)
    # The service closes the list with a total row, which has no details.
    rows.append({"stock": "", "stock_name": "合計", "unreal_pl": _money(total), "currency": "NTD"})
    return ok({"msg": "", "unreal_sums": {"unreal_sum": rows}})


@_query("Equity/RealPrtlos", "S", {
    "stock_type": _STOCK_TYPES, "currency": _STOCK_CURRENCIES, "action": (" ", "1")})
def realised(rnd: random.Random, body: dict[str, Any], account: dict[str, str]) -> Any:
    start, end = _date(body.get("start_date")), _date(body.get("end_date"))
    if start is None or end is None or start > end:
        return _failure("start_date and end_date must be dates %Y%m%d, start first")
    if body.get("currency") == "CNY":
        return ok({"msg": "", "profit_sums": {"profit_sum": []}})
    dates = [start + dt.timedelta(days=d) for d in range((end - start).days + 1)]
    rows, total = _split_rows(rnd, _lots(rnd), dates, realised=True)
    rows.append({"stock": "", "stock_name": "合計", "real_pl": _money(total), "currency": "NTD"})
    return ok({"msg": "", "profit_sums": {"profit_sum": rows}})


# ---- with the market on: the account's own fills ------------------------------------------

_PRODUCT_TYPE = {"future": "1", "option": "2"}


@_live("Future/Margin")
def live_margin(matcher: Any, rnd: random.Random, body: dict[str, Any], account: dict[str, str]) -> Any:
    rate = _RATES[body["currency"]]
    ids = account["broker_id"], account["account"]
    balance = Decimal(rnd.randint(800_000, 5_000_000))  # cash only: no position is carried over
    positions = matcher.positions(*ids)
    fee, tax = matcher.costs(*ids)
    realised = sum((s.profit for s in matcher.settlements(*ids)), Decimal(0))
    unreal = sum((p.unrealised() for p in positions), Decimal(0))
    initial = sum((p.initial_margin for p in positions), Decimal(0))
    maintenance = initial * MAINTENANCE_SHARE
    today = balance + realised - fee - tax
    fields = {
        "currency": body["currency"], "margin_type": body["margin_type"],
        "yesterday_balance": _money(balance * rate), "today_balance": _money(today * rate),
        "deposit_withdrawal": "0", "fee": _money(fee * rate), "tax": _money(tax * rate),
        "realised_pl": _money(realised * rate), "initial_margin": _money(initial * rate),
        "maintenance_margin": _money(maintenance * rate), "unreal_pl": _money(unreal * rate),
        "equity": _money((today + unreal) * rate), "available_margin": _money((today + unreal - initial) * rate),
    }
    if body["margin_type"] == "2":
        # Without positions nothing is at risk: the indicator shows its ceiling.
        risk = (today + unreal) / maintenance * 100 if maintenance else Decimal("999.99")
        fields["risk_indicator"] = f"{min(risk, Decimal('999.99')):.2f}"
    return ok({"msg": "", "body": fields})


@_live("Future/Position")
def live_positions(matcher: Any, rnd: random.Random, body: dict[str, Any], account: dict[str, str]) -> Any:
    rows = []
    for p in matcher.positions(account["broker_id"], account["account"]):
        product_type = _PRODUCT_TYPE[p.kind]
        if body["product_type"] not in ("0", product_type):
            continue
        common = {"code": p.code, "product_type": product_type, "action": p.action}
        if body["query_type"] == "1":
            rows.append({**common, "quantity": str(p.quantity), "avg_price": _price(p.average),
                         "last_price": _price(p.last), "currency": "NTD", "unreal_pl": _money(p.unrealised())})
            continue
        for lot in p.lots:
            rows.append({**common, "quantity": str(lot.quantity), "avg_price": _price(lot.price),
                         "last_price": _price(p.last), "currency": "NTD", "unreal_pl": _money(p.unrealised(lot)),
                         "trade_date": lot.time.strftime("%Y%m%d"), "ordno": lot.ordno})
    return ok({"msg": "", "body": rows})


@_live("Future/SettleProfitLossDetail")
def live_settled(matcher: Any, rnd: random.Random, body: dict[str, Any], account: dict[str, str]) -> Any:
    start, end = _date(body.get("start_date")), _date(body.get("end_date"))
    if start is None or end is None or start > end:
        return _failure("start_date and end_date must be dates %Y%m%d, start first")
    rate = _RATES[body["currency"]]
    rows: list[dict[str, Any]] = []
    for s in matcher.settlements(account["broker_id"], account["account"]):
        product_type = _PRODUCT_TYPE[s.kind]
        if body["product_type"] not in ("0", product_type) or not start <= s.time.date() <= end:
            continue
        rows.append({"date": s.time.strftime("%Y%m%d"), "code": s.code, "product_type": product_type,
                     "quantity": s.quantity, "settle_pl": s.profit * rate, "fee": s.fee * rate, "tax": s.tax * rate})
    if body["summary"] == "Y":
        totals: dict[str, dict[str, Any]] = {}
        for row in rows:
            t = totals.setdefault(row["code"], {"code": row["code"], "product_type": row["product_type"],
                                                "quantity": 0, "settle_pl": Decimal(0), "fee": Decimal(0),
                                                "tax": Decimal(0)})
            for key in ("quantity", "settle_pl", "fee", "tax"):
                t[key] += row[key]
        rows = list(totals.values())
    for row in rows:
        row.update(quantity=str(row["quantity"]), settle_pl=_money(row["settle_pl"]), fee=_money(row["fee"]),
                   tax=_money(row["tax"]), currency=body["currency"])
    return ok({"msg": "", "body": rows})
