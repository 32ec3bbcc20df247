"""Matching in the simulated broker: what it adds to an order's round trip, and what resting
orders cost the market thread.

1. Orders placed one at a time through the package's HTTP functions: marketable IOC orders that
   fill against the market, against limit orders resting in a broker without a market (the
   same request, converted the same way). The ratio of the two rates must stay above BAR.
2. The market listener's time per market event with RESTING orders working on the contract
   (none of them marketable, so each event only looks), against an event with none. Resting
   orders are indexed by limit, so the cost must stay flat: with the most of them it stays
   within FLAT_BAR times the cost with the fewest.

    python bench/bench_fills.py [orders]
"""

from __future__ import annotations

import statistics
import sys
import time

import taloma.backend.http as settings
import taloma.backend.http.futureoption.order as fo
from taloma.backend.http.client import Client
from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType
from taloma.order import Order
from taloma.simulator import BrokerSimulator

BAR = 0.6
RESTING = (100, 1_000, 10_000)
FLAT_BAR = 2.0
EVENT_BAR_MS = 5.0
USER = ("A123456789", "bench-fills")


def client_of(sim: BrokerSimulator) -> Client:
    settings.api_url_simulation = sim.base_url
    client = Client(simulation=True, proxies=None)
    client.login(*USER)
    assert client._token
    return client


def place(client: Client, contract, n: int, price_type, order_type, price, action=None) -> None:
    order = Order(
        action=action or (Action.Buy, Action.Sell)[n % 2],
        price_type=price_type,
        order_type=order_type,
        price=price,
        quantity=1,
        octype=FuturesOCType.Auto,
        account=client.default_futopt_account,
    )
    reply = fo.place_futopt_order(contract, order, "CA", client)
    assert reply["success"] == "True", reply


def rate(client: Client, contract, orders: int, **how) -> float:
    for n in range(20):  # warm-up
        place(client, contract, n, **how)
    start = time.perf_counter()
    for n in range(orders):
        place(client, contract, n, **how)
    return orders / (time.perf_counter() - start)


def main() -> int:
    orders = int(sys.argv[1]) if len(sys.argv) > 1 else 400
    common = dict(users=[USER], seed=3, catalogue_stocks=200)
    with BrokerSimulator(market=True, speed=1e-6, **common) as market, BrokerSimulator(**common) as plain:
        code = market.market.codes()[0]
        contract = market.market.instrument(code).contract
        filled = rate(
            client_of(market), contract, orders, price_type=FuturesPriceType.MKT, order_type=OrderType.IOC, price=0
        )
        rested = rate(
            client_of(plain), contract, orders, price_type=FuturesPriceType.LMT, order_type=OrderType.ROD, price=17000
        )
        ratio = filled / rested
        print(
            f"orders filled against the market {filled:8.0f}/s, resting without a market {rested:8.0f}/s: "
            f"ratio {ratio:.2f} (bar {BAR})"
        )

        matcher = market.state.options["matcher"]
        book = market.market.snapshot(code).book

        def per_event() -> float:
            """Median time of the listener on one event of the contract, best of three runs, in ms."""
            runs = []
            for _ in range(3):
                times: list[float] = []
                while len(times) < 300:
                    # The thread idles at this speed: these events reach no other listener.
                    for event in market.market.step():
                        if event.code == code:
                            start = time.perf_counter()
                            matcher.on_event(event)
                            times.append(time.perf_counter() - start)
                runs.append(statistics.median(times) * 1e3)
            return min(runs)

        idle = per_event()
        client = client_of(market)
        cost: dict[int, float] = {}
        placed = 0
        for count in RESTING:
            for n in range(placed, count):
                buy = n % 2 == 0
                place(
                    client,
                    contract,
                    n,
                    FuturesPriceType.LMT,
                    OrderType.ROD,
                    int(book.best_bid) - 300 if buy else int(book.best_ask) + 300,
                    Action.Buy if buy else Action.Sell,
                )
            placed = count
            cost[count] = per_event()
            print(
                f"market listener per event with {count:6,d} resting orders: {cost[count] * 1e3:7.2f} us "
                f"({len(matcher._resting):,d} working)"
            )
        busy = cost[RESTING[-1]]
        flat = busy / cost[RESTING[0]]
        print(
            f"market listener per event: {idle * 1e3:.2f} us with no resting order; {RESTING[-1]:,d} against "
            f"{RESTING[0]:,d} resting: ratio {flat:.2f} (bar {FLAT_BAR}); {busy:.3f} ms (bar {EVENT_BAR_MS} ms)"
        )
    ok = ratio >= BAR and busy <= EVENT_BAR_MS and flat <= FLAT_BAR
    print("ok" if ok else "MISSED A BAR")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
