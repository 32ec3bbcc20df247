"""taloma.feed.Feed on a real Mosquitto broker: records of each kind, bad payloads, broken callbacks,
a broker that restarts, a bus that cannot be reached, and closing from anywhere."""

from __future__ import annotations

import logging
import queue
import re
import socket
import threading
import time
from pathlib import Path
from typing import Any, Callable

import msgpack
import pytest

from taloma.backend.solace.ladder import LadderFOPv1, LadderSTKv1
from taloma.backend.solace.quote import QuoteSTKv1, contract2topic
from taloma.backend.solace.tick import TickFOPv1, TickSTKv1
from taloma.constant import QuoteType, QuoteVersion
from taloma.contracts import Future
from taloma.feed import Feed, connect_client
from taloma.simulator import BrokerSimulator
from taloma.simulator.bus import Mosquitto, free_port

from support import eventually
from support.sim_process import simulator

FUTURE = Future(code="TXFL6", exchange="TAIFEX")
GOOD_TICK = {
    "code": "TXFL6", "date": "2026/12/08", "time": "09:00:01.250431", "open": "23150", "target_kind_price": "23148",
    "trade_bid_vol_sum": 8, "trade_ask_vol_sum": 7, "avg_price": "23151.37", "close": "23152", "high": "23160",
    "low": "23141", "amount": "23152", "amount_sum": "3745", "volume": 1, "vol_sum": 16, "tick_type": 1,
    "diff_type": 2, "diff_price": "12", "diff_rate": "0.05", "simtrade": 0,
}
TICK_TOPIC = contract2topic(FUTURE, QuoteType.Tick, False, QuoteVersion.v1)
WIRE_TOPIC = TICK_TOPIC.replace("*", "7")


@pytest.fixture(scope="module")
def bus():
    with Mosquitto() as broker:
        yield broker


@pytest.fixture
def publisher(bus):
    client = connect_client(bus.url, "test-publisher")
    yield lambda payload, topic=WIRE_TOPIC: client.publish(topic, payload, qos=1).wait_for_publish(10)
    client.disconnect()
    client.loop_stop()


class Inbox:
    """A callback that queues what it is given."""

    def __init__(self) -> None:
        self.items: queue.Queue[tuple[str, Any]] = queue.Queue()

    def __call__(self, topic: str, record: Any) -> None:
        self.items.put((topic, record))

    def get(self) -> tuple[str, Any]:
        """The next record that is not a probe of :func:`subscribed`."""
        while True:
            topic, record = self.items.get(timeout=15)
            if getattr(record, "volume", None) != PROBE["volume"]:
                return topic, record

    def settled(self) -> bool:
        """Nothing but probes (which may trail in after the subscription went live) is left."""
        try:
            while True:
                if getattr(self.items.get(timeout=0.5)[1], "volume", None) != PROBE["volume"]:
                    return False
        except queue.Empty:
            return True


PROBE = GOOD_TICK | {"volume": -1}


def subscribed(feed: Feed, publish: Callable[..., Any], inbox: Inbox) -> None:
    """Publishes probe ticks until one arrives: the subscription is live on the broker."""
    def arrived() -> bool:
        publish(msgpack.packb(PROBE))
        try:
            inbox.items.get(timeout=0.2)
            return True
        except queue.Empty:
            return False

    eventually(arrived)


# ---- the simulated market on its bus ---------------------------------------------------------


@pytest.fixture(scope="module")
def market_sim():
    with BrokerSimulator(market=True, bus="auto", speed=30.0, seed=4, catalogue_stocks=200) as sim:
        yield sim


def _instrument(sim: BrokerSimulator, kind: str) -> Any:
    return next(sim.market.instrument(c) for c in sim.market.codes() if sim.market.instrument(c).kind == kind)


KINDS = [
    ("future", QuoteType.Tick, False, TickFOPv1),
    ("future", QuoteType.Ladder, False, LadderFOPv1),
    ("option", QuoteType.Tick, False, TickFOPv1),
    ("option", QuoteType.Ladder, False, LadderFOPv1),
    ("stock", QuoteType.Tick, False, TickSTKv1),
    ("stock", QuoteType.Ladder, False, LadderSTKv1),
    ("stock", QuoteType.Tick, True, TickSTKv1),
    ("stock", QuoteType.Ladder, True, LadderSTKv1),
]


@pytest.mark.parametrize(
    "kind, quote_type, odd, record, version",
    [(*k, v) for k in KINDS for v in (QuoteVersion.v1, QuoteVersion.v0)]
    + [("stock", QuoteType.Quote, False, QuoteSTKv1, QuoteVersion.v1)],
)
def test_the_market_reaches_a_feed_as_records_of_each_kind(market_sim, kind, quote_type, odd, record,
                                                           version) -> None:
    instrument = _instrument(market_sim, kind)
    inbox = Inbox()
    with Feed(market_sim.bus_url) as feed:
        topic = feed.subscribe(instrument.contract, quote_type, inbox, version=version, intraday_odd=odd)
        assert topic == contract2topic(instrument.contract, quote_type, odd, version)
        for _ in range(2):
            got_topic, got = inbox.get()
            assert got_topic == topic and type(got) is record and got.code == instrument.code
            if hasattr(got, "intraday_odd"):
                assert got.intraday_odd == int(odd)
            if quote_type != QuoteType.Tick:
                assert got.bid_price and got.bid_price[0] < got.ask_price[0]
                assert all(instrument.ladder.on_grid(p) for p in got.bid_price + got.ask_price)
        assert feed.stats["refused"] == 0 and feed.stats["delivered"] >= 2


def test_an_order_taking_liquidity_shows_on_the_tape(market_sim) -> None:
    instrument = _instrument(market_sim, "future")
    inbox = Inbox()
    with Feed(market_sim.bus_url) as feed:
        feed.subscribe(instrument.contract, QuoteType.Tick, inbox)
        inbox.get()  # the market's own ticks flow: the subscription is live
        fills = market_sim.market.trade(instrument.code, "B", 40)
        expected = {(f.price, f.volume) for f in fills}
        seen: set[Any] = set()
        while not expected <= seen:
            tick = inbox.get()[1]
            seen.add((tick.close, tick.volume))
        assert fills and sum(f.volume for f in fills) <= 40


# ---- bad input and faults --------------------------------------------------------------------

BAD_PAYLOADS = {
    "not MessagePack": b"\xc1\xc1",
    "not a map": msgpack.packb([1, 2, 3]),
    "a missing field": msgpack.packb({k: v for k, v in GOOD_TICK.items() if k != "close"}),
    "a wrong type": msgpack.packb(GOOD_TICK | {"close": 23152}),
    "a bad decimal": msgpack.packb(GOOD_TICK | {"high": "high"}),
    "a bad date": msgpack.packb(GOOD_TICK | {"date": "yesterday"}),
    "an extra field": msgpack.packb(GOOD_TICK | {"extra": 1}),
}


def test_bad_payloads_are_refused_with_one_warning_per_topic_and_the_feed_goes_on(bus, publisher, caplog) -> None:
    caplog.set_level(logging.WARNING, logger="taloma.feed")
    inbox = Inbox()
    with Feed(bus.url) as feed:
        feed.subscribe(FUTURE, QuoteType.Tick, inbox)
        subscribed(feed, publisher, inbox)
        before = dict(feed.stats)
        for payload in BAD_PAYLOADS.values():
            publisher(payload)
        publisher(msgpack.packb(GOOD_TICK | {"volume": 99}))
        topic, tick = inbox.get()
        assert tick.volume == 99 and topic == TICK_TOPIC
        stats = feed.stats
        assert stats["refused"] - before["refused"] == len(BAD_PAYLOADS)
        assert stats["received"] - before["received"] == len(BAD_PAYLOADS) + 1
        assert stats["delivered"] - before["delivered"] == 1
    warnings = [r for r in caplog.records if r.levelno == logging.WARNING]
    assert len(warnings) == 1 and TICK_TOPIC in warnings[0].getMessage()


def test_a_raising_callback_is_logged_and_the_others_still_get_every_record(bus, publisher, caplog) -> None:
    inbox = Inbox()

    def broken(topic: str, record: Any) -> None:
        raise ValueError("strategy bug")

    with Feed(bus.url) as feed:
        feed.subscribe(FUTURE, QuoteType.Tick, broken)
        feed.subscribe(FUTURE, QuoteType.Tick, inbox)
        feed.subscribe(FUTURE, QuoteType.Tick, inbox)  # the same callback twice: delivered once
        subscribed(feed, publisher, inbox)
        for volume in (1, 2, 3):
            publisher(msgpack.packb(GOOD_TICK | {"volume": volume}))
        assert [inbox.get()[1].volume for _ in range(3)] == [1, 2, 3]
        feed.unsubscribe(FUTURE, QuoteType.Tick, callback=broken)
        assert feed.topics == [TICK_TOPIC]
    assert "strategy bug" in caplog.text and TICK_TOPIC in caplog.text
    assert inbox.settled()


def test_a_broker_restart_is_survived_without_duplicates(caplog) -> None:
    caplog.set_level(logging.WARNING, logger="taloma.feed")
    port = free_port()
    with Mosquitto(port=port) as broker:
        sender = connect_client(broker.url, "test-restart-publisher")
        inbox = Inbox()

        def publish(payload: bytes) -> Any:
            return sender.publish(WIRE_TOPIC, payload, qos=1)

        with Feed(broker.url) as feed:
            feed.subscribe(FUTURE, QuoteType.Tick, inbox)
            subscribed(feed, lambda p: publish(p).wait_for_publish(10), inbox)
            broker.stop()
            broker.start()
            # Both clients find the broker again; the feed's subscription is back.
            subscribed(feed, lambda p: publish(p), inbox)
            for volume in range(1, 51):
                publish(msgpack.packb(GOOD_TICK | {"volume": volume})).wait_for_publish(10)
            assert [inbox.get()[1].volume for _ in range(50)] == list(range(1, 51))
            assert inbox.settled()
        sender.disconnect()
        sender.loop_stop()
    assert f"lost the message bus at 127.0.0.1:{port}" in caplog.text
    assert f"reconnected to the message bus at 127.0.0.1:{port}; 1 subscriptions restored" in caplog.text


@pytest.fixture
def silent_port():
    """A port that accepts connections and never says a word."""
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen(8)
        yield server.getsockname()[1]


@pytest.mark.parametrize("kind", ["refused", "silent"])
def test_an_unreachable_bus_fails_the_feed_naming_host_and_port(kind, request) -> None:
    port = request.getfixturevalue("silent_port") if kind == "silent" else free_port()
    with pytest.raises(ConnectionError, match=re.escape(f"127.0.0.1:{port}")):
        Feed(f"mqtt://127.0.0.1:{port}", timeout=1.0)


@pytest.mark.parametrize("url", ["http://127.0.0.1:1883", "mqtt://", "127.0.0.1:1883"])
def test_a_bus_address_that_is_not_mqtt_is_refused(url) -> None:
    with pytest.raises(ValueError, match="mqtt://host:port"):
        Feed(url)


def test_close_from_inside_a_callback_stops_delivery(bus, publisher) -> None:
    delivered: list[Any] = []

    def closing(topic: str, record: Any) -> None:
        delivered.append(record)
        feed.close()

    with Feed(bus.url) as feed:
        feed.subscribe(FUTURE, QuoteType.Tick, closing)
        eventually(lambda: publisher(msgpack.packb(PROBE)) or delivered)
        assert feed.closed
        eventually(lambda: not feed._client._thread)  # noqa: SLF001 - its network thread has ended
        publisher(msgpack.packb(GOOD_TICK))
        time.sleep(0.5)  # room for a delivery that must not come
        assert len(delivered) == 1
        with pytest.raises(RuntimeError, match="closed"):
            feed.subscribe(FUTURE, QuoteType.Tick, closing)


def test_close_after_the_bus_died_returns() -> None:
    broker = Mosquitto()
    feed = Feed(broker.url)
    feed.subscribe(FUTURE, QuoteType.Tick, Inbox())
    broker.close()
    feed.close()
    assert feed.closed and threading.active_count() >= 1


def test_the_command_line_runs_a_market_and_prints_its_bus(tmp_path: Path) -> None:
    header: list[str] = []
    with simulator(tmp_path, "--market", "--bus", "auto", "--speed", "30", "--stocks", "80", header=header):
        bus_url = next(line.split()[-1] for line in header if line.startswith("bus_url:"))
        codes = next(line for line in header if line.startswith("market:")).split()[1:]
        inbox = Inbox()
        with Feed(bus_url) as feed:
            feed.subscribe(Future(code=codes[0].rstrip(","), exchange="TAIFEX"), QuoteType.Tick, inbox)
            assert type(inbox.get()[1]) is TickFOPv1
