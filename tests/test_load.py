"""Signed orders from four threads sharing one Client, against the simulator run from its command line.

The broker runs in a process of its own (``python -m taloma.simulator --trusted-ca ...``), so it
verifies every signature with a verifier of its own and the client's threads really overlap with
it. Every order is placed, re-priced, reduced and cancelled; the final query must list each
placed order exactly once, in its final state, and nothing else.
"""

from __future__ import annotations

import random
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest

import taloma.backend.http as settings
from sim_process import simulator as simulator_process

pytest.importorskip("taloma.backend.http.client", reason="the native Client is not built")
pytest.importorskip("taloma.Vorn.ca", reason="the signing module is not built")

import taloma.backend.http.futureoption.order as fo  # noqa: E402
from taloma.backend.http.client import Client  # noqa: E402
from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType  # noqa: E402
from taloma.contracts import Future, Option  # noqa: E402
from taloma.order import Order, Status, Trade  # noqa: E402

PERSON_ID, PASSWORD = "A123456789", "load-test"
THREADS = 4
CONTRACTS = (Future(code="TXFC6", exchange="TAIFEX"), Option(code="TXO1800000C6", exchange="TAIFEX", option_right="C"))


def simulator(folder: Path, *args: str) -> Any:
    return simulator_process(folder, "--user", f"{PERSON_ID}:{PASSWORD}", *args)


@pytest.fixture(scope="module")
def identity(tmp_path_factory: pytest.TempPathFactory) -> tuple[str, str, str]:
    from taloma.Vorn.testca import make_demo_identity

    return make_demo_identity(tmp_path_factory.mktemp("identity"))


@dataclass
class Placed:
    trade: Trade
    quantity: int
    price: int
    new_price: int


class Load:
    """Four threads, one Client, one signer; each operation signed afresh."""

    def __init__(self, client: Client, signer: Any, retry_failures: bool) -> None:
        self.client, self.signer, self.retry = client, signer, retry_failures
        self.refused = 0
        self._lock = threading.Lock()

    def ca_content(self, what: str) -> str:
        return self.signer.gen_ca(f"{self.signer.fix_content}{what}{time.time()}").decode("ascii")

    def call(self, what: str, send: Any) -> dict[str, Any]:
        """One request; a "simulated failure" is retried when failures are injected."""
        for _ in range(50):
            reply = send(self.ca_content(what))
            if reply.get("success") == "True" or not (self.retry and reply.get("msg") == "simulated failure"):
                return reply
            with self._lock:
                self.refused += 1
        raise AssertionError(f"{what}: fifty simulated failures in a row")

    def place(self, n: int) -> Placed | None:
        contract = CONTRACTS[n % 2]
        quantity, price = 2 + n % 4, 10_000 + n
        order = Order(action=(Action.Buy, Action.Sell)[n // 2 % 2], price_type=FuturesPriceType.LMT,
                      order_type=OrderType.ROD, price=price, quantity=quantity, octype=FuturesOCType.Auto,
                      account=self.client.default_futopt_account)
        # A placement is not retried: a refused one must simply be absent from the book.
        reply = fo.place_futopt_order(contract, order, self.ca_content(f"place {n}"), self.client)
        order, status, ok = fo.futopt_resp2order_status(reply, order)
        if not ok:
            assert self.retry and reply.get("msg") == "simulated failure", reply
            assert status.status is Status.Failed and order.seqno == "" and order.ordno == ""
            with self._lock:
                self.refused += 1
            return None
        # The reply is this thread's own, not another thread's.
        result = reply["result"]
        assert (result["stock_id"], result["quantity"]) == (contract.code, quantity), reply
        assert status.status is Status.PendingSubmit
        return Placed(Trade(contract=contract, order=order, status=status), quantity, price, price - 1)

    def amend_and_cancel(self, p: Placed) -> None:
        t, seqno = p.trade, p.trade.order.seqno
        reply = self.call(f"price {seqno}", lambda ca: fo.update_futopt_order_price(t, ca, self.client, p.new_price))
        assert reply["success"] == "True" and reply["result"]["seqno"] == seqno, reply
        reply = self.call(f"qty {seqno}", lambda ca: fo.update_futopt_order_qty(t, ca, self.client, 1))
        assert reply["success"] == "True" and reply["result"]["quantity"] == p.quantity - 1, reply
        reply = self.call(f"cancel {seqno}", lambda ca: fo.cancel_futopt_order(t, ca, self.client))
        assert reply["success"] == "True" and reply["result"]["quantity"] == 0, reply

    def road(self, n: int) -> Placed | None:
        placed = self.place(n)
        if placed is not None:
            self.amend_and_cancel(placed)
        return placed


def run_load(folder: Path, identity: tuple[str, str, str], orders: int,
             *broker_args: str) -> tuple[Load, list[Placed], dict[str, Any]]:
    from taloma.Vorn.ca import PyVornSign

    pfx, password, ca_pem = identity
    with simulator(folder, "--trusted-ca", ca_pem, *broker_args) as base_url:
        with pytest.MonkeyPatch.context() as mp:
            mp.setattr(settings, "api_url_simulation", base_url)
            client = Client(simulation=True, proxies=None)
            for _ in range(50):  # the login may meet an injected failure too
                client.login(PERSON_ID, PASSWORD)
                if client._token:
                    break
            assert client._token
            mp.chdir(folder)  # the signer's property file and log stay in the test's folder
            signer = PyVornSign(pfx, password, PERSON_ID, client._public_ip)
            load = Load(client, signer, retry_failures="--failure-rate" in broker_args)
            numbers = list(range(orders))
            random.Random(orders).shuffle(numbers)
            with ThreadPoolExecutor(THREADS) as pool:
                placed = [p for p in pool.map(load.road, numbers) if p is not None]
            for _ in range(50):
                listed = fo.query_futopt_order(client)
                if listed or not placed:
                    break
            return load, placed, listed


def check_accounted(placed: list[Placed], listed: dict[str, dict[str, Any]]) -> None:
    ids = [p.trade.status.id for p in placed]
    seqnos = [p.trade.order.seqno for p in placed]
    assert len(set(ids)) == len(ids) and len(set(seqnos)) == len(seqnos), "two placements got one number"
    assert sorted(listed) == sorted(ids), "the query lists orders that were not placed, or misses some"
    for p in placed:
        entry = listed[p.trade.status.id]
        assert (entry["st_seqno"], entry["st_ordqty"], entry["st_price1"]) == (p.trade.order.seqno, p.quantity,
                                                                               p.price)
        trade = fo.resp2trade(entry, p.trade)
        assert trade.status.cancel_quantity == p.quantity and trade.status.modified_price == p.new_price
        assert trade.status.msg == "order cancelled" and trade.status.deal_quantity == 0


def test_a_thousand_signed_orders_from_four_threads(tmp_path: Path, identity: tuple[str, str, str]) -> None:
    load, placed, listed = run_load(tmp_path, identity, 1000, "--latency", "0.001")
    assert load.refused == 0 and len(placed) == 1000
    check_accounted(placed, listed)


def test_injected_failures_lose_and_double_nothing(tmp_path: Path, identity: tuple[str, str, str]) -> None:
    load, placed, listed = run_load(tmp_path, identity, 200, "--failure-rate", "0.2", "--seed", "3")
    # About a fifth of all requests fail; the refused placements are simply not in the book.
    assert 20 < load.refused and 100 < len(placed) < 200
    check_accounted(placed, listed)


def test_unsigned_orders_are_refused_by_a_verifying_broker(tmp_path: Path, identity: tuple[str, str, str]) -> None:
    _, _, ca_pem = identity
    with simulator(tmp_path, "--trusted-ca", ca_pem) as base_url, pytest.MonkeyPatch.context() as mp:
        mp.setattr(settings, "api_url_simulation", base_url)
        client = Client(simulation=True, proxies=None)
        client.login(PERSON_ID, PASSWORD)
        order = Order(action=Action.Buy, price_type=FuturesPriceType.LMT, order_type=OrderType.ROD, price=1,
                      quantity=1, octype=FuturesOCType.Auto, account=client.default_futopt_account)
        reply = fo.place_futopt_order(CONTRACTS[0], order, "unsigned", client)
        assert reply["success"] == "False" and "ca_content" in reply["msg"]
        assert fo.query_futopt_order(client) == {}


class TestCommandLine:
    def test_catalogue_size_and_users(self, tmp_path: Path) -> None:
        from taloma.backend.http.contract import fetch_available_product

        with simulator(tmp_path, "--stocks", "80", "--user", "B987654321:second") as base_url, \
                pytest.MonkeyPatch.context() as mp:
            mp.setattr(settings, "api_url_simulation", base_url)
            counts = {}
            for person_id, password in ((PERSON_ID, PASSWORD), ("B987654321", "second")):
                client = Client(simulation=True, proxies=None)
                client.login(person_id, password)
                assert client._token and client.default_futopt_account is not None
            for kind in "SFO":
                counts[kind] = sum(len(v) for v in fetch_available_product(client, kind).values())
        # Ten stocks (one in eight) underlie futures and options, beside the index products.
        assert counts["S"] == 80
        assert counts["F"] == 5 * 5 + 10 * 5
        assert 4000 < counts["O"] < 10000

    @pytest.mark.parametrize("args, complaint", [
        (["--failure-rate", "1.5"], "outside 0..1"),
        (["--port", "70000"], "outside 0..65535"),
        (["--stocks", "0"], "outside 1..8861"),
        (["--latency", "soon"], "not a number"),
        (["--user", "nopassword"], "expected PERSON_ID:PASSWORD"),
    ])
    def test_bad_options_are_refused(self, capsys, args: list[str], complaint: str) -> None:
        from taloma.simulator.__main__ import main

        with pytest.raises(SystemExit) as exc:
            main(args)
        assert exc.value.code == 2 and complaint in capsys.readouterr().err
