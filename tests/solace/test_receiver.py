"""The native receiving path: payloads decoded into the same records as the factories make, with
integer fields checked, and a receiver on a real Mosquitto counting, refusing and surviving fork."""

from __future__ import annotations

import os
import queue
import threading
from typing import Any

import msgpack
import pytest

from support.marketdata import DECODERS, Decoder
from taloma.backend.solace import receiver
from taloma.backend.solace.receiver import Receiver, decode_payload
from taloma.simulator.bus import Mosquitto


def decode(d: Decoder, content: dict[str, Any]) -> Any:
    return decode_payload(msgpack.packb(content), getattr(d.cls, d.factory), d.cls._content[d.factory])


def int_fields(d: Decoder) -> list[str]:
    return [name for name, kind in d.cls._content[d.factory] if kind in ("int", "ints")]


@pytest.mark.parametrize("order", ["sent", "reversed"])
@pytest.mark.parametrize("d", DECODERS, ids=str)
def test_a_payload_decodes_to_the_record_its_factory_makes(d: Decoder, order: str) -> None:
    content = d.content()
    if order == "reversed":
        content = dict(reversed(content.items()))
    record = decode(d, content)
    expected = d()
    assert type(record) is d.cls
    assert record.to_dict() == expected.to_dict()


@pytest.mark.parametrize("d", DECODERS, ids=str)
def test_every_integer_field_given_as_text_is_refused(d: Decoder) -> None:
    fields = int_fields(d)
    assert fields
    for name in fields:
        value = d.content()[name]
        bad = [str(v) for v in value] if isinstance(value, list) else str(value)
        with pytest.raises(TypeError, match=f"'{name}' must be"):
            decode(d, d.content(**{name: bad}))


def test_the_factories_own_checks_still_apply() -> None:
    d = DECODERS[0]
    with pytest.raises(TypeError, match="open"):
        decode(d, d.content(open=5))  # a text field given as a number


@pytest.mark.parametrize(
    "payload, error",
    [
        (b"\x81\xa4code", ValueError),  # truncated
        (msgpack.packb({"code": "2330"}) + b"\x00", ValueError),  # trailing bytes
        (msgpack.packb(["2330"]), TypeError),
        (msgpack.packb({1: "x"}), TypeError),
    ],
)
def test_payloads_that_are_not_a_map_of_fields_are_refused(payload: bytes, error: type) -> None:
    d = DECODERS[0]
    with pytest.raises(error):
        decode_payload(payload, d.cls.from_content, d.cls._content["from_content"])


@pytest.mark.parametrize(
    "change, message",
    [
        ("missing", "missing field 'volume'"),
        ("extra", "unexpected field 'spare'"),
    ],
)
def test_a_missing_or_unknown_field_is_refused(change: str, message: str) -> None:
    d = DECODERS[0]
    content = d.content(spare=1)
    if change == "missing":
        del content["spare"], content["volume"]
    with pytest.raises(TypeError, match=message):
        decode(d, content)


def test_without_content_the_decoder_takes_the_fields_as_keywords() -> None:
    assert decode_payload(msgpack.packb({"a": [1, None], "b": {"c": b"x"}}), dict) == {"a": [1, None], "b": {"c": b"x"}}


# ---- on a bus --------------------------------------------------------------------------------

TOPIC = "TIC/v1/FOP/*/TFE/TXFC4"
FILTER = TOPIC.replace("*", "+")
WIRE = TOPIC.replace("*", "0")
FOP = next(d for d in DECODERS if d.content.__name__ == "tick_fop")


@pytest.fixture(scope="module")
def bus():
    with Mosquitto() as broker:
        yield broker


class Hooks:
    def __init__(self) -> None:
        self.events: queue.Queue[tuple[str, tuple[Any, ...]]] = queue.Queue()

    def hook(self, name: str) -> Any:
        return lambda *args: self.events.put((name, args))

    def receiver(self, bus: Any, name: str) -> Receiver:
        r = Receiver(
            on_connect=self.hook("connect"),
            on_disconnect=self.hook("disconnect"),
            on_refused=self.hook("refused"),
            on_error=self.hook("error"),
        )
        host, port = bus.url.removeprefix("mqtt://").split(":")
        r.connect(host, int(port), name)
        return r

    def next(self) -> tuple[str, tuple[Any, ...]]:
        return self.events.get(timeout=15)


def publish_all(bus: Any, payloads: list[bytes]) -> None:
    from taloma.feed import connect_client

    client = connect_client(bus.url, "test-receiver-publisher")
    try:
        for payload in payloads:
            client.publish(WIRE, payload, qos=1).wait_for_publish(10)
    finally:
        client.disconnect()
        client.loop_stop()


def test_records_arrive_in_order_and_refusals_and_raising_callbacks_are_counted_and_reported(bus) -> None:
    hooks = Hooks()
    r = hooks.receiver(bus, "test-receiver-order")
    seen: list[int] = []
    done = threading.Event()

    def first(topic: str, record: Any) -> None:
        raise RuntimeError("broken callback")

    def second(topic: str, record: Any) -> None:
        assert r.on_delivery_thread() and topic == TOPIC
        seen.append(record.volume)
        if record.volume == 49:
            done.set()

    try:
        r.route(FILTER, TOPIC, FOP.cls.from_content, [first, second], FOP.cls._content["from_content"])
        assert r.wait_granted(r.subscribe(FILTER, 0), 10)
        good = [msgpack.packb(FOP.content(volume=n)) for n in range(50)]
        publish_all(bus, [*good[:10], msgpack.packb(FOP.content(volume="7")), b"\xc1", *good[10:]])
        assert done.wait(15)
        assert seen == list(range(50))
        assert r.stats == {"received": 52, "delivered": 50, "refused": 2}
        events = [hooks.next() for _ in range(52)]
        refused = [args for name, args in events if name == "refused"]
        assert [(t, a, type(e)) for t, a, e in refused] == [(TOPIC, WIRE, TypeError), (TOPIC, WIRE, ValueError)]
        assert all(args[0] is first and isinstance(args[2], RuntimeError) for name, args in events if name == "error")
        assert not r.on_delivery_thread()
    finally:
        r.close()
    assert r.closed and not r.connected


def test_close_from_a_callback_stops_delivery_at_once(bus) -> None:
    hooks = Hooks()
    r = hooks.receiver(bus, "test-receiver-close")
    got: list[int] = []
    closed = threading.Event()

    def take(topic: str, record: Any) -> None:
        got.append(record.volume)
        r.close()
        closed.set()

    r.route(FILTER, TOPIC, FOP.cls.from_content, [take, take], FOP.cls._content["from_content"])
    assert r.wait_granted(r.subscribe(FILTER, 0), 10)
    publish_all(bus, [msgpack.packb(FOP.content(volume=n)) for n in range(5)])
    assert closed.wait(15)
    r.close()  # a second close changes nothing
    assert got == [0] and r.closed and r.stats["delivered"] == 1


def test_an_unreachable_bus_names_host_and_port() -> None:
    from taloma.simulator.bus import free_port

    port = free_port()
    with pytest.raises(ConnectionError, match=f"127.0.0.1:{port}"):
        Receiver().connect("127.0.0.1", port, "test-receiver-unreachable", timeout=2)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_cannot_use_the_parents_receiver_and_the_parent_goes_on(bus) -> None:
    hooks = Hooks()
    r = hooks.receiver(bus, "test-receiver-fork")
    got: queue.Queue[int] = queue.Queue()
    try:
        r.route(
            FILTER, TOPIC, FOP.cls.from_content, [lambda t, rec: got.put(rec.volume)], FOP.cls._content["from_content"]
        )
        assert r.wait_granted(r.subscribe(FILTER, 0), 10)
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                for call in (lambda: r.subscribe(FILTER), r.close, lambda: r.unroute(FILTER)):
                    try:
                        call()
                    except RuntimeError as exc:
                        assert "forked" in str(exc)
                    else:
                        raise AssertionError("a call in the child went through")
                del r
                code = 0
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        publish_all(bus, [msgpack.packb(FOP.content(volume=3))])
        assert got.get(timeout=15) == 3
    finally:
        r.close()


def test_the_hand_over_is_bounded() -> None:
    assert 0 < receiver.CAPACITY <= 4096
