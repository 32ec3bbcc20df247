"""Account queries: the companion request functions and the records against the simulated broker."""

from __future__ import annotations

import datetime as dt
from decimal import Decimal
from types import SimpleNamespace
from typing import Any

import pytest

from taloma.account import FutureAccount, StockAccount
from taloma.backend.http import account as records
from taloma.backend.http.futureoption import account as futopt_queries
from taloma.backend.http.stock import account as stock_queries

API = "http://sim.invalid/api/v1/"
STOCK = StockAccount(person_id="A1", broker_id="9A95", account_id="1234567", username="u")
FUTURE = FutureAccount(person_id="A1", broker_id="F002000", account_id="7654321", username="u")


class Recorder:
    def __init__(self) -> None:
        self.posts: list[tuple[str, Any]] = []

    def post(self, url: str, json: Any = None, timeout: Any = None) -> Any:
        self.posts.append((url, json))
        self.timeout = timeout
        return SimpleNamespace(json=lambda: {"success": "true", "result": {"echo": json}})


def recording_client() -> Any:
    names = [
        "s_query_funds_profitloss_uri",
        "s_query_unreal_profitloss_uri",
        "s_query_real_profitloss_uri",
        "f_query_margin_uri",
        "f_query_open_position_uri",
        "f_query_settle_pl_uri",
    ]
    return SimpleNamespace(session=Recorder(), _token="tok", timeout=(1.5, 2.5), **{n: API + n for n in names})


IDS_S = {"token": "tok", "broker_id": "9A95", "account_id": "1234567"}
IDS_F = {"token": "tok", "broker_id": "F002000", "account_id": "7654321"}


@pytest.mark.parametrize(
    ("call", "uri", "body"),
    [
        (
            lambda c: stock_queries._query_funds_profitloss(STOCK, c, "1"),
            "s_query_funds_profitloss_uri",
            {**IDS_S, "tax": "1"},
        ),
        (
            lambda c: stock_queries._query_unreal_profitloss(STOCK, c, "", "A", "NTD", "3"),
            "s_query_unreal_profitloss_uri",
            {**IDS_S, "stock_code": "", "stock_type": "A", "currency": "NTD", "action": "3"},
        ),
        (
            lambda c: stock_queries._query_real_profitloss(STOCK, c, "2330", "0", "20240101", "20240131", "A", " "),
            "s_query_real_profitloss_uri",
            {
                **IDS_S,
                "stock_code": "2330",
                "stock_type": "0",
                "start_date": "20240101",
                "end_date": "20240131",
                "currency": "A",
                "action": " ",
            },
        ),
        (
            lambda c: futopt_queries._query_margin("USD", "2", FUTURE, c),
            "f_query_margin_uri",
            {**IDS_F, "currency": "USD", "margin_type": "2"},
        ),
        (
            lambda c: futopt_queries._query_open_position("1", "0", FUTURE, c),
            "f_query_open_position_uri",
            {**IDS_F, "product_type": "1", "query_type": "0"},
        ),
        (
            lambda c: futopt_queries._query_settle_profitloss("2", "N", "20240101", "20240105", "BAS", FUTURE, c),
            "f_query_settle_pl_uri",
            {
                **IDS_F,
                "product_type": "2",
                "summary": "N",
                "start_date": "20240101",
                "end_date": "20240105",
                "currency": "BAS",
            },
        ),
    ],
    ids=["funds", "unreal", "real", "margin", "position", "settle"],
)
def test_query_requests(call: Any, uri: str, body: dict) -> None:
    client = recording_client()
    reply = call(client)
    assert client.session.posts == [(API + uri, body)]
    assert client.session.timeout == client.timeout
    assert reply == {"success": "true", "result": {"echo": body}}


@pytest.fixture
def accounts(client: Any) -> tuple[Any, Any]:
    return client.default_stock_account, client.default_futopt_account


def dates(days: int) -> tuple[str, str]:
    end = dt.date.today()
    return (end - dt.timedelta(days=days)).strftime("%Y%m%d"), end.strftime("%Y%m%d")


class TestAgainstTheSimulator:
    def test_funds(self, client: Any, accounts: tuple) -> None:
        funds = records.AccountFunds(" ", accounts[0], client)
        assert funds._status is True and funds._msg == ""
        rows = funds.data()
        assert len(rows) >= 2 and all("net_amount" in r for r in rows)
        excluded = records.AccountFunds("1", accounts[0], client).data()
        assert all(r["tax"] == "0" for r in excluded)

    @pytest.mark.parametrize("currency", ["NTD", "USD", "JPY"])
    def test_margin(self, client: Any, accounts: tuple, currency: str) -> None:
        margin = records.AccountMargin(currency, "2", accounts[1], client)
        body = margin.data()
        assert margin._status is True and body["currency"] == currency and "risk_indicator" in body
        assert "risk_indicator" not in records.AccountMargin(currency, "1", accounts[1], client).data()

    def test_positions_summary_adds_up_the_detail(self, client: Any, accounts: tuple) -> None:
        detail = records.AccountOpenPosition("0", "0", accounts[1], client)
        summary = records.AccountOpenPosition("0", "1", accounts[1], client)
        assert detail._status and summary._status
        assert detail._accountid == accounts[1].broker_id + accounts[1].account_id

        def totals(rows: list[dict]) -> dict[str, int]:
            out: dict[str, int] = {}
            for r in rows:
                out[r["code"]] = out.get(r["code"], 0) + int(r["quantity"])
            return out

        assert totals(detail.data()) == totals(summary.data())
        assert len(summary.data()) <= len(detail.data())
        futures_only = records.AccountOpenPosition("1", "0", accounts[1], client).data()
        assert futures_only and all(r["product_type"] == "1" for r in futures_only)

    def test_settled(self, client: Any, accounts: tuple) -> None:
        start, end = dates(30)
        detail = records.AccountSettleProfitLoss("0", "N", start, end, "NTD", accounts[1], client)
        summary = records.AccountSettleProfitLoss("0", "Y", start, end, "NTD", accounts[1], client)
        assert detail._status and summary._status
        assert all(start <= r["date"] <= end for r in detail.data())
        assert sum(Decimal(r["settle_pl"]) for r in detail.data()) == sum(
            Decimal(r["settle_pl"]) for r in summary.data()
        )

    def test_settled_with_dates_reversed_fails(self, client: Any, accounts: tuple) -> None:
        start, end = dates(30)
        record = records.AccountSettleProfitLoss("0", "N", end, start, "NTD", accounts[1], client)
        assert record._status is False and "start" in record._msg

    @pytest.mark.parametrize("kind", ["unreal", "real"])
    def test_profit_and_loss_split(self, client: Any, accounts: tuple, kind: str) -> None:
        if kind == "unreal":
            record = records.AccountUnRealProfitLoss("A", "NTD", " ", accounts[0], client)
            pl_key = "unreal_pl"
        else:
            record = records.AccountRealProfitLoss("A", *dates(90), "NTD", " ", accounts[0], client)
            pl_key = "real_pl"
        assert record._status is True
        summary, detail = record.data()["summary"], record.data()["detail"]
        # The total row carries no details and is left out.
        assert len(summary) >= 2 and all(r["stock"] for r in summary)
        assert len(detail) >= len(summary)
        for row in summary:
            rows = [d for d in detail if d["stock"] == row["stock"]]
            assert rows and sum(Decimal(d[pl_key]) for d in rows) == Decimal(row[pl_key])

    def test_update_asks_again(self, client: Any, accounts: tuple) -> None:
        record = records.AccountMargin("NTD", "1", accounts[1], client)
        first = record.data()
        record.update()
        assert record.data() == first and record.data() is not first

    def test_bad_token_is_kept_as_a_failure(self, client: Any, accounts: tuple) -> None:
        client._token = "expired"
        record = records.AccountMargin("NTD", "1", accounts[1], client)
        assert record._status is False and "token" in record._msg and record.data() == {}
        record = records.AccountOpenPosition("0", "0", accounts[1], client)
        assert record._status is False and record.data() == [{}]

    def test_another_users_account_is_refused(self, client: Any) -> None:
        other = StockAccount(person_id="B9", broker_id="9A95", account_id="1234568", username="x")
        record = records.AccountFunds(" ", other, client)
        assert record._status is False and "not yours" in record._msg and record.data() == []

    def test_stock_account_is_not_a_futures_account(self, client: Any, accounts: tuple) -> None:
        record = records.AccountMargin("NTD", "1", accounts[0], client)
        assert record._status is False

    @pytest.mark.parametrize("currency", ["XXX", ""])
    def test_invalid_code_is_refused(self, client: Any, accounts: tuple, currency: str) -> None:
        record = records.AccountMargin(currency, "1", accounts[1], client)
        assert record._status is False and "currency" in record._msg

    def test_same_account_same_book(self, client: Any, accounts: tuple) -> None:
        a = records.AccountUnRealProfitLoss("A", "NTD", " ", accounts[0], client).data()
        b = records.AccountUnRealProfitLoss("A", "NTD", " ", accounts[0], client).data()
        assert a == b


def test_demo_section(client: Any) -> None:
    import io

    from taloma.demo import Demo
    from taloma.demo import accounts as section

    out = io.StringIO()
    ctx = Demo(out=out)
    ctx.client = client
    section.run(ctx)
    assert ctx.failures == []
    text = out.getvalue()
    assert "AccountMargin(FutureAccount(" in text and "holdings" in text and "stocks sold" in text


def test_demo_section_reports_refusals(client: Any) -> None:
    import io

    from taloma.demo import Demo
    from taloma.demo import accounts as section

    client._token = "expired"
    ctx = Demo(out=io.StringIO())
    ctx.client = client
    section.run(ctx)
    assert len(ctx.failures) == 6
