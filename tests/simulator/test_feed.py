"""taloma.feed.Feed on a real Mosquitto broker: records of each kind, bad payloads, broken callbacks,
a broker that restarts, a bus that cannot be reached, and closing from anywhere; fills across a
dropped link, numbered fills, a bus that does not acknowledge, racing subscriptions, the route
cache's size and a feed dropped without closing."""

from __future__ import annotations

import gc
import logging
import os
import queue
import re
import signal
import socket
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import msgpack
import pytest

import taloma.feed
from support import eventually
from support.forwarder import Forwarder
from support.marketdata import FOP_TICK
from support.sim_process import simulator
from taloma.backend.solace.ladder import LadderFOPv1, LadderSTKv1
from taloma.backend.solace.quote import QuoteSTKv1, contract2topic
from taloma.backend.solace.tick import TickFOPv1, TickSTKv1
from taloma.constant import QuoteType, QuoteVersion
from taloma.contracts import Future
from taloma.feed import Feed, connect_client, fills_topic
from taloma.simulator import BrokerSimulator
from taloma.simulator.bus import Mosquitto, free_port

FUTURE = Future(code="TXFL6", exchange="TAIFEX")
GOOD_TICK = FOP_TICK
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
def test_the_market_reaches_a_feed_as_records_of_each_kind(market_sim, kind, quote_type, odd, record, version) -> None:
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
    "an integer as text": msgpack.packb(GOOD_TICK | {"volume": "7"}),
    "a flag as text": msgpack.packb(GOOD_TICK | {"simtrade": "0"}),
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
        assert not feed._client.connected  # the network thread ended with close()
        publisher(msgpack.packb(GOOD_TICK))
        time.sleep(0.5)  # room for a delivery that must not come
        assert len(delivered) == 1
        with pytest.raises(RuntimeError, match="closed"):
            feed.subscribe(FUTURE, QuoteType.Tick, closing)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_cannot_use_the_feed_and_the_parent_goes_on(bus, publisher) -> None:
    inbox = Inbox()
    with Feed(bus.url) as feed:
        feed.subscribe(FUTURE, QuoteType.Tick, inbox)
        subscribed(feed, publisher, inbox)
        pid = os.fork()
        if pid == 0:  # the child's feed refuses with a clear error and closes quietly
            code = 1
            try:
                with pytest.raises(RuntimeError, match="forked"):
                    feed.subscribe(Future(code="TXFA7", exchange="TAIFEX"), QuoteType.Tick, inbox)
                feed.close()
                code = 0 if feed.closed else 2
            finally:
                os._exit(code)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
        publisher(msgpack.packb(GOOD_TICK))
        assert inbox.get()[1].volume == GOOD_TICK["volume"]


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


# ---- fills under faults ----------------------------------------------------------------------

ACCOUNT = {"broker_id": "F002000", "account_id": "1234567"}
FILLS_TOPIC = fills_topic(ACCOUNT["broker_id"], ACCOUNT["account_id"])


def fill(seq: int | None, **changes: Any) -> bytes:
    """A fill message's payload, numbered ``seq`` (unnumbered if None)."""
    content = {
        "broker_id": ACCOUNT["broker_id"],
        "account_id": ACCOUNT["account_id"],
        "ordno": "k0001",
        "seqno": "000001",
        "code": "TXFL6",
        "action": "Buy",
        "price": "23150",
        "quantity": 1,
    }
    if seq is not None:
        content["seq"] = seq
    return msgpack.packb(content | changes)


def test_a_fill_made_while_the_link_is_down_arrives_once_the_link_is_back(caplog) -> None:
    caplog.set_level(logging.WARNING, logger="taloma.feed")
    heard: queue.Queue[dict[str, Any]] = queue.Queue()
    with Mosquitto() as broker, Forwarder(broker.port) as link, Feed(link.url) as feed:
        sender = connect_client(broker.url, "test-fills-sender")
        try:

            def send(seq: int) -> None:
                sender.publish(FILLS_TOPIC, fill(seq), qos=1).wait_for_publish(10)

            feed.subscribe_fills(ACCOUNT, heard.put)
            send(1)
            assert heard.get(timeout=15)["seq"] == 1
            link.cut()
            eventually(lambda: "lost the message bus" in caplog.text)
            send(2)
            link.restore()
            send(3)
            got = [heard.get(timeout=15)["seq"]]
            while got[-1] != 3:
                got.append(heard.get(timeout=15)["seq"])
            assert got == [2, 3] and heard.empty()
            assert feed.stats["gaps"] == 0
        finally:
            sender.disconnect()
            sender.loop_stop()


def test_numbered_fills_drop_redeliveries_and_report_a_gap_before_the_next_fill(bus, publisher, caplog) -> None:
    caplog.set_level(logging.WARNING, logger="taloma.feed")
    heard: list[Any] = []
    gaps: list[tuple[Any, ...]] = []
    done = threading.Event()

    def on_fill(event: dict[str, Any]) -> None:
        heard.append(event.get("seq"))
        if "seq" not in event:
            done.set()

    with Feed(bus.url) as feed:
        feed.subscribe_fills(ACCOUNT, on_fill, on_gap=lambda *gap: gaps.append((*gap, list(heard))))
        # The first fill heard sets the count; 5 and 3 come again; 6 and 7 never come.
        for seq in (4, 5, 5, 3, 8, 9, None):
            publisher(fill(seq), FILLS_TOPIC)
        assert done.wait(15)
        assert heard == [4, 5, 8, 9, None]
        assert gaps == [("F002000", "1234567", 6, 8, [4, 5])]
        assert (feed.stats["duplicates"], feed.stats["gaps"]) == (2, 2)
    [warning] = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert "F002000/1234567" in warning and "6, 7" in warning


@pytest.mark.parametrize("fault", ["stalled", "gone"])
def test_subscribe_fills_raises_and_undoes_itself_when_the_bus_does_not_acknowledge(fault) -> None:
    heard: queue.Queue[dict[str, Any]] = queue.Queue()
    with Mosquitto() as broker, Feed(broker.url) as feed:
        pid = broker._process.pid
        if fault == "stalled":
            os.kill(pid, signal.SIGSTOP)
        else:
            broker.stop()
        try:
            with pytest.raises(ConnectionError, match=re.escape(f"127.0.0.1:{broker.port}")):
                feed.subscribe_fills(ACCOUNT, heard.put, timeout=1.0)
            assert feed.topics == []
        finally:
            if fault == "stalled":
                os.kill(pid, signal.SIGCONT)
        if fault == "gone":
            return
        # Awake, the bus was told to drop the subscription: a fill of the account is not
        # delivered, and the publisher's next fill (of another account) comes after it would have.
        other = {"broker_id": "F002000", "account_id": "7654321"}
        heard_other: queue.Queue[dict[str, Any]] = queue.Queue()
        feed.subscribe_fills(other, heard_other.put)
        before = feed.stats["received"]
        sender = connect_client(broker.url, "test-fills-sender")
        try:
            for account in (ACCOUNT, other):
                sender.publish(
                    fills_topic(account["broker_id"], account["account_id"]), fill(1), qos=1
                ).wait_for_publish(10)
        finally:
            sender.disconnect()
            sender.loop_stop()
        heard_other.get(timeout=15)
        assert feed.stats["received"] - before == 1 and heard.empty()


def test_an_unsubscribe_racing_a_subscribe_of_the_same_topic_leaves_it_live(bus, publisher, monkeypatch) -> None:
    inbox = Inbox()
    with Feed(bus.url) as feed:
        feed.subscribe(FUTURE, QuoteType.Tick, inbox)
        subscribed(feed, publisher, inbox)
        racer = threading.Thread(target=feed.subscribe, args=(FUTURE, QuoteType.Tick, inbox))
        unsubscribe = feed._client.unsubscribe

        def late_unsubscribe(*args: Any, **kwargs: Any) -> Any:
            # The subscribe starts after the table dropped the topic and before the bus hears of it:
            # it either goes through first (its bus call overtaking this one) or waits for this one.
            if racer.ident is None:
                racer.start()
                racer.join(0.5)
            return unsubscribe(*args, **kwargs)

        monkeypatch.setattr(feed._client, "unsubscribe", late_unsubscribe)
        feed.unsubscribe(FUTURE, QuoteType.Tick)
        racer.join(15)
        assert feed.topics == [TICK_TOPIC]
        subscribed(feed, publisher, inbox)


def test_the_route_cache_is_bounded_in_bytes(bus, publisher, monkeypatch) -> None:
    limit = 1 << 20
    monkeypatch.setattr(taloma.feed, "ROUTE_CACHE_BYTES", limit)
    inbox = Inbox()
    with Feed(bus.url) as feed:
        feed.subscribe(FUTURE, QuoteType.Tick, inbox)
        subscribed(feed, publisher, inbox)
        for volume in range(64):  # 2 MiB of distinct topics, each matching the subscription
            publisher(msgpack.packb(GOOD_TICK | {"volume": volume}), TICK_TOPIC.replace("*", f"{volume:x}" * 16_000))
        assert [inbox.get()[1].volume for _ in range(64)] == list(range(64))
        assert 0 < sum(map(len, feed._core._routes)) <= limit


def test_a_feed_dropped_without_close_is_closed_by_its_finalizer(bus) -> None:
    def dropped_feed() -> Any:
        feed = Feed(bus.url)
        feed.subscribe(FUTURE, QuoteType.Tick, Inbox())
        client = feed._client
        assert client.connected
        return client

    gc.collect()
    descriptors = len(os.listdir("/proc/self/fd"))
    client = dropped_feed()
    gc.collect()
    assert client.closed and not client.connected
    del client
    gc.collect()
    assert len(os.listdir("/proc/self/fd")) == descriptors
