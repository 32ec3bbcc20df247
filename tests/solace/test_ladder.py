"""Order-book records: stock books (regular and odd lot) and futures/options books."""

from __future__ import annotations

import datetime as dt
import sys
from decimal import Decimal, InvalidOperation

import pytest

from taloma.backend.solace.ladder import LadderBase, LadderFOPv1, LadderSTKv1

STK_FIELDS = ["code", "datetime", "bid_price", "bid_volume", "diff_bid_vol", "ask_price", "ask_volume",
              "diff_ask_vol", "suspend", "simtrade", "intraday_odd"]
FOP_FIELDS = ["code", "datetime", "bid_total_vol", "ask_total_vol", "bid_price", "bid_volume", "diff_bid_vol",
              "ask_price", "ask_volume", "diff_ask_vol", "first_derived_bid_price", "first_derived_ask_price",
              "first_derived_bid_vol", "first_derived_ask_vol", "underlying_price", "simtrade"]
ODD_ORDER = ["code", "date", "time", "bid_price", "ask_price", "bid_volume", "ask_volume", "diff_bid_vol",
             "diff_ask_vol", "suspend", "simtrade"]


def stk(**changes):
    c = dict(code="2330", date="2024/03/15", time="11:22:33.000100",
             bid_price=["582.00", "581.00", "580.00", "579.00", "578.00"], bid_volume=[5, 4, 3, 2, 1],
             diff_bid_vol=[0, 1, 0, -1, 0], ask_price=["583.00", "584.00", "585.00"], ask_volume=[7, 8, 9],
             diff_ask_vol=[1, 1, 1], suspend=0, simtrade=0)
    c.update(changes)
    return c


def odd(**changes):
    base = stk()
    c = {k: base[k] for k in ODD_ORDER}
    c.update(changes)
    return c


def fop(**changes):
    c = dict(code="TXO18200C4", date="2024/03/15", time="11:22:33", bid_vol_sum=60, ask_vol_sum=70,
             bid_price=["152.0", "151.5", "151.0", "150.5", "150.0"], bid_volume=[10, 11, 12, 13, 14],
             diff_bid_vol=[0, 0, 0, 0, 1], ask_price=["152.5", "153.0", "153.5", "154.0", "154.5"],
             ask_volume=[20, 21, 22, 23, 24], diff_ask_vol=[1, 0, 0, 0, 0], first_derived_bid_price="151.9",
             first_derived_ask_price="152.6", first_derived_bid_volume=3, first_derived_ask_volume=4,
             target_kind_price="18231.57", simtrade=1)
    c.update(changes)
    return c


DECODERS = {
    "stk": (LadderSTKv1.from_content, stk),
    "odd": (LadderSTKv1.from_content_odd, odd),
    "fop": (LadderFOPv1.from_content, fop),
}


def test_stock_book_keeps_levels_in_order():
    c = stk()
    rec = LadderSTKv1.from_content(**c)
    assert rec.keys() == STK_FIELDS and rec.keys() is LadderSTKv1.__slots__
    assert rec.datetime == dt.datetime(2024, 3, 15, 11, 22, 33, 100)
    assert [str(p) for p in rec.bid_price] == c["bid_price"] and len(rec.ask_price) == 3
    assert [str(p) for p in rec.ask_price] == c["ask_price"]
    assert rec.intraday_odd == 0 and (rec.suspend, rec.simtrade) == (0, 0)


@pytest.mark.parametrize("decoder", DECODERS)
def test_volume_lists_are_the_callers_and_price_lists_new(decoder):
    factory, make = DECODERS[decoder]
    c = make()
    rec = factory(**c)
    for k in ("bid_volume", "diff_bid_vol", "ask_volume", "diff_ask_vol"):
        assert rec[k] is c[k]
    assert rec.bid_price is not c["bid_price"] and all(type(p) is Decimal for p in rec.bid_price + rec.ask_price)


def test_empty_book():
    rec = LadderSTKv1.from_content(**stk(bid_price=[], bid_volume=[], diff_bid_vol=[], ask_price=[], ask_volume=[],
                                         diff_ask_vol=[]))
    assert rec.bid_price == [] == rec.ask_price == rec.bid_volume


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
    assert rec.keys() == FOP_FIELDS
    assert (rec.bid_total_vol, rec.ask_total_vol, rec.first_derived_bid_vol, rec.first_derived_ask_vol) == (60, 70, 3, 4)
    assert (str(rec.first_derived_bid_price), str(rec.first_derived_ask_price), str(rec.underlying_price)) == (
        "151.9", "152.6", "18231.57")
    assert rec.simtrade == 1


@pytest.mark.parametrize("field", ["first_derived_bid_price", "first_derived_ask_price", "target_kind_price"])
@pytest.mark.parametrize("text", ["", "n/a"])
def test_futures_book_decimal_fields_have_no_fallback(field, text):
    with pytest.raises(InvalidOperation):
        LadderFOPv1.from_content(**fop(**{field: text}))


@pytest.mark.parametrize("decoder", DECODERS)
@pytest.mark.parametrize("side", ["bid_price", "ask_price"])
@pytest.mark.parametrize("bad, error", [(["1.0", ""], InvalidOperation), (["1.0", None], TypeError),
                                        (None, TypeError), (7, TypeError), (["1.0", "x"], InvalidOperation)])
def test_bad_price_lists(decoder, side, bad, error):
    factory, make = DECODERS[decoder]
    with pytest.raises(error):
        factory(**make(**{side: bad}))


@pytest.mark.parametrize("decoder", DECODERS)
def test_price_lists_from_other_iterables_and_text_subclasses(decoder):
    class Text(str):
        pass

    factory, make = DECODERS[decoder]
    rec = factory(**make(bid_price=(Text("1.50"), "1.40"), ask_price=iter(["1.60", Text("1.70")])))
    assert rec.bid_price == [Decimal("1.50"), Decimal("1.40")] and type(rec.bid_price) is list
    assert [str(p) for p in rec.ask_price] == ["1.60", "1.70"]


def test_huge_book():
    prices = [f"{i}.{i % 100:02d}" for i in range(200_000)]
    rec = LadderSTKv1.from_content(**stk(bid_price=prices, ask_price=prices[::-1]))
    assert len(rec.bid_price) == 200_000 and str(rec.bid_price[123_456]) == "123456.56"
    assert str(rec.ask_price[0]) == "199999.99"


@pytest.mark.parametrize("decoder, field", [("stk", "code"), ("stk", "time"), ("odd", "date"),
                                            ("fop", "first_derived_ask_price"), ("fop", "target_kind_price")])
def test_text_fields_are_checked_first(decoder, field):
    factory, make = DECODERS[decoder]
    with pytest.raises(TypeError) as err:
        factory(**make(bid_price=["x"], **{field: 3.5}))
    assert str(err.value) == f"Argument '{field}' has incorrect type (expected str, got float)"


@pytest.mark.parametrize(
    "call, name, count",
    [(LadderSTKv1.from_content, "from_content", 12), (LadderSTKv1.from_content_odd, "from_content_odd", 12),
     (LadderFOPv1.from_content, "from_content", 18), (LadderSTKv1, "__init__", 12), (LadderFOPv1, "__init__", 17)],
)
def test_argument_counts(call, name, count):
    pattern = rf"^{name}\(\) takes exactly {count} positional arguments"
    with pytest.raises(TypeError, match=pattern):
        call(*range(count - 2))
    with pytest.raises(TypeError, match=pattern):
        call(*range(count))


def test_to_dict_raw_of_a_futures_book():
    c = fop()
    rec = LadderFOPv1.from_content(**c)
    raw = rec.to_dict(raw=True)
    assert list(raw) == FOP_FIELDS
    assert raw["bid_price"] == c["bid_price"] and raw["ask_price"] == c["ask_price"]
    assert (raw["first_derived_bid_price"], raw["first_derived_ask_price"], raw["underlying_price"]) == (
        "151.9", "152.6", "18231.57")
    assert raw["datetime"] == "2024-03-15T11:22:33"
    assert raw["bid_volume"] is c["bid_volume"] and raw["bid_total_vol"] == 60


def test_transform_raw_of_price_lists():
    assert LadderBase._transform_raw("ask_price", [Decimal("1.10")]) == ["1.10"]
    assert LadderSTKv1._transform_raw("bid_price", []) == []
    assert LadderFOPv1._transform_raw("underlying_price", Decimal("2.50")) == "2.50"
    with pytest.raises(TypeError):
        LadderSTKv1._transform_raw("bid_price", None)


def test_repr_lists_the_fields_in_order():
    rec = LadderSTKv1.from_content(**stk())
    text = repr(rec)
    assert text.startswith("Ladder(code='2330', datetime=") and text.endswith("intraday_odd=0)")
    assert text == "Ladder(" + ", ".join(f"{k}={getattr(rec, k)!r}" for k in STK_FIELDS) + ")"


def test_item_access_and_subclass_factories():
    class Mine(LadderFOPv1):
        __slots__ = ()

    rec = Mine.from_content(**fop())
    assert type(rec) is Mine and rec.keys() is LadderFOPv1.__slots__
    assert rec["underlying_price"] == Decimal("18231.57") and rec["bid_price"][0] == Decimal("152.0")
    assert rec["closing"] is None
    assert rec.to_dict() == LadderFOPv1.from_content(**fop()).to_dict()
    with pytest.raises(TypeError, match="expected str, got list"):
        rec[["code"]]


@pytest.mark.parametrize("cls, n", [(LadderSTKv1, 11), (LadderFOPv1, 16)])
def test_no_larger_than_a_slots_twin(cls, n):
    twin = type("Twin", (), {"__slots__": list(cls.__slots__)})()
    for k in cls.__slots__:
        setattr(twin, k, [])
    assert sys.getsizeof(cls(*([None] * n))) <= sys.getsizeof(twin)


@pytest.mark.parametrize("decoder", DECODERS)
def test_no_reference_leaks(decoder):
    factory, make = DECODERS[decoder]
    price = "".join(["152", ".0"])
    c = make(bid_price=[price, price], bid_volume=[1, 2])
    watched = [price, c["bid_price"], c["bid_volume"], c["ask_volume"]]
    before = [sys.getrefcount(x) for x in watched]
    for _ in range(1000):
        factory(**c).to_dict(raw=True)
        try:
            factory(**dict(c, ask_price=[price, None]))
        except TypeError:
            pass
    assert [sys.getrefcount(x) for x in watched] == before
