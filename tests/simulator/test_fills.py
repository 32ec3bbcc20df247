"""Orders fill against the simulated market: through the package's HTTP functions, the account
queries and the bus, as a trading program sees them."""

from __future__ import annotations

import io
import itertools
import queue
import re
from decimal import Decimal
from typing import Any

import msgpack
import pytest

pytest.importorskip("taloma.backend.http.client", reason="the native Client is not built")
pytest.importorskip("taloma.backend.solace.ladder", reason="the market-data modules are not built")

import taloma.backend.http.futureoption.order as fo
from support import eventually
from support.fills import MULTIPLIER, Trader, costs, recompute, users
from taloma.constant import Action, FuturesPriceType, OrderType
from taloma.feed import Feed, connect_client
from taloma.simulator import BrokerSimulator
from taloma.simulator.bus import mosquitto_binary

try:
    mosquitto_binary()
except FileNotFoundError:
    pytest.skip("mosquitto is not installed", allow_module_level=True)

USERS = users(40)
_fresh = itertools.count()
LMT, MKT = FuturesPriceType.LMT, FuturesPriceType.MKT


@pytest.fixture(scope="module")
def still():
    """A market whose books change only by our orders (its own clock all but stands still)."""
    with BrokerSimulator(users=USERS, seed=16, market=True, bus="auto", speed=1e-6, catalogue_stocks=200) as sim:
        yield sim


@pytest.fixture
def trader(still) -> Trader:
    """A trader with a futures account of its own."""
    return Trader(still, *USERS[next(_fresh)])


def code_of(sim: BrokerSimulator, kind: str) -> str:
    return next(c for c in sim.market.codes() if sim.market.instrument(c).kind == kind)


def fills_of(entry: dict[str, Any]) -> list[tuple[Decimal, int]]:
    return [(Decimal(f["price"]), f["quantity"]) for f in entry["st_fills"]]


# ---- matching ------------------------------------------------------------------------------

# order type, price type, book levels the limit reaches beyond the touch (None: all, a market
# order), lots asked beyond what those levels hold, and what the order comes to
BOOK_CASES = [
    ("ROD", LMT, 0, 0, "0002"),
    ("ROD", LMT, 0, 2, "0001"),  # the rest works at the limit
    ("IOC", LMT, 0, 2, "0003"),
    ("FOK", LMT, 0, 2, "0004"),
    ("FOK", LMT, 1, 0, "0002"),
    ("IOC", MKT, None, 3, "0003"),
    ("ROD", MKT, None, 3, "0003"),  # a market order never rests
    ("FOK", MKT, None, 3, "0004"),
]


@pytest.mark.parametrize("action", [Action.Buy, Action.Sell])
@pytest.mark.parametrize("order_type, price_type, reach, extra, code", BOOK_CASES)
def test_an_order_takes_what_the_book_shows_and_no_more(
    still, trader, action, order_type, price_type, reach, extra, code
) -> None:
    contract = code_of(still, "future")
    book = still.market.snapshot(contract).book
    levels = book.asks if action == Action.Buy else book.bids
    taken = levels if reach is None else levels[: reach + 1]
    available = sum(level.volume for level in taken)
    limit = 0 if price_type == MKT else taken[-1].price
    trade, reply = trader.place(contract, action, available + extra, limit, price_type, OrderType(order_type))
    trade, entry = trader.refresh(trade)

    whole = not (order_type == "FOK" and extra)
    assert fills_of(entry) == ([(level.price, level.volume) for level in taken] if whole else [])
    assert trade.status.deal_quantity == (available if whole else 0)
    rests = order_type == "ROD" and price_type == LMT
    assert trade.status.cancel_quantity == (0 if rests else available + extra - trade.status.deal_quantity)
    assert reply["result"]["quantity"] == (extra if rests else 0)  # what is left working
    assert entry["st_code"] == code
    if whole:  # the levels it took are gone from the book
        after = still.market.snapshot(contract).book
        assert (after.best_ask > limit if action == Action.Buy else after.best_bid < limit) or price_type == MKT
    if rests and extra:  # the rest would take the book's next offers at its price
        assert fo.cancel_futopt_order(trade, "CA", trader.client)["result"]["quantity"] == 0


@pytest.mark.parametrize("code", ["TXFZ9", "ZZZA4", "ZZZ17000A4"])
def test_a_contract_the_exchange_neither_lists_nor_trades_is_refused(still, trader, code) -> None:
    _, reply = trader.place(code, Action.Buy, 2, 100, MKT, OrderType.IOC)
    assert reply["success"] == "False" and f"no contract {code!r}" in reply["msg"]
    assert code not in still.market


@pytest.mark.parametrize("code", ["TXO23000L6", "TXFL0"])
def test_a_code_outside_the_catalogue_fills_at_its_products_size(still, trader, code) -> None:
    still.market.add(code)
    ask = still.market.snapshot(code).book.asks[0]
    trade, _ = trader.place(code, Action.Buy, 1, ask.price, LMT, OrderType.IOC)
    assert fills_of(trader.refresh(trade)[1]) == [(ask.price, 1)]
    [row] = trader.positions()
    assert (row["code"], row["quantity"]) == (code, "1")
    assert still.state.options["matcher"].fills[-1].multiplier == MULTIPLIER[code[:3]]


@pytest.mark.parametrize("amend", [False, True])
@pytest.mark.parametrize(
    "where, text",
    [("above", "outside today's limits"), ("below", "outside today's limits"), ("between", "not on the tick ladder")],
)
def test_prices_outside_the_limits_or_off_the_ladder_are_refused(still, trader, amend, where, text) -> None:
    code = code_of(still, "future")
    instrument = still.market.instrument(code)
    low, high = instrument.limits
    ladder = instrument.ladder
    price = {"above": ladder.up(high), "below": ladder.down(low), "between": low + ladder.size(low) / 2}[where]
    trade, reply = trader.place(code, Action.Buy, 1, low if amend else price)
    if amend:
        reply = fo.update_futopt_order_price(trade, "CA", trader.client, float(price))
        assert trader.refresh(trade)[1]["st_chg_price1"] == 0
    assert reply["success"] == "False" and text in reply["msg"], reply


def test_a_limit_fills_at_the_market_when_the_market_is_better(still, trader) -> None:
    contract = code_of(still, "option")
    ask = still.market.snapshot(contract).book.asks[0]
    ladder = still.market.instrument(contract).ladder
    trade, _ = trader.place(contract, Action.Buy, 1, ladder.up(ask.price, 3))
    assert fills_of(trader.refresh(trade)[1]) == [(ask.price, 1)]


def test_a_far_limit_rests_and_changes_apply_to_what_is_left(still, trader) -> None:
    contract = code_of(still, "future")
    book = still.market.snapshot(contract).book
    trade, _ = trader.place(contract, Action.Buy, 3, book.best_bid - 20)
    trade, entry = trader.refresh(trade)
    assert (entry["st_code"], trade.status.deal_quantity, trade.status.cancel_quantity) == ("0000", 0, 0)

    assert fo.update_futopt_order_qty(trade, "CA", trader.client, 1)["success"] == "True"
    reach = book.asks[-1].price
    reply = fo.update_futopt_order_price(trade, "CA", trader.client, float(reach))
    assert reply["success"] == "True" and reply["result"]["quantity"] == 0
    trade, entry = trader.refresh(trade)
    assert (trade.status.deal_quantity, trade.status.cancel_quantity, entry["st_code"]) == (2, 1, "0003")
    assert all(price <= reach for price, _ in fills_of(entry))
    assert "no quantity left" in fo.cancel_futopt_order(trade, "CA", trader.client)["msg"]


def test_resting_orders_fill_when_the_market_comes_to_them() -> None:
    with BrokerSimulator(users=USERS[:1], seed=18, market=True, speed=100.0, catalogue_stocks=200) as sim:
        trader = Trader(sim, *USERS[0])
        contract = code_of(sim, "future")
        ladder = sim.market.instrument(contract).ladder
        book = sim.market.snapshot(contract).book
        buy, _ = trader.place(contract, Action.Buy, 2, ladder.down(book.best_ask))
        sell, _ = trader.place(contract, Action.Sell, 2, ladder.up(book.best_bid))
        for trade, worse in ((buy, Decimal.__gt__), (sell, Decimal.__lt__)):
            entry = eventually(lambda t=trade: (e := trader.refresh(t)[1])["st_ord_match_qty"] == 2 and e)
            assert entry["st_code"] == "0002" and not any(
                worse(p, Decimal(str(entry["st_price1"]))) for p, _ in fills_of(entry)
            )


def test_a_market_trade_is_shared_best_limit_first_then_first_come(still, trader) -> None:
    from taloma.simulator.market import MarketEvent
    from taloma.simulator.market import Trade as Print

    code = "MXFL0"  # a contract of its own: no other test's orders rest on it
    still.market.add(code)
    snapshot = still.market.snapshot(code)
    bid = snapshot.book.best_bid
    # Arrival order A, B, C, D; B and C bid a point more than A and D.
    orders = [trader.place(code, Action.Buy, 1, bid - gap)[0] for gap in (30, 20, 20, 30)]
    matcher = still.state.options["matcher"]

    def sold(price: Decimal, volume: int) -> list[int]:
        matcher.on_event(MarketEvent("tick", code, False, snapshot, Print(price, volume, "S"), "market"))
        return [trader.refresh(order)[1]["st_ord_match_qty"] for order in orders]

    assert sold(bid - 20, 1) == [0, 1, 0, 0]
    assert sold(bid - 20, 5) == [0, 1, 1, 0]  # a trade above A's and D's limits leaves them
    assert sold(bid - 30, 1) == [1, 1, 1, 0]
    assert sold(bid - 31, 9) == [1, 1, 1, 1]
    assert all(Decimal(f["price"]) <= bid - 20 for o in orders for f in trader.refresh(o)[1]["st_fills"])


# ---- the account's view ----------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["future", "option"])
def test_positions_and_profit_follow_the_fills(still, trader, kind) -> None:
    contract = code_of(still, kind)
    assert trader.positions() == [] and trader.settled() == []  # a fresh account starts flat
    assert (trader.margin()["fee"], trader.margin()["unreal_pl"]) == ("0", "0")

    road = [(Action.Buy, 3), (Action.Sell, 1)]
    seqnos = [trader.place(contract, a, q, 0, MKT, OrderType.IOC)[0].order.seqno for a, q in road]

    def fills() -> list[tuple[str, str, Decimal, int]]:
        entries = [e for e in trader.entries().values() if e["st_seqno"] in seqnos]
        return [
            (contract, e["st_ps"], Decimal(f["price"]), f["quantity"])
            for e, f in sorted(((e, f) for e in entries for f in e["st_fills"]), key=lambda x: x[1]["no"])
        ]

    last = {contract: still.market.snapshot(contract).last}
    position, realised, unreal = recompute(fills(), last)[contract]
    [row] = trader.positions()
    assert (row["code"], row["action"], row["quantity"]) == (contract, "B", str(position)) and position == 2
    assert Decimal(row["last_price"]) == last[contract] and Decimal(row["unreal_pl"]) == unreal
    bought = [p for _, a, p, q in fills() if a == "B" for _ in range(q)]
    assert Decimal(row["avg_price"]) == (sum(bought[1:]) / 2).quantize(Decimal("0.01"))
    [settled] = trader.settled()
    assert (settled["quantity"], Decimal(settled["settle_pl"])) == ("1", realised)
    fee, tax = costs(fills())
    margin = trader.margin()
    assert (Decimal(margin["fee"]), Decimal(margin["tax"]), Decimal(margin["unreal_pl"])) == (fee, tax, unreal)

    seqnos.append(trader.place(contract, Action.Sell, 2, 0, MKT, OrderType.IOC)[0].order.seqno)
    assert trader.positions() == []
    total = sum(Decimal(r["settle_pl"]) for r in trader.settled())
    assert total == recompute(fills(), last)[contract][1]
    assert Decimal(trader.margin()["fee"]) == costs(fills())[0]


# ---- fill events on the bus --------------------------------------------------------------------


def test_each_account_hears_its_own_fills_once(still) -> None:
    a, b = (Trader(still, *USERS[next(_fresh)]) for _ in range(2))
    contract = code_of(still, "future")
    heard_a: queue.Queue[dict[str, Any]] = queue.Queue()
    heard_b: queue.Queue[dict[str, Any]] = queue.Queue()
    with Feed(still.bus_url) as feed:
        feed.subscribe_fills(a.account, heard_a.put)
        feed.subscribe_fills(b.account, heard_b.put)
        trade, _ = a.place(
            contract, Action.Buy, 1 + still.market.snapshot(contract).book.asks[0].volume, 0, MKT, OrderType.IOC
        )
        entry = a.refresh(trade)[1]
        expected = [
            (entry["st_ordno"], entry["st_seqno"], contract, Action.Buy, price, lots) for price, lots in fills_of(entry)
        ]
        got = [heard_a.get(timeout=10) for _ in expected]
        assert [(e["ordno"], e["seqno"], e["code"], e["action"], e["price"], e["quantity"]) for e in got] == expected
        assert [e["seq"] for e in got] == list(range(1, len(got) + 1))  # numbered per account
        assert got[-1]["deal_quantity"] == trade.order.quantity and got[-1]["status"] == "Filled"

        feed.unsubscribe_fills(a.account)
        a.place(contract, Action.Sell, 1, 0, MKT, OrderType.IOC)
        trade, _ = b.place(contract, Action.Sell, 1, 0, MKT, OrderType.IOC)
        # One publisher, one subscriber: b's fill comes after a's would have.
        heard = heard_b.get(timeout=10)
        assert (heard["seqno"], heard["seq"]) == (trade.order.seqno, 1)  # b's own count, whatever a's is
        assert heard_a.empty() and heard_b.empty()


@pytest.mark.parametrize("payload", [b"\xc1 not msgpack", msgpack.packb({"ordno": "k0001", "seqno": "000001"})])
def test_a_malformed_fill_is_refused_and_the_feed_goes_on(still, trader, payload) -> None:
    heard: queue.Queue[dict[str, Any]] = queue.Queue()
    with Feed(still.bus_url) as feed:
        topic = feed.subscribe_fills(trader.account, heard.put)
        sender = connect_client(still.bus_url, "test-fills")
        try:
            sender.publish(topic, payload, qos=1).wait_for_publish(5)
        finally:
            sender.disconnect()
            sender.loop_stop()
        contract = code_of(still, "future")
        trade, _ = trader.place(contract, Action.Buy, 1, 0, MKT, OrderType.IOC)
        assert heard.get(timeout=10)["seqno"] == trade.order.seqno
        assert feed.stats["refused"] == 1 and heard.empty()


def test_the_demo_strategy_buys_hears_its_fills_shows_its_profit_and_flattens() -> None:
    from taloma.demo import Demo
    from taloma.demo import fills as section

    out = io.StringIO()
    ctx = Demo(out=out)
    section.run(ctx)
    report = out.getvalue()
    assert ctx.failures == [] and ctx.passed == 4, report
    bought = re.findall(r"fill \d+: TXF\w+ Buy (\d) @ \d+ .*\((PartFilled|Filled)\)", report)
    sold = re.findall(r"fill \d+: TXF\w+ Sell (\d) @ \d+ ", report)
    assert sum(int(q) for q, _ in bought) == sum(int(q) for q in sold) == section.LOTS and bought[-1][1] == "Filled"
    assert re.search(r"code=TXF\w+ +action=B +quantity=2 +avg_price=[\d.]+ +last_price=[\d.]+ +unreal_pl=-?\d+", report)
    assert re.search(r"flat; realised -?\d+, fees 200, tax \d+", report)
