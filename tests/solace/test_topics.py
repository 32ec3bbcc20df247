"""Bus topic naming: schemes v0, v1 and v2, and their rejections."""

from __future__ import annotations

import contextlib

import pytest

from taloma.backend.solace.quote import contract2topic, v1contract2topic, v2contract2topic
from taloma.constant import Exchange, QuoteType, QuoteVersion
from taloma.contracts import Contract, Future, Index, Option, Stock

TICK, BOOK, QUOTE = QuoteType.Tick, QuoteType.Ladder, QuoteType.Quote

FUT = Future(exchange=Exchange.TAIFEX, code="ABC1")
OPT = Option(exchange=Exchange.TAIFEX, code="TXO18200C4")
TSE = Stock(exchange=Exchange.TSE, code="1234")
OTC = Stock(exchange=Exchange.OTC, code="1234")
OES = Stock(exchange=Exchange.OES, code="5678")
IDX = Index(exchange=Exchange.TSE, code="001")


@contextlib.contextmanager
def rejected(message):
    """The generic Exception itself, with exactly this message."""
    with pytest.raises(Exception) as info:
        yield
    assert type(info.value) is Exception
    assert str(info.value) == message


@pytest.mark.parametrize(
    "contract, quote_type, odd, topic",
    [
        (FUT, TICK, False, "L/*/ABC1"),
        (FUT, BOOK, True, "Q/*/ABC1"),
        (OPT, BOOK, False, "Q/*/TXO18200C4"),
        (OPT, TICK, False, "L/*/TXO18200C4"),
        (TSE, TICK, False, "MKT/*/TSE/1234"),
        (TSE, BOOK, False, "QUT/*/TSE/1234"),
        (TSE, TICK, True, "TIC/v2/*/TSE/1234/ODDLOT"),
        (TSE, BOOK, True, "QUO/v2/*/TSE/1234/ODDLOT"),
        (OTC, BOOK, 1, "QUO/v2/*/OTC/1234/ODDLOT"),
        (IDX, TICK, False, "I/TSE/001"),
        (IDX, BOOK, False, "O/TSE/001"),
    ],
)
def test_scheme_v0(contract, quote_type, odd, topic):
    assert contract2topic(contract, quote_type, odd) == topic
    assert contract2topic(contract, quote_type, odd, QuoteVersion.v0) == topic
    assert contract2topic(contract=contract, quote_type=quote_type, intraday_odd=odd, version=QuoteVersion.v0) == topic


@pytest.mark.parametrize("contract", [FUT, OPT, TSE, IDX])
@pytest.mark.parametrize("odd", [False, True])
def test_scheme_v0_rejects_quote_type_quote(contract, odd):
    with rejected("Quote Type: quote not support."):
        contract2topic(contract, QUOTE, odd)


@pytest.mark.parametrize(
    "contract, quote_type, odd, topic",
    [
        (TSE, TICK, False, "TIC/v1/STK/*/TSE/1234"),
        (TSE, BOOK, False, "QUO/v1/STK/*/TSE/1234"),
        (TSE, TICK, True, "TIC/v1/ODD/*/TSE/1234"),
        (TSE, QUOTE, False, "QUO/v2/STK/*/TSE/1234"),
        (TSE, QUOTE, True, "QUO/v2/ODD/*/TSE/1234"),
        (OTC, BOOK, False, "QUO/v1/STK/*/OTC/1234"),
        (OES, TICK, False, "TIC/v1/STK/*/OES/5678"),
        (OPT, TICK, False, "TIC/v1/FOP/*/OPT/TXO18200C4"),
        (FUT, BOOK, True, "QUO/v1/FOP/*/TFE/ABC1"),
        (FUT, QUOTE, False, "QUO/v2/FOP/*/TFE/ABC1"),
        (Future(exchange=Exchange.TSE, code="X1"), TICK, False, "TIC/v1/FOP/*/TSE/X1"),
    ],
)
def test_scheme_v1(contract, quote_type, odd, topic):
    assert v1contract2topic(contract, quote_type, odd) == topic
    assert contract2topic(contract, quote_type, odd, QuoteVersion.v1) == topic
    assert contract2topic(contract, quote_type, odd, version="v1") == topic


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: v1contract2topic(TSE, "depth", False), "Quote Type: depth not support."),
        (lambda: v1contract2topic(IDX, TICK, False), f"Contract: {IDX} not support."),
        (
            lambda: v1contract2topic(Contract(exchange=Exchange.TSE, code="9"), TICK, False),
            f"Contract: {Contract(exchange=Exchange.TSE, code='9')} not support.",
        ),
        (lambda: v1contract2topic(Future(exchange="SGX", code="TW1"), TICK, False), "Exchange: SGX not support."),
        # quote type, then contract kind, then exchange
        (lambda: v1contract2topic(Index(exchange="SGX", code="1"), "depth", False), "Quote Type: depth not support."),
        (
            lambda: v1contract2topic(Index(exchange="SGX", code="1"), TICK, False),
            f"Contract: {Index(exchange='SGX', code='1')} not support.",
        ),
    ],
)
def test_scheme_v1_rejections(call, message):
    with rejected(message):
        call()


@pytest.mark.parametrize(
    "contract, topic", [(TSE, "QUO/v2/STK/*/TSE/1234"), (OTC, "QUO/v2/STK/*/OTC/1234"), (OES, "QUO/v2/STK/*/OES/5678")]
)
@pytest.mark.parametrize("odd", [False, True])
def test_scheme_v2(contract, topic, odd):
    assert v2contract2topic(contract, BOOK, odd) == topic


@pytest.mark.parametrize(
    "contract, quote_type, message",
    [
        (TSE, TICK, "Quote Type: tick not support."),
        (TSE, QUOTE, "Quote Type: quote not support."),
        (FUT, TICK, "Quote Type: tick not support."),
        (FUT, BOOK, f"Contract: {FUT} not support."),
        (IDX, BOOK, f"Contract: {IDX} not support."),
        (Stock(exchange=Exchange.TAIFEX, code="1"), BOOK, "Exchange: TAIFEX not support."),
    ],
)
def test_scheme_v2_rejections(contract, quote_type, message):
    with rejected(message):
        v2contract2topic(contract, quote_type, False)


def test_contract2topic_never_reaches_scheme_v2():
    with rejected("QuoteVersion: v2 not support."):
        contract2topic(TSE, BOOK, False, "v2")
    with rejected("QuoteVersion: None not support."):
        contract2topic(TSE, BOOK, False, None)


def test_plain_texts_compare_equal_to_the_enumerations():
    assert contract2topic(TSE, "tick", False, "v0") == "MKT/*/TSE/1234"
    assert v1contract2topic(Stock(exchange="OTC", code="9"), "quote", False) == "QUO/v2/STK/*/OTC/9"


def test_subclasses_count_as_their_base():
    class Warrant(Stock):
        pass

    class Weekly(Option):
        pass

    assert contract2topic(Warrant(exchange=Exchange.TSE, code="03"), TICK, False) == "MKT/*/TSE/03"
    assert v1contract2topic(Weekly(exchange=Exchange.TAIFEX, code="TX1"), TICK, False) == "TIC/v1/FOP/*/OPT/TX1"


class NoCode:
    exchange = Exchange.TSE


class NoExchange(Stock):
    __slots__ = ()

    def __getattribute__(self, name):
        if name == "exchange":
            raise AttributeError(name)
        return super().__getattribute__(name)


def test_missing_attributes():
    with pytest.raises(AttributeError):
        contract2topic(NoCode(), "no such type", False)
    with pytest.raises(AttributeError):
        v2contract2topic(NoCode(), "no such type", False)
    stock = NoExchange(code="1234")
    with pytest.raises(AttributeError):
        contract2topic(stock, TICK, False)
    with pytest.raises(AttributeError):
        v1contract2topic(stock, TICK, False)
    # the quote type is judged before the exchange is read
    with rejected("Quote Type: quote not support."):
        contract2topic(stock, QUOTE, False)


def test_unknown_contract_kinds():
    with rejected("Contract: 42 not support."):
        contract2topic(type("C", (), {"code": "1", "__str__": lambda self: "42"})(), TICK, False)


@pytest.mark.parametrize(
    "call, args",
    [
        (contract2topic, (TSE, TICK)),
        (contract2topic, (TSE, TICK, False, "v0", 1)),
        (v1contract2topic, (TSE, TICK)),
        (v2contract2topic, (TSE, BOOK, False, 1)),
    ],
)
def test_argument_errors(call, args):
    with pytest.raises(TypeError, match=call.__name__):
        call(*args)
