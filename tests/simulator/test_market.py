"""The simulated market: tick-size ladders, books and trades that agree, contracts joining on orders."""

from __future__ import annotations

import datetime as dt
from decimal import Decimal

import pytest

from support import eventually
from support.broker import PASSWORD, PERSON_ID, Broker
from taloma.simulator import BrokerSimulator
from taloma.simulator.catalogue import Catalogue
from taloma.simulator.market import (
    INDEX_FUTURE_LADDER,
    INDEX_OPTION_LADDER,
    STOCK_LADDER,
    Market,
    MarketClock,
    MarketEvent,
)

START = dt.datetime(2026, 12, 8, 9, 0)


@pytest.fixture(scope="module")
def catalogue() -> Catalogue:
    return Catalogue(5, START.date(), stocks=200)


@pytest.fixture
def market(catalogue: Catalogue) -> Market:
    return Market(catalogue, seed=9, start=START)


@pytest.mark.parametrize(
    "ladder, price, up, down",
    [
        (STOCK_LADDER, "9.99", "10.00", "9.98"),
        (STOCK_LADDER, "10.00", "10.05", "9.99"),
        (STOCK_LADDER, "50.00", "50.10", "49.95"),
        (STOCK_LADDER, "100.0", "100.50", "99.90"),
        (STOCK_LADDER, "500", "501.00", "499.50"),
        (STOCK_LADDER, "1000", "1005.00", "999.00"),
        (INDEX_FUTURE_LADDER, "17500", "17501", "17499"),
        (INDEX_OPTION_LADDER, "10", "10.5", "9.9"),
        (INDEX_OPTION_LADDER, "50", "51.0", "49.5"),
        (INDEX_OPTION_LADDER, "500", "505.0", "499.0"),
        (INDEX_OPTION_LADDER, "1000", "1010.0", "995.0"),
    ],
)
def test_the_ladders_step_across_price_bands(ladder, price, up, down) -> None:
    p = Decimal(price)
    assert (str(ladder.up(p)), str(ladder.down(p))) == (up, down)
    assert ladder.floor(Decimal(up) - Decimal("0.001")) == p and ladder.ceil(p + Decimal("0.001")) == Decimal(up)


def test_the_default_market_holds_a_future_near_the_money_options_and_stocks_of_several_bands(market) -> None:
    kinds = [market.instrument(code).kind for code in market.codes()]
    assert kinds.count("future") == 1 and kinds.count("option") == 6 and kinds.count("stock") >= 2
    future = next(market.snapshot(c) for c in market.codes() if market.instrument(c).kind == "future")
    for code in market.codes():
        instrument = market.instrument(code)
        if instrument.kind == "option":
            assert abs(instrument.strike - future.instrument.reference) <= 100
    sizes = {
        market.instrument(c).ladder.size(market.instrument(c).reference)
        for c in market.codes()
        if market.instrument(c).kind == "stock"
    }
    assert len(sizes) >= 2
    assert market.trading_day == START.date()


def _check_book(event: MarketEvent) -> None:
    instrument = event.snapshot.instrument
    book = event.snapshot.odd_book if event.odd else event.snapshot.book
    bids, asks = [lv.price for lv in book.bids], [lv.price for lv in book.asks]
    assert bids == sorted(bids, reverse=True) and len(set(bids)) == len(bids)
    assert asks == sorted(asks) and len(set(asks)) == len(asks)
    assert not (bids and asks) or bids[0] < asks[0]
    for price in bids + asks:
        assert instrument.ladder.on_grid(price), price
        assert instrument.limit_down <= price <= instrument.limit_up
    assert all(lv.volume > 0 for lv in book.bids + book.asks)


def test_ticks_trade_at_the_touch_of_the_book_they_came_from_and_totals_accumulate(market) -> None:
    books = {
        (c, odd): (s.odd_book if odd else s.book)
        for c, s in market.snapshots().items()
        for odd in (False, True)
        if not odd or s.odd_book
    }
    totals: dict[tuple[str, bool], int] = {}
    ticks = 0
    for _ in range(3000):
        for event in market.step():
            _check_book(event)
            key = (event.code, event.odd)
            if event.kind == "tick":
                ticks += 1
                touch = books[key].best_ask if event.trade.aggressor == "B" else books[key].best_bid
                assert event.trade.price == touch
                (tick,) = [m.content for m in event.messages if m.quote_type == "tick"]
                assert tick["vol_sum"] == totals.get(key, 0) + tick["volume"] and tick["volume"] > 0
                assert Decimal(tick["low"]) <= Decimal(tick["close"]) <= Decimal(tick["high"])
                totals[key] = tick["vol_sum"]
            books[key] = event.snapshot.odd_book if event.odd else event.snapshot.book
    assert ticks > 300 and {odd for _, odd in totals} == {False, True}


def test_an_order_takes_liquidity_level_by_level_up_to_its_limit(market) -> None:
    code = market.codes()[0]
    book = market.snapshot(code).book
    limit = book.asks[1].price
    wanted = book.asks[0].volume + book.asks[1].volume + 5
    fills = market.trade(code, "Buy", wanted, limit=limit)
    assert [(f.price, f.volume) for f in fills] == [(lv.price, lv.volume) for lv in book.asks[:2]]
    after = market.snapshot(code)
    assert after.book.best_ask > limit and after.last == limit
    assert after.session.volume == wanted - 5
    with pytest.raises(ValueError, match="side"):
        market.trade(code, "X", 1)


def test_listeners_hear_every_event_on_the_market_thread_and_a_raising_one_stays(market, caplog) -> None:
    import threading

    heard: list[tuple[str, str]] = []
    done = threading.Event()

    def broken(event: MarketEvent) -> None:
        raise RuntimeError("listener bug")

    def listen(event: MarketEvent) -> None:
        heard.append((event.kind, threading.current_thread().name))
        if sum(kind == "tick" for kind, _ in heard) >= 3:
            done.set()

    market.add_listener(broken)
    market.add_listener(listen)
    code = market.codes()[0]
    with market:
        market.trade(code, "S", 1)
        market.trade(code, "S", 1)
        market.trade(code, "S", 1)
        assert done.wait(10)
    assert {thread for _, thread in heard} == {"taloma-market"}
    assert "listener bug" in caplog.text


def test_a_contract_joins_the_market_when_it_receives_an_order(catalogue) -> None:
    with BrokerSimulator(
        users=[(PERSON_ID, PASSWORD)], seed=5, market=True, contracts=[], catalogue_stocks=200, clock=lambda: START
    ) as sim:
        code = sim.market.catalogue.futures()["MXF"][0]["code"]
        assert sim.market.codes() == []
        broker = Broker(sim)
        assert broker.place(stock_id=code)["success"] == "True"
        for unknown in ("NOSUCH", "ZZZA4", "TXO17000Z4"):
            assert unknown in broker.place(stock_id=unknown)["msg"]
        assert sim.market.codes() == [code]
        assert sim.market.snapshot(code).book.bids


@pytest.mark.parametrize(
    "code, kind, strike, right, month",
    [
        ("9999", "stock", 0, "", ""),
        ("TXFC7", "future", 0, "", "202703"),
        ("TXO23000L6", "option", 23000, "C", "202612"),
        ("TXO2250000X6", "option", 22500, "P", "202612"),
    ],
)
def test_a_well_formed_code_outside_the_generated_catalogue_still_trades(
    catalogue, code, kind, strike, right, month
) -> None:
    market = Market(catalogue, contracts=[code], seed=1, start=START)
    instrument = market.instrument(code)
    assert (instrument.kind, instrument.strike, instrument.right, instrument.delivery_month) == (
        kind,
        strike,
        right,
        month,
    )
    book = market.snapshot(code).book
    assert book.bids and book.asks and instrument.ladder.on_grid(book.best_bid)


@pytest.mark.parametrize("code", ["NOSUCH", "TXF", "12", "ZZZA4", "ZZZ17000A4"])
def test_an_unknown_contract_is_refused_by_name(catalogue, code) -> None:
    with pytest.raises(KeyError, match=code):
        Market(catalogue, contracts=[code])


@pytest.mark.parametrize(
    "code, underlying, multiplier",
    [("MXFL0", "#001", 50), ("TXFL0", "#001", 200), ("EXFA7", "#013", 4000), ("TXO23000L6", "#001", 50)],
)
def test_a_code_outside_the_catalogue_takes_its_products_underlying_and_size(
    catalogue, code, underlying, multiplier
) -> None:
    instrument = Market(catalogue, contracts=[code], seed=1, start=START).instrument(code)
    assert (instrument.underlying, instrument.multiplier, instrument.contract.multiplier) == (
        underlying,
        multiplier,
        multiplier,
    )


@pytest.mark.parametrize("speed", [1e11, float("inf"), float("nan"), 0, -1.0, True, "10"])
def test_a_speed_out_of_range_is_refused(catalogue, speed) -> None:
    with pytest.raises(ValueError, match="speed"):
        Market(catalogue, contracts=[], speed=speed)


def test_the_clock_stops_at_the_calendars_end() -> None:
    assert MarketClock(10_000, start=dt.datetime(9999, 12, 31)).at(1e12) == dt.datetime.max


def test_a_market_thread_that_fails_is_logged_and_orders_say_it_stopped(caplog) -> None:
    sim = BrokerSimulator(
        users=[(PERSON_ID, PASSWORD)], seed=5, market=True, speed=1000.0, catalogue_stocks=200, clock=lambda: START
    )

    def broken(*args: object) -> None:
        raise ArithmeticError("the random walk fell over")

    sim.market._random_event = broken
    with sim:
        eventually(lambda: sim.market.failure)
        reply = Broker(sim).place(stock_id=sim.market.codes()[0])
    assert reply["msg"] == "market stopped: ArithmeticError: the random walk fell over"
    assert "the market thread stopped" in caplog.text
