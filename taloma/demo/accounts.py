"""Demo section: funds, margin, open positions and profit and loss of the simulated accounts."""

from __future__ import annotations

import datetime as dt
from typing import Any

from taloma.demo import Demo, StepFailed


def _checked(record: Any) -> Any:
    if not record._status:
        raise StepFailed(f"{type(record).__name__} refused: {record._msg!r}")
    return record


def _rows(ctx: Demo, rows: Any, columns: tuple[str, ...], limit: int = 6) -> None:
    rows = rows if isinstance(rows, list) else [rows]
    for row in rows[:limit]:
        ctx.say("     " + "  ".join(f"{c}={row.get(c, '')}" for c in columns))
    if len(rows) > limit:
        ctx.say(f"     ... {len(rows) - limit} more rows")


def _days_back(days: int) -> tuple[str, str]:
    today = dt.date.today()
    return (today - dt.timedelta(days=days)).strftime("%Y%m%d"), today.strftime("%Y%m%d")


def run(ctx: Demo) -> None:
    from taloma.backend.http import account as acc

    client = ctx.client
    stock = getattr(client, "default_stock_account", None)
    futures = getattr(client, "default_futopt_account", None)

    def need(account: Any, kind: str) -> Any:
        if account is None:
            raise StepFailed(f"no logged-in client with a {kind} account")
        return account

    with ctx.step("stock account funds and profit-and-loss summary"):
        account = need(stock, "stock")
        funds = _checked(acc.AccountFunds(" ", account, client))
        ctx.say(f"   {funds} of {account.broker_id}-{account.account_id}")
        _rows(ctx, funds.data(), ("market", "buy_amount", "sell_amount", "net_amount", "unreal_pl", "real_pl"))

    with ctx.step("futures margin (NTD, real time)"):
        margin = _checked(acc.AccountMargin("NTD", "1", need(futures, "futures"), client))
        ctx.say(f"   {margin}")
        body = margin.data()
        for key in ("equity", "initial_margin", "maintenance_margin", "available_margin", "unreal_pl"):
            ctx.say(f"     {key:<20}{body.get(key, '')}")

    with ctx.step("futures open positions (summary)"):
        positions = _checked(acc.AccountOpenPosition("0", "1", need(futures, "futures"), client))
        ctx.say(f"   {positions._accountid}: {len(positions.data())} positions")
        _rows(ctx, positions.data(), ("code", "action", "quantity", "avg_price", "last_price", "unreal_pl"))

    with ctx.step("futures settled profit and loss, last 30 days (summary)"):
        start, end = _days_back(30)
        settled = _checked(acc.AccountSettleProfitLoss("0", "Y", start, end, "NTD", need(futures, "futures"), client))
        _rows(ctx, settled.data(), ("code", "quantity", "settle_pl", "fee", "tax"))

    with ctx.step("stock unrealised profit and loss"):
        unreal = _checked(acc.AccountUnRealProfitLoss("A", "NTD", " ", need(stock, "stock"), client))
        data = unreal.data()
        ctx.say(f"   {len(data['summary'])} holdings, {len(data['detail'])} lots")
        _rows(ctx, data["summary"], ("stock", "stock_name", "quantity", "avg_price", "last_price", "unreal_pl"))

    with ctx.step("stock realised profit and loss, last 90 days"):
        start, end = _days_back(90)
        real = _checked(acc.AccountRealProfitLoss("A", start, end, "NTD", " ", need(stock, "stock"), client))
        data = real.data()
        ctx.say(f"   {len(data['summary'])} stocks sold, {len(data['detail'])} trades")
        _rows(ctx, data["summary"], ("stock", "stock_name", "quantity", "real_pl"))
