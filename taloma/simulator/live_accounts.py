"""Account queries with the simulated market on: a futures account starts flat, and its margin,
positions and settled profit and loss come from its own fills (:mod:`taloma.simulator.ledger`)."""

from __future__ import annotations

import random
from collections.abc import Callable
from decimal import Decimal
from typing import Any

from taloma.simulator.figures import CURRENCY_RATES, date_of, failure, money, price_text
from taloma.simulator.fills import Matcher
from taloma.simulator.ledger import MAINTENANCE_SHARE
from taloma.simulator.routes import ok

View = Callable[[Matcher, random.Random, dict[str, Any], dict[str, str]], Any]

LIVE: dict[str, View] = {}
"""The view of each query path that follows the fills, called with the matcher's lock held."""


def _view(path: str) -> Callable[[View], View]:
    def register(build: View) -> View:
        LIVE[path] = build
        return build

    return register


_PRODUCT_TYPE = {"future": "1", "option": "2"}


@_view("Future/Margin")
def live_margin(matcher: Matcher, rnd: random.Random, body: dict[str, Any], account: dict[str, str]) -> Any:
    rate = CURRENCY_RATES[body["currency"]]
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
        "currency": body["currency"],
        "margin_type": body["margin_type"],
        "yesterday_balance": money(balance * rate),
        "today_balance": money(today * rate),
        "deposit_withdrawal": "0",
        "fee": money(fee * rate),
        "tax": money(tax * rate),
        "realised_pl": money(realised * rate),
        "initial_margin": money(initial * rate),
        "maintenance_margin": money(maintenance * rate),
        "unreal_pl": money(unreal * rate),
        "equity": money((today + unreal) * rate),
        "available_margin": money((today + unreal - initial) * rate),
    }
    if body["margin_type"] == "2":
        # Without positions nothing is at risk: the indicator shows its ceiling.
        risk = (today + unreal) / maintenance * 100 if maintenance else Decimal("999.99")
        fields["risk_indicator"] = f"{min(risk, Decimal('999.99')):.2f}"
    return ok({"msg": "", "body": fields})


@_view("Future/Position")
def live_positions(matcher: Matcher, rnd: random.Random, body: dict[str, Any], account: dict[str, str]) -> Any:
    rows = []
    for p in matcher.positions(account["broker_id"], account["account"]):
        product_type = _PRODUCT_TYPE[p.kind]
        if body["product_type"] not in ("0", product_type):
            continue
        common = {"code": p.code, "product_type": product_type, "action": p.action}
        if body["query_type"] == "1":
            rows.append(
                {
                    **common,
                    "quantity": str(p.quantity),
                    "avg_price": price_text(p.average),
                    "last_price": price_text(p.last),
                    "currency": "NTD",
                    "unreal_pl": money(p.unrealised()),
                }
            )
            continue
        for lot in p.lots:
            rows.append(
                {
                    **common,
                    "quantity": str(lot.quantity),
                    "avg_price": price_text(lot.price),
                    "last_price": price_text(p.last),
                    "currency": "NTD",
                    "unreal_pl": money(p.unrealised(lot)),
                    "trade_date": lot.time.strftime("%Y%m%d"),
                    "ordno": lot.ordno,
                }
            )
    return ok({"msg": "", "body": rows})


@_view("Future/SettleProfitLossDetail")
def live_settled(matcher: Matcher, rnd: random.Random, body: dict[str, Any], account: dict[str, str]) -> Any:
    start, end = date_of(body.get("start_date")), date_of(body.get("end_date"))
    if start is None or end is None or start > end:
        return failure("start_date and end_date must be dates %Y%m%d, start first")
    rate = CURRENCY_RATES[body["currency"]]
    rows: list[dict[str, Any]] = []
    for s in matcher.settlements(account["broker_id"], account["account"]):
        product_type = _PRODUCT_TYPE[s.kind]
        if body["product_type"] not in ("0", product_type) or not start <= s.time.date() <= end:
            continue
        rows.append(
            {
                "date": s.time.strftime("%Y%m%d"),
                "code": s.code,
                "product_type": product_type,
                "quantity": s.quantity,
                "settle_pl": s.profit * rate,
                "fee": s.fee * rate,
                "tax": s.tax * rate,
            }
        )
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
                },
            )
            for key in ("quantity", "settle_pl", "fee", "tax"):
                t[key] += row[key]
        rows = list(totals.values())
    for row in rows:
        row.update(
            quantity=str(row["quantity"]),
            settle_pl=money(row["settle_pl"]),
            fee=money(row["fee"]),
            tax=money(row["tax"]),
            currency=body["currency"],
        )
    return ok({"msg": "", "body": rows})


__all__ = ["LIVE", "live_margin", "live_positions", "live_settled"]
