"""Demo section: the order and decode rates of the summary.

Orders: a burst of signed limit orders placed one after another through the one client, every
one found in the next query, then every one cancelled; each request signed afresh and verified
by the broker. Decodes: the market section's generated messages of every kind, interleaved as
they arrive from the bus, through the decoders a subscriber calls.
"""

from __future__ import annotations

import random
import time
from typing import Any

from taloma.demo import Demo, StepFailed, require

DEFAULT_ORDERS = 300
DEFAULT_MESSAGES = 3000
# Below the market but within the day's limits, so the burst's orders rest until cancelled.
PRICE = 16000


def _option(ctx: Demo, name: str, default: int) -> int:
    return int((ctx.data.get("options") or {}).get(name) or default)


def run(ctx: Demo) -> None:
    count = _option(ctx, "orders", DEFAULT_ORDERS)
    with ctx.step(f"rate: {count} signed orders placed, listed, cancelled"):
        _orders(ctx, count)
    messages = _option(ctx, "messages", DEFAULT_MESSAGES)
    with ctx.step(f"rate: decode {7 * messages:,} quotes, ticks and books"):
        _decodes(ctx, messages)


def _orders(ctx: Demo, count: int) -> None:
    import taloma.backend.http.futureoption.order as fo
    from taloma.backend.http.utils import succeeded
    from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType
    from taloma.order import Order, Trade

    client, sign, contract = ctx.client, ctx.data.get("sign"), ctx.data.get("future")
    require(client=client, signer=sign, future_from_the_catalogue=contract)
    assert sign is not None and contract is not None  # require() raised otherwise
    account = client.default_futopt_account

    progress = ctx.progress(count, "placed")
    trades = []
    start = time.perf_counter()
    for n in range(count):
        order = Order(
            action=Action.Buy,
            price_type=FuturesPriceType.LMT,
            order_type=OrderType.ROD,
            price=PRICE - n % 100,
            quantity=1,
            octype=FuturesOCType.Auto,
            account=account,
        )
        reply = fo.place_futopt_order(contract, order, sign("place", contract, order), client)
        order, status, ok = fo.futopt_resp2order_status(reply, order)
        if not ok:
            raise StepFailed(f"placement {n + 1} refused: {reply.get('msg')}")
        trades.append(Trade(contract=contract, order=order, status=status))
        progress.advance()
    placed = ctx.rate(
        "orders",
        count,
        time.perf_counter() - start,
        f"{count} signed placements, one at a time: sign, send, broker verifies, reply converted",
    )

    listed = fo.query_futopt_order(client)
    missing = [t.status.id for t in trades if t.status.id not in listed]
    if missing or len({t.status.id for t in trades}) != count:
        raise StepFailed(f"{len(missing)} of {count} orders missing from the query, or two share an id")

    progress = ctx.progress(count, "cancelled")
    start = time.perf_counter()
    for t in trades:
        reply = fo.cancel_futopt_order(t, sign("cancel", contract, t.order), client)
        if not succeeded(reply):
            raise StepFailed(f"cancel of {t.order.seqno} refused: {reply.get('msg')}")
        progress.advance()
    cancelled = ctx.rate("cancels", count, time.perf_counter() - start, f"{count} signed cancels, one at a time")

    listed = fo.query_futopt_order(client)
    left = [
        t
        for t in trades
        if (entry := listed.get(t.status.id)) is None or fo.resp2trade(entry, t).status.cancel_quantity != 1
    ]
    if left:
        raise StepFailed(f"{len(left)} orders are not cancelled in the final query")
    ctx.say(
        f"   {placed.per_second:,.0f} orders/s placed, {cancelled.per_second:,.0f}/s cancelled;"
        f" all {count} listed, then all cancelled"
    )


def _decodes(ctx: Demo, per_kind: int) -> None:
    from taloma.demo.market import KINDS, factories, stream

    decoders = factories()
    arrivals: list[tuple[Any, dict[str, Any]]] = [
        (decoders[kind], fields) for kind in KINDS for fields in stream(kind, per_kind)
    ]
    random.Random(2026).shuffle(arrivals)
    progress = ctx.progress(len(arrivals), "messages")
    chunk = max(1, len(arrivals) // 20)
    # Each record is dropped once made, as a subscriber's callback would, so that the collector does
    # not keep walking thousands of held records and bill it to the decoders.
    decoded, elapsed = 0, 0.0
    for at in range(0, len(arrivals), chunk):
        batch = arrivals[at : at + chunk]
        start = time.perf_counter()
        for decode, fields in batch:
            decode(**fields)
        elapsed += time.perf_counter() - start
        decoded += len(batch)
        progress.advance(len(batch))
    rate = ctx.rate(
        "decodes",
        decoded,
        elapsed,
        f"{decoded:,} quotes, ticks and books of stocks, odd lots, futures and options, interleaved",
    )
    kinds = sorted({type(decode(**fields)).__name__ for decode, fields in arrivals[:100]})
    ctx.say(f"   {rate.per_second:,.0f} messages/s, {elapsed / decoded * 1e6:.2f} us each, into {', '.join(kinds)}")
