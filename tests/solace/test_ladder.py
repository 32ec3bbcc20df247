"""Order-book records: stock books (regular and odd lot) and futures/options books (the record protocol
and price lists: test_records)."""

from __future__ import annotations

import datetime as dt
from decimal import Decimal

from support.marketdata import ladder_fop as fop
from support.marketdata import ladder_odd as odd
from support.marketdata import ladder_stk as stk
from taloma.backend.solace.ladder import LadderFOPv1, LadderSTKv1


def test_stock_book_keeps_levels_in_order():
    c = stk()
    rec = LadderSTKv1.from_content(**c)
    assert rec.datetime == dt.datetime(2024, 3, 15, 11, 22, 33, 100)
    assert [str(p) for p in rec.bid_price] == c["bid_price"] and len(rec.ask_price) == 3
    assert [str(p) for p in rec.ask_price] == c["ask_price"]
    assert rec.intraday_odd == 0 and (rec.suspend, rec.simtrade) == (0, 0)


def test_regular_and_odd_lot_decoders_agree_but_for_intraday_odd():
    regular = LadderSTKv1.from_content(**stk()).to_dict()
    odd_lot = LadderSTKv1.from_content_odd(**stk()).to_dict()
    assert (regular.pop("intraday_odd"), odd_lot.pop("intraday_odd")) == (0, 1)
    assert regular == odd_lot


def test_positional_odd_lot_content_follows_its_own_order():
    c = odd()
    rec = LadderSTKv1.from_content_odd(*c.values())
    assert rec.ask_price == [Decimal(p) for p in c["ask_price"]] and rec.bid_volume is c["bid_volume"]
    # The regular-lot order puts bid_volume fifth, where the odd lot expects ask_price.
    regular = LadderSTKv1.from_content_odd(*stk().values())
    assert regular.ask_price == [Decimal(v) for v in stk()["bid_volume"]]


def test_futures_book():
    c = fop()
    rec = LadderFOPv1.from_content(**c)
    assert (rec.bid_total_vol, rec.ask_total_vol, rec.first_derived_bid_vol, rec.first_derived_ask_vol) == (
        60,
        70,
        3,
        4,
    )
    assert (str(rec.first_derived_bid_price), str(rec.first_derived_ask_price), str(rec.underlying_price)) == (
        "151.9",
        "152.6",
        "18231.57",
    )
    assert rec.simtrade == 1
