"""Demo section: one futures order placed, re-priced, reduced, queried and cancelled."""

from __future__ import annotations

import datetime as dt
from typing import Any

from taloma.demo import Demo, StepFailed

# Until the signing section provides a real one, the order requests carry this.
PLACEHOLDER_CA = "unsigned-demo-content"
PRICE = 18000
QUANTITY = 2


def _near_month_future() -> Any:
    from taloma.contracts import Future

    today = dt.date.today()
    return Future(code=f"TXF{'ABCDEFGHIJKL'[today.month - 1]}{today.year % 10}", exchange="TAIFEX",
                  name="Index future (near month)")


def _show(ctx: Demo, trade: Any) -> None:
    c, o, s = trade.contract, trade.order, trade.status
    ctx.say(f"   {c.code} {o.action} {o.quantity} @ {o.price} {o.price_type} {o.order_type}"
            f"  seqno={o.seqno!r} ordno={o.ordno!r}")
    ctx.say(f"   status {s.status} at {s.order_datetime}  code={s.status_code!r} msg={s.msg!r}"
            f"  filled={s.deal_quantity} cancelled={s.cancel_quantity} new price={s.modified_price}")


def _expect_success(reply: Any, what: str) -> None:
    if str(reply.get("success", "")).lower() != "true":
        raise StepFailed(f"{what} refused: {reply.get('msg')}")


def run(ctx: Demo) -> None:
    import taloma.backend.http.futureoption.order as fo
    from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType
    from taloma.order import Order, Status, Trade

    client = ctx.client
    ca_content = ctx.data.get("ca_content", PLACEHOLDER_CA)
    state: dict[str, Any] = {}

    def refresh(what: str) -> None:
        trade = state.get("trade")
        if trade is None:
            raise StepFailed("no order to follow")
        entries = fo.query_futopt_order(client)
        entry = entries.get(trade.status.id)
        if entry is None:
            raise StepFailed(f"the query does not list order {trade.status.id} ({len(entries)} orders listed)")
        fo.resp2trade(entry, trade)
        ctx.say(f"   after {what}:")
        _show(ctx, trade)

    with ctx.step("place a futures order"):
        if client is None or client.default_futopt_account is None:
            raise StepFailed("no logged-in client with a futures account")
        contract = ctx.data.get("future") or _near_month_future()
        order = Order(action=Action.Buy, price_type=FuturesPriceType.LMT, order_type=OrderType.ROD, price=PRICE,
                      quantity=QUANTITY, octype=FuturesOCType.Auto, account=client.default_futopt_account)
        reply = fo.place_futopt_order(contract, order, ca_content, client)
        order, status, ok = fo.futopt_resp2order_status(reply, order)
        if not ok or status.status is not Status.PendingSubmit:
            raise StepFailed(f"placement refused: {reply.get('msg')}")
        state["trade"] = ctx.data["trade"] = Trade(contract=contract, order=order, status=status)
        _show(ctx, state["trade"])

    with ctx.step("query the order"):
        refresh("placement")

    with ctx.step(f"change the price to {PRICE - 10}"):
        if "trade" not in state:
            raise StepFailed("no order to amend")
        _expect_success(fo.update_futopt_order_price(state["trade"], ca_content, client, PRICE - 10), "price change")
        refresh("the price change")

    with ctx.step("reduce the quantity by 1"):
        if "trade" not in state:
            raise StepFailed("no order to amend")
        _expect_success(fo.update_futopt_order_qty(state["trade"], ca_content, client, 1), "quantity change")
        refresh("the quantity change")

    with ctx.step("cancel the order"):
        if "trade" not in state:
            raise StepFailed("no order to cancel")
        _expect_success(fo.cancel_futopt_order(state["trade"], ca_content, client), "cancel")
        refresh("the cancel")
        if state["trade"].status.cancel_quantity != QUANTITY:
            raise StepFailed(f"cancelled {state['trade'].status.cancel_quantity} of {QUANTITY}")
