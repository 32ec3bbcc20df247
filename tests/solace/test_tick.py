"""Tick records: the stock decoders (regular and odd lot) and the futures/options decoder (the record
protocol: test_records)."""

from __future__ import annotations

import datetime as dt
from decimal import Decimal

import pytest

from support.marketdata import tick_fop as fop
from support.marketdata import tick_odd as odd
from support.marketdata import tick_stk as stk
from taloma.backend.solace import tick
from taloma.backend.solace.tick import TickFOPv1, TickSTKv1

DECODERS = {
    "stk": (TickSTKv1.from_content, stk),
    "odd": (TickSTKv1.from_content_odd, odd),
    "fop": (TickFOPv1.from_content, fop),
}


def test_regular_lot_stock_tick():
    c = stk()
    rec = TickSTKv1.from_content(**c)
    assert rec.datetime == dt.datetime(2024, 3, 15, 10, 0, 0, 500000)
    assert [
        str(rec[k]) for k in ("open", "avg_price", "close", "high", "low", "amount", "total_amount", "price_chg")
    ] == ["580.00", "581.20", "582.00", "583.00", "579.00", "1164000", "990000000", "2.00"]
    assert str(rec.pct_chg) == "2.50"
    assert (rec.volume, rec.total_volume, rec.tick_type, rec.chg_type) == (2, 1700, 1, 2)
    assert (rec.bid_side_total_vol, rec.ask_side_total_vol, rec.bid_side_total_cnt, rec.ask_side_total_cnt) == (
        800,
        900,
        11,
        12,
    )
    assert (rec.closing_oddlot_shares, rec.fixed_trade_vol, rec.suspend, rec.simtrade, rec.intraday_odd) == (
        7,
        8,
        0,
        1,
        0,
    )
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


def test_odd_lot_rejects_regular_only_fields():
    with pytest.raises(TypeError, match="closing_oddlot_shares"):
        TickSTKv1.from_content_odd(**odd(closing_oddlot_shares=0))


def test_module_binds_its_imports():
    assert tick.Decimal is Decimal and tick.dt is dt
    assert tick.datetime_parser("2024/01/02", None) == dt.datetime(2024, 1, 2)
