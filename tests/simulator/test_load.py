"""Signed orders from four threads sharing one Client, against the simulator run from its command line.

The broker runs in a process of its own (``python -m taloma.simulator --trusted-ca ...``), so it
verifies every signature with a verifier of its own and the client's threads really overlap with
it. Every order is placed, re-priced, reduced and cancelled; the final query must list each
placed order exactly once, in its final state, and nothing else.

The fills half trades two accounts against the simulated market from four threads (random sides,
order and price types, prices about the touch) and checks every order's quantities, prices and
type rules, each account's positions and profit against a recomputation from its fills, and the
fill events heard on the bus against the broker's record of them.
"""

from __future__ import annotations

import random
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from decimal import Decimal
from pathlib import Path
from typing import Any

import pytest

import taloma.backend.http as settings
from support.sim_process import simulator as simulator_process

pytest.importorskip("taloma.backend.http.client", reason="the native Client is not built")
pytest.importorskip("taloma.Vorn.ca", reason="the signing module is not built")

import taloma.backend.http.futureoption.order as fo
from taloma.backend.http.client import Client
from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType
from taloma.contracts import Future, Option
from taloma.order import Order, Status, Trade
from taloma.signing import order_text

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

    def ca_content(self, operation: str, contract: Any, order: Order, **change: Any) -> str:
        """The signature of a placement of ``order``, or of a change or cancel of the placed one."""
        if operation == "place":
            change = dict(action=order.action, price=order.price, quantity=order.quantity)
        else:
            change |= dict(ordno=order.ordno, seqno=order.seqno)
        text = order_text(operation, person_id=PERSON_ID, account=order.account, code=contract.code, **change)
        return self.signer.gen_ca(text).decode("ascii")

    def call(self, operation: str, t: Trade, send: Any, **change: Any) -> dict[str, Any]:
        """One request, signed afresh; a "simulated failure" is retried when failures are injected."""
        for _ in range(50):
            reply = send(self.ca_content(operation, t.contract, t.order, **change))
            if reply.get("success") == "True" or not (self.retry and reply.get("msg") == "simulated failure"):
                return reply
            with self._lock:
                self.refused += 1
        raise AssertionError(f"{operation} {t.order.seqno}: fifty simulated failures in a row")

    def place(self, n: int) -> Placed | None:
        contract = CONTRACTS[n % 2]
        # On the tick ladder of both contracts (options tick 1 from 50 to 500).
        quantity, price = 2 + n % 4, 100 + n % 400
        order = Order(
            action=(Action.Buy, Action.Sell)[n // 2 % 2],
            price_type=FuturesPriceType.LMT,
            order_type=OrderType.ROD,
            price=price,
            quantity=quantity,
            octype=FuturesOCType.Auto,
            account=self.client.default_futopt_account,
        )
        # A placement is not retried: a refused one must simply be absent from the book.
        reply = fo.place_futopt_order(contract, order, self.ca_content("place", contract, order), self.client)
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
        reply = self.call(
            "update_price",
            t,
            lambda ca: fo.update_futopt_order_price(t, ca, self.client, p.new_price),
            price=p.new_price,
        )
        assert reply["success"] == "True" and reply["result"]["seqno"] == seqno, reply
        reply = self.call("update_qty", t, lambda ca: fo.update_futopt_order_qty(t, ca, self.client, 1), quantity=1)
        assert reply["success"] == "True" and reply["result"]["quantity"] == p.quantity - 1, reply
        reply = self.call("cancel", t, lambda ca: fo.cancel_futopt_order(t, ca, self.client))
        assert reply["success"] == "True" and reply["result"]["quantity"] == 0, reply

    def road(self, n: int) -> Placed | None:
        placed = self.place(n)
        if placed is not None:
            self.amend_and_cancel(placed)
        return placed


def run_load(
    folder: Path, identity: tuple[str, str, str], orders: int, *broker_args: str
) -> tuple[Load, list[Placed], dict[str, Any]]:
    from taloma.Vorn.ca import PyVornSign

    pfx, password, ca_pem = identity
    with simulator(folder, "--trusted-ca", ca_pem, *broker_args) as base_url, pytest.MonkeyPatch.context() as mp:
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
        assert (entry["st_seqno"], entry["st_ordqty"], entry["st_price1"]) == (p.trade.order.seqno, p.quantity, p.price)
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
    assert load.refused > 20 and 100 < len(placed) < 200
    check_accounted(placed, listed)


def test_unsigned_orders_are_refused_by_a_verifying_broker(tmp_path: Path, identity: tuple[str, str, str]) -> None:
    _, _, ca_pem = identity
    with simulator(tmp_path, "--trusted-ca", ca_pem) as base_url, pytest.MonkeyPatch.context() as mp:
        mp.setattr(settings, "api_url_simulation", base_url)
        client = Client(simulation=True, proxies=None)
        client.login(PERSON_ID, PASSWORD)
        order = Order(
            action=Action.Buy,
            price_type=FuturesPriceType.LMT,
            order_type=OrderType.ROD,
            price=1,
            quantity=1,
            octype=FuturesOCType.Auto,
            account=client.default_futopt_account,
        )
        reply = fo.place_futopt_order(CONTRACTS[0], order, "unsigned", client)
        assert reply["success"] == "False" and "ca_content" in reply["msg"]
        assert fo.query_futopt_order(client) == {}


class TestCommandLine:
    def test_catalogue_size_and_users(self, tmp_path: Path) -> None:
        from taloma.backend.http.contract import fetch_available_product

        with (
            simulator(tmp_path, "--stocks", "80", "--user", "B987654321:second") as base_url,
            pytest.MonkeyPatch.context() as mp,
        ):
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

    @pytest.mark.parametrize(
        "args, complaint",
        [
            (["--failure-rate", "1.5"], "outside 0..1"),
            (["--port", "70000"], "outside 0..65535"),
            (["--stocks", "0"], "outside 1..8861"),
            (["--latency", "soon"], "not a number"),
            (["--user", "nopassword"], "expected PERSON_ID:PASSWORD"),
        ],
    )
    def test_bad_options_are_refused(self, capsys, args: list[str], complaint: str) -> None:
        from taloma.simulator.__main__ import main

        with pytest.raises(SystemExit) as exc:
            main(args)
        assert exc.value.code == 2 and complaint in capsys.readouterr().err


# ---- fills: four threads trading against the simulated market --------------------------------


@dataclass
class Sent:
    trade: Trade
    quantity: int
    limits: list[Any]  # every limit the order had (none for market orders)
    left: int  # working lots in the placement reply


class Trading:
    """Random orders of two accounts on a future and an option, from four threads, through the HTTP
    functions; resting orders are re-priced, reduced and cancelled at random."""

    def __init__(self, sim: Any, traders: list[Any]) -> None:
        self.sim, self.traders = sim, traders
        self.codes = [
            next(c for c in sim.market.codes() if sim.market.instrument(c).kind == k) for k in ("future", "option")
        ]

    def order(self, n: int) -> Sent | None:
        rnd = random.Random(n)
        trader = self.traders[n % len(self.traders)]
        code = rnd.choice(self.codes)
        action = rnd.choice([Action.Buy, Action.Sell])
        price_type = rnd.choice([FuturesPriceType.LMT] * 6 + [FuturesPriceType.MKT, FuturesPriceType.MKP])
        order_type = rnd.choice(list(OrderType))
        ladder, book = self.sim.market.instrument(code).ladder, self.sim.market.snapshot(code).book
        limits: list[Any] = []
        if price_type == FuturesPriceType.LMT:
            touch = (book.best_ask if action == Action.Buy else book.best_bid) or book.best_bid or book.best_ask
            steps = rnd.randint(-4, 2) * (1 if action == Action.Buy else -1)
            limits.append(ladder.up(touch, steps) if steps >= 0 else ladder.down(touch, -steps))
        quantity = rnd.randint(1, 6)
        trade, reply = trader.place(code, action, quantity, limits[0] if limits else 0, price_type, order_type)
        if reply.get("success") != "True":
            assert reply.get("msg") == "simulated failure", reply
            return None
        sent = Sent(trade, quantity, limits, reply["result"]["quantity"])
        if sent.left and rnd.random() < 0.5:
            self.amend(trader, sent, rnd, ladder)
        return sent

    def amend(self, trader: Any, sent: Sent, rnd: random.Random, ladder: Any) -> None:
        t, client = sent.trade, trader.client
        roll = rnd.random()
        if roll < 0.4 and sent.limits:
            price = (ladder.up if t.order.action == Action.Buy else ladder.down)(sent.limits[-1], rnd.randint(1, 3))
            sent.limits.append(price)
            trader.retry(lambda: fo.update_futopt_order_price(t, "CA", client, float(price)))
        elif roll < 0.7:
            trader.retry(lambda: fo.update_futopt_order_qty(t, "CA", client, 1))
        else:
            trader.retry(lambda: fo.cancel_futopt_order(t, "CA", client))

    def cancel_working(self, sent: list[Sent]) -> None:
        by_id = {s.trade.status.id: s for s in sent}
        for trader in self.traders:
            for key, e in trader.entries().items():
                if e["st_ordqty"] > e["st_ord_match_qty"] + e["st_cancel_qty"]:
                    # Refused with "no quantity left" when the market fills it first: that is fine.
                    trader.retry(lambda t=by_id[key].trade, c=trader.client: fo.cancel_futopt_order(t, "CA", c))


def run_fills(orders: int, **faults: Any) -> None:
    from support.fills import Trader, costs, recompute, users
    from taloma.feed import Feed
    from taloma.simulator import BrokerSimulator

    accounts = users(2)
    with BrokerSimulator(
        users=accounts, seed=orders, market=True, bus="auto", speed=20.0, catalogue_stocks=200, **faults
    ) as sim:
        traders = [Trader(sim, *user, retries=100 if faults else 1) for user in accounts]
        heard: list[list[dict[str, Any]]] = [[] for _ in traders]
        with Feed(sim.bus_url) as feed:
            for trader, inbox in zip(traders, heard, strict=True):
                feed.subscribe_fills(trader.account, inbox.append)
            trading = Trading(sim, traders)
            with ThreadPoolExecutor(THREADS) as pool:
                sent = [s for s in pool.map(trading.order, range(orders)) if s is not None]
            trading.cancel_working(sent)
            listed = [trader.entries() for trader in traders]
            broker_fills = [
                sorted(
                    (f["no"], e["st_seqno"], Decimal(f["price"]), f["quantity"])
                    for e in entries.values()
                    for f in e["st_fills"]
                )
                for entries in listed
            ]
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and [len(h) for h in heard] != [len(f) for f in broker_fills]:
                time.sleep(0.05)
        if faults:
            assert 0 < len(sent) < orders  # some placements were refused and are simply absent
        assert sorted(s.trade.status.id for s in sent) == sorted(i for entries in listed for i in entries)
        for s in sent:
            entry = next(entries[s.trade.status.id] for entries in listed if s.trade.status.id in entries)
            status = fo.resp2trade(entry, s.trade).status
            deal, fills = status.deal_quantity, [(Decimal(f["price"]), f["quantity"]) for f in entry["st_fills"]]
            assert deal + status.cancel_quantity == s.quantity and deal == sum(q for _, q in fills), entry
            if s.limits and s.trade.order.action == Action.Buy:
                assert all(p <= max(s.limits) for p, _ in fills), (s.limits, entry)
            elif s.limits:
                assert all(p >= min(s.limits) for p, _ in fills), (s.limits, entry)
            if s.trade.order.order_type != OrderType.ROD:
                assert s.left == 0, entry  # IOC and FOK never rest
            if s.trade.order.order_type == OrderType.FOK:
                assert deal in (0, s.quantity), entry
        for trader, entries, inbox, fills in zip(traders, listed, heard, broker_fills, strict=True):
            # Each fill reached its own account once: nothing lost, nothing doubled.
            assert sorted((e["fill_no"], e["seqno"], e["price"], e["quantity"]) for e in inbox) == fills
            assert {e["account_id"] for e in inbox} <= {trader.account.account_id}
            code_of = {e["st_seqno"]: (e["st_comno"], e["st_ps"]) for e in entries.values()}
            ordered = [(*code_of[seqno], price, lots) for _, seqno, price, lots in fills]
            rows = trader.positions()
            last = {r["code"]: Decimal(r["last_price"]) for r in rows}
            expected = recompute(ordered, last)
            realised = {}
            for r in trader.settled():
                realised[r["code"]] = realised.get(r["code"], 0) + Decimal(r["settle_pl"])
            held = {
                r["code"]: (int(r["quantity"]) * (1 if r["action"] == "B" else -1), Decimal(r["unreal_pl"]))
                for r in rows
            }
            for code, (position, real, unreal) in expected.items():
                assert held.get(code, (0, Decimal(0))) == (position, unreal), code
                assert realised.get(code, 0) == real, code
            assert set(held) <= set(expected)
            fee, tax = costs(ordered)
            margin = trader.margin()
            assert (Decimal(margin["fee"]), Decimal(margin["tax"])) == (fee, tax)


def test_a_thousand_orders_fill_consistently_from_four_threads() -> None:
    run_fills(1000)


def test_injected_failures_lose_and_double_no_fill() -> None:
    run_fills(300, failure_rate=0.15, delay_share=0.1, delay=0.02)
