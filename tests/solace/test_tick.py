"""Tick records: the stock decoders (regular and odd lot) and the futures/options decoder."""

from __future__ import annotations

import datetime as dt
import sys
from decimal import Decimal, InvalidOperation

import pytest

from taloma.backend.solace import tick
from taloma.backend.solace.tick import TickBase, TickFOPv1, TickSTKv1

STK_FIELDS = [
    "code", "datetime", "open", "avg_price", "close", "high", "low", "amount", "total_amount", "volume",
    "total_volume", "tick_type", "chg_type", "price_chg", "pct_chg", "bid_side_total_vol", "ask_side_total_vol",
    "bid_side_total_cnt", "ask_side_total_cnt", "closing_oddlot_shares", "fixed_trade_vol", "suspend", "simtrade",
    "intraday_odd",
]
FOP_FIELDS = [
    "code", "datetime", "open", "underlying_price", "bid_side_total_vol", "ask_side_total_vol", "avg_price", "close",
    "high", "low", "amount", "total_amount", "volume", "total_volume", "tick_type", "chg_type", "price_chg",
    "pct_chg", "simtrade",
]


def stk(**changes):
    c = dict(
        code="2330", date="2024/03/15", time="10:00:00.5", open="580.00", avg_price="581.20", close="582.00",
        high="583.00", low="579.00", amount="1164000", amount_sum="990000000", volume=2, vol_sum=1700, tick_type=1,
        diff_type=2, diff_price="2.00", diff_rate=250, trade_bid_vol_sum=800, trade_ask_vol_sum=900,
        trade_bid_cnt=11, trade_ask_cnt=12, closing_oddlot_shares=7, closing_oddlot_close="12.3",
        closing_oddlot_amount="", closing_oddlot_bid_price="", closing_oddlot_ask_price="", fixed_trade_volume=8,
        fixed_trade_amount="", suspend=0, simtrade=1,
    )
    c.update(changes)
    return c


ODD_ORDER = [
    "code", "date", "time", "close", "tick_type", "diff_price", "diff_rate", "diff_type", "volume", "vol_sum",
    "amount", "amount_sum", "avg_price", "open", "high", "low", "trade_bid_vol_sum", "trade_ask_vol_sum",
    "trade_bid_cnt", "trade_ask_cnt", "suspend", "simtrade",
]


def odd(**changes):
    base = stk(diff_rate="2.5")
    c = {k: base[k] for k in ODD_ORDER}
    c.update(changes)
    return c


def fop(**changes):
    c = dict(
        code="TXFC4", date="2024-03-15", time="10:00:00", open="18250", target_kind_price="18231.57",
        trade_bid_vol_sum=300, trade_ask_vol_sum=310, avg_price="18260.5", close="18270", high="18290",
        low="18240", amount="36540", amount_sum="11200000", volume=2, vol_sum=610, tick_type=2, diff_type=2,
        diff_price="20", diff_rate="0.11", simtrade=0,
    )
    c.update(changes)
    return c


DECODERS = {
    "stk": (TickSTKv1.from_content, stk),
    "odd": (TickSTKv1.from_content_odd, odd),
    "fop": (TickFOPv1.from_content, fop),
}


def test_regular_lot_stock_tick():
    c = stk()
    rec = TickSTKv1.from_content(**c)
    assert rec.keys() == STK_FIELDS and rec.keys() is TickSTKv1.__slots__
    assert rec.datetime == dt.datetime(2024, 3, 15, 10, 0, 0, 500000)
    assert [str(rec[k]) for k in ("open", "avg_price", "close", "high", "low", "amount", "total_amount", "price_chg")] == [
        "580.00", "581.20", "582.00", "583.00", "579.00", "1164000", "990000000", "2.00"]
    assert str(rec.pct_chg) == "2.50"
    assert (rec.volume, rec.total_volume, rec.tick_type, rec.chg_type) == (2, 1700, 1, 2)
    assert (rec.bid_side_total_vol, rec.ask_side_total_vol, rec.bid_side_total_cnt, rec.ask_side_total_cnt) == (
        800, 900, 11, 12)
    assert (rec.closing_oddlot_shares, rec.fixed_trade_vol, rec.suspend, rec.simtrade, rec.intraday_odd) == (
        7, 8, 0, 1, 0)
    # checked as text but not carried
    assert rec["closing_oddlot_close"] is None and rec["fixed_trade_amount"] is None


def test_odd_lot_stock_tick():
    rec = TickSTKv1.from_content_odd(**odd())
    assert str(rec.pct_chg) == "2.5"
    assert (rec.closing_oddlot_shares, rec.fixed_trade_vol, rec.intraday_odd) == (0, 0, 1)
    regular = TickSTKv1.from_content(**stk()).to_dict()
    got = rec.to_dict()
    for k in ("closing_oddlot_shares", "fixed_trade_vol", "intraday_odd", "pct_chg"):
        del regular[k], got[k]
    assert got == regular


def test_odd_lot_keywords_in_any_order_and_positional_in_odd_order():
    c = odd()
    expected = TickSTKv1.from_content_odd(**c).to_dict()
    assert TickSTKv1.from_content_odd(**dict(sorted(c.items()))).to_dict() == expected
    assert TickSTKv1.from_content_odd(*c.values()).to_dict() == expected
    # In the regular-lot order the fourth value is open, not close, and an integer lands on a text field.
    in_regular_order = [c[k] for k in stk() if k in c]
    with pytest.raises(TypeError, match="'amount'"):
        TickSTKv1.from_content_odd(*in_regular_order)


def test_futures_tick():
    c = fop()
    rec = TickFOPv1.from_content(**c)
    assert rec.keys() == FOP_FIELDS
    assert rec.underlying_price == Decimal("18231.57")
    assert (rec.bid_side_total_vol, rec.ask_side_total_vol) == (300, 310)
    assert str(rec.pct_chg) == "0.11" and str(rec.price_chg) == "20" and str(rec.avg_price) == "18260.5"
    assert rec.datetime == dt.datetime(2024, 3, 15, 10)


@pytest.mark.parametrize("rate, text", [(250, "2.50"), (-7, "-0.07"), (0, "0.00"), (1, "0.01")])
def test_regular_lot_rate_is_scaled(rate, text):
    assert str(TickSTKv1.from_content(**stk(diff_rate=rate)).pct_chg) == text


@pytest.mark.parametrize("decoder", ["odd", "fop"])
@pytest.mark.parametrize("text", ["2.5", "-0.07", "10", "0.00"])
def test_other_rates_are_taken_as_text(decoder, text):
    factory, make = DECODERS[decoder]
    assert str(factory(**make(diff_rate=text)).pct_chg) == text


@pytest.mark.parametrize("decoder", DECODERS)
@pytest.mark.parametrize("field", ["open", "close", "amount_sum", "diff_price"])
@pytest.mark.parametrize("text", ["", "x", "1..2"])
def test_empty_or_malformed_decimal_text_fails(decoder, field, text):
    factory, make = DECODERS[decoder]
    with pytest.raises(InvalidOperation):
        factory(**make(**{field: text}))


@pytest.mark.parametrize(
    "decoder, field",
    [("stk", "fixed_trade_amount"), ("stk", "closing_oddlot_ask_price"), ("stk", "date"), ("odd", "diff_rate"),
     ("odd", "low"), ("fop", "target_kind_price"), ("fop", "diff_rate"), ("fop", "code")],
)
def test_text_fields_are_checked_first(decoder, field):
    factory, make = DECODERS[decoder]
    with pytest.raises(TypeError) as err:
        factory(**make(open="not a number", **{field: 12}))
    assert str(err.value) == f"Argument '{field}' has incorrect type (expected str, got int)"


@pytest.mark.parametrize(
    "call, name, count",
    [(TickSTKv1.from_content, "from_content", 30), (TickSTKv1.from_content_odd, "from_content_odd", 23),
     (TickFOPv1.from_content, "from_content", 21), (TickSTKv1, "__init__", 25), (TickFOPv1, "__init__", 20)],
)
def test_argument_counts(call, name, count):
    pattern = rf"^{name}\(\) takes exactly {count} positional arguments"
    with pytest.raises(TypeError, match=pattern):
        call()
    with pytest.raises(TypeError, match=pattern):
        call(*range(count))
    with pytest.raises(TypeError, match=pattern + r".*'nope'"):
        call(nope=1)


def test_odd_lot_rejects_regular_only_fields():
    with pytest.raises(TypeError, match="closing_oddlot_shares"):
        TickSTKv1.from_content_odd(**odd(closing_oddlot_shares=0))


def test_to_dict_raw():
    rec = TickFOPv1.from_content(**fop())
    raw = rec.to_dict(raw=True)
    assert list(raw) == FOP_FIELDS
    assert raw["datetime"] == "2024-03-15T10:00:00"
    assert raw["underlying_price"] == "18231.57" and raw["open"] == "18250" and raw["pct_chg"] == "0.11"
    assert all(type(raw[k]) is int for k in ("volume", "total_volume", "tick_type", "chg_type", "simtrade"))
    plain = rec.to_dict()
    assert all(plain[k] is rec[k] for k in FOP_FIELDS)


def test_transform_raw_takes_only_the_value():
    assert TickBase._transform_raw(Decimal("1.50")) == "1.50"
    assert TickSTKv1._transform_raw(v=dt.datetime(2024, 1, 2, 3, 4, 5)) == "2024-01-02T03:04:05"
    prices = [Decimal("1")]
    assert TickSTKv1._transform_raw(prices) is prices
    with pytest.raises(TypeError):
        TickSTKv1._transform_raw("bid_price", prices)


def test_repr_and_protocol():
    rec = TickSTKv1.from_content(**stk())
    assert repr(rec) == "Tick(" + ", ".join(f"{k}={getattr(rec, k)!r}" for k in STK_FIELDS) + ")"
    assert rec["volume"] == 2 and rec["nothing"] is None
    with pytest.raises(TypeError, match=r"^Argument 'key' has incorrect type \(expected str, got float\)$"):
        rec[1.5]
    assert not hasattr(rec, "__dict__")


def test_constructors_check_only_code():
    rec = TickFOPv1(None, *range(18))
    assert rec.code is None and rec.simtrade == 17
    TickSTKv1("x", *([None] * 23))
    with pytest.raises(TypeError, match=r"^Argument 'code' has incorrect type \(expected str, got bytes\)$"):
        TickSTKv1(b"x", *range(23))


@pytest.mark.parametrize("decoder", DECODERS)
def test_factories_build_the_subclass(decoder):
    factory, make = DECODERS[decoder]
    base = TickSTKv1 if decoder != "fop" else TickFOPv1

    class Mine(base):
        __slots__ = ()

    rec = getattr(Mine, factory.__name__)(**make())
    assert type(rec) is Mine and rec.to_dict() == factory(**make()).to_dict()


@pytest.mark.parametrize("cls, n", [(TickSTKv1, 24), (TickFOPv1, 19)])
def test_no_larger_than_a_slots_twin(cls, n):
    twin = type("Twin", (), {"__slots__": list(cls.__slots__)})()
    for k in cls.__slots__:
        setattr(twin, k, 0)
    assert sys.getsizeof(cls(*(["x"] * n))) <= sys.getsizeof(twin)


@pytest.mark.parametrize("decoder", DECODERS)
def test_no_reference_leaks(decoder):
    factory, make = DECODERS[decoder]
    c = make(code="".join(["23", "30"]), open="".join(["580", ".00"]), close="".join(["1", "2"]))
    watched = [c["code"], c["open"], c["close"]]
    before = [sys.getrefcount(x) for x in watched]
    for _ in range(1000):
        factory(**c).to_dict(raw=True)
        try:
            factory(**dict(c, high="bad"))
        except InvalidOperation:
            pass
    assert [sys.getrefcount(x) for x in watched] == before


def test_module_binds_its_imports():
    assert tick.Decimal is Decimal and tick.dt is dt
    assert tick.datetime_parser("2024/01/02", None) == dt.datetime(2024, 1, 2)
