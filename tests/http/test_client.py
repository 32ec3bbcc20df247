"""The service client: construction, address table, public IP and login."""

from __future__ import annotations

import hashlib
import http.server
import json
import logging
import socket
import threading
import types

import pytest
import requests

import taloma.backend.http as settings
from support.broker import PASSWORD, PERSON_ID
from taloma.account import Account, FutureAccount, StockAccount
from taloma.backend.http import client as client_module
from taloma.backend.http.client import Client, _login
from taloma.simulator import BrokerSimulator

ADDRESSES = [
    ("public_ip_uri", "getClientIP"),
    ("login_uri", "getToken"),
    ("index_list_code_uri", "codeList/sc_code"),
    ("s_list_code_uri", "codeList/stock_code"),
    ("s_order_uri", "Equity/order"),
    ("s_order_chqty_uri", "Equity/updateQty"),
    ("s_order_cancel_uri", "Equity/cancel"),
    ("s_query_order_uri", "Equity/OrderStatusQuery"),
    ("s_query_funds_profitloss_uri", "Equity/SummarisePrtlos"),
    ("s_query_unreal_profitloss_uri", "Equity/UnRealPrtlos"),
    ("s_query_real_profitloss_uri", "Equity/RealPrtlos"),
    ("f_order_uri", "Future/order"),
    ("f_order_cancel_uri", "Future/cancel"),
    ("f_order_chqty_uri", "Future/updateQty"),
    ("f_order_chprice_uri", "Future/updatePrice"),
    ("f_query_order_uri", "Future/FOrderStatusQuery"),
    ("f_list_code_uri", "codeList/stmb_code"),
    ("f_query_margin_uri", "Future/Margin"),
    ("f_query_open_position_uri", "Future/Position"),
    ("f_query_settle_pl_uri", "Future/SettleProfitLossDetail"),
]
# Both a TypeError and the AttributeError that text-only code would meet.
NOT_TEXT = (TypeError, AttributeError)
CONSTRUCTED = [
    "session",
    "_token",
    "api_url",
    "api_ver",
    "api_uri",
    "accounts",
    "default_stock_account",
    "default_futopt_account",
    "activated_ca",
    *(name for name, _ in ADDRESSES),
    "timeout",
    "catalogue_timeout",
    "catalogue_deadline",
    "_public_ip",
]


def entry(kind: str, account: str, **overrides: str) -> dict[str, str]:
    fields = {"accttype": kind, "idno": "Z100000001", "broker_id": "9A95", "account": account, "username": "Tester"}
    fields.update(overrides)
    return fields


class Reply:
    def __init__(self, payload: object) -> None:
        self.payload = payload

    def json(self) -> object:
        return self.payload


class ScriptedSession:
    """Stands in for the HTTP session: canned replies by path, every request recorded."""

    def __init__(self, login_reply: object, ip_reply: object = None) -> None:
        self.replies = {"getToken": login_reply, "getClientIP": ip_reply or {"result": {"client_ip": "198.51.100.7"}}}
        self.requests: list[tuple[str, str, object]] = []
        self.timeouts: list[object] = []

    def get(self, url: str, timeout: object = None) -> Reply:
        self.requests.append(("GET", url, None))
        self.timeouts.append(timeout)
        return Reply(self.replies[url.rsplit("/", 1)[1]])

    def post(self, url: str, json: object = None, timeout: object = None) -> Reply:
        self.requests.append(("POST", url, json))
        self.timeouts.append(timeout)
        return Reply(self.replies[url.rsplit("/", 1)[1]])


@pytest.fixture
def scripted(monkeypatch):
    """A client whose session answers from a script; starts logged in with token "T1"."""
    monkeypatch.setattr(settings, "api_url_simulation", "http://127.0.0.1:9")
    c = Client(True, None)
    c.session = ScriptedSession(
        {"success": "True", "result": {"token": "T1", "accounts": [entry("S", "S-1"), entry("F", "F-1")]}}
    )
    c.login(PERSON_ID, PASSWORD)
    assert c._token == "T1"
    return c


def snapshot(c: Client) -> dict[str, object]:
    return {k: getattr(c, k) for k in ("_token", "accounts", "default_stock_account", "default_futopt_account")}


def test_construction_sets_attributes_in_order(sim_settings) -> None:
    c = Client(simulation=True, proxies=None)
    assert list(vars(c)) == CONSTRUCTED
    assert isinstance(c.session, requests.Session)
    assert (c._token, c.accounts, c.activated_ca) == ("", [], {})
    assert (c.default_stock_account, c.default_futopt_account, c._public_ip) == (None, None, None)
    assert "_token" not in vars(Client) and Client.__bases__ == (object,)


@pytest.mark.parametrize("attribute,path", ADDRESSES)
def test_address_table(sim_settings, attribute: str, path: str) -> None:
    c = Client(True, None)
    assert getattr(c, attribute) == c.api_uri + path
    assert c.api_uri == f"{sim_settings.base_url}/api/{settings.api_ver}/"


@pytest.mark.parametrize(
    "simulation,chosen",
    [(True, "sim"), (1, "sim"), ("x", "sim"), (False, "prod"), (None, "prod"), ("", "prod"), ([], "prod")],
)
@pytest.mark.parametrize("base", ["http://h:1", "http://h:1/"])
def test_settings_are_read_at_each_construction(monkeypatch, simulation, chosen, base) -> None:
    monkeypatch.setattr(settings, "api_url_simulation", base + "sim")
    monkeypatch.setattr(settings, "api_url_production", base + "prod")
    monkeypatch.setattr(settings, "api_ver", "v9")
    c = Client(simulation, None)
    assert (c.api_url, c.api_ver) == (base + chosen, "v9")
    assert c.api_uri == base + chosen + "/api/v9/"  # a trailing slash is kept, doubling it
    assert c.f_order_uri == c.api_uri + "Future/order"


@pytest.mark.parametrize("name", ["api_url_production", "api_url_simulation", "api_ver"])
def test_missing_setting_fails_construction(monkeypatch, name) -> None:
    monkeypatch.delattr(settings, name)
    with pytest.raises(ImportError, match=name):
        Client(True, None)


@pytest.mark.parametrize(
    "proxies",
    [
        None,
        {},
        {"https": "http://127.0.0.1:3128"},
        types.MappingProxyType({"http": "http://127.0.0.1:3128"}),
    ],
)
def test_proxies(sim_settings, proxies) -> None:
    c = Client(True, proxies)
    if proxies:
        assert c.session.proxies is proxies
    else:
        assert c.session.proxies == requests.Session().proxies


def test_session_comes_from_requests_at_construction(sim_settings, monkeypatch) -> None:
    class Tagged(requests.Session):
        pass

    monkeypatch.setattr(requests, "Session", Tagged)
    assert type(Client(True, None).session) is Tagged


@pytest.mark.parametrize(
    "call",
    [
        lambda: Client(),
        lambda: Client(True),
        lambda: Client(True, None, None),
        lambda: Client(True, None, extra=1),
        lambda: Client(True, None).login(123, "pw"),
        lambda: Client(True, None).login("A1", None),
        lambda: Client(True, None).login("A1", b"pw"),
        lambda: Client(True, None).login("A1"),
        lambda: _login(requests.Session(), 5, "A1", "x"),
        lambda: _login(requests.Session(), "http://127.0.0.1:9/", "A1", None),
        lambda: _login(requests.Session(), "http://127.0.0.1:9/"),
    ],
)
def test_wrong_argument_types_raise_type_error(sim_settings, call) -> None:
    with pytest.raises(TypeError):
        call()


def test_login_against_the_broker(sim_settings) -> None:
    c = Client(True, None)
    stock, futures = c.login(PERSON_ID, PASSWORD)
    # The broker's third account is of a type this package does not know; it is dropped.
    assert [type(a) for a in c.accounts] == [StockAccount, FutureAccount]
    assert (stock, futures) == ([c.accounts[0]], [c.accounts[1]])
    assert (c.default_stock_account, c.default_futopt_account) == (stock[0], futures[0])
    assert stock[0].account_id == "1234567" and stock[0].person_id == PERSON_ID
    assert sim_settings.state.user_of(c._token).person_id == PERSON_ID
    assert (c._public_ip, c.person_id) == ("127.0.0.1", PERSON_ID)
    assert c.hashpasswd == hashlib.md5(PASSWORD.encode()).hexdigest()
    assert list(vars(c))[-3:] == ["_public_ip", "person_id", "hashpasswd"]


def test_failed_login_keeps_the_previous_login(sim_settings, caplog) -> None:
    c = Client(True, None)
    assert c.login("B987654321", "wrong") == ([], [])
    assert (c._token, c.accounts, c.default_stock_account) == ("", [], None)
    c.login(PERSON_ID, PASSWORD)
    before = snapshot(c)
    with caplog.at_level(logging.ERROR, logger="taloma"):
        stock, futures = c.login("B987654321", "wrong")
    assert snapshot(c) == before and (stock, futures) == ([before["accounts"][0]], [before["accounts"][1]])
    assert (c.person_id, c.hashpasswd) == ("B987654321", hashlib.md5(b"wrong").hexdigest())
    assert any("Login failed" in r.getMessage() for r in caplog.records if r.levelno == logging.ERROR)


def test_non_ascii_password_digested_as_utf8(monkeypatch) -> None:
    password = "pässwörd-密碼"
    sent = []

    class Recording(requests.Session):
        def post(self, url, **kwargs):
            sent.append(kwargs["json"])
            return super().post(url, **kwargs)

    monkeypatch.setattr(requests, "Session", Recording)
    with BrokerSimulator(users=[("C223344556", password)]) as sim:
        monkeypatch.setattr(settings, "api_url_simulation", sim.base_url)
        c = Client(True, None)
        c.login("C223344556", password)
    digest = hashlib.md5(password.encode("utf-8")).hexdigest()
    assert c._token and c.hashpasswd == digest
    assert sent == [{"user_id": "C223344556", "password": digest, "domain": "python-api"}]
    assert list(sent[0]) == ["user_id", "password", "domain"]


@pytest.mark.parametrize(
    "success,succeeds",
    [
        ("True", True),
        ("TRUE", True),
        ("true", True),
        ("tRuE", True),
        ("false", False),
        ("False", False),
        ("", False),
        ("true ", False),
        ("yes", False),
    ],
)
def test_success_is_judged_case_insensitively(scripted, success, succeeds) -> None:
    before = snapshot(scripted)
    scripted.session.replies["getToken"] = {
        "success": success,
        "result": {"token": "T2", "accounts": [entry("F", "F-2"), entry("S", "S-2"), entry("S", "S-3")]},
    }
    stock, futures = scripted.login(PERSON_ID, PASSWORD)
    if succeeds:
        assert scripted._token == "T2"
        assert [a.account_id for a in scripted.accounts] == ["F-2", "S-2", "S-3"]
        assert [a.account_id for a in stock] == ["S-2", "S-3"] and [a.account_id for a in futures] == ["F-2"]
        assert scripted.default_stock_account.account_id == "S-2"
    else:
        assert snapshot(scripted) == before


def test_success_without_result_empties_the_login(scripted) -> None:
    scripted.session.replies["getToken"] = {"success": "True"}
    assert scripted.login(PERSON_ID, PASSWORD) == ([], [])
    assert snapshot(scripted) == {
        "_token": "",
        "accounts": [],
        "default_stock_account": None,
        "default_futopt_account": None,
    }


def test_defaults_are_recomputed_after_a_failed_login(scripted) -> None:
    futures = FutureAccount(person_id="P", broker_id="F1", account_id="9", username="u")
    scripted.accounts = [Account(account_type="X"), futures]
    scripted.session.replies["getToken"] = {"success": "false", "result": {}}
    assert scripted.login(PERSON_ID, PASSWORD) == ([], [futures])
    assert (scripted.default_stock_account, scripted.default_futopt_account) == (None, futures)


@pytest.mark.parametrize(
    "reply,error",
    [
        ({"result": {"token": "T2"}}, KeyError),
        ({"success": True, "result": {"token": "T2"}}, NOT_TEXT),
        ({"success": 1, "result": {"token": "T2"}}, NOT_TEXT),
        ({"success": None}, NOT_TEXT),
        ({"success": ["true"]}, NOT_TEXT),
        ({"success": b"true"}, NOT_TEXT),
        ({"success": "True", "result": {"token": "T2", "accounts": [entry("S", "S-2"), {"idno": "x"}]}}, KeyError),
        *[
            (
                {
                    "success": "True",
                    "result": {"token": "T2", "accounts": [{k: v for k, v in entry("F", "F-2").items() if k != key}]},
                },
                KeyError,
            )
            for key in ("idno", "broker_id", "account", "username")
        ],
    ],
)
def test_unjudgeable_replies_leave_the_login_untouched(scripted, reply, error) -> None:
    before = snapshot(scripted)
    scripted.session.replies["getToken"] = reply
    scripted.session.replies["getClientIP"] = {"result": {"client_ip": "203.0.113.5"}}
    with pytest.raises(error) as raised:
        scripted.login("Z999", "new-pass")
    assert error is not NOT_TEXT or (isinstance(raised.value, NOT_TEXT[0]) and isinstance(raised.value, NOT_TEXT[1]))
    assert snapshot(scripted) == before
    assert (scripted._public_ip, scripted.person_id) == ("203.0.113.5", "Z999")
    assert scripted.hashpasswd == hashlib.md5(b"new-pass").hexdigest()


def test_unknown_account_type_is_dropped_before_its_fields_are_read(scripted) -> None:
    scripted.session.replies["getToken"] = {
        "success": "True",
        "result": {"token": "T2", "accounts": [{"accttype": "H"}, entry("S", "S-9")]},
    }
    stock, futures = scripted.login(PERSON_ID, PASSWORD)
    assert [a.account_id for a in stock] == ["S-9"] and futures == []


def test_success_is_logged_at_debug(scripted, caplog) -> None:
    with caplog.at_level(logging.DEBUG, logger="taloma"):
        scripted.login(PERSON_ID, PASSWORD)
    assert [r.levelno for r in caplog.records] == [logging.DEBUG]
    # The token is masked; its key and the rest of the reply stay.
    assert "T1" not in caplog.records[0].getMessage() and "'token': '***'" in caplog.records[0].getMessage()
    assert caplog.records[0].msg["result"]["accounts"] == scripted.session.replies["getToken"]["result"]["accounts"]


@pytest.mark.parametrize(
    "reply,ip",
    [
        ({}, "127.0.0.1"),
        ({"result": {}}, "127.0.0.1"),
        ({"success": "True", "result": {"client_ip": "203.0.113.9"}}, "203.0.113.9"),
    ],
)
def test_public_ip(scripted, reply, ip) -> None:
    scripted.session.replies["getClientIP"] = reply
    scripted._public_ip = "unchanged"
    assert scripted.get_public_ip() == ip
    assert scripted._public_ip == "unchanged"
    assert scripted.session.requests[-1] == ("GET", scripted.public_ip_uri, None)


def test_login_exchange_returns_the_decoded_reply(sim_settings) -> None:
    c = Client(True, None)
    reply = _login(c.session, c.login_uri, PERSON_ID, hashlib.md5(PASSWORD.encode()).hexdigest())
    assert reply["success"] == "True" and set(reply["result"]) == {"token", "accounts"}
    assert _login(c.session, c.login_uri, PERSON_ID, PASSWORD)["success"] == "False"  # sent as given


@pytest.fixture
def not_json_service(monkeypatch):
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            body = b"<html>maintenance</html>"
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        do_POST = do_GET  # noqa: N815

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    monkeypatch.setattr(settings, "api_url_simulation", f"http://127.0.0.1:{server.server_address[1]}")
    yield
    server.shutdown()
    server.server_close()


def test_non_json_reply_raises_the_decoders_error(not_json_service) -> None:
    c = Client(True, None)
    with pytest.raises(json.JSONDecodeError):
        c.get_public_ip()
    with pytest.raises(ValueError):
        c.login(PERSON_ID, PASSWORD)
    with pytest.raises(ValueError):
        _login(c.session, c.login_uri, PERSON_ID, "x")
    assert "person_id" not in vars(c)


def test_unreachable_service_fails_before_credentials_are_sent(monkeypatch) -> None:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    monkeypatch.setattr(settings, "api_url_simulation", f"http://127.0.0.1:{port}")
    c = Client(True, None)
    posts = []
    monkeypatch.setattr(client_module, "_login", lambda *args: posts.append(args))
    with pytest.raises(requests.ConnectionError):
        c.login(PERSON_ID, PASSWORD)
    assert posts == [] and not {"person_id", "hashpasswd"} & set(vars(c)) and c._public_ip is None
