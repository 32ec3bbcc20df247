"""The simulated broker's HTTP server under hostile input and descriptor exhaustion, and its bus under
a stalled subscriber, a stalled bus and a restart."""

from __future__ import annotations

import http.client
import json
import socket
import subprocess
import sys
import threading
from types import SimpleNamespace

import pytest
import requests

from support import child_env
from taloma.simulator import BrokerSimulator, routes

LOGIN = {"user_id": "A123456789", "password": "0" * 32, "domain": "python-api"}


@pytest.fixture(scope="module")
def sim():
    with BrokerSimulator(seed=1) as sim:
        yield sim


def exchange(sim: BrokerSimulator, headers: tuple[str, ...], body: bytes = b"") -> tuple[int, dict, bool]:
    """Posts a raw login request: (status, reply, whether the server closed the connection after it).

    The socket's timeout fails a server that waits for more than was sent."""
    head = "".join(f"{line}\r\n" for line in (f"POST /api/{sim.state.api_ver}/getToken HTTP/1.1", "Host: x", *headers))
    with socket.create_connection(("127.0.0.1", sim.port), timeout=10) as sock:
        sock.sendall(head.encode("latin-1") + b"\r\n" + body)
        reply = http.client.HTTPResponse(sock)
        reply.begin()
        payload = json.loads(reply.read())
        closed = reply.will_close and sock.recv(1) == b""
    return reply.status, payload, closed


@pytest.mark.parametrize(
    "headers, body, status, reason",
    [
        ((), b"", 400, "Content-Length"),
        (("Transfer-Encoding: chunked",), b"0\r\n\r\n", 400, "Content-Length"),
        (("Content-Length: abc",), b"", 400, "Content-Length"),
        (("Content-Length: -5",), b"", 400, "Content-Length"),
        # Refused from the header alone: the body is never sent, so reading it would hang.
        ((f"Content-Length: {(1 << 20) + 1}",), b"", 413, "1048576"),
        (("Content-Length: 99999999999999999999",), b"", 413, "1048576"),
        # Sent anyway, beyond what the socket buffers take: the reply still reaches the client.
        (None, b"x" * (32 << 20), 413, "1048576"),
        (None, b"[" * 100_000 + b"]" * 100_000, 400, "deep"),
        (None, b'{"user_id": "\xff"}', 400, "UTF-8"),
        (None, b'{"price": Infinity}', 400, "Infinity"),
        (None, b'{"price": NaN}', 400, "NaN"),
        (None, b"[-Infinity]", 400, "Infinity"),
        (None, b'{"user_id": ', 400, "not JSON"),
    ],
    ids=[
        "no-length",
        "chunked",
        "length-abc",
        "length-negative",
        "over-limit",
        "huge",
        "over-limit-sent",
        "deep",
        "not-utf8",
        "infinity",
        "nan",
        "minus-infinity",
        "truncated",
    ],
)
def test_bad_requests_get_a_status_and_a_reason(sim, headers, body, status, reason):
    if headers is None:
        headers = (f"Content-Length: {len(body)}",)
    got, reply, closed = exchange(sim, headers, body)
    assert (got, closed) == (status, True)
    assert reason in reply["msg"]


def test_the_server_goes_on_after_a_refused_request(sim):
    exchange(sim, ("Content-Length: 5000000",))
    reply = requests.post(sim.api_uri + "getToken", json=LOGIN, timeout=10).json()
    assert reply["msg"].startswith("Login failed")


def test_a_reply_that_is_not_standard_json_is_a_500(sim, monkeypatch):
    monkeypatch.setitem(routes._ROUTES, ("GET", "nan"), lambda state, request: {"price": float("nan")})
    reply = requests.get(sim.api_uri + "nan", timeout=10)
    assert reply.status_code == 500
    assert "not standard JSON" in reply.json()["msg"]


# A simulator whose descriptors run out: idle connections take them all until they time out.
CHILD = """
import logging, os, resource, sys
from taloma.simulator import BrokerSimulator

logging.basicConfig(level=logging.WARNING)
with BrokerSimulator(users=[("A123456789", "x")], idle_timeout=1.0) as sim:
    used = len(os.listdir("/proc/self/fd"))
    resource.setrlimit(resource.RLIMIT_NOFILE, (used + 16, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    print(sim.api_uri, flush=True)
    sys.stdin.read()
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="counts descriptors in /proc")
def test_idle_connections_time_out_and_accept_backs_off_on_emfile(tmp_path):
    errors = tmp_path / "stderr"
    with errors.open("w") as sink:
        child = subprocess.Popen(
            [sys.executable, "-c", CHILD],
            env=child_env(),
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=sink,
            text=True,
        )
    idle: list[socket.socket] = []
    try:
        api = child.stdout.readline().strip()
        assert api, errors.read_text()
        port = int(api.split(":")[2].split("/")[0])
        idle = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(40)]
        # Waits on the reply: it comes once the idle connections are closed and descriptors are free.
        reply = requests.post(api + "getToken", json=LOGIN, timeout=60)
        assert reply.json()["msg"].startswith("Login failed")
    finally:
        for sock in idle:
            sock.close()
        child.stdin.close()
        child.wait(timeout=30)
        child.stdout.close()
    log = errors.read_text()
    # Refused accepts are logged once per burst, not once per turn of a spinning loop.
    assert 1 <= log.count("backing off") <= 10, log
    assert "Traceback" not in log, log


# ---- the bus ---------------------------------------------------------------------------------


@pytest.fixture
def mosquitto():
    bus = pytest.importorskip("taloma.simulator.bus")
    try:
        bus.mosquitto_binary()
    except FileNotFoundError:
        pytest.skip("mosquitto is not installed")
    with bus.Mosquitto() as broker:
        yield broker


def test_a_persistent_session_keeps_its_queued_messages_across_a_broker_restart(mosquitto):
    import paho.mqtt.client as mqtt
    from paho.mqtt.enums import CallbackAPIVersion

    from taloma.feed import connect_client

    got: list[bytes] = []
    arrived, subscribed = threading.Event(), threading.Event()

    def session() -> mqtt.Client:
        client = mqtt.Client(CallbackAPIVersion.VERSION2, client_id="fills-of-one", clean_session=False)
        client.on_subscribe = lambda *_: subscribed.set()
        client.on_message = lambda c, u, message: (got.append(message.payload), arrived.set())
        client.connect("127.0.0.1", mosquitto.port)
        client.loop_start()
        return client

    subscriber = session()
    subscriber.subscribe("fills/7654321", qos=1)
    assert subscribed.wait(10)
    subscriber.disconnect()
    subscriber.loop_stop()
    publisher = connect_client(mosquitto.url, "test-fills", timeout=10)
    try:
        publisher.publish("fills/7654321", b"fill 1", qos=1).wait_for_publish(10)
    finally:
        publisher.disconnect()
        publisher.loop_stop()
    mosquitto.stop()
    mosquitto.start()
    subscriber = session()
    try:
        assert arrived.wait(10), "the queued message was lost with the broker's restart"
    finally:
        subscriber.disconnect()
        subscriber.loop_stop()
    assert got == [b"fill 1"]


@pytest.fixture
def stalled_bus():
    """An MQTT server that accepts one connection and then reads nothing more."""
    listener = socket.create_server(("127.0.0.1", 0))
    taken: list[socket.socket] = []

    def accept() -> None:
        conn, _ = listener.accept()
        conn.recv(1024)  # CONNECT
        conn.sendall(b"\x20\x02\x00\x00")  # CONNACK, accepted
        taken.append(conn)

    thread = threading.Thread(target=accept, daemon=True)
    thread.start()
    yield f"mqtt://127.0.0.1:{listener.getsockname()[1]}"
    thread.join(10)
    for conn in taken:
        conn.close()
    listener.close()


def test_the_publisher_drops_rather_than_queue_without_bound(stalled_bus, caplog):
    from taloma.simulator.bus import Publisher

    publisher = Publisher(stalled_bus, timeout=10, max_queued=100)
    # 64 MiB: far beyond what the socket buffers can take.
    message = SimpleNamespace(content={"v": b"x" * 65536}, topics=("MKT/a", "MKT/b"))
    try:
        for _ in range(512):
            publisher.on_event(SimpleNamespace(messages=[message]))
        assert len(publisher._client._out_packet) <= 100
        assert publisher.dropped > 0 and publisher.published + publisher.dropped == 1024
    finally:
        publisher.close()
    # Logged now and then, not once a message.
    warnings = [r for r in caplog.records if "dropped" in r.getMessage()]
    assert 1 <= len(warnings) < 10, warnings
