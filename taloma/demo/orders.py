"""Demo section: a signed futures order and a signed options order placed, queried, amended, one cancelled."""

from __future__ import annotations

import datetime as dt
from collections.abc import Callable
from typing import Any

from taloma.demo import Demo, StepFailed

# Without the signing section's signer, the order requests carry this.
PLACEHOLDER_CA = "unsigned-demo-content"
PRICE = 16000  # far below the simulated market, so the order rests for the amend and cancel steps
QUANTITY = 2
OPTION_PRICE = 60
OPTION_QUANTITY = 3


def _near_month_future() -> Any:
    from taloma.contracts import Future

    today = dt.date.today()
    return Future(
        code=f"TXF{'ABCDEFGHIJKL'[today.month - 1]}{today.year % 10}",
        exchange="TAIFEX",
        name="Index future (near month)",
    )


def _near_month_call() -> Any:
    from taloma.contracts import Option

    today = dt.date.today()
    return Option(
        code=f"TXO1750000{'ABCDEFGHIJKL'[today.month - 1]}{today.year % 10}",
        exchange="TAIFEX",
        name="Index call 17500 (near month)",
        option_right="C",
    )


def _show(ctx: Demo, trade: Any) -> None:
    c, o, s = trade.contract, trade.order, trade.status
    ctx.say(
        f"   {c.code} {o.action} {o.quantity} @ {o.price} {o.price_type} {o.order_type}"
        f"  seqno={o.seqno!r} ordno={o.ordno!r}"
    )
    ctx.say(
        f"   status {s.status} at {s.order_datetime}  code={s.status_code!r} msg={s.msg!r}"
        f"  filled={s.deal_quantity} cancelled={s.cancel_quantity} new price={s.modified_price}"
    )


def _topics(ctx: Demo, contract: Any) -> None:
    from taloma.backend.solace.quote import contract2topic
    from taloma.constant import QuoteType, QuoteVersion

    tick = contract2topic(contract, QuoteType.Tick, False, QuoteVersion.v1)
    book = contract2topic(contract, QuoteType.Ladder, False, QuoteVersion.v1)
    ctx.say(f"   its market data on the bus: ticks {tick}, book {book}")


def _expect_success(reply: Any, what: str) -> None:
    from taloma.backend.http.utils import succeeded

    if not succeeded(reply):
        raise StepFailed(f"{what} refused: {reply.get('msg')}")


def run(ctx: Demo) -> None:
    import taloma.backend.http.futureoption.order as fo
    from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType
    from taloma.order import Order, Status, Trade

    client = ctx.client
    sign: Callable[..., str] = ctx.data.get("sign") or (lambda *request, **change: PLACEHOLDER_CA)
    trades: dict[str, Any] = {}

    def trade(kind: str) -> Any:
        if kind not in trades:
            raise StepFailed(f"no {kind} order to follow")
        return trades[kind]

    def refresh(what: str) -> None:
        if not trades:
            raise StepFailed("no order to follow")
        entries = fo.query_futopt_order(client)
        ctx.say(f"   the service lists {len(entries)} orders; after {what}:")
        for t in trades.values():
            entry = entries.get(t.status.id)
            if entry is None:
                raise StepFailed(f"the query does not list order {t.status.id}")
            fo.resp2trade(entry, t)
            _show(ctx, t)

    placements = (
        ("future", ctx.data.get("future") or _near_month_future(), Action.Buy, PRICE, QUANTITY),
        ("option", ctx.data.get("option") or _near_month_call(), Action.Buy, OPTION_PRICE, OPTION_QUANTITY),
    )
    for kind, contract, action, price, quantity in placements:
        with ctx.step(f"sign and place {'an' if kind[0] in 'aeiou' else 'a'} {kind} order"):
            if client is None or client.default_futopt_account is None:
                raise StepFailed("no logged-in client with a futures account")
            order = Order(
                action=action,
                price_type=FuturesPriceType.LMT,
                order_type=OrderType.ROD,
                price=price,
                quantity=quantity,
                octype=FuturesOCType.Auto,
                account=client.default_futopt_account,
            )
            ca_content = sign("place", contract, order)
            reply = fo.place_futopt_order(contract, order, ca_content, client)
            order, status, ok = fo.futopt_resp2order_status(reply, order)
            if not ok or status.status is not Status.PendingSubmit:
                raise StepFailed(f"placement refused: {reply.get('msg')}")
            trades[kind] = Trade(contract=contract, order=order, status=status)
            _show(ctx, trades[kind])
            _topics(ctx, contract)
    if "future" in trades:
        ctx.data["trade"] = trades["future"]

    with ctx.step("query the orders (resp2trade)"):
        refresh("the placements")

    with ctx.step(f"change the future's price to {PRICE - 10}"):
        t = trade("future")
        ca_content = sign("update_price", t.contract, t.order, price=PRICE - 10)
        reply = fo.update_futopt_order_price(t, ca_content, client, PRICE - 10)
        _expect_success(reply, "price change")
        ctx.say(f"   accepted: {reply.get('result')}")

    with ctx.step("reduce the option order by 1"):
        t = trade("option")
        ca_content = sign("update_qty", t.contract, t.order, quantity=1)
        _expect_success(fo.update_futopt_order_qty(t, ca_content, client, 1), "quantity change")

    with ctx.step("cancel the future order"):
        t = trade("future")
        _expect_success(fo.cancel_futopt_order(t, sign("cancel", t.contract, t.order), client), "cancel")

    with ctx.step("query the orders again"):
        refresh("the amendments and the cancel")
        future, option = trade("future"), trade("option")
        if future.status.cancel_quantity != QUANTITY or future.status.modified_price != PRICE - 10:
            raise StepFailed(
                f"the future shows {future.status.cancel_quantity} cancelled at "
                f"{future.status.modified_price}, not {QUANTITY} at {PRICE - 10}"
            )
        if option.status.cancel_quantity != 1:
            raise StepFailed(f"the option shows {option.status.cancel_quantity} cancelled, not 1")
        ctx.say(f"   the future is cancelled; the option rests with {OPTION_QUANTITY - 1} of {OPTION_QUANTITY}")
