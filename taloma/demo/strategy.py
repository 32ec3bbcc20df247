"""Demo section: a small strategy loop on the simulated market.

The broker runs a market (``market=True``) published on a private Mosquitto bus; the strategy
subscribes to the front-month index future's ticks through ``taloma.feed.Feed``, prints a few, and
places a signed limit order with the trend it saw.
"""

from __future__ import annotations

import queue
from collections.abc import Callable
from typing import Any

from taloma.demo import Demo, StepFailed, require

TICKS = 5
SPEED = 20.0  # market seconds per real second: the future trades several times a second
WAIT = 15.0


def broker_options(ctx: Demo) -> dict[str, Any]:
    return {"market": True, "bus": "auto", "speed": SPEED}


def run(ctx: Demo) -> None:
    import taloma.backend.http.futureoption.order as fo
    from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType, QuoteType
    from taloma.feed import Feed
    from taloma.order import Order, Status

    market = getattr(ctx.broker, "market", None)
    require(market=market, bus=getattr(ctx.broker, "bus_url", None))
    assert market is not None  # require() raised otherwise
    future = next(market.instrument(c).contract for c in market.codes() if market.instrument(c).kind == "future")
    ticks: queue.Queue[Any] = queue.Queue()
    closes: list[Any] = []

    with ctx.step(f"strategy: {TICKS} ticks of {future.code} from the bus"), Feed(ctx.broker.bus_url) as feed:
        topic = feed.subscribe(future, QuoteType.Tick, lambda topic, tick: ticks.put(tick))
        ctx.say(f"   bus {ctx.broker.bus_url}, topic {topic}")
        for _ in range(TICKS):
            try:
                tick = ticks.get(timeout=WAIT)
            except queue.Empty:
                raise StepFailed(f"no tick of {future.code} within {WAIT:g} s") from None
            closes.append(tick.close)
            ctx.say(
                f"   {tick.datetime:%H:%M:%S.%f}  {tick.code} {tick.close} x {tick.volume}"
                f"  day volume {tick.total_volume}  underlying {tick.underlying_price}"
            )
        ctx.say(f"   feed: {dict(feed.stats)}")

    with ctx.step("strategy: place a signed order with the trend"):
        client = ctx.client
        sign: Callable[..., str] | None = ctx.data.get("sign")
        require(client=client, signer=sign, ticks=closes or None)
        assert sign is not None  # require() raised otherwise
        action = Action.Buy if closes[-1] >= closes[0] else Action.Sell
        price = int(closes[-1])
        order = Order(
            action=action,
            price_type=FuturesPriceType.LMT,
            order_type=OrderType.ROD,
            price=price,
            quantity=1,
            octype=FuturesOCType.Auto,
            account=client.default_futopt_account,
        )
        reply = fo.place_futopt_order(future, order, sign("place", future, order), client)
        order, status, ok = fo.futopt_resp2order_status(reply, order)
        if not ok or status.status is not Status.PendingSubmit:
            raise StepFailed(f"placement refused: {reply.get('msg')}")
        ctx.say(
            f"   {closes[0]} -> {closes[-1]}: {action} 1 {future.code} @ {price} LMT ROD,"
            f" {status.status} seqno={order.seqno!r}"
        )
    # The rates that follow measure the package, not the market's thread.
    market.stop()
