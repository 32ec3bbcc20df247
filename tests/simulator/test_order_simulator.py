"""The simulated broker's futures and options order endpoints, spoken to over HTTP."""

from __future__ import annotations

import datetime as dt
import json
import threading

import pytest
import requests

from support.broker import PERSON_ID, Broker


@pytest.fixture
def sim(broker):
    return Broker(broker)


def failed(reply, text):
    return reply["success"] == "False" and text in reply["msg"]


class TestPlacement:
    def test_accepted_orders_are_numbered(self, sim):
        first, second = sim.place(), sim.place(fut_futopt="O", fut_callput="P", stock_id="TXO17000A4")
        assert first["success"] == second["success"] == "True"
        a, b = first["result"], second["result"]
        assert a["seqno"] != b["seqno"] and a["ordno"] != b["ordno"]
        assert (len(a["seqno"]), len(a["ordno"])) == (6, 5)
        # The placement reply writes the time with colons.
        dt.datetime.strptime(a["ord_date"] + a["ord_time"], "%Y%m%d%H:%M:%S")
        assert (a["stock_id"], b["stock_id"]) == ("TXFA4", "TXO17000A4")

    def test_a_market_order_needs_no_price(self, sim):
        assert sim.place(price_type="MKT", ord_type="IOC", price=0)["success"] == "True"

    @pytest.mark.parametrize(
        "change, text",
        [
            ({"token": "nope"}, "token"),
            ({"token": None}, "token"),
            ({"ID": "B987654321"}, "ID"),
            ({"account": "0000000"}, "account"),
            ({"broker_id": "9A95", "account": "1234567"}, "account"),  # the stock account
            ({"quantity": 0}, "quantity"),
            ({"quantity": -1}, "quantity"),
            ({"quantity": 1.5}, "quantity"),
            ({"quantity": "1"}, "quantity"),
            ({"quantity": True}, "quantity"),
            ({"price": 0}, "price"),
            ({"price": -5, "price_type": "MKT"}, "price"),
            ({"price": "17000"}, "price"),
            ({"ord_bs": "Buy"}, "ord_bs"),
            ({"price_type": "LIMIT"}, "price_type"),
            ({"ord_type": "GTC"}, "ord_type"),
            ({"octype": ""}, "octype"),
            ({"fut_callput": ""}, "fut_callput"),
            ({"fut_callput": "C"}, "fut_callput"),
            ({"fut_futopt": "O", "fut_callput": " "}, "fut_callput"),
            ({"fut_futopt": "S"}, "fut_futopt"),
            ({"mttype": ""}, "mttype"),
            ({"composit": "0"}, "composit"),
            ({"web_id": "A"}, "web_id"),
            ({"stock_id": ""}, "stock_id"),
            (
                {"price": 17000.5},
                "price 17000.5 is not on the tick ladder of index future (tick 1): nearest valid "
                "prices 17000 and 17001",
            ),
            ({"stock_id": "TXO17000A4", "fut_futopt": "O", "fut_callput": "C", "price": 17001}, "tick ladder"),
            ({"stock_id": "ZZZA4"}, "no contract 'ZZZA4'"),
            ({"stock_id": "TXFZ9"}, "no contract"),
        ],
    )
    def test_bad_placements_fail_in_the_envelope(self, sim, change, text):
        before = len(sim.query(action="userid")["result"])
        assert failed(sim.place(**change), text)
        assert len(sim.query(action="userid")["result"]) == before

    @pytest.mark.parametrize("price_type", ["LMT", "MKT"])
    def test_a_price_that_overflows_to_infinity_is_refused(self, sim, price_type):
        text = json.dumps(sim.order_body(price=17000, price_type=price_type)).replace("17000", "1e999")
        reply = sim.http.post(sim.sim.api_uri + "Future/order", data=text, timeout=10).json()
        assert failed(reply, "price must be a finite number, not inf")

    def test_a_body_that_is_not_an_object_fails(self, sim):
        assert failed(sim.post("Future/order", ["token"]), "JSON object")


class TestCancelAndAmend:
    def test_quantity_reduction_price_change_and_cancel(self, sim):
        placed = sim.place(quantity=3)
        assert sim.amend("Future/updateQty", placed, quantity=1)["success"] == "True"
        e = sim.entry(placed)
        assert (e["st_ordqty"], e["st_cancel_qty"]) == (3, 1)
        assert (
            sim.amend("Future/updatePrice", placed, price=17051, price_type="LMT", ord_type="ROD")["success"] == "True"
        )
        e = sim.entry(placed)
        assert (e["st_price1"], e["st_chg_price1"]) == (17000, 17051)
        assert sim.amend("Future/cancel", placed)["success"] == "True"
        assert sim.entry(placed)["st_cancel_qty"] == 3
        assert failed(sim.amend("Future/cancel", placed), "no quantity left")
        assert failed(sim.amend("Future/updatePrice", placed, price=1), "no quantity left")

    @pytest.mark.parametrize(
        "path, change, text",
        [
            ("Future/updateQty", {"quantity": 0}, "quantity"),
            ("Future/updateQty", {"quantity": -2}, "quantity"),
            ("Future/updateQty", {"quantity": 4}, "left"),
            ("Future/updatePrice", {"price": 0}, "price"),
            ("Future/updatePrice", {"price": -1}, "price"),
            ("Future/updatePrice", {"price": None}, "price"),
            ("Future/updatePrice", {"price": 17000.5}, "tick ladder"),
            ("Future/cancel", {"seqno": "999999"}, "not found"),
            ("Future/cancel", {"ordno": "zzzzz"}, "not found"),
            ("Future/cancel", {"stock_id": "MXFA4"}, "not found"),
            ("Future/updateQty", {"quantity": 1, "fut_futopt": "O"}, "not found"),
            ("Future/cancel", {"token": "bad"}, "token"),
            ("Future/cancel", {"account": "1111111"}, "account"),
        ],
    )
    def test_bad_amendments_fail_and_change_nothing(self, sim, path, change, text):
        placed = sim.place(quantity=3)
        assert failed(sim.amend(path, placed, **change), text)
        e = sim.entry(placed)
        assert (e["st_cancel_qty"], e["st_chg_price1"]) == (0, 0)

    def test_another_users_order_is_not_found(self, sim, broker):
        placed = sim.place()
        theirs = Broker(broker, "B987654321", "other-pass", account="7654322")
        assert failed(theirs.amend("Future/cancel", placed), "not found")
        assert placed["result"]["seqno"] not in {e["st_seqno"] for e in theirs.query(action="userid")["result"]}


class TestQuery:
    def test_entries_carry_the_query_form(self, sim):
        placed = sim.place(
            fut_futopt="O",
            fut_callput="C",
            stock_id="TXO17000A4",
            ord_bs="S",
            ord_type="IOC",
            price_type="MKT",
            price=0,
            octype="1",
        )
        e = sim.entry(placed)
        assert {
            k: e[k]
            for k in (
                "st_comno",
                "st_ordno",
                "st_comtype",
                "st_ps",
                "st_ordknd",
                "st_price1",
                "st_ordqty",
                "st_ord_match_qty",
                "st_cancel_qty",
                "st_chg_price1",
            )
        } == {
            "st_comno": "TXO17000A4",
            "st_ordno": placed["result"]["ordno"],
            "st_comtype": "O",
            "st_ps": "S",
            "st_ordknd": "IOC",
            "st_price1": 0,
            "st_ordqty": 3,
            "st_ord_match_qty": 0,
            "st_cancel_qty": 0,
            "st_chg_price1": 0,
        }
        when = dt.datetime.strptime(e["st_orddt"] + e["st_ordtm"], "%Y%m%d%H%M%S")
        result = placed["result"]
        assert when == dt.datetime.strptime(result["ord_date"] + result["ord_time"], "%Y%m%d%H:%M:%S")
        assert e["st_errmsg"].strip(" ") == "order accepted"

    def test_orders_are_found_by_account_user_and_date(self, fresh_broker):
        # A broker of its own: nothing else may have orders on these days.
        now = [dt.datetime(2024, 1, 30, 9, 0, 0)]
        fresh_broker.state.options["clock"] = lambda: now[0]
        sim = Broker(fresh_broker)
        old = sim.place()
        now[0] = dt.datetime(2024, 1, 31, 13, 44, 59)
        new = sim.place()
        seqnos = lambda reply: [e["st_seqno"] for e in reply["result"]]  # noqa: E731
        assert seqnos(sim.query(start_date="20240131", end_date="20240131")) == [new["result"]["seqno"]]
        assert seqnos(sim.query(start_date="20240101", end_date="20240131")) == [
            old["result"]["seqno"],
            new["result"]["seqno"],
        ]
        assert seqnos(
            sim.query(action="userid", broker_id="", account="", start_date="20240130", end_date="20240130")
        ) == [old["result"]["seqno"]]
        assert sim.entry(new, start_date="20240131", end_date="20240131")["st_ordtm"] == "134459"

    @pytest.mark.parametrize(
        "change, text",
        [
            ({"token": "nope"}, "token"),
            ({"user_id": "B987654321"}, "user_id"),
            ({"action": "all"}, "action"),
            ({"account": "1234567", "broker_id": "9A95"}, "account"),
            ({"start_date": "2024-01-31"}, "YYYYMMDD"),
            ({"end_date": "20240231"}, "YYYYMMDD"),
            ({"end_date": ""}, "YYYYMMDD"),
        ],
    )
    def test_bad_queries_fail(self, sim, change, text):
        assert failed(sim.query(**change), text)


class TestSignatureHook:
    def test_every_order_request_with_ca_content_is_verified(self, broker, monkeypatch):
        seen = []

        def verifier(person_id, ca_content):
            seen.append((person_id, ca_content))
            return None if ca_content == "good" else "signature does not verify"

        monkeypatch.setitem(broker.state.options, "ca_verifier", verifier)
        sim = Broker(broker)
        assert failed(sim.place(ca_content="forged"), "signature does not verify")
        placed = sim.place(ca_content="good", quantity=3)
        assert placed["success"] == "True"
        for path, change in (
            ("Future/updateQty", {"quantity": 1}),
            ("Future/updatePrice", {"price": 2}),
            ("Future/cancel", {}),
        ):
            assert failed(sim.amend(path, placed, ca_content="forged", **change), "signature does not verify")
            assert sim.amend(path, placed, ca_content="good", **change)["success"] == "True"
        sim.query()
        assert seen == [(PERSON_ID, "forged"), (PERSON_ID, "good")] * 4
        e = sim.entry(placed)
        assert (e["st_cancel_qty"], e["st_chg_price1"]) == (3, 2)


def test_concurrent_placements_get_unique_numbers(sim):
    threads, per_thread = 4, 40
    replies: list[dict] = []
    lock = threading.Lock()

    def place_many():
        own = requests.Session()
        for _ in range(per_thread):
            reply = own.post(sim.sim.api_uri + "Future/order", json=sim.order_body(quantity=1), timeout=10).json()
            with lock:
                replies.append(reply)

    workers = [threading.Thread(target=place_many) for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert [r["success"] for r in replies] == ["True"] * (threads * per_thread)
    seqnos = {r["result"]["seqno"] for r in replies}
    assert len(seqnos) == len({r["result"]["ordno"] for r in replies}) == threads * per_thread
    assert seqnos <= {e["st_seqno"] for e in sim.query()["result"]}
