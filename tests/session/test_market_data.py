"""The session's market data on the simulated market's bus: callbacks, the last record, async streams."""

from __future__ import annotations

import asyncio
import queue
from typing import Any

import msgpack
import pytest

from support import eventually
from support.marketdata import tick_fop
from taloma.backend.solace.ladder import LadderFOPv1, LadderSTKv1
from taloma.backend.solace.quote import QuoteSTKv1, contract2topic
from taloma.backend.solace.tick import TickFOPv1, TickSTKv1
from taloma.constant import QuoteType, QuoteVersion
from taloma.contracts import Contract, Future
from taloma.errors import TalomaError
from taloma.feed import connect_client
from taloma.session_market import MarketData
from taloma.simulator import BrokerSimulator

QUIET = Future(code="TXFZ9", exchange="TAIFEX")  # a future the market does not trade: the test publishes its ticks


@pytest.fixture(scope="module")
def market_sim():
    with BrokerSimulator(market=True, bus="auto", speed=30.0, seed=4, catalogue_stocks=200) as sim:
        yield sim


def _resolver(sim: BrokerSimulator) -> Any:
    def resolve(contract: Any) -> Contract:
        return contract if isinstance(contract, Contract) else sim.market.instrument(contract).contract

    return resolve


def _code(sim: BrokerSimulator, kind: str) -> str:
    return next(c for c in sim.market.codes() if sim.market.instrument(c).kind == kind)


@pytest.fixture
def market(market_sim):
    data = MarketData(market_sim.bus_url, _resolver(market_sim))
    yield data
    data.close()


@pytest.mark.parametrize(
    "kind,quote_type,record_class",
    [
        ("future", "TICK", TickFOPv1),
        ("future", QuoteType.Ladder, LadderFOPv1),
        ("stock", "Tick", TickSTKv1),
        ("stock", "ladder", LadderSTKv1),
        ("stock", "quote", QuoteSTKv1),
    ],
)
def test_subscribe_delivers_records_and_keeps_the_last(market, market_sim, kind, quote_type, record_class) -> None:
    code = _code(market_sim, kind)
    inbox: queue.Queue[Any] = queue.Queue()
    market.subscribe(code, inbox.put, quote_type)
    market.subscribe(code, inbox.put, quote_type)  # the same callback again: still once per record
    first = inbox.get(timeout=30)
    assert type(first) is record_class and first.code == code
    assert isinstance(market.last(code, quote_type), record_class)
    assert market.last(code, "ladder" if quote_type == "quote" else "quote") is None
    market.unsubscribe(code, quote_type)
    assert market.subscriptions == [] and market.feed.topics == []
    assert market.stats["delivered"] >= 1 and market.stats["dropped"] == 0


async def _three(market: MarketData, code: str, leave: str) -> list[Any]:
    taken: list[Any] = []
    if leave == "async with":
        async with market.stream(code, maxsize=100) as stream:
            async for record in stream:
                taken.append(record)
                if len(taken) == 3:
                    break
    elif leave == "aclose":
        stream = market.stream(code, maxsize=100)
        while len(taken) < 3:
            taken.append(await stream.__anext__())
        await stream.aclose()
        assert [r async for r in stream] == []
    else:
        async for record in market.stream(code, maxsize=100):
            taken.append(record)
            if len(taken) == 3:
                break
    return taken


@pytest.mark.parametrize("leave", ["break", "aclose", "async with"])
def test_stream_ends_its_subscription_when_left(market, market_sim, leave) -> None:
    code = _code(market_sim, "future")
    taken = asyncio.run(asyncio.wait_for(_three(market, code, leave), 60))
    assert [type(r) for r in taken] == [TickFOPv1] * 3 and {r.code for r in taken} == {code}
    assert market.subscriptions == [] and market.feed.topics == []


def _live(market: MarketData, publish: Any) -> None:
    """Publishes probe ticks of QUIET until they arrive, then waits for the last one: the bus
    delivers the subscription from now on, and no probe is left on the way."""
    inbox: queue.Queue[Any] = queue.Queue()
    market.subscribe(QUIET, inbox.put)
    probes = 0

    def arrived() -> Any:
        nonlocal probes
        probes += 1
        publish(tick_fop(code=QUIET.code, volume=-probes))
        try:
            return inbox.get(timeout=0.2)
        except queue.Empty:
            return None

    probe = eventually(arrived)
    while probe.volume != -probes:
        probe = inbox.get(timeout=30)


def test_slow_consumer_loses_the_oldest_records(market_sim) -> None:
    market = MarketData(market_sim.bus_url, lambda contract: contract)
    maxsize, sent = 5, 8
    publisher = connect_client(market_sim.bus_url, "test-publisher")
    topic = contract2topic(QUIET, QuoteType.Tick, False, QuoteVersion.v1).replace("*", "7")

    def publish(content: dict[str, Any]) -> None:
        publisher.publish(topic, msgpack.packb(content), qos=1).wait_for_publish(10)

    async def consume() -> tuple[list[int], Any]:
        _live(market, publish)
        stream = market.stream(QUIET, maxsize=maxsize)
        for volume in range(sent):
            publish(tick_fop(code=QUIET.code, volume=volume))
        eventually(lambda: market.stats["dropped"] == sent - maxsize)  # all there before any is taken
        kept = [(await stream.__anext__()).volume for _ in range(maxsize)]
        waiting = asyncio.ensure_future(stream.__anext__())
        await asyncio.sleep(0)  # the consumer now waits for a record
        market.close()
        with pytest.raises(StopAsyncIteration):
            await asyncio.wait_for(waiting, 30)
        return kept, stream

    try:
        kept, stream = asyncio.run(consume())
    finally:
        publisher.disconnect()
        publisher.loop_stop()
        market.close()
    assert kept == list(range(sent - maxsize, sent))
    assert stream.dropped == market.stats["dropped"] == sent - maxsize


@pytest.mark.parametrize(
    "use",
    [
        lambda m: m.subscribe(QUIET, print),
        lambda m: m.stream(QUIET),
        lambda m: m.feed,
    ],
)
def test_no_bus_is_a_clear_error(use) -> None:
    market = MarketData(None, lambda contract: contract)
    with pytest.raises(TalomaError, match="TALOMA_BUS_URL"):
        use(market)
    assert market.last(QUIET) is None and market.stats["dropped"] == 0


@pytest.mark.parametrize(
    "use,error,named",
    [
        (lambda m: m.subscribe(QUIET, print, "depth"), ValueError, "'tick', 'ladder', 'quote'"),
        (lambda m: m.subscribe(QUIET, print, 3), TypeError, "quote_type"),
        (lambda m: m.subscribe(QUIET, None), TypeError, "callback"),
        (lambda m: m.subscribe(QUIET, print, odd_lot=True), ValueError, "odd_lot"),
        (lambda m: m.subscribe(QUIET, print, "quote"), ValueError, "quote"),
        (lambda m: m.stream(QUIET, maxsize=0), ValueError, "maxsize"),
        (lambda m: m.last(QUIET, "book"), ValueError, "quote_type"),
    ],
)
def test_bad_arguments_are_named(use, error, named) -> None:
    market = MarketData("mqtt://127.0.0.1:9", lambda contract: contract)  # never reached: refused before
    with pytest.raises(error, match=named):
        use(market)
    assert market._feed is None
