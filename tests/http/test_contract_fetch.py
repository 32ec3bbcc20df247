"""Contract download: requests, reply handling and the simulated broker's catalogue."""

from __future__ import annotations

import itertools
import json
import logging
from types import SimpleNamespace
from typing import Any

import pytest
import requests

from taloma.backend.http import contract
from taloma.backend.http.contract import (
    _list_futopt_code,
    _list_stock_code,
    _list_tw_index_code,
    fetch_available_product,
)
from taloma.simulator import BrokerSimulator

API = "http://sim.invalid/api/v1/"
NO_DATA = "查無資料"


class Reply:
    def __init__(self, payload: Any) -> None:
        self.payload = payload

    def json(self) -> Any:
        if isinstance(self.payload, Exception):
            raise self.payload
        return self.payload


class Session:
    """Canned replies by path; every request recorded."""

    def __init__(self, replies: dict[str, Any]) -> None:
        self.replies = replies
        self.requests: list[tuple[str, str, Any]] = []

    def _answer(self, url: str) -> Reply:
        reply = self.replies[url[len(API) :]]
        if isinstance(reply, requests.RequestException):
            raise reply
        return Reply(reply)

    def get(self, url: str, **deadlines: Any) -> Reply:
        self.requests.append(("GET", url, None))
        self.deadlines = deadlines
        return self._answer(url)

    def post(self, url: str, json: Any = None, **deadlines: Any) -> Reply:
        self.requests.append(("POST", url, json))
        self.deadlines = deadlines
        return self._answer(url)


def fake_client(**replies: Any) -> Any:
    paths = {"stock": "codeList/stock_code", "futopt": "codeList/stmb_code", "index": "codeList/sc_code"}
    return SimpleNamespace(
        session=Session({paths[k]: v for k, v in replies.items()}),
        _token="",
        catalogue_timeout=(1.5, 2.5),
        catalogue_deadline=60.0,
        s_list_code_uri=API + paths["stock"],
        f_list_code_uri=API + paths["futopt"],
        index_list_code_uri=API + paths["index"],
    )


STOCK = {"exchange": "OTC", "code": "6488", "name": "環球晶 ", "industry": "24"}
FUTURE = {
    "code": "TXFL6",
    "ename": "TXF",
    "csname": "臺股期貨",
    "category": "TXF",
    "deliverymonth": "202612",
    "prod_kind": "I",
    "ostock": "#001",
    "basic": "200",
}
OPTION = {**FUTURE, "code": "TXO10500L6", "category": "TXO", "poc": "P", "eprice": "10500.0", "basic": "50"}


def errors(caplog: pytest.LogCaptureFixture) -> list[logging.LogRecord]:
    return [r for r in caplog.records if r.name == "taloma" and r.levelno >= logging.ERROR]


class TestRequests:
    def test_stock_and_index_lists_are_plain_gets(self) -> None:
        client = fake_client(stock={"success": "true", "result": []}, index={"success": "true", "result": {}})
        assert _list_stock_code(client) == {"success": "true", "result": []}
        assert _list_tw_index_code(client=client) == {"success": "true", "result": {}}
        assert client.session.requests == [
            ("GET", API + "codeList/stock_code", None),
            ("GET", API + "codeList/sc_code", None),
        ]

    @pytest.mark.parametrize(
        ("product_type", "detail", "body"),
        [
            ("F", True, {"code": "F", "type": "contract"}),
            ("O", 1, {"code": "O", "type": "contract"}),
            ("F", False, {"code": "F", "type": "delivery"}),
            ("O", "", {"code": "O", "type": "delivery"}),
        ],
    )
    def test_futopt_list_body(self, product_type: str, detail: Any, body: dict) -> None:
        client = fake_client(futopt={"success": "true"})
        _list_futopt_code(product_type=product_type, detail=detail, client=client)
        method, url, sent = client.session.requests[0]
        assert (method, url) == ("POST", API + "codeList/stmb_code")
        assert sent == body and list(sent) == ["code", "type"]
        # Streamed, so that a reply trickling in past the whole-list deadline is cut off.
        assert client.session.deadlines == {"timeout": client.catalogue_timeout, "stream": True}

    def test_fetch_asks_for_contracts_by_name(self, monkeypatch: pytest.MonkeyPatch) -> None:
        seen: list[dict] = []

        def fake(**kwargs: Any) -> dict:
            seen.append(kwargs)
            return {"success": "true", "result": {"content": {"TXF": [FUTURE]}}}

        monkeypatch.setattr(contract, "_list_futopt_code", fake)
        client = object()
        result = fetch_available_product(client, "F")
        assert seen == [{"product_type": "F", "detail": True, "client": client}]
        assert result["TXF"][0]["symbol"] == "TXF202612"

    def test_network_errors_and_bad_json_propagate(self) -> None:
        client = fake_client(stock=requests.ConnectionError("down"))
        with pytest.raises(requests.ConnectionError):
            fetch_available_product(client, "S")
        client = fake_client(futopt=json.JSONDecodeError("bad", "<html>", 0))
        with pytest.raises(ValueError):
            fetch_available_product(client, "O")


class TestReplies:
    @pytest.mark.parametrize(
        ("product_type", "replies", "expected_groups"),
        [
            ("S", {"stock": {"success": "true", "result": [STOCK]}}, {"OTC": 1}),
            ("F", {"futopt": {"success": "True", "result": {"content": {"TXF": [FUTURE, FUTURE]}}}}, {"TXF": 2}),
            ("O", {"futopt": {"success": "TRUE", "result": {"content": {"TXO": [OPTION]}}}}, {"TXO": 1}),
            ("I", {"index": {"success": "true", "result": {"101": "櫃買指數"}}}, {"TSE": 0, "OTC": 1}),
        ],
    )
    def test_each_product_type(
        self, product_type: str, replies: dict, expected_groups: dict, caplog: pytest.LogCaptureFixture
    ) -> None:
        result = fetch_available_product(fake_client(**replies), product_type)
        assert {k: len(v) for k, v in result.items()} == expected_groups
        assert list(result) == list(expected_groups)
        assert errors(caplog) == []

    @pytest.mark.parametrize(
        "reply",
        [
            {"success": "TRUE", "result": {"msg": NO_DATA}},
            {"success": "true"},
            {"success": "true", "result": []},
        ],
    )
    def test_empty_stock_list_is_not_an_error(self, reply: dict, caplog: pytest.LogCaptureFixture) -> None:
        assert fetch_available_product(fake_client(stock=reply), "S") == {}
        assert errors(caplog) == []

    @pytest.mark.parametrize(
        ("product_type", "result", "expected"),
        [
            ("O", {}, {}),
            ("F", {"content": {}}, {}),
            ("I", None, {"TSE": [], "OTC": []}),
        ],
    )
    def test_missing_payload_levels_default_to_empty(self, product_type: str, result: Any, expected: dict) -> None:
        reply: dict[str, Any] = {"success": "true"}
        if result is not None:
            reply["result"] = result
        key = "index" if product_type == "I" else "futopt"
        assert fetch_available_product(fake_client(**{key: reply}), product_type) == expected

    @pytest.mark.parametrize("success", ["false", "", "yes", "true ", "False"])
    def test_failed_reply_is_logged_not_raised(self, success: str, caplog: pytest.LogCaptureFixture) -> None:
        reply = {"success": success, "msg": "service closed", "result": {"content": {"TXO": [OPTION]}}}
        assert fetch_available_product(fake_client(futopt=reply), "O") == {}
        logged = errors(caplog)
        assert len(logged) == 1 and "service closed" in logged[0].getMessage()

    def test_reply_without_success_is_a_failure(self, caplog: pytest.LogCaptureFixture) -> None:
        assert fetch_available_product(fake_client(stock={"result": [STOCK]}), "S") == {}
        assert len(errors(caplog)) == 1

    def test_failed_reply_payload_is_not_read(self) -> None:
        # A failure may carry anything as its payload; only the verdict counts.
        assert fetch_available_product(fake_client(futopt={"success": "false", "result": None}), "F") == {}

    @pytest.mark.parametrize("product_type", ["X", "s", "STK", "", None, 1])
    def test_unknown_product_type_makes_no_request(self, product_type: Any, caplog: pytest.LogCaptureFixture) -> None:
        client = fake_client()
        assert fetch_available_product(client, product_type) == {}
        assert client.session.requests == []
        logged = errors(caplog)
        assert len(logged) == 1 and logged[0].getMessage() == "{}"

    def test_bad_entry_propagates_with_no_result(self) -> None:
        reply = {"success": "true", "result": [STOCK, {"code": "2330"}]}
        with pytest.raises(KeyError):
            fetch_available_product(fake_client(stock=reply), "S")

    def test_mapping_replies_that_are_not_dicts(self) -> None:
        from types import MappingProxyType

        reply = MappingProxyType({"success": "true", "result": MappingProxyType({"content": {"TXO": [OPTION]}})})
        assert len(fetch_available_product(fake_client(futopt=reply), "O")["TXO"]) == 1
        no_data = MappingProxyType({"success": "true", "result": MappingProxyType({"msg": NO_DATA})})
        assert fetch_available_product(fake_client(stock=no_data), "S") == {}

    @pytest.mark.parametrize("reply", [[], "true", None])
    def test_reply_that_is_not_a_mapping(self, reply: Any) -> None:
        with pytest.raises((TypeError, AttributeError)):
            fetch_available_product(fake_client(stock=reply), "S")

    def test_conversions_are_looked_up_when_used(self, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.setattr(contract, "stock_dict_convert", lambda contracts: {"seen": list(contracts)})
        reply = {"success": "true", "result": [STOCK]}
        assert fetch_available_product(fake_client(stock=reply), "S") == {"seen": [STOCK]}


class TestSimulatedCatalogue:
    """End to end: the native client downloads the simulated broker's catalogue."""

    def test_stocks(self, client: Any) -> None:
        result = fetch_available_product(client, "S")
        assert set(result) == {"TSE", "OTC"}
        assert 1800 <= sum(map(len, result.values())) <= 2200
        records = [r for group in result.values() for r in group]
        assert all(r["name"] == r["name"].strip(" ") and r["name"] for r in records)
        assert all(r["symbol"] == r["exchange"] + r["code"] for r in records)

    def test_futures_and_options(self, client: Any) -> None:
        futures = fetch_available_product(client, "F")
        assert 200 <= sum(map(len, futures.values())) <= 600
        options = fetch_available_product(client, "O")
        assert sum(map(len, options.values())) >= 100_000
        assert 100 <= len(options) <= 600
        assert next(iter(options)) == "TXO"
        records = [r for group in options.values() for r in group]
        assert all(type(r["unit"]) is float for r in records)
        trimmed = [r for r in records if r["strike_price"].endswith(".0")]
        kept = [r for r in records if not r["strike_price"].endswith(".0")]
        assert trimmed and kept
        assert all(not r["symbol"].endswith(".0") for r in trimmed)
        assert all(r["symbol"].endswith(r["strike_price"]) for r in kept)

    def test_indices(self, client: Any) -> None:
        result = fetch_available_product(client, "I")
        assert list(result) == ["TSE", "OTC"] and result["TSE"] and result["OTC"]
        assert all(r["code"].startswith("1") for r in result["OTC"])

    def test_deliveries_list(self, client: Any) -> None:
        reply = _list_futopt_code("F", False, client)
        assert reply["success"].lower() == "true"
        assert reply["result"]["content"]["TXF"][0]["deliverymonth"]

    @pytest.mark.parametrize("body", [{"code": "S", "type": "contract"}, {"code": "O", "type": "list"}, None])
    def test_bad_list_request_fails(self, client: Any, body: Any) -> None:
        reply = client.session.post(client.f_list_code_uri, json=body).json()
        assert reply["success"] == "False" and reply["msg"]


class TestCatalogueGeneration:
    def test_same_seed_same_catalogue(self) -> None:
        from taloma.simulator.catalogue import Catalogue

        a, b, c = Catalogue(1), Catalogue(1), Catalogue(2)
        assert a.stocks() == b.stocks() and a.stocks() != c.stocks()
        assert a.futures() == b.futures()

    def test_stocks_interleave_exchanges_in_code_order(self) -> None:
        from taloma.simulator.catalogue import Catalogue

        stocks = Catalogue(0).stocks()
        assert [s["code"] for s in stocks] == sorted((s["code"] for s in stocks), key=int)
        switches = sum(1 for x, y in itertools.pairwise(stocks) if x["exchange"] != y["exchange"])
        assert switches > 100

    def test_built_lazily_and_served_from_one_encoding(self) -> None:
        with BrokerSimulator(seed=5) as sim:
            url = sim.api_uri + "codeList/stock_code"
            assert "catalogue" not in sim.state._features
            first = requests.get(url, timeout=30).content
            cat = sim.state._features["catalogue"]
            assert "options" not in cat._parts
            assert requests.get(url, timeout=30).content == first
            assert json.loads(first)["result"] == cat.stocks()


class TestDemoSection:
    def test_downloads_all_four_and_keeps_contracts(self, client: Any) -> None:
        import io

        from taloma.contracts import Future, Option
        from taloma.demo import Demo
        from taloma.demo import catalogue as section

        out = io.StringIO()
        ctx = Demo(out=out)
        ctx.client = client
        section.run(ctx)
        text = out.getvalue()
        assert ctx.failures == []
        assert isinstance(ctx.data["future"], Future) and isinstance(ctx.data["option"], Option)
        assert ctx.data["option"].option_right == "C" and ctx.data["future"].code.startswith("TXF")
        assert "more groups" in text and len(text.splitlines()) < 80

    def test_without_a_client_every_step_fails(self) -> None:
        import io

        from taloma.demo import Demo
        from taloma.demo import catalogue as section

        ctx = Demo(out=io.StringIO())
        section.run(ctx)
        assert len(ctx.failures) == 4 and "future" not in ctx.data
