"""Order query and the conversion of service replies into contract, order, status and trade records."""

from __future__ import annotations

import datetime as dt
import logging
from collections.abc import Mapping
from types import SimpleNamespace

import pytest

import taloma.backend.http.futureoption.order as fo
from support.orderfakes import FUTURE_ACCOUNT, STOCK_ACCOUNT, BrokenReply, StandInClient, future_order
from taloma.account import FutureAccount
from taloma.backend.http.utils import hash_orderid
from taloma.constant import Action, Exchange, FuturesPriceType, OrderType
from taloma.contracts import Contract, Future, Option
from taloma.order import Order, OrderStatus, Status, Trade

QUERY_KEYS = ["token", "action", "user_id", "broker_id", "account", "start_date", "end_date"]

ENTRY = {
    "st_comno": "TXFA4",
    "st_seqno": "000123",
    "st_ordno": "k0042",
    "st_orddt": "20240131",
    "st_ordtm": "084501",
    "st_comtype": "F",
    "name_zh": "Index future",
    "st_ps": "S",
    "st_ordknd": "ROD",
    "st_price1": 17000.5,
    "st_ordqty": 3,
    "st_code": "0000",
    "st_errmsg": "  ok  ",
    "st_ord_match_qty": "1",
    "st_cancel_qty": 2,
    "st_chg_price1": "17010",
}


class TestQueryRequest:
    def test_request_keys_and_default_dates(self, caplog):
        client = StandInClient({"success": "True", "result": []})
        before = dt.date.today().strftime("%Y%m%d")
        with caplog.at_level(logging.DEBUG, logger="taloma"):
            reply = fo._query_futopt_order("account", FUTURE_ACCOUNT, client)
        after = dt.date.today().strftime("%Y%m%d")
        assert reply == {"success": "True", "result": []}
        uri, body = client.session.posts[0]
        assert uri == client.f_query_order_uri
        assert list(body) == QUERY_KEYS
        assert body["start_date"] in (before, after) and body["end_date"] == body["start_date"]
        assert body | {"start_date": "", "end_date": ""} == {
            "token": "tok-123",
            "action": "account",
            "user_id": "A123456789",
            "broker_id": "F002000",
            "account": "7654321",
            "start_date": "",
            "end_date": "",
        }
        # The request, its token masked, then the raw reply bytes.
        logged = [r.msg for r in caplog.records if r.levelno == logging.DEBUG]
        assert logged[-2:] == [body | {"token": "***"}, b'{"success": "True", "result": []}']
        assert client.session.timeouts == [client.timeout]

    @pytest.mark.parametrize(
        "start, end, sent",
        [
            ("20240101", "20240131", ("20240101", "20240131")),
            ("20240101", "", ("20240101", "TODAY")),
            (None, "20241231", ("TODAY", "20241231")),
        ],
    )
    def test_given_dates_are_sent(self, start, end, sent):
        client = StandInClient()
        fo._query_futopt_order("userid", {}, client, start_date=start, end_date=end)
        today = dt.date.today().strftime("%Y%m%d")
        body = client.session.last
        assert (body["start_date"], body["end_date"]) == tuple(today if s == "TODAY" else s for s in sent)
        assert (body["action"], body["broker_id"], body["account"]) == ("userid", "", "")

    def test_today_comes_from_the_module_date_time(self, monkeypatch):
        fixed = SimpleNamespace(date=SimpleNamespace(today=lambda: dt.date(2024, 1, 31)), datetime=dt.datetime)
        monkeypatch.setattr(fo, "dt", fixed)
        client = StandInClient()
        fo._query_futopt_order("account", FUTURE_ACCOUNT, client)
        assert (client.session.last["start_date"], client.session.last["end_date"]) == ("20240131", "20240131")

    def test_reply_that_is_not_json_propagates(self):
        with pytest.raises(ValueError):
            fo._query_futopt_order("account", FUTURE_ACCOUNT, StandInClient(BrokenReply()))


def entry(code, seqno, **more):
    return {"st_comno": code, "st_seqno": seqno, **more}


class TestQueryAllAccounts:
    def test_entries_of_every_futures_account_by_order_id(self):
        second = FutureAccount(person_id="A1", broker_id="F002000", account_id="1111111", username="T")
        client = StandInClient(
            {"success": "True", "result": [entry("TXFA4", "1"), entry("TXFA4", "2", n=1)]},
            {"success": "TRUE", "result": [entry("TXFA4", "2", n=2), entry("MXFA4", "3")]},
            accounts=[STOCK_ACCOUNT, FUTURE_ACCOUNT, STOCK_ACCOUNT, second],
        )
        got = fo.query_futopt_order(client)
        # Stock accounts are not queried; the later account's entry wins a shared id.
        assert [b["account"] for _, b in client.session.posts] == ["7654321", "1111111"]
        assert got == {
            hash_orderid("TXFA4", "1"): entry("TXFA4", "1"),
            hash_orderid("TXFA4", "2"): entry("TXFA4", "2", n=2),
            hash_orderid("MXFA4", "3"): entry("MXFA4", "3"),
        }
        assert list(got) == [hash_orderid("TXFA4", "1"), hash_orderid("TXFA4", "2"), hash_orderid("MXFA4", "3")]

    def test_a_failed_account_is_logged_and_the_others_still_count(self, caplog):
        failed = {"success": "false", "msg": "service busy", "result": [entry("X", "9")]}
        other = FutureAccount(account_id="2")
        client = StandInClient(
            failed, {"success": "True", "result": [entry("TXFA4", "1")]}, accounts=[FUTURE_ACCOUNT, other]
        )
        with caplog.at_level(logging.DEBUG, logger="taloma"):
            got = fo.query_futopt_order(client)
        assert got == {hash_orderid("TXFA4", "1"): entry("TXFA4", "1")}
        assert [r.msg for r in caplog.records if r.levelno == logging.ERROR] == [failed]

    def test_a_success_without_result_is_one_empty_entry(self):
        got = fo.query_futopt_order(StandInClient({"success": "True"}))
        assert got == {hash_orderid("", ""): {}}

    def test_orders_whose_code_and_seqno_join_alike_are_both_kept(self):
        entries = [entry("A-1", "2"), entry("A", "1-2"), entry("A\\", "-1"), entry("A\\-", "1"), entry("A", "-1")]
        got = fo.query_futopt_order(StandInClient({"success": "True", "result": entries}))
        assert list(got.values()) == entries
        # The usual codes keep the usual form.
        assert hash_orderid("TXFA4", "000123") == "TXFA4-000123"

    def test_no_futures_account_sends_nothing(self):
        client = StandInClient(accounts=[STOCK_ACCOUNT])
        assert fo.query_futopt_order(client) == {}
        assert client.session.posts == []

    def test_the_query_goes_through_the_module_twin(self, monkeypatch):
        calls = []
        monkeypatch.setattr(
            fo, "_query_futopt_order", lambda *a: calls.append(a) or {"success": "True", "result": [entry("C", "1")]}
        )
        client = StandInClient()
        assert fo.query_futopt_order(client) == {hash_orderid("C", "1"): entry("C", "1")}
        assert calls == [("account", FUTURE_ACCOUNT, client)]

    @pytest.mark.parametrize(
        "reply, error",
        [
            ({"success": True, "result": []}, AttributeError),  # not a text: cannot be judged
            ({"success": "True", "result": [None]}, AttributeError),
            ({"success": "True", "result": 5}, TypeError),
            ([], AttributeError),
        ],
    )
    def test_a_reply_of_the_wrong_shape_raises(self, reply, error):
        with pytest.raises(error):
            fo.query_futopt_order(StandInClient(reply))


class TestQueryEntryRecords:
    @pytest.mark.parametrize(
        "kind, cls, security_type",
        [
            ("F", Future, "FUT"),
            ("O", Option, "OPT"),
            ("", Contract, "FUT"),
            ("S", Contract, "FUT"),
        ],
    )
    def test_contract_by_kind(self, kind, cls, security_type):
        got = fo.queryresp2contract({"st_comtype": kind, "st_comno": "TXFA4", "name_zh": "name"})
        assert type(got) is cls
        assert (got.security_type, got.exchange, got.code, got.name) == (
            security_type,
            Exchange.TAIFEX,
            "TXFA4",
            "name",
        )

    @pytest.mark.parametrize(
        "ps, kind, action, order_type, price_type",
        [
            (None, None, Action.Buy, OrderType.IOC, FuturesPriceType.MKT),
            ("S", "ROD", Action.Sell, OrderType.ROD, FuturesPriceType.LMT),
            ("B", "FOK", Action.Buy, OrderType.FOK, FuturesPriceType.LMT),
            ("S", "IOC", Action.Sell, OrderType.IOC, FuturesPriceType.MKT),
        ],
    )
    def test_order_from_service_codes(self, ps, kind, action, order_type, price_type):
        resp = {k: v for k, v in (("st_ps", ps), ("st_ordknd", kind)) if v is not None}
        got = fo.queryresp2order(resp | {"st_price1": "17000.5", "st_ordqty": 4, "st_ordno": "k1", "st_seqno": "9"})
        assert type(got) is Order
        assert (got.action, got.order_type, got.price_type) == (action, order_type, price_type)
        assert (got.price, got.quantity, got.ordno, got.seqno) == ("17000.5", 4, "k1", "9")

    def test_order_defaults(self):
        got = fo.queryresp2order({})
        assert (got.price, got.quantity, got.ordno, got.seqno) == (0, 0, "", "")

    @pytest.mark.parametrize("resp", [{"st_ps": "X"}, {"st_ordknd": "GTC"}, {"st_ps": 1}])
    def test_an_unknown_service_code_is_an_attribute_error(self, resp):
        with pytest.raises(AttributeError):
            fo.queryresp2order(resp)

    def test_status_of_an_entry(self):
        got = fo.queryresp2orderstatus(ENTRY)
        assert type(got) is OrderStatus
        assert got.order_id == got.id == hash_orderid("TXFA4", "000123")
        assert got.order_datetime == dt.datetime(2024, 1, 31, 8, 45, 1)
        assert got.status is Status.PendingSubmit

    def test_status_without_date_and_time(self):
        got = fo.queryresp2orderstatus({"st_code": "0000"})
        assert (got.order_datetime, got.id) == (None, hash_orderid("", ""))

    @pytest.mark.parametrize(
        "date, time",
        [
            ("20240131", "08:45:01"),
            ("20240131", "0845011"),
            ("2024-01-31", "084501"),
            ("20240230", "084501"),
            ("20240131", "250000"),
            ("", "084501"),
            ("20240131", ""),
            ("20240131", "08450a"),
        ],
    )
    def test_a_malformed_date_time_is_a_value_error(self, date, time):
        with pytest.raises(ValueError):
            fo.queryresp2orderstatus({"st_orddt": date, "st_ordtm": time})

    @pytest.mark.parametrize("date, time", [(20240131, "084501"), ("20240131", None)])
    def test_a_date_time_that_is_not_text_is_a_type_error(self, date, time):
        with pytest.raises(TypeError):
            fo.queryresp2orderstatus({"st_orddt": date, "st_ordtm": time})


# Canonical texts go a quick way; these pin it to what strptime says, valid or not.
DATE_TIMES = [
    "20240131084501",
    "20240229235959",
    "20230229000000",
    "20241231000060",
    "20240101240000",
    "20240100000000",
    "20241301000000",
    "00010101000000",
    "00000101000000",
    "99991231235959",
    "20240430000000",
    "20240431000000",
    "21000229000000",
    "20000229120000",
    "2024013108450",
    "202401310845011",
    "2024131 84501",
    "20241318451",
    "２０２４０１３１０８４５０１",
    "20240131O84501",
    " 20240131084501",
]
PLACED_DATE_TIMES = [
    "2024013108:45:01",
    "2024013108:45:01x",
    "2024013108:45:0",
    "2024022923:59:59",
    "2023022900:00:00",
    "2024013124:00:00",
    "2024013108:60:00",
    "202401318:5:1",
    "2024013108:45:1",
    "20240131084501",
    "2024013108-45-01",
    "2024013108:45:01 ",
]


def strptime_outcome(text, fmt):
    try:
        return dt.datetime.strptime(text, fmt)
    except ValueError:
        return ValueError


def outcome(call):
    try:
        return call()
    except ValueError:
        return ValueError


class TestDateTimeParsing:
    @pytest.mark.parametrize("text", DATE_TIMES)
    def test_query_form_agrees_with_strptime(self, text):
        got = outcome(lambda: fo.queryresp2orderstatus({"st_orddt": text[:8], "st_ordtm": text[8:]}).order_datetime)
        assert got == strptime_outcome(text, "%Y%m%d%H%M%S")

    @pytest.mark.parametrize("text", PLACED_DATE_TIMES + DATE_TIMES)
    def test_placement_form_agrees_with_strptime(self, text):
        result = {"ord_date": text[:8], "ord_time": text[8:]}
        got = outcome(lambda: fo.res2orderstatus(result, True).order_datetime)
        assert got == strptime_outcome(text, "%Y%m%d%H:%M:%S")

    def test_parsed_values_are_plain_datetimes(self):
        got = fo.queryresp2orderstatus(ENTRY).order_datetime
        assert type(got) is dt.datetime and got.tzinfo is None


class TestPlacementReply:
    def test_res2order_stores_the_service_numbers_on_the_same_order(self):
        order = future_order()
        assert fo.res2order({"seqno": "000001", "ordno": "k0001", "stock_id": "TXFA4"}, order) is order
        assert (order.seqno, order.ordno, order.action) == ("000001", "k0001", Action.Buy)
        assert fo.res2order({}, order) is order and (order.seqno, order.ordno) == ("", "")

    @pytest.mark.parametrize(
        "successed, status",
        [
            (True, Status.PendingSubmit),
            (1, Status.PendingSubmit),
            ("x", Status.PendingSubmit),
            (False, Status.Failed),
            (0, Status.Failed),
            (None, Status.Failed),
            ([], Status.Failed),
        ],
    )
    def test_res2orderstatus(self, successed, status):
        result = {"seqno": "000001", "stock_id": "TXFA4", "ord_date": "20240131", "ord_time": "08:45:01"}
        got = fo.res2orderstatus(result, successed)
        assert got.id == got.order_id == hash_orderid("TXFA4", "000001")
        assert (got.order_datetime, got.status) == (dt.datetime(2024, 1, 31, 8, 45, 1), status)

    def test_a_six_digit_placement_time_is_a_value_error(self):
        with pytest.raises(ValueError):
            fo.res2orderstatus({"ord_date": "20240131", "ord_time": "084501"}, True)

    @pytest.mark.parametrize("success", ["True", "true", "TRUE"])
    def test_a_successful_reply(self, success):
        reply = {
            "success": success,
            "result": {
                "seqno": "000007",
                "ordno": "k0007",
                "stock_id": "TXO17000A4",
                "ord_date": "20240131",
                "ord_time": "13:44:59",
            },
        }
        order = future_order()
        got_order, status, ok = fo.futopt_resp2order_status(reply, order)
        assert got_order is order and ok is True
        assert (order.seqno, order.ordno) == ("000007", "k0007")
        assert (status.id, status.status) == (hash_orderid("TXO17000A4", "000007"), Status.PendingSubmit)
        assert status.order_datetime == dt.datetime(2024, 1, 31, 13, 44, 59)

    @pytest.mark.parametrize(
        "reply",
        [
            {"success": "False"},
            {"success": "false", "msg": "no margin", "result": {}},
            {"success": "False", "msg": "no margin", "result": None},
            {"success": "", "result": {"seqno": ""}},
            {},
        ],
    )
    def test_a_failed_reply_gives_a_failed_status(self, reply):
        order = future_order(seqno="old", ordno="old")
        got_order, status, ok = fo.futopt_resp2order_status(reply, order)
        assert got_order is order and ok is False
        assert (order.seqno, order.ordno) == ("", "")
        assert (status.status, status.order_datetime, status.id) == (Status.Failed, None, hash_orderid("", ""))

    def test_a_success_that_is_not_text_cannot_be_judged(self):
        with pytest.raises(AttributeError):
            fo.futopt_resp2order_status({"success": True, "result": {}}, future_order())


class ReadOnlyEntry(Mapping):
    """A mapping that is not a dict."""

    def __init__(self, data):
        self._data = dict(data)

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


class TestResp2Trade:
    @pytest.mark.parametrize("resp", [ENTRY, ReadOnlyEntry(ENTRY)], ids=["dict", "mapping"])
    def test_a_new_trade_from_an_entry(self, resp):
        trade = fo.resp2trade(resp, None)
        assert type(trade) is Trade
        assert type(trade.contract) is Future and trade.contract.code == "TXFA4"
        order, status = trade.order, trade.status
        assert (order.action, order.order_type, order.price_type) == (Action.Sell, OrderType.ROD, FuturesPriceType.LMT)
        assert (order.price, order.quantity, order.ordno, order.seqno) == (17000.5, 3, "k0042", "000123")
        assert (status.id, status.status, status.order_datetime) == (
            hash_orderid("TXFA4", "000123"),
            Status.PendingSubmit,
            dt.datetime(2024, 1, 31, 8, 45, 1),
        )
        assert (
            status.status_code,
            status.msg,
            status.deal_quantity,
            status.cancel_quantity,
            status.modified_price,
        ) == ("0000", "ok", 1, 2, "17010")

    def test_an_existing_trade_is_updated_in_place(self):
        status = OrderStatus(id="mine", status=Status.Submitted)
        trade = Trade(contract=Option(code="X"), order=future_order(ordno="old"), status=status)
        assert fo.resp2trade(ENTRY, trade) is trade
        assert trade.status is status and trade.contract.code == "X"
        assert (trade.order.ordno, status.id, status.status) == ("k0042", "mine", Status.Submitted)
        assert (
            status.status_code,
            status.msg,
            status.deal_quantity,
            status.cancel_quantity,
            status.modified_price,
        ) == ("0000", "ok", 1, 2, "17010")

    def test_an_empty_entry_resets_the_status_fields(self):
        trade = fo.resp2trade(ENTRY, None)
        fo.resp2trade({}, trade)
        s = trade.status
        assert (trade.order.ordno, s.status_code, s.msg, s.deal_quantity, s.cancel_quantity, s.modified_price) == (
            "",
            "",
            "",
            0,
            0,
            0,
        )

    @pytest.mark.parametrize(
        "raw, msg",
        [
            ("  ok  ", "ok"),
            ("\tok\t", "\tok\t"),
            ("  ", ""),
            (" order accepted          ", "order accepted"),
        ],
    )
    def test_message_loses_its_blanks_only(self, raw, msg):
        assert fo.resp2trade({"st_errmsg": raw}, None).status.msg == msg

    @pytest.mark.parametrize("raw, number", [("3", 3), (" 3 ", 3), (4, 4), (2.0, 2), (True, 1), ("-1", -1)])
    def test_quantities_become_integers(self, raw, number):
        status = fo.resp2trade({"st_ord_match_qty": raw, "st_cancel_qty": raw}, None).status
        assert (status.deal_quantity, status.cancel_quantity) == (number, number)
        assert type(status.deal_quantity) is int

    @pytest.mark.parametrize("raw", ["1.5", 1.5, "x", "", None, [], float("nan"), float("inf")])
    def test_a_quantity_that_is_not_whole_is_a_value_error(self, raw):
        trade = fo.resp2trade({}, None)
        with pytest.raises(ValueError):
            fo.resp2trade({"st_code": "0001", "st_errmsg": " e ", "st_ord_match_qty": 5, "st_cancel_qty": raw}, trade)
        # Fields set before the bad one keep their new values.
        assert (trade.status.status_code, trade.status.msg, trade.status.deal_quantity) == ("0001", "e", 5)
        assert trade.status.cancel_quantity == 0

    @pytest.mark.parametrize(
        "resp, trade",
        [
            (None, None),
            ([], None),
            (ENTRY, SimpleNamespace(order=Order())),  # no status
            (ENTRY, SimpleNamespace(order=None, status=OrderStatus())),
            (ENTRY, SimpleNamespace(order=Order(), status=None)),
            ({"st_errmsg": None}, None),
            ({"st_errmsg": 5}, None),
        ],
    )
    def test_records_of_the_wrong_shape_raise_attribute_errors(self, resp, trade):
        with pytest.raises(AttributeError):
            fo.resp2trade(resp, trade)
