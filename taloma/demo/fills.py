"""Demo section: a strategy loop against the simulated market.

It buys the front-month index future on a signal (an uptick on the bus), hears its fill on the
account's fills topic, shows the position and its profit, and flattens. The market runs on a
broker of its own (market and bus on), faster than real time so the loop takes seconds.
"""

from __future__ import annotations

import contextlib
import queue
from typing import Any

from taloma.demo import Demo, StepFailed

SPEED = 20.0
LOTS = 2
WAIT = 10.0  # seconds: the longest any one thing is waited for


def _rows(ctx: Demo, rows: list[dict[str, Any]], columns: tuple[str, ...]) -> None:
    for row in rows:
        ctx.say("     " + "  ".join(f"{c}={row.get(c, '')}" for c in columns))


class _Loop:
    """The strategy's broker, client, feed and what it heard."""

    def __init__(self, ctx: Demo, stack: contextlib.ExitStack) -> None:
        import taloma.backend.http as settings
        from taloma.backend.http.client import Client
        from taloma.feed import Feed
        from taloma.simulator import BrokerSimulator

        self.ctx = ctx
        self.sim = stack.enter_context(
            BrokerSimulator(seed=2026, market=True, bus="auto", speed=SPEED, catalogue_stocks=200)
        )
        saved = settings.api_url_simulation
        settings.api_url_simulation = self.sim.base_url
        try:
            self.client = Client(simulation=True, proxies=None)
        finally:
            settings.api_url_simulation = saved
        self.client.login("A123456789", "taloma-demo")
        if not self.client._token or self.client.default_futopt_account is None:
            raise StepFailed("the market's broker refused the login")
        self.account = self.client.default_futopt_account
        market, bus_url = self.sim.market, self.sim.bus_url
        assert market is not None and bus_url is not None  # started with a market and a bus
        self.market = market
        self.code = self.market.codes()[0]  # the front-month index future
        self.contract = self.market.instrument(self.code).contract
        self.ticks: queue.Queue[Any] = queue.Queue()
        self.fills: queue.Queue[dict[str, Any]] = queue.Queue()
        self.feed = stack.enter_context(Feed(bus_url))
        self.sign = ctx.data.get("sign") or (lambda *request, **change: "unsigned-demo-content")

    def signal(self) -> Any:
        """The first tick that trades above the one before it."""
        last = None
        while True:
            try:
                tick = self.ticks.get(timeout=WAIT)
            except queue.Empty:
                raise StepFailed(f"no uptick within {WAIT:g} s") from None
            if last is not None and tick["close"] > last:
                return tick
            last = tick["close"]

    def market_order(self, action: Any) -> Any:
        import taloma.backend.http.futureoption.order as fo
        from taloma.constant import FuturesOCType, FuturesPriceType, OrderType
        from taloma.order import Order

        order = Order(
            action=action,
            price_type=FuturesPriceType.MKT,
            order_type=OrderType.IOC,
            price=0,
            quantity=LOTS,
            octype=FuturesOCType.Auto,
            account=self.account,
        )
        reply = fo.place_futopt_order(self.contract, order, self.sign("place", self.contract, order), self.client)
        order, _, ok = fo.futopt_resp2order_status(reply, order)
        if not ok:
            raise StepFailed(f"the order was refused: {reply.get('msg')}")
        return order

    def hear_fills(self, order: Any) -> list[dict[str, Any]]:
        """The order's fill events, until its lots are all filled or it has no more coming."""
        heard: list[dict[str, Any]] = []
        while sum(e["quantity"] for e in heard) < LOTS:
            try:
                event = self.fills.get(timeout=WAIT)
            except queue.Empty:
                raise StepFailed(f"heard {len(heard)} fills of order {order.seqno}, then nothing") from None
            heard.append(event)
            self.ctx.say(
                f"   fill {event['fill_no']}: {event['code']} {event['action']} {event['quantity']} @ "
                f"{event['price']}  ordno={event['ordno']} seqno={event['seqno']} ({event['status']})"
            )
        return heard

    def position(self) -> list[dict[str, Any]]:
        from taloma.backend.http import account as acc

        record = acc.AccountOpenPosition("1", "1", self.account, self.client)
        if not record._status:
            raise StepFailed(f"positions refused: {record._msg!r}")
        return [row for row in record.data() if row]

    def margin(self) -> dict[str, Any]:
        from taloma.backend.http import account as acc

        record = acc.AccountMargin("NTD", "1", self.account, self.client)
        if not record._status:
            raise StepFailed(f"margin refused: {record._msg!r}")
        return record.data()


def run(ctx: Demo) -> None:
    from taloma.constant import Action, QuoteType

    with contextlib.ExitStack() as stack:
        loop: _Loop | None = None
        with ctx.step("fills: a market on a bus, and a strategy subscribed to it"):
            loop = _Loop(ctx, stack)
            loop.feed.subscribe(loop.contract, QuoteType.Tick, lambda topic, tick: loop.ticks.put(tick))
            topic = loop.feed.subscribe_fills(loop.account, loop.fills.put)
            ctx.say(f"   broker {loop.sim.base_url}, bus {loop.sim.bus_url}, market at {SPEED:g}x")
            ctx.say(f"   ticks of {loop.code}; the account's fills on {topic}")
            if loop.position():
                raise StepFailed("the account does not start flat")
        if loop is None:
            return

        bought: list[dict[str, Any]] = []
        with ctx.step(f"fills: buy {LOTS} lots on an uptick, hear the fills"):
            tick = loop.signal()
            ctx.say(f"   signal: {loop.code} traded up to {tick['close']} at {tick['datetime']:%H:%M:%S}")
            bought = loop.hear_fills(loop.market_order(Action.Buy))

        with ctx.step("fills: the position and its profit"):
            if not bought:
                raise StepFailed("nothing was bought")
            for _ in range(3):  # let the market move a little
                loop.ticks.get(timeout=WAIT)
            _rows(ctx, loop.position(), ("code", "action", "quantity", "avg_price", "last_price", "unreal_pl"))
            margin = loop.margin()
            ctx.say("     " + "  ".join(f"{k}={margin[k]}" for k in ("unreal_pl", "fee", "tax", "equity")))

        with ctx.step("fills: flatten, and the profit is booked"):
            if not bought:
                raise StepFailed("nothing to flatten")
            loop.hear_fills(loop.market_order(Action.Sell))
            if loop.position():
                raise StepFailed(f"still holding: {loop.position()}")
            from taloma.backend.http import account as acc

            today = loop.market.trading_day.strftime("%Y%m%d")
            settled = acc.AccountSettleProfitLoss("1", "Y", today, today, "NTD", loop.account, loop.client).data()
            _rows(ctx, settled, ("code", "quantity", "settle_pl", "fee", "tax"))
            margin = loop.margin()
            ctx.say(
                f"   flat; realised {margin['realised_pl']}, fees {margin['fee']}, tax {margin['tax']}, "
                f"balance {margin['yesterday_balance']} -> {margin['today_balance']}"
            )
