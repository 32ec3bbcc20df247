"""The HTTP side against a gateway that misbehaves: deadlines of every call, reply decoding, masked logs."""

from __future__ import annotations

import copy
import hashlib
import json
import logging
import socket
import threading
from collections.abc import Callable
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

import pytest
import requests

import taloma.backend.http as settings
import taloma.backend.http.futureoption.order as fo
from support.broker import PASSWORD, PERSON_ID
from support.orderfakes import FUTURE_ACCOUNT, STOCK_ACCOUNT, future_order
from taloma.backend.http import account as records
from taloma.backend.http.client import Client, _login
from taloma.backend.http.contract import fetch_available_product
from taloma.backend.http.utils import exchange, masked
from taloma.contracts import Future
from taloma.order import OrderStatus, Trade
from taloma.simulator import BrokerSimulator

# A call still running after this long has no deadline: the test fails instead of hanging.
GUARD = 30.0
TXF = Future(code="TXFA4", exchange="TAIFEX")


def outcome(call: Callable[[], Any]) -> BaseException | None:
    """What ``call()`` raised (None if it returned), run on a thread of its own under the guard."""
    box: list[BaseException | None] = []

    def run() -> None:
        try:
            call()
            box.append(None)
        except BaseException as exc:  # handed to the test
            box.append(exc)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(GUARD)
    assert box, f"still waiting after {GUARD:g} s: the call has no deadline"
    return box[0]


class Gateway:
    """Accepts connections on 127.0.0.1 and then misbehaves.

    "silent" never answers; "stall" sends the headers and the start of the body, then nothing;
    "trickle" sends headers and then a body of blanks, one byte at a time, that never ends.
    """

    def __init__(self, mode: str) -> None:
        self.mode = mode
        self.stop = threading.Event()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = f"http://127.0.0.1:{self.listener.getsockname()[1]}"
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self) -> None:
        while not self.stop.is_set():
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn: socket.socket) -> None:
        with conn:
            head = b""
            while b"\r\n\r\n" not in head and not self.stop.is_set():
                chunk = conn.recv(65536)
                if not chunk:
                    return
                head += chunk
            if self.mode != "silent":
                conn.sendall(
                    b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                    b'Content-Length: 100000000\r\n\r\n{"success": "true", '
                )
            while not self.stop.wait(0.01):
                if self.mode == "trickle":
                    conn.sendall(b" ")

    def close(self) -> None:
        self.stop.set()
        self.listener.close()


def client_at(url: str, monkeypatch: pytest.MonkeyPatch, **deadlines: Any) -> Client:
    monkeypatch.setattr(settings, "api_url_simulation", url)
    c = Client(True, None, **deadlines)
    c._token, c.person_id, c._public_ip, c.accounts = "tok", PERSON_ID, "127.0.0.1", [FUTURE_ACCOUNT]
    return c


def trade() -> Trade:
    return Trade(contract=TXF, order=future_order(ordno="k0001", seqno="000001"), status=OrderStatus(id="x"))


# Every function of the package that talks to the service.
CALLS: dict[str, Callable[[Client], Any]] = {
    "get_public_ip": lambda c: c.get_public_ip(),
    "login": lambda c: c.login(PERSON_ID, PASSWORD),
    "_login": lambda c: _login(c.session, c.login_uri, PERSON_ID, "0" * 32, timeout=c.timeout),
    "stocks": lambda c: fetch_available_product(c, "S"),
    "options": lambda c: fetch_available_product(c, "O"),
    "indices": lambda c: fetch_available_product(c, "I"),
    "place": lambda c: fo.place_futopt_order(TXF, future_order(), "CA", c),
    "cancel": lambda c: fo.cancel_futopt_order(trade(), "CA", c),
    "price": lambda c: fo.update_futopt_order_price(trade(), "CA", c, 17000),
    "quantity": lambda c: fo.update_futopt_order_qty(trade(), "CA", c, 1),
    "query": lambda c: fo.query_futopt_order(c),
    "funds": lambda c: records.AccountFunds(" ", STOCK_ACCOUNT, c),
    "unreal": lambda c: records.AccountUnRealProfitLoss("A", "NTD", " ", STOCK_ACCOUNT, c),
    "real": lambda c: records.AccountRealProfitLoss("A", "20240101", "20240131", "NTD", " ", STOCK_ACCOUNT, c),
    "margin": lambda c: records.AccountMargin("NTD", "1", FUTURE_ACCOUNT, c),
    "positions": lambda c: records.AccountOpenPosition("0", "0", FUTURE_ACCOUNT, c),
    "settled": lambda c: records.AccountSettleProfitLoss("0", "N", "20240101", "20240131", "NTD", FUTURE_ACCOUNT, c),
}


@pytest.fixture(params=["silent", "stall"])
def gateway(request: pytest.FixtureRequest):
    g = Gateway(request.param)
    yield g
    g.close()


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_every_call_gives_up_on_a_gateway_that_stops_talking(gateway, monkeypatch, call) -> None:
    c = client_at(gateway.url, monkeypatch, timeout=0.2, catalogue_timeout=0.2)
    error = outcome(lambda: call(c))
    assert isinstance(error, (requests.Timeout, requests.ConnectionError)), repr(error)


def test_a_catalogue_that_trickles_in_meets_its_whole_deadline(monkeypatch) -> None:
    g = Gateway("trickle")
    try:
        # Each byte comes well within the read timeout; only the whole-list deadline can end it.
        c = client_at(g.url, monkeypatch, catalogue_timeout=(5, 5), catalogue_deadline=0.3)
        error = outcome(lambda: fetch_available_product(c, "O"))
    finally:
        g.close()
    assert isinstance(error, requests.ReadTimeout), repr(error)


def test_deadlines_against_a_slow_simulated_broker(monkeypatch) -> None:
    with BrokerSimulator(users=[(PERSON_ID, PASSWORD)], latency=1.0) as sim:
        hasty = client_at(sim.base_url, monkeypatch, timeout=(5, 0.2))
        assert isinstance(outcome(lambda: hasty.login(PERSON_ID, PASSWORD)), requests.ReadTimeout)
        hasty.timeout = (5, 20)  # the attribute is read at every request
        stock, futures = hasty.login(PERSON_ID, PASSWORD)
        assert hasty._token and stock and futures


class TestClientDeadlines:
    def test_defaults_come_from_the_settings_at_construction(self, monkeypatch) -> None:
        monkeypatch.setattr(settings, "timeout", (1, 2))
        monkeypatch.setattr(settings, "catalogue_deadline", 7.5)
        c = Client(False, None)
        assert (c.timeout, c.catalogue_timeout, c.catalogue_deadline) == ((1, 2), settings.catalogue_timeout, 7.5)

    @pytest.mark.parametrize(
        "given, kept",
        [
            (dict(timeout=3, catalogue_timeout=[4, 40], catalogue_deadline=99), (3, (4, 40), 99)),
            (dict(timeout=(1, 2)), ((1, 2), (1, 2), settings.catalogue_deadline)),  # one timeout for every call
            (dict(catalogue_timeout=4), (settings.timeout, 4, settings.catalogue_deadline)),
        ],
    )
    def test_keywords_override(self, given, kept) -> None:
        c = Client(False, None, **given)
        assert (c.timeout, c.catalogue_timeout, c.catalogue_deadline) == kept

    @pytest.mark.parametrize(
        "keyword, value, error",
        [
            ("timeout", 0, ValueError),
            ("timeout", -1.0, ValueError),
            ("timeout", float("inf"), ValueError),
            ("timeout", (1, 2, 3), ValueError),
            ("timeout", "10", TypeError),
            ("catalogue_timeout", (1, True), TypeError),
            ("catalogue_deadline", (1, 2), TypeError),
            ("catalogue_deadline", float("nan"), ValueError),
        ],
    )
    def test_a_bad_deadline_fails_construction(self, keyword, value, error) -> None:
        with pytest.raises(error, match=keyword):
            Client(False, None, **{keyword: value})


# ---- reply decoding -------------------------------------------------------------------------


@pytest.fixture
def replies():
    """A server that answers each request with the body and content type queued for it."""
    queue: list[tuple[bytes, str]] = []

    class Handler(BaseHTTPRequestHandler):
        def log_message(self, *args: Any) -> None:
            pass

        def do_GET(self) -> None:
            body, kind = queue.pop(0)
            self.send_response(200)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield queue, f"http://127.0.0.1:{server.server_address[1]}/"
    server.shutdown()
    server.server_close()


JSON = "application/json"


@pytest.mark.parametrize(
    "body, kind",
    [
        (b'{"a": 1, "a": [2.5, -0.0, 1e-7, 123456789012345678901234567890.5, "\\u00e9"], "b": null}', JSON),
        (b"[18446744073709551616, -9223372036854775809, 10000000000000000000000000000000000000001]", JSON),
        (b"[NaN, Infinity, -Infinity, 1e400]", JSON),
        (b'["\\ud800", "\xe8\x87\xba"]', JSON),
        (b'\xef\xbb\xbf{"bom": true}', JSON),
        ('{"s": "臺股"}'.encode("big5"), "application/json; charset=big5"),
        ('{"s": "臺股"}'.encode(), "text/plain"),
        ('{"s": "臺股"}'.encode("utf-16"), JSON),
        (b'{"deep": ' + b"[" * 5000 + b"]" * 5000 + b"}", JSON),
        (b"<html>gateway timeout</html>", "text/html"),  # requests' own JSONDecodeError, as callers catch it
    ],
    ids=["values", "big-ints", "non-finite", "surrogates", "bom", "big5", "latin-1", "utf-16", "deep", "not-json"],
)
@pytest.mark.parametrize("deadline", [None, 10.0])
def test_replies_decode_as_requests_decodes_them(replies, body, kind, deadline) -> None:
    queue, url = replies
    queue += [(body, kind), (body, kind)]
    session = requests.Session()

    def decoded(fetch: Callable[[], Any]) -> Any:
        try:
            value = fetch()
        except (ValueError, RecursionError) as exc:
            return type(exc)
        return json.dumps(value, sort_keys=False) + repr([type(v) for v in (value if isinstance(value, list) else [])])

    expected = decoded(lambda: session.get(url, timeout=10).json())
    assert decoded(lambda: exchange(session, "GET", url, timeout=10, deadline=deadline)) == expected


# ---- masked logs ----------------------------------------------------------------------------


def test_secrets_stay_out_of_the_log(sim_settings, caplog) -> None:
    ca_content = "CA-CONTENT-SIGNATURE-7f3a"
    with caplog.at_level(logging.DEBUG):
        c = Client(True, None)
        c.login(PERSON_ID, PASSWORD)
        order = future_order(account=c.default_futopt_account)
        fo.futopt_resp2order_status(fo.place_futopt_order(TXF, order, ca_content, c), order)
        fo.query_futopt_order(c)
        failed = Client(True, None)
        failed.login(PERSON_ID, "wrong")
        c.login(PERSON_ID, PASSWORD)  # logged again, whatever the broker says
    text = "\n".join(r.getMessage() for r in caplog.records)
    assert c._token
    for secret in (c._token, c.hashpasswd, hashlib.md5(PASSWORD.encode()).hexdigest(), ca_content):
        assert secret not in text
    # The keys stay, so the log still shows what was sent and received.
    assert "'token': '***'" in text


SECRETS = {"result": {"Token": "T-9", "accounts": [{"ca_content": 'T-9"x', "n": 1}]}, "password": 5, "ok": "T"}
SHOWN = {"result": {"Token": "***", "accounts": [{"ca_content": "***", "n": 1}]}, "password": "***", "ok": "T"}


@pytest.mark.parametrize(
    "logged, read",
    [
        (SECRETS, lambda shown: shown),
        (json.dumps(SECRETS).encode(), json.loads),  # a raw reply body
        (json.dumps(SECRETS, indent=1).encode(), json.loads),
    ],
)
def test_masked_keeps_the_keys_and_hides_the_values(logged, read) -> None:
    before = copy.deepcopy(logged)
    assert read(masked(logged)) == SHOWN
    assert logged == before  # a copy: the reply itself is left as it was
