"""Account records: construction, update, text forms, data shapes and the two helpers."""

from __future__ import annotations

import subprocess
import sys
from collections.abc import Iterator, Mapping
from types import MappingProxyType
from typing import Any

import pytest

from taloma.account import Account, FutureAccount, StockAccount
from taloma.backend.http import account as module
from taloma.backend.http.account import (
    AccountFunds,
    AccountMargin,
    AccountOpenPosition,
    AccountRealProfitLoss,
    AccountSettleProfitLoss,
    AccountUnRealProfitLoss,
    assimilate_type,
    rm_dict_key,
)

STOCK = StockAccount(person_id="A1", broker_id="9A95", account_id="1234567", username="u")
FUTURE = FutureAccount(person_id="A1", broker_id="9A00", account_id="1234567", username="u")
CLIENT = object()


class Frozen(Mapping):
    """A mapping that is not a dict."""

    def __init__(self, data: dict) -> None:
        self._data = data

    def __getitem__(self, key: Any) -> Any:
        return self._data[key]

    def __iter__(self) -> Iterator[Any]:
        return iter(self._data)

    def __len__(self) -> int:
        return len(self._data)


class Query:
    """Stands in for a companion query function: returns its replies in turn, records its calls."""

    def __init__(self, *replies: Any) -> None:
        self.replies = list(replies)
        self.calls: list[tuple] = []

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        assert not kwargs, "query functions take their parameters positionally"
        self.calls.append(args)
        reply = self.replies.pop(0) if len(self.replies) > 1 else self.replies[0]
        if isinstance(reply, Exception):
            raise reply
        return reply


# class, query function name, constructor arguments (without account and client), query call builder, text form
KINDS = [
    (AccountFunds, "_query_funds_profitloss", {"tax": " "}, lambda a, c: (a, c, " "), "{}"),
    (
        AccountMargin,
        "_query_margin",
        {"currency": "NTD", "margin_type": "1"},
        lambda a, c: ("NTD", "1", a, c),
        "{}({})",
    ),
    (
        AccountOpenPosition,
        "_query_open_position",
        {"product_type": "0", "query_type": "1"},
        lambda a, c: ("0", "1", a, c),
        "{}({})",
    ),
    (
        AccountSettleProfitLoss,
        "_query_settle_profitloss",
        {"product_type": "1", "summary": "Y", "start_date": "20240101", "end_date": "20240131", "currency": "NTD"},
        lambda a, c: ("1", "Y", "20240101", "20240131", "NTD", a, c),
        "{}({})",
    ),
    (
        AccountUnRealProfitLoss,
        "_query_unreal_profitloss",
        {"stock_type": "A", "currency": "NTD", "action": "1"},
        lambda a, c: (a, c, "", "A", "NTD", "1"),
        "{}\n{}",
    ),
    (
        AccountRealProfitLoss,
        "_query_real_profitloss",
        {"stock_type": "0", "start_date": "20240101", "end_date": "20240131", "currency": "A", "action": " "},
        lambda a, c: (a, c, "", "0", "20240101", "20240131", "A", " "),
        "{}\n{}",
    ),
]
IDS = [k[0].__name__ for k in KINDS]


def account_for(cls: type) -> Account:
    return STOCK if cls in (AccountFunds, AccountUnRealProfitLoss, AccountRealProfitLoss) else FUTURE


def make(monkeypatch: pytest.MonkeyPatch, kind: tuple, *replies: Any) -> tuple[Any, Query]:
    cls, query_name, params, _, _ = kind
    query = Query(*replies)
    monkeypatch.setattr(module, query_name, query)
    return cls(**params, account=account_for(cls), client=CLIENT), query


OK = {"success": "True", "result": {"msg": ""}}


@pytest.mark.parametrize("kind", KINDS, ids=IDS)
class TestPattern:
    def test_constructor_queries_once_with_positional_parameters(self, monkeypatch, kind) -> None:
        _record, query = make(monkeypatch, kind, OK)
        assert query.calls == [kind[3](account_for(kind[0]), CLIENT)]

    def test_parameters_stored_under_underscored_names(self, monkeypatch, kind) -> None:
        record, _ = make(monkeypatch, kind, OK)
        cls, _, params, _, _ = kind
        for name, value in params.items():
            assert getattr(record, f"_{name}") == value
        assert record._account is account_for(cls) and record._client is CLIENT

    def test_plain_class_with_state_in_the_instance(self, monkeypatch, kind) -> None:
        record, _ = make(monkeypatch, kind, OK)
        cls = kind[0]
        assert cls.__bases__ == (object,)
        assert {n for n, v in vars(cls).items() if not callable(v) and not n.startswith("__")} == set()
        assert all(name.startswith("_") for name in vars(record))

    def test_text_form(self, monkeypatch, kind) -> None:
        record, _ = make(monkeypatch, kind, OK)
        cls, fmt = kind[0], kind[4]
        assert repr(record) == fmt.format(cls.__name__, account_for(cls))
        assert repr(record).count("\n") == fmt.count("\n")

    @pytest.mark.parametrize(
        ("success", "status"),
        [("True", True), ("TRUE", True), ("true", True), ("false", False), ("", False), (None, False)],
    )
    def test_status_and_message(self, monkeypatch, kind, success, status) -> None:
        reply: dict[str, Any] = {"result": {"msg": "closed today"}}
        if success is not None:
            reply["success"] = success
        record, _ = make(monkeypatch, kind, reply)
        assert record._status is status and record._msg == "closed today"

    def test_empty_reply_takes_the_defaults(self, monkeypatch, kind) -> None:
        record, _ = make(monkeypatch, kind, {})
        cls = kind[0]
        assert record._status is False and record._msg == ""
        expected = {
            AccountFunds: [],
            AccountMargin: {},
            AccountOpenPosition: [{}],
            AccountSettleProfitLoss: [{}],
            AccountUnRealProfitLoss: {"summary": [], "detail": []},
            AccountRealProfitLoss: {"summary": [], "detail": []},
        }[cls]
        assert record.data() == expected and record.data() is record._data

    def test_update_replaces_the_outcome(self, monkeypatch, kind) -> None:
        failed = {"success": "false", "result": {"msg": "token expired"}}
        record, query = make(monkeypatch, kind, failed, OK)
        assert (record._status, record._msg) == (False, "token expired")
        assert record.update() is None
        assert (record._status, record._msg) == (True, "")
        assert len(query.calls) == 2 and query.calls[0] == query.calls[1]

    def test_failing_query_keeps_the_previous_outcome(self, monkeypatch, kind) -> None:
        record, _query = make(
            monkeypatch, kind, {"success": "true", "result": {"msg": "first"}}, ConnectionError("down")
        )
        before = dict(vars(record))
        with pytest.raises(ConnectionError):
            record.update()
        assert vars(record) == before

    def test_constructor_propagates_query_errors(self, monkeypatch, kind) -> None:
        with pytest.raises(TimeoutError):
            make(monkeypatch, kind, TimeoutError("slow"))

    def test_mapping_reply_that_is_not_a_dict(self, monkeypatch, kind) -> None:
        record, _ = make(monkeypatch, kind, Frozen({"success": "true", "result": Frozen({"msg": "fine"})}))
        assert record._status is True and record._msg == "fine"

    @pytest.mark.parametrize("reply", [None, [], "true", {"success": "true", "result": []}])
    def test_reply_that_is_not_a_mapping(self, monkeypatch, kind, reply) -> None:
        with pytest.raises((TypeError, AttributeError)):
            make(monkeypatch, kind, reply)


class TestData:
    def test_funds_rows_as_delivered(self, monkeypatch) -> None:
        rows = [{"market": "TSE", "net_amount": "-1200"}]
        reply = {"success": "True", "result": {"msg": "", "profit_sums": {"profit_sum": rows}}}
        record, _ = make(monkeypatch, KINDS[0], reply)
        assert record._status is True and record._msg == "" and record.data() == rows
        single = {"market": "OTC"}
        record, _ = make(monkeypatch, KINDS[0], {"success": "true", "result": {"profit_sums": {"profit_sum": single}}})
        assert record.data() == single

    def test_margin_and_positions_body(self, monkeypatch) -> None:
        body = {"equity": "100", "initial_margin": "10"}
        record, _ = make(monkeypatch, KINDS[1], {"success": "true", "result": {"body": body}})
        assert record.data() == body
        rows = [{"code": "TXFL6", "quantity": "2"}]
        record, _ = make(monkeypatch, KINDS[2], {"success": "true", "result": {"body": rows}})
        assert record.data() == rows and record._accountid == "9A001234567"

    def test_default_body_is_a_fresh_list_each_time(self, monkeypatch) -> None:
        first, _ = make(monkeypatch, KINDS[2], {})
        second, _ = make(monkeypatch, KINDS[2], {})
        first.data()[0]["x"] = 1
        assert second.data() == [{}]

    @pytest.mark.parametrize("kind", [KINDS[4], KINDS[5]], ids=["unreal", "real"])
    def test_summary_and_detail_split(self, monkeypatch, kind) -> None:
        prefix = "unreal" if kind[0] is AccountUnRealProfitLoss else "profit"
        d1, d2, d3 = {"n": 1}, {"n": 2}, {"n": 3}
        first = {"stock": "2330", "pl": "5", f"{prefix}_details": {"a": [d1, d2], "b": d3}}
        rows = [first, {"stock": "", "pl": "5"}, {"stock": "2317", f"{prefix}_details": {}}]
        reply = {"success": "true", "result": {f"{prefix}_sums": {f"{prefix}_sum": rows}}}
        record, _ = make(monkeypatch, kind, reply)
        data = record.data()
        assert list(data) == ["summary", "detail"]
        assert data["summary"] == [{"stock": "2330", "pl": "5"}, {"stock": "2317"}]
        assert data["detail"] == [d1, d2, d3] and data["detail"][0] is d1
        assert f"{prefix}_details" in first  # the reply's rows are not changed

    def test_split_reads_its_own_keys(self, monkeypatch) -> None:
        rows = [{"stock": "2330", "unreal_details": {"x": {"n": 1}}}]
        reply = {"success": "true", "result": {"unreal_sums": {"unreal_sum": rows}}}
        record, _ = make(monkeypatch, KINDS[5], reply)  # the realised record looks for "profit_sums"
        assert record.data() == {"summary": [], "detail": []}

    def test_lone_summary_row_may_come_bare(self, monkeypatch) -> None:
        row = {"stock": "2330", "profit_details": {"profit_detail": {"n": 1}}}
        reply = {"success": "true", "result": {"profit_sums": {"profit_sum": row}}}
        record, _ = make(monkeypatch, KINDS[5], reply)
        assert record.data() == {"summary": [{"stock": "2330"}], "detail": [{"n": 1}]}

    def test_mapping_rows_that_are_not_dicts(self, monkeypatch) -> None:
        details = Frozen({"k": Frozen({"n": 1}), "j": [Frozen({"n": 2})]})
        rows = (Frozen({"stock": "2330", "profit_details": details}),)
        reply = Frozen({"success": "true", "result": Frozen({"profit_sums": Frozen({"profit_sum": rows})})})
        record, _ = make(monkeypatch, KINDS[5], reply)
        assert record.data()["summary"] == [{"stock": "2330"}]
        assert [dict(d) for d in record.data()["detail"]] == [{"n": 1}, {"n": 2}]

    def test_details_that_are_not_a_mapping(self, monkeypatch) -> None:
        rows = [{"stock": "2330", "profit_details": [{"n": 1}]}]
        with pytest.raises(AttributeError):
            make(monkeypatch, KINDS[5], {"success": "true", "result": {"profit_sums": {"profit_sum": rows}}})

    def test_failed_split_keeps_the_previous_outcome(self, monkeypatch) -> None:
        good = {"success": "true", "result": {"msg": "ok", "profit_sums": {"profit_sum": []}}}
        bad = {"success": "false", "result": {"msg": "x", "profit_sums": {"profit_sum": [{"profit_details": 1}]}}}
        record, _ = make(monkeypatch, KINDS[5], good, bad)
        with pytest.raises(AttributeError):
            record.update()
        assert (record._status, record._msg, record.data()) == (True, "ok", {"summary": [], "detail": []})


class TestAccountId:
    @pytest.mark.parametrize("kind", [KINDS[2], KINDS[3]], ids=["position", "settle"])
    def test_broker_then_account(self, monkeypatch, kind) -> None:
        record, _ = make(monkeypatch, kind, OK)
        assert record._accountid == "9A001234567"

    def test_account_without_ids_fails_after_status_and_before_data(self, monkeypatch) -> None:
        class NoIds:
            def dict(self) -> dict:
                return {"broker_id": "9A00"}

        query = Query({"success": "true", "result": {"msg": "", "body": [1]}})
        monkeypatch.setattr(module, "_query_open_position", query)
        record = AccountOpenPosition("0", "1", FUTURE, CLIENT)
        record._account = NoIds()
        query.replies = [{"success": "false", "result": {"msg": "second", "body": [2]}}]
        with pytest.raises(KeyError):
            record.update()
        assert (record._status, record._msg, record.data(), record._accountid) == (False, "second", [1], "9A001234567")

    def test_field_mapping_that_is_not_a_dict(self, monkeypatch) -> None:
        class Wrapped:
            def dict(self) -> Mapping:
                return MappingProxyType({"broker_id": "F002", "account_id": "77", "other": 1})

        monkeypatch.setattr(module, "_query_settle_profitloss", Query(OK))
        record = AccountSettleProfitLoss("0", "N", "20240101", "20240102", "NTD", Wrapped(), CLIENT)
        assert record._accountid == "F00277"


class TestHelpers:
    def test_rm_dict_key(self) -> None:
        d = {"a": 1, "b": 2, "c": 3}
        assert rm_dict_key(d, "a", "c") == {"b": 2}
        assert d == {"a": 1, "b": 2, "c": 3}
        copy = rm_dict_key(d)
        assert copy == d and copy is not d

    @pytest.mark.parametrize(
        ("d", "keys", "error"),
        [({"a": 1}, ("b",), KeyError), ({"a": 1}, ("a", "a"), KeyError), (None, (), TypeError), (5, (), TypeError)],
    )
    def test_rm_dict_key_failures(self, d, keys, error) -> None:
        with pytest.raises(error):
            rm_dict_key(d, *keys)

    def test_rm_dict_key_of_other_mappings(self) -> None:
        assert rm_dict_key(Frozen({"a": 1, "b": 2}), "a") == {"b": 2}
        assert rm_dict_key([("a", 1), ("b", 2)], "b") == {"a": 1}

    @pytest.mark.parametrize("details", [{"n": 1}, Frozen({"n": 1}), MappingProxyType({}), {}])
    def test_assimilate_mapping(self, details) -> None:
        wrapped = assimilate_type(details)
        assert type(wrapped) is list and len(wrapped) == 1 and wrapped[0] is details

    @pytest.mark.parametrize("details", [[{"n": 1}], [], None, "text", ({"n": 1},)])
    def test_assimilate_other(self, details) -> None:
        assert assimilate_type(details) is details


def test_missing_query_function_fails_the_import(tmp_path) -> None:
    script = (
        "import sys, types\n"
        "fake = types.ModuleType('taloma.backend.http.stock.account')\n"
        "fake._query_funds_profitloss = fake._query_real_profitloss = lambda *a: {}\n"
        "sys.modules['taloma.backend.http.stock.account'] = fake\n"
        "try:\n"
        "    import taloma.backend.http.account\n"
        "except ImportError as exc:\n"
        "    print('ImportError', exc.__cause__ or exc)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert out.stdout.startswith("ImportError") and "_query_unreal_profitloss" in out.stdout, out.stderr
