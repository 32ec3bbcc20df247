"""The session against the simulated broker: login, orders and their states, fills, accounts, signing."""

from __future__ import annotations

import datetime as dt
import logging
import queue
import socket
from decimal import Decimal

import pytest
import requests

import taloma.backend.http as settings
from support import run_python
from support.broker import PASSWORD, PERSON_ID
from support.sim_process import simulator
from taloma import LoginError, NotLoggedIn, OrderError, QueryError, Session, TalomaError
from taloma.account import FutureAccount
from taloma.constant import Action
from taloma.contracts import Future, Stock
from taloma.order import Status
from taloma.simulator import BrokerSimulator
from taloma.Vorn.testca import make_demo_identity

# A futures bid no broker without a market ever fills (one with a market refuses it: outside the day's limits).
FAR_BELOW = 9000


def closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


@pytest.fixture(scope="module")
def market():
    with BrokerSimulator(
        users=[(PERSON_ID, PASSWORD)], market=True, bus="auto", speed=20, seed=5, catalogue_stocks=80
    ) as sim:
        yield sim


@pytest.fixture(scope="module")
def cache(tmp_path_factory):
    return tmp_path_factory.mktemp("catalogue")


@pytest.fixture(scope="module")
def session(market, cache):
    with Session(url=market.api_uri, bus_url=market.bus_url, cache_dir=cache) as s:
        s.login(PERSON_ID, PASSWORD)
        yield s


@pytest.fixture(scope="module")
def front(market):
    return market.market.codes()[0]  # the front-month index future


@pytest.fixture(scope="module")
def call(market):
    return next(code for code in market.market.codes() if code.startswith("TXO"))


@pytest.fixture(scope="module")
def low(market, front):
    """The lowest bid the day's limits allow: it rests unless the market falls ten percent."""
    return int(market.market.instrument(front).limit_down)


@pytest.fixture(scope="module")
def small_broker():
    """A broker without a market and with a small catalogue, for tests that change its state."""
    with BrokerSimulator(users=[(PERSON_ID, PASSWORD)], seed=9, catalogue_stocks=80) as sim:
        yield sim


@pytest.fixture
def resting(session, front, low):
    trade = session.place_order(front, "Buy", 2, low)
    assert trade.status.status is Status.Submitted, trade.status.msg
    yield trade
    if trade.status.status is Status.Submitted:
        session.cancel(trade)


# ---- login --------------------------------------------------------------------------------


@pytest.mark.parametrize("address", ["base_url", "api_uri", "api_uri_no_slash"])
def test_url_with_or_without_its_api_path_leaves_the_settings_alone(broker, address):
    before = settings.api_url_simulation
    url = {"base_url": broker.base_url, "api_uri": broker.api_uri, "api_uri_no_slash": broker.api_uri[:-1]}[address]
    with Session(url=url) as s:
        accounts = s.login(PERSON_ID, PASSWORD)
        assert s.url == broker.api_uri
        assert accounts == s.accounts and s.futopt_account in accounts and s.stock_account in accounts
    assert settings.api_url_simulation == before


@pytest.mark.parametrize("package_log", ["on", "off"])
def test_refused_login_carries_the_services_reason(broker, caplog, package_log):
    if package_log == "off":
        caplog.set_level(logging.CRITICAL, logger="taloma")
    with Session(url=broker.base_url) as s, pytest.raises(LoginError, match="wrong user id or password"):
        s.login(PERSON_ID, "not-the-password")
    assert not [r for r in caplog.records if r.levelname == "ERROR"]  # raised, not also logged


def test_unreachable_service_names_the_address():
    port = closed_port()
    with Session(url=f"http://127.0.0.1:{port}") as s, pytest.raises(LoginError, match=f"127.0.0.1:{port}") as e:
        s.login(PERSON_ID, PASSWORD)
    assert isinstance(e.value.__cause__, requests.ConnectionError)


@pytest.mark.parametrize(
    "use",
    [
        lambda s: s.place_order(Future(code="TXFL6", exchange="TAIFEX"), "Buy", 1, 17000),
        lambda s: s.refresh(),
        lambda s: s.positions(),
        lambda s: s.margin(),
        lambda s: s.settlements(dt.date.today(), dt.date.today()),
        lambda s: s.contracts,
        lambda s: s.use_certificate("any.p12", "pw"),
        lambda s: s.on_fill(print),
    ],
    ids=["place_order", "refresh", "positions", "margin", "settlements", "contracts", "use_certificate", "on_fill"],
)
def test_calls_before_login_raise_without_sending(use):
    # Nothing listens at the address: a request sent would fail with a network error instead.
    with Session(url=f"http://127.0.0.1:{closed_port()}") as s, pytest.raises(NotLoggedIn):
        use(s)


def test_close_is_safe_twice_and_ends_the_session(broker):
    s = Session(url=broker.base_url)
    s.login(PERSON_ID, PASSWORD)
    s.close()
    s.close()
    with pytest.raises(TalomaError, match="closed"):
        s.refresh()


# ---- orders -------------------------------------------------------------------------------

BAD_ORDERS = [
    ({"contract": Stock(code="2330", exchange="TSE")}, TypeError, "only futures and options"),
    ({"contract": 2330}, TypeError, "contract"),
    ({"contract": "TXFZ9"}, KeyError, "TXFZ9"),
    ({"action": "hold"}, ValueError, "action must be one of 'Buy', 'Sell'"),
    ({"action": 1}, TypeError, "action"),
    ({"quantity": 0}, ValueError, "quantity"),
    ({"quantity": True}, TypeError, "quantity"),
    ({"quantity": 1.0}, TypeError, "quantity"),
    ({"price": None}, ValueError, "price is required"),
    ({"price": Decimal("17000.5")}, ValueError, "nearest valid prices 17000 and 17001"),
    ({"price": 0.1 + 0.2}, ValueError, "price"),
    ({"price": "abc"}, ValueError, "price"),
    ({"price": -5}, ValueError, "price must be positive"),
    ({"price": float("nan")}, ValueError, "price"),
    ({"price": [17000]}, TypeError, "price"),
    ({"price_type": "MKT"}, ValueError, "price must be None"),
    ({"price_type": "limit"}, ValueError, "price_type must be one of 'LMT', 'MKT', 'MKP'"),
    ({"order_type": "GTC"}, ValueError, "order_type must be one of 'ROD', 'IOC', 'FOK'"),
    ({"octype": "close"}, ValueError, "octype must be one of 'Auto', 'New', 'Cover', 'DayTrade'"),
    ({"account": "stock"}, TypeError, "account must be a FutureAccount"),
    ({"account": FutureAccount(broker_id="F002000", account_id="1")}, ValueError, "not an account of this login"),
]


@pytest.mark.parametrize(
    "change, error, words", BAD_ORDERS, ids=[f"{next(iter(c))}={next(iter(c.values()))!r}" for c, _, _ in BAD_ORDERS]
)
def test_bad_order_arguments_are_refused_before_sending(session, front, low, change, error, words):
    if change.get("account") == "stock":
        change = {"account": session.stock_account}
    given = {"contract": front, "action": "Buy", "quantity": 1, "price": low, **change}
    listed = len(session.refresh())
    with pytest.raises(error, match=words.replace("(", r"\(")):
        session.place_order(
            given.pop("contract"), given.pop("action"), given.pop("quantity"), given.pop("price"), **given
        )
    assert len(session.refresh()) == listed


@pytest.mark.parametrize(
    "amend, error, words",
    [
        ({}, ValueError, "exactly one"),
        ({"price": 1, "quantity": 1}, ValueError, "exactly one"),
        ({"quantity": 2}, ValueError, "fewer than the 2 lots"),
        ({"quantity": 0}, ValueError, "quantity"),
        ({"price": ".5"}, ValueError, "nearest valid prices {low} and {above}"),
    ],
)
def test_bad_amendments_are_refused_before_sending(session, resting, low, amend, error, words):
    amend = {k: f"{low}{v}" if k == "price" and isinstance(v, str) else v for k, v in amend.items()}
    with pytest.raises(error, match=words.format(low=low, above=low + 1)):
        session.amend(resting, **amend)
    session.refresh()
    assert (resting.status.cancel_quantity, resting.status.modified_price) == (0, 0)


@pytest.mark.parametrize("price", [0.3, Decimal("0.3"), " 0.3 ", "0.30", 17.5])
def test_option_premium_is_sent_exactly(market, session, call, cache, price):
    trade = session.place_order(call, Action.Buy, 1, price)
    assert trade.status.status is Status.Submitted, trade.status.msg
    try:
        # Another session sees the order only as the service stored it.
        with Session(url=market.api_uri, cache_dir=cache) as other:
            other.login(PERSON_ID, PASSWORD)
            [seen] = [t for t in other.refresh() if t.order.seqno == trade.order.seqno]
        assert Decimal(repr(seen.order.price)) == Decimal(str(price).strip())
    finally:
        session.cancel(trade)


def test_amend_and_cancel_follow_the_service(session, resting, low):
    assert session.amend(resting, quantity=1) is resting
    assert (resting.status.status, resting.status.cancel_quantity) == (Status.Submitted, 1)
    session.amend(resting, price=low + 1)
    assert resting.status.modified_price == low + 1
    session.cancel(resting)
    assert (resting.status.status, resting.status.cancel_quantity, resting.status.status_code) == (
        Status.Cancelled,
        2,
        "0004",
    )
    with pytest.raises(OrderError, match="no quantity left") as refused:
        session.cancel(resting)
    assert refused.value.msg == "order has no quantity left to cancel"
    with pytest.raises(OrderError, match="no quantity left"):
        session.amend(resting, price=low)


def test_fill_reaches_the_placed_trade_then_positions_and_margin(session, front):
    fills: queue.Queue = queue.Queue()
    session.on_fill(lambda trade, event: fills.put((trade, event, trade.status.status, trade.status.deal_quantity)))
    before = {p.code: p for p in session.positions()}
    trade = session.place_order(front, "buy", 1, price_type="mkt", order_type="ioc")
    heard, event, status, deal = fills.get(timeout=30)
    assert heard is trade  # even when the fill was heard before the order's reply was read
    assert (status, deal, event["seqno"]) == (Status.Filled, 1, trade.order.seqno)
    session.refresh()
    assert (trade.status.status, trade.status.status_code, trade.status.deal_quantity) == (Status.Filled, "0002", 1)

    [position] = [p for p in session.positions() if p.code == trade.contract.code]
    assert position.action is Action.Buy and isinstance(position.quantity, int)
    assert position.quantity == (before[position.code].quantity + 1 if position.code in before else 1)
    assert all(isinstance(v, Decimal) for v in (position.avg_price, position.last_price, position.unrealised_pnl))
    margin = session.margin()
    assert isinstance(margin.equity, Decimal) and margin.initial_margin > 0 and margin.fee > 0


def test_orders_placed_elsewhere_are_added_and_can_be_cancelled(market, session, front, cache):
    with Session(url=market.api_uri, cache_dir=cache) as other:
        other.login(PERSON_ID, PASSWORD)
        placed = other.place_order(front, "Sell", 1, int(market.market.instrument(front).limit_up))
    [trade] = [t for t in session.refresh() if t.order.seqno == placed.order.seqno]
    assert trade.order.account == session.futopt_account and trade.status.status is Status.Submitted
    assert session.cancel(trade).status.status is Status.Cancelled


def test_settlements_are_dated_rows(session, front):
    start, end = dt.date.today() - dt.timedelta(days=3), dt.date.today() + dt.timedelta(days=3)
    for action in ("sell", "buy"):  # opens or closes, whatever the position: one closing fill at least
        session.place_order(front, action, 1, price_type="MKT", order_type="IOC")
    rows = session.settlements(start, end)
    assert rows and all(start <= r.date <= end and isinstance(r.pnl, Decimal) and r.quantity > 0 for r in rows)
    with pytest.raises(ValueError, match="after end"):
        session.settlements(end, start)


# ---- an expired login ---------------------------------------------------------------------


def test_expired_login_refusals_carry_the_reason_until_logged_in_again(small_broker, cache):
    with Session(url=small_broker.base_url, cache_dir=cache) as s:
        s.login(PERSON_ID, PASSWORD)
        contract = s.contracts.front_month("TXF")
        resting = s.place_order(contract, "Buy", 1, FAR_BELOW)
        small_broker.expire_sessions()

        failed = s.place_order(contract, "Buy", 1, FAR_BELOW)
        assert failed.status.status is Status.Failed and "expired" in failed.status.msg
        assert failed in s.trades
        with pytest.raises(OrderError, match="expired"):
            s.cancel(resting)
        with pytest.raises(QueryError, match="expired") as refused:
            s.positions()
        assert "expired" in refused.value.msg
        with pytest.raises(QueryError, match="expired"):
            s.refresh()

        s.login(PERSON_ID, PASSWORD)
        assert s.cancel(resting).status.status is Status.Cancelled


# ---- signing ------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def identity(tmp_path_factory):
    return make_demo_identity(tmp_path_factory.mktemp("identity"), password="pfx-password")


@pytest.fixture(scope="module")
def verifying(identity):
    with BrokerSimulator(users=[(PERSON_ID, PASSWORD)], trusted_ca=[identity[2]], seed=3, catalogue_stocks=80) as sim:
        yield sim


def test_orders_are_signed_once_a_certificate_is_used(verifying, identity, cache, tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path))
    with Session(url=verifying.base_url, cache_dir=cache) as s:
        s.login(PERSON_ID, PASSWORD)
        contract = s.contracts.front_month("TXF")
        unsigned = s.place_order(contract, "Buy", 3, FAR_BELOW)
        assert unsigned.status.status is Status.Failed and unsigned.status.msg

        s.use_certificate(identity[0], identity[1])
        trade = s.place_order(contract, "Buy", 3, FAR_BELOW)
        assert trade.status.status is Status.Submitted, trade.status.msg
        s.amend(trade, price=FAR_BELOW + 1)
        s.amend(trade, quantity=1)
        assert s.cancel(trade).status.cancel_quantity == 3


@pytest.mark.parametrize(
    "which, error, words",
    [
        ("missing", FileNotFoundError, "nowhere.p12"),
        ("wrong password", TalomaError, "cannot open the certificate .*demo-user.p12"),
    ],
)
def test_a_certificate_that_cannot_be_used_is_named(broker, identity, tmp_path, monkeypatch, which, error, words):
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path))
    path = tmp_path / "nowhere.p12" if which == "missing" else identity[0]
    with Session(url=broker.base_url) as s:
        s.login(PERSON_ID, PASSWORD)
        with pytest.raises(error, match=words):
            s.use_certificate(path, "not-the-password")


def test_production_orders_need_a_certificate(fresh_broker):
    # A broker of its own: the shared one holds other tests' orders, which refresh() rightly lists.
    with Session(False, url=fresh_broker.base_url) as s:
        s.login(PERSON_ID, PASSWORD)
        with pytest.raises(TalomaError, match="use_certificate"):
            s.place_order(Future(code="TXFL6", exchange="TAIFEX", underlying_code="#001"), "Buy", 1, FAR_BELOW)
        assert s.trades == [] and s.refresh() == []


_SIGNED_RUN = r"""
import sys
from taloma import Session
url, pfx, password, cache = sys.argv[1:]
with Session(url=url, cache_dir=cache) as s:
    s.login("A123456789", "taloma-demo")
    s.use_certificate(pfx, password)
    print(s.place_order(s.contracts.front_month("TXF"), "Buy", 1, 9000).status.status)
"""


def test_signing_logs_no_error_and_not_in_the_working_folder(identity, tmp_path):
    # The broker (and its verifier) in a process of its own: the signer opened here is the first of its process,
    # which is the one that sets where the signing library logs.
    work, state = tmp_path / "work", tmp_path / "state"
    work.mkdir()
    with simulator(tmp_path, "--trusted-ca", identity[2], "--stocks", "80") as url:
        done = run_python(
            _SIGNED_RUN, url, identity[0], identity[1], str(tmp_path / "cache"), cwd=work, XDG_STATE_HOME=str(state)
        )
    assert done.returncode == 0 and done.stdout.split() == ["Submitted"], done.stderr
    assert list(work.iterdir()) == []
    logged = [line for p in state.rglob("*") if p.is_file() for line in p.read_bytes().splitlines()]
    assert not [line for line in logged if b" ERROR " in line]


# ---- market data --------------------------------------------------------------------------


def test_market_data_by_code_and_without_a_bus(session, front, broker, monkeypatch):
    ticks: queue.Queue = queue.Queue()
    session.subscribe(front, ticks.put)
    tick = ticks.get(timeout=30)
    assert tick.code == front and session.last(front) is not None and "dropped" in session.feed_stats
    session.unsubscribe(front)

    monkeypatch.delenv("TALOMA_BUS_URL", raising=False)
    with Session(url=broker.base_url) as s, pytest.raises(TalomaError, match="bus"):
        s.subscribe(Future(code="TXFL6", exchange="TAIFEX"), print)
