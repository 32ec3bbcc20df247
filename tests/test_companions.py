"""The companion modules the native modules rely on."""

from __future__ import annotations

from pathlib import Path

import pytest

from support import run_python
from taloma import constant as enums
from taloma.account import Account, AccountType, FutureAccount, StockAccount
from taloma.backend.http.constant import BaseProps, Constant
from taloma.backend.http.futureoption.constant import oprops as foprops
from taloma.contracts import Contract, Future, Index, Option, Stock
from taloma.order import Order, OrderStatus, Status


class Side(Constant):
    Buy = "B"
    Sell = "S"
    _hidden = "H"


class Kind(Constant):
    ROD = "ROD"
    IOC = "I"


class Props(BaseProps):
    side = Side(enums.Action)
    kind = Kind(enums.OrderType)
    note = "not a converter"


def test_constant_converts_both_ways() -> None:
    conv = Props.side
    assert (conv.Buy, conv.Sell) == ("B", "S")
    assert (enums.Action.Buy, enums.Action.Sell) == (conv.B, conv.S)
    assert Side.members() == [("Buy", "B"), ("Sell", "S")]
    # A code spelled like a member name leads back to the generic value.
    assert Props.kind.ROD is enums.OrderType.ROD and Props.kind.I is enums.OrderType.IOC
    assert Props.keys() == ["side", "kind"]
    with pytest.raises(AttributeError):
        Side(object())  # a generic without the members cannot be converted


def test_futures_converters() -> None:
    assert foprops.keys() == ["action", "price_type", "order_type", "octype"]
    assert (foprops.action.Buy, foprops.action.B) == ("B", enums.Action.Buy)
    assert [foprops.octype.Auto, foprops.octype.New, foprops.octype.Cover, foprops.octype.DayTrade] == [
        " ",
        "0",
        "1",
        "6",
    ]
    assert foprops.order_type.IOC == "IOC" and foprops.price_type.MKP == "MKP"


@pytest.mark.parametrize(
    "enum,values",
    [
        (enums.Exchange, ["TSE", "OTC", "OES", "TAIFEX"]),
        (enums.QuoteType, ["tick", "ladder", "quote"]),
        (enums.QuoteVersion, ["v0", "v1"]),
        (enums.SecurityType, ["IND", "STK", "FUT", "OPT"]),
        (enums.OptionRight, ["C", "P"]),
        (enums.Action, ["Buy", "Sell"]),
        (enums.OrderType, ["ROD", "IOC", "FOK"]),
        (enums.FuturesPriceType, ["LMT", "MKT", "MKP"]),
        (enums.FuturesOCType, ["Auto", "New", "Cover", "DayTrade"]),
        (enums.StockPriceType, ["LimitPrice", "Close", "LimitUp", "LimitDown"]),
        (enums.StockOrderType, ["Common", "BlockTrade", "Fixing", "Odd"]),
        (enums.StockOrderCond, ["Cash", "Netting", "MarginTrading", "ShortSelling"]),
        (enums.StockFirstSell, ["Yes", "No"]),
        (AccountType, ["S", "F"]),
        (Status, ["PendingSubmit", "PreSubmitted", "Submitted", "Failed", "Cancelled", "Filled", "PartFilled"]),
    ],
)
def test_text_enumerations(enum, values) -> None:
    assert [m.value for m in enum] == values
    for member, value in zip(enum, values, strict=True):
        assert str(member) == value == member and f"{member}" == value


@pytest.mark.parametrize(
    "account_type,kind", [("S", StockAccount), (AccountType.Stock, StockAccount), ("F", FutureAccount), ("H", Account)]
)
def test_account_astype(account_type, kind) -> None:
    fields = dict(person_id="A1", broker_id="9A95", account_id="123", username="u")
    account = Account(account_type=account_type, **fields).astype()
    assert type(account) is kind and account.account_type == account_type
    assert account.get("broker_id", "") == "9A95" and account.get("nothing", "") == ""
    assert account.dict() == dict(account_type=account_type, **fields)
    assert account == Account(account_type=account_type, **fields)
    assert "account_id='123'" in repr(account) and "9A95" in str(account)


def test_account_subclasses_default_their_type() -> None:
    assert StockAccount(account_id="1").account_type is AccountType.Stock
    assert FutureAccount(account_id="1").account_type is AccountType.Future
    assert StockAccount(account_id="1") != FutureAccount(account_id="1")


@pytest.mark.parametrize("kwargs", [{"id": "X-1"}, {"order_id": "X-1"}, {"id": "X-1", "order_id": "X-1"}])
def test_order_status_identifier(kwargs) -> None:
    status = OrderStatus(order_datetime=None, status=Status.Failed, **kwargs)
    assert (status.id, status.order_id, status.status) == ("X-1", "X-1", Status.Failed)
    status.order_id = "X-2"
    assert status.id == "X-2"


def test_order_status_conflicting_identifiers() -> None:
    with pytest.raises(TypeError):
        OrderStatus(id="a", order_id="b")


def test_order_as_mapping() -> None:
    order = Order(action=enums.Action.Buy, price=10, quantity=2)
    order.ordno = "A0001"
    assert dict(order)["ordno"] == "A0001" and dict(order)["action"] is enums.Action.Buy
    assert set(dict(order)) == {
        "action",
        "price_type",
        "order_type",
        "price",
        "quantity",
        "octype",
        "account",
        "ordno",
        "seqno",
    }


@pytest.mark.parametrize("kind,security_type", [(Stock, "STK"), (Future, "FUT"), (Option, "OPT"), (Index, "IND")])
def test_contract_defaults(kind, security_type) -> None:
    contract = kind(exchange="TAIFEX", code="TXFA4", name="Index future")
    assert contract.security_type == security_type and str(contract.security_type)[0] == security_type[0]
    assert contract.exchange is enums.Exchange.TAIFEX and contract.option_right == ""
    assert isinstance(contract, Contract)


def test_contract_keeps_given_security_type() -> None:
    contract = Contract(security_type="FUT", exchange="TAIFEX", code="TXF", name="n")
    assert type(contract) is Contract and contract.security_type == "FUT"


CATALOGUE_FUTURE = {
    "symbol": "TXF202612",
    "security_type": "FUT",
    "currency": "TWD",
    "exchange": "TAIFEX",
    "code": "TXFL6",
    "name": "臺股期貨12",
    "category": "TXF",
    "delivery_month": "202612",
    "strike_price": 0,
    "option_right": "",
    "underlying_kind": "I",
    "underlying_code": "#001",
    "unit": 200.0,
    "multiplier": 0,
}


def test_contract_takes_every_catalogue_field() -> None:
    record = Future(**CATALOGUE_FUTURE, settle="cash")
    assert record.currency == "TWD" and record.settle == record.get("settle") == "cash"
    assert record.dict() == {k: v for k, v in CATALOGUE_FUTURE.items() if k != "currency"}
    by_hand = Future(**record.dict())
    assert record == by_hand and hash(record) == hash(by_hand) and repr(record) == repr(by_hand)
    assert "currency" not in repr(record) and "settle" not in repr(record)
    assert Future(code="TXFL6", currency="USD") != Future(code="TXFL6")
    assert "currency='USD'" in repr(Future(code="TXFL6", currency="USD"))
    with pytest.raises(AttributeError):
        _ = record.nonexistent
    with pytest.raises(AttributeError):
        _ = record.__dict__


def test_settings_overridden_by_environment(tmp_path: Path) -> None:
    code = "import taloma.backend.http as s; print(s.api_url_production, s.api_url_simulation, s.api_ver)"
    done = run_python(
        code,
        cwd=tmp_path,
        TALOMA_API_URL_PRODUCTION="http://p",
        TALOMA_API_URL_SIMULATION="http://s",
        TALOMA_API_VER="v7",
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["http://p", "http://s", "v7"]
