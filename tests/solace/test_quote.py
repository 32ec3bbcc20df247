"""QuoteSTKv1: decoding a stock quote message and the record protocol."""

from __future__ import annotations

import copy
import datetime as dt
import decimal
import gc
import pickle
import random
import sys
import threading
from decimal import Decimal, InvalidOperation

import pytest

from taloma.backend.solace import quote
from taloma.backend.solace.quote import QuoteBase, QuoteSTKv1

FIELDS = [
    "code", "datetime", "open", "avg_price", "close", "high", "low", "amount", "total_amount", "volume",
    "total_volume", "tick_type", "chg_type", "price_chg", "pct_chg", "bid_side_total_vol", "ask_side_total_vol",
    "bid_side_total_cnt", "ask_side_total_cnt", "closing_oddlot_shares", "closing_oddlot_close",
    "closing_oddlot_amount", "closing_oddlot_bid_price", "closing_oddlot_ask_price", "fixed_trade_vol",
    "fixed_trade_amount", "bid_price", "bid_volume", "diff_bid_vol", "ask_price", "ask_volume", "diff_ask_vol",
    "avail_borrowing", "suspend", "simtrade",
]
TEXTS = [
    "code", "date", "time", "open", "avg_price", "close", "high", "low", "amount", "amount_sum", "diff_price",
    "closing_oddlot_close", "closing_oddlot_amount", "closing_oddlot_bid_price", "closing_oddlot_ask_price",
    "fixed_trade_amount",
]
# content field -> record field, for the values taken over unchanged
PASSED = {
    "volume": "volume", "vol_sum": "total_volume", "tick_type": "tick_type", "diff_type": "chg_type",
    "trade_bid_vol_sum": "bid_side_total_vol", "trade_ask_vol_sum": "ask_side_total_vol",
    "trade_bid_cnt": "bid_side_total_cnt", "trade_ask_cnt": "ask_side_total_cnt",
    "closing_oddlot_shares": "closing_oddlot_shares", "fixed_trade_volume": "fixed_trade_vol",
    "bid_volume": "bid_volume", "diff_bid_vol": "diff_bid_vol", "ask_volume": "ask_volume",
    "diff_ask_vol": "diff_ask_vol", "avail_borrowing": "avail_borrowing", "suspend": "suspend", "simtrade": "simtrade",
}
DECIMALS = {
    "open": "open", "avg_price": "avg_price", "close": "close", "high": "high", "low": "low", "amount": "amount",
    "amount_sum": "total_amount", "diff_price": "price_chg", "closing_oddlot_amount": "closing_oddlot_amount",
    "fixed_trade_amount": "fixed_trade_amount",
}


def content(**changes):
    fields = dict(
        code="2330", date="2024/03/15", time="09:01:02.345678", open="580.00", avg_price="582.37", close="583.00",
        high="585.00", low="579.00", amount="1749000", amount_sum="987654321", volume=3, vol_sum=1696,
        tick_type=1, diff_type=2, diff_price="3.00", diff_rate=52, trade_bid_vol_sum=800, trade_ask_vol_sum=896,
        trade_bid_cnt=120, trade_ask_cnt=131, closing_oddlot_shares=0, closing_oddlot_close="",
        closing_oddlot_amount="0", closing_oddlot_bid_price="", closing_oddlot_ask_price="", fixed_trade_volume=0,
        fixed_trade_amount="0", bid_price=["582.00", "581.00", "580.00", "579.00", "578.00"],
        bid_volume=[10, 20, 30, 40, 50], diff_bid_vol=[1, -2, 0, 0, 3], ask_price=["583.00", "584.00", "585.00"],
        ask_volume=[5, 6, 7], diff_ask_vol=[0, 0, -1], avail_borrowing=12000, suspend=0, simtrade=0,
    )
    fields.update(changes)
    return fields


def decode(**changes):
    return QuoteSTKv1.from_content(**content(**changes))


class TwinQuote:
    __slots__ = list(FIELDS)


# ---- decoding -------------------------------------------------------------------------------------


def test_every_field_comes_from_its_content_field():
    c = content(closing_oddlot_close="12.3", closing_oddlot_bid_price="12.25", closing_oddlot_ask_price="12.35")
    rec = QuoteSTKv1.from_content(**c)
    assert rec.code == "2330"
    assert rec.datetime == dt.datetime(2024, 3, 15, 9, 1, 2, 345678)
    for src, field in PASSED.items():
        assert getattr(rec, field) is c[src], field
    for src, field in DECIMALS.items():
        value = getattr(rec, field)
        assert type(value) is Decimal and str(value) == c[src], field
    assert rec.pct_chg == Decimal("0.52")
    assert [str(p) for p in rec.bid_price] == c["bid_price"] and rec.bid_price is not c["bid_price"]
    assert [str(p) for p in rec.ask_price] == c["ask_price"]
    assert (str(rec.closing_oddlot_close), str(rec.closing_oddlot_bid_price), str(rec.closing_oddlot_ask_price)) == (
        "12.3", "12.25", "12.35")


@pytest.mark.parametrize(
    "rate", [123, -7, 0, 5, -120, 250, 4096, -4096, 4097, -4097, 10**15, 2**63 - 1, -(2**63), 2**63, 10**20, True],
)
def test_pct_chg_is_the_exact_product_with_two_places(rate):
    got = decode(diff_rate=rate).pct_chg
    expected = Decimal(rate) * Decimal("0.01")
    assert str(got) == str(expected)
    assert got.as_tuple().exponent == -2


@pytest.mark.parametrize("rate", [123, -7, 10**15, 10**30, -(10**40) - 7])
def test_pct_chg_leaves_the_default_and_the_current_context_alone(rate):
    default = decimal.DefaultContext
    before = (default.prec, dict(default.flags), dict(default.traps))
    with decimal.localcontext() as ctx:
        ctx.prec = 2
        ctx.traps[decimal.Inexact] = ctx.traps[decimal.Rounded] = True
        flags = dict(ctx.flags)
        got = decode(diff_rate=rate).pct_chg
        assert dict(ctx.flags) == flags
    # Exact, however long the rate, and nothing recorded in the program's contexts.
    sign, digits, _ = Decimal(rate).as_tuple()
    assert got.as_tuple() == (sign, digits, -2)
    assert (default.prec, dict(default.flags), dict(default.traps)) == before


def test_decimal_texts_ignore_the_current_context():
    with decimal.localcontext() as ctx:
        ctx.prec = 2
        ctx.traps[decimal.Inexact] = ctx.traps[decimal.Rounded] = True
        rec = decode(open="12345.678", amount_sum="987654321987654321", bid_price=["0.0001234"])
    assert (str(rec.open), str(rec.total_amount), str(rec.bid_price[0])) == ("12345.678", "987654321987654321",
                                                                             "0.0001234")


@pytest.mark.parametrize("rate, text", [(123, "1.23"), (-7, "-0.07"), (0, "0.00")])
def test_pct_chg_examples(rate, text):
    assert str(decode(diff_rate=rate).pct_chg) == text


def test_pct_chg_of_a_non_integer_follows_decimal():
    assert decode(diff_rate="150").pct_chg == Decimal("1.50")
    with pytest.raises(TypeError):
        decode(diff_rate=None)


@pytest.mark.parametrize("field", ["closing_oddlot_close", "closing_oddlot_bid_price", "closing_oddlot_ask_price"])
@pytest.mark.parametrize("empty", ["", None])
def test_guarded_closing_oddlot_prices_fall_back_to_zero_point_zero(field, empty):
    value = getattr(decode(**{field: empty}), field)
    assert str(value) == "0.0"


def test_closing_oddlot_amount_has_no_fallback():
    with pytest.raises(InvalidOperation):
        decode(closing_oddlot_amount="")
    with pytest.raises(TypeError):
        decode(closing_oddlot_amount=None)


@pytest.mark.parametrize("text", ["12.50", "0.10", "100", "1.000", "-0.50", "+1.5", "007.10", "0", "-0", ".5", "5.",
                                  "12345678901234567890.12"])
def test_decimal_texts_keep_their_digits_and_exponent(text):
    rec = decode(open=text, high=text)
    assert repr(rec.open) == repr(Decimal(text)) and repr(rec.high) == repr(Decimal(text))
    assert rec.to_dict(raw=True)["open"] == str(Decimal(text))


@pytest.mark.parametrize("text", ["1E+2", "1e-3", " 12.5 ", "1_000.5", "NaN", "-Infinity", "１２.５", "000000000000000000000000001.5"])
def test_other_decimal_syntax_is_left_to_decimal(text):
    assert repr(decode(close=text).close) == repr(Decimal(text))


@pytest.mark.parametrize("field", ["open", "avg_price", "close", "high", "low", "amount", "amount_sum", "diff_price",
                                   "fixed_trade_amount"])
@pytest.mark.parametrize("text", ["", "abc", "1.2.3", "--1", ".", "1,5"])
def test_malformed_decimal_text_raises_the_decimal_error(field, text):
    with pytest.raises(InvalidOperation):
        decode(**{field: text})


@pytest.mark.parametrize("field", ["open", "diff_price", "fixed_trade_amount"])
def test_none_where_a_decimal_is_built_raises(field):
    with pytest.raises(TypeError, match="NoneType"):
        decode(**{field: None})


def test_code_date_and_time_may_be_none():
    rec = decode(code=None, date="2024/03/15", time=None)
    assert rec.code is None and rec.datetime == dt.datetime(2024, 3, 15)


# ---- argument checking -----------------------------------------------------------------------------


@pytest.mark.parametrize("field", TEXTS)
@pytest.mark.parametrize("bad", [5, 1.5, b"580", ["580"]])
def test_text_fields_reject_other_types_by_name(field, bad):
    with pytest.raises(TypeError) as err:
        decode(**{field: bad})
    assert str(err.value) == f"Argument '{field}' has incorrect type (expected str, got {type(bad).__name__})"


def test_text_fields_are_checked_before_any_conversion(monkeypatch):
    calls = []
    monkeypatch.setattr(quote, "datetime_parser", lambda d, t: calls.append((d, t)) or dt.datetime(2024, 1, 1))
    with pytest.raises(TypeError, match="'fixed_trade_amount'"):
        decode(open="not a number", fixed_trade_amount=0)
    assert calls == []


def test_datetime_parser_runs_first_and_its_errors_propagate(monkeypatch):
    class Stop(Exception):
        pass

    seen = []

    def parser(date, time):
        seen.append((date, time))
        raise Stop

    monkeypatch.setattr(quote, "datetime_parser", parser)
    with pytest.raises(Stop):
        decode(open="not a number", date="2024-03-15", time="09:00:00")
    assert seen == [("2024-03-15", "09:00:00")]


def test_real_datetime_parser_errors_propagate():
    with pytest.raises(ValueError, match="invalid date"):
        decode(date="15/03/2024")


def test_text_subclasses_are_accepted():
    class Text(str):
        pass

    code = Text("2330")
    rec = decode(code=code, open=Text("580.50"), bid_price=[Text("1.5")], closing_oddlot_close=Text(""))
    assert rec.code is code and rec.open == Decimal("580.50") and rec.bid_price == [Decimal("1.5")]
    assert str(rec.closing_oddlot_close) == "0.0"


def expected_count_error(name, count):
    return pytest.raises(TypeError, match=rf"^{name}\(\) takes exactly {count} positional arguments")


@pytest.mark.parametrize("missing", ["code", "time", "diff_rate", "bid_price", "simtrade"])
def test_missing_content_field(missing):
    c = content()
    del c[missing]
    with expected_count_error("from_content", 37) as err:
        QuoteSTKv1.from_content(**c)
    assert missing in str(err.value)


def test_extra_duplicate_and_surplus_arguments():
    with expected_count_error("from_content", 37) as err:
        QuoteSTKv1.from_content(**content(), extra=1)
    assert "extra" in str(err.value)
    values = list(content().values())
    with expected_count_error("from_content", 37):
        QuoteSTKv1.from_content(*values, 1)
    with expected_count_error("from_content", 37) as err:
        QuoteSTKv1.from_content(*values[:1], **{k: v for k, v in content().items()})
    assert "code" in str(err.value)
    with expected_count_error("__init__", 36):
        QuoteSTKv1(*range(34))
    with expected_count_error("__init__", 36):
        QuoteSTKv1(*range(36))


def test_positional_shuffled_and_run_time_keyword_names_decode_alike():
    c = content()
    by_name = QuoteSTKv1.from_content(**c).to_dict()
    assert QuoteSTKv1.from_content(*c.values()).to_dict() == by_name
    assert QuoteSTKv1.from_content(**dict(reversed(list(c.items())))).to_dict() == by_name
    fresh_names = {"".join(list(k)): v for k, v in c.items()}
    assert all(a is not b for a, b in zip(fresh_names, c)) or sys.implementation.name != "cpython"
    assert QuoteSTKv1.from_content(**fresh_names).to_dict() == by_name
    half = list(c.items())
    assert QuoteSTKv1.from_content(*[v for _, v in half[:10]], **dict(half[10:])).to_dict() == by_name


# ---- price lists --------------------------------------------------------------------------------


def test_price_lists_empty_unequal_and_any_iterable():
    rec = decode(bid_price=[], ask_price=[], bid_volume=[], ask_volume=[1, 2])
    assert rec.bid_price == [] and rec.ask_price == [] and rec.ask_volume == [1, 2]
    rec = decode(bid_price=("1.5", "1.4"), ask_price=(p for p in ["1.6"]))
    assert rec.bid_price == [Decimal("1.5"), Decimal("1.4")] and type(rec.bid_price) is list
    assert rec.ask_price == [Decimal("1.6")]


@pytest.mark.parametrize("bad, error", [(5, TypeError), (None, TypeError), (["1.5", None], TypeError),
                                        (["1.5", ""], InvalidOperation), (["x"], InvalidOperation)])
def test_bad_price_lists(bad, error):
    with pytest.raises(error):
        decode(bid_price=bad)


def test_huge_price_lists():
    prices = [f"{i / 100:.2f}" for i in range(100_000)]
    rec = decode(bid_price=prices, ask_price=prices[:1] * 50_000)
    assert len(rec.bid_price) == 100_000 and rec.bid_price[12345] == Decimal("123.45")
    assert rec.ask_price[-1] == Decimal("0.00")


def test_price_entries_of_other_kinds_follow_decimal():
    entries = ["1.5", 2, 2.5, Decimal("3.25"), (1, (4, 5), -1), "NaN", "1e3"]
    got = decode(bid_price=entries).bid_price
    assert [repr(x) for x in got] == [repr(Decimal(x)) for x in entries]


# ---- record protocol ------------------------------------------------------------------------------


def test_keys_is_the_class_list_itself():
    a, b = decode(), decode(code="2317")
    assert a.keys() is a.keys() is b.keys() is QuoteSTKv1.__slots__
    assert type(QuoteSTKv1.__slots__) is list and QuoteSTKv1.__slots__ == FIELDS


def test_no_instance_dict_and_fields_reassignable():
    rec = decode()
    assert not hasattr(rec, "__dict__")
    with pytest.raises(AttributeError):
        rec.colour = "red"
    rec.close = Decimal("1")
    rec.bid_price = "anything"
    assert rec.close == Decimal("1") and rec["bid_price"] == "anything"


def test_item_access():
    rec = decode()
    assert rec["close"] is rec.close and rec["code"] == "2330"
    assert rec["no_such_field"] is None and rec["closing"] is None
    assert rec["".join(["cl", "ose"])] is rec.close
    del rec.close
    assert rec["close"] is None
    with pytest.raises(TypeError) as err:
        rec[0]
    assert str(err.value) == "Argument 'key' has incorrect type (expected str, got int)"
    with pytest.raises(TypeError):
        rec[None]


def test_to_dict_is_fresh_and_holds_the_records_objects():
    rec = decode()
    d = rec.to_dict()
    assert type(d) is dict and list(d) == FIELDS and d is not rec.to_dict()
    assert all(d[k] is getattr(rec, k) for k in FIELDS)


@pytest.mark.parametrize("raw", [True, 1, "yes"])
def test_to_dict_raw(raw):
    rec = decode(time="09:01:02")
    d = rec.to_dict(raw=raw)
    assert list(d) == FIELDS
    assert d["datetime"] == "2024-03-15T09:01:02"
    assert d["open"] == "580.00" and d["pct_chg"] == "0.52" and d["closing_oddlot_close"] == "0.0"
    assert d["bid_price"] == ["582.00", "581.00", "580.00", "579.00", "578.00"]
    assert d["ask_price"] == ["583.00", "584.00", "585.00"]
    assert d["bid_volume"] is rec.bid_volume and d["volume"] is rec.volume
    assert rec.to_dict(raw) == d
    assert rec.to_dict(raw=0)["open"] is rec.open


def test_to_dict_raw_truth_errors_propagate():
    class Unsure:
        def __bool__(self):
            raise RuntimeError("no idea")

    with pytest.raises(RuntimeError):
        decode().to_dict(raw=Unsure())


def test_transform_raw_is_static():
    assert QuoteSTKv1._transform_raw("bid_price", (Decimal("1.10"), Decimal("2"))) == ["1.10", "2"]
    assert QuoteSTKv1._transform_raw("open", Decimal("1.10")) == "1.10"
    assert QuoteSTKv1._transform_raw(k="x", v=dt.datetime(2024, 1, 2, 3, 4, 5, 6)) == "2024-01-02T03:04:05.000006"
    aware = dt.datetime(2024, 1, 2, tzinfo=dt.timezone(dt.timedelta(hours=8)))
    assert QuoteBase._transform_raw("datetime", aware) == "2024-01-02T00:00:00+08:00"
    marker = [1, 2]
    assert QuoteSTKv1._transform_raw("bid_volume", marker) is marker
    assert QuoteSTKv1._transform_raw("x", dt.date(2024, 1, 2)) == dt.date(2024, 1, 2)


def test_repr():
    rec = decode()
    text = repr(rec)
    assert text == "Quote(" + ", ".join(f"{k}={getattr(rec, k)!r}" for k in FIELDS) + ")"
    assert text.startswith("Quote(code='2330', datetime=datetime.datetime(2024, 3, 15, 9, 1, 2, 345678), open=Decimal('580.00')")
    del rec.low
    with pytest.raises(AttributeError):
        repr(rec)


def test_constructor_stores_anything_but_checks_code():
    rec = QuoteSTKv1("c", *range(34))
    assert [getattr(rec, k) for k in FIELDS] == ["c", *range(34)]
    rec = QuoteSTKv1(None, *range(34))
    assert rec.code is None and rec.simtrade == 33
    rec = QuoteSTKv1(**{k: k for k in FIELDS})
    assert all(getattr(rec, k) == k for k in FIELDS)
    with pytest.raises(TypeError) as err:
        QuoteSTKv1(1, *range(34))
    assert str(err.value) == "Argument 'code' has incorrect type (expected str, got int)"


def test_init_again_replaces_every_field():
    rec = decode()
    QuoteSTKv1.__init__(rec, *(["x"] * 35))
    assert all(getattr(rec, k) == "x" for k in FIELDS)


# ---- subclasses -----------------------------------------------------------------------------------


def test_factory_builds_through_the_class_it_is_called_on():
    class Mine(QuoteSTKv1):
        pass

    rec = Mine.from_content(**content())
    assert type(rec) is Mine and rec.to_dict() == decode().to_dict()
    rec.note = "subclasses may add a dict"
    assert rec.keys() is QuoteSTKv1.__slots__


def test_subclass_init_receives_the_values_in_field_order():
    seen = []

    class Logged(QuoteSTKv1):
        def __init__(self, *values):
            seen.append(values)
            super().__init__(*values)

    rec = Logged.from_content(**content())
    assert type(rec) is Logged and len(seen[0]) == 35
    assert seen[0][13] == Decimal("3.00") and seen[0][14] == Decimal("0.52")


def test_subclass_overrides_are_honoured_by_the_protocol():
    class Custom(QuoteSTKv1):
        __slots__ = ("extra",)

        def keys(self):
            return ["code", "extra"]

        @staticmethod
        def _transform_raw(k, v):
            return f"<{k}>"

    rec = Custom.from_content(**content())
    rec.extra = 1
    assert rec.to_dict() == {"code": "2330", "extra": 1}
    assert rec.to_dict(raw=True) == {"code": "<code>", "extra": "<extra>"}
    assert Custom.__new__(Custom)["code"] is None


# ---- memory ---------------------------------------------------------------------------------------


def test_no_larger_than_a_slots_twin():
    rec = decode()
    twin = TwinQuote()
    for k in FIELDS:
        setattr(twin, k, getattr(rec, k))
    assert sys.getsizeof(rec) <= sys.getsizeof(twin)


def fresh(text):
    """A text object of the test's own, so that its reference count means something."""
    return "".join(list(text))


def watched_content(**changes):
    c = content(code=fresh("2330"), open=fresh("580.00"), closing_oddlot_close=fresh("12.3"),
                bid_price=[fresh("582.00"), fresh("581.00")], bid_volume=[10, 20])
    c.update(changes)
    return c, [c["code"], c["open"], c["closing_oddlot_close"], c["bid_price"], c["bid_price"][0], c["bid_volume"]]


def test_decoding_leaks_no_references():
    c, watched = watched_content()
    before = [sys.getrefcount(x) for x in watched]
    for _ in range(2000):
        QuoteSTKv1.from_content(**c)
        QuoteSTKv1.from_content(*c.values()).to_dict(raw=True)
    assert [sys.getrefcount(x) for x in watched] == before


@pytest.mark.parametrize("changes", [dict(avg_price="bad"), dict(high=1), dict(ask_price=["1", None]),
                                     dict(date="bad"), dict(extra=1), dict(fixed_trade_amount="")])
def test_failed_decodes_leak_no_references(changes):
    c, watched = watched_content(**changes)
    before = [sys.getrefcount(x) for x in watched]
    for _ in range(500):
        try:
            QuoteSTKv1.from_content(**c)
        except (TypeError, ValueError, ArithmeticError):
            pass
        else:
            pytest.fail("decoded")
    assert [sys.getrefcount(x) for x in watched] == before


def test_records_in_cycles_are_collected():
    freed = []

    class Witness:
        def __del__(self):
            freed.append(True)

    rec = decode()
    rec.bid_volume = [rec]
    rec.suspend = Witness()
    del rec
    gc.collect()
    assert freed == [True]


def test_copy_and_pickle_keep_every_field():
    rec = decode()
    assert copy.copy(rec).to_dict() == rec.to_dict()
    back = pickle.loads(pickle.dumps(rec))
    assert type(back) is QuoteSTKv1 and back.to_dict() == rec.to_dict()


def test_decimal_cache_stays_bounded_on_distinct_prices():
    cap = quote._decimal_cache_info()["capacity"]

    def run(start):
        for i in range(start, start + 2 * cap, 5):
            prices = [f"{(i + j) / 100:.2f}" for j in range(5)]
            rec = decode(open=prices[0], bid_price=prices, ask_price=prices[::-1])
            assert rec.bid_price[4] == Decimal(prices[4])

    run(10_000_000)
    gc.collect()
    blocks = sys.getallocatedblocks()
    run(20_000_000)
    gc.collect()
    info = quote._decimal_cache_info()
    assert info["size"] <= cap
    # An unbounded cache would have kept 2 * cap more Decimals (and their texts).
    assert sys.getallocatedblocks() - blocks < cap // 4


def test_texts_of_every_length_and_shape_convert_exactly():
    rng = random.Random(11)
    texts = []
    for n in range(1, 31):
        for _ in range(60):
            digits = "".join(rng.choice("0123456789") for _ in range(n))
            cut = rng.randint(0, n)
            texts.append(rng.choice(["", "-", "+"]) + (digits[:cut] + "." + digits[cut:] if rng.random() < 0.7 else digits))
    texts += ["1", "10", "100", "1.0", "1.00", "01", "001", "-0", "-00", "-0.0", "+0", "0.", ".0", "+007", "-123",
              "999999999999999999", "-999999999999999999", "9999999999999999999", "-9223372036854775808"]
    for _ in range(2):  # the second round comes from the cache
        for text in texts:
            rec = decode(open=text, amount_sum=text, bid_price=[text])
            for got in (rec.open, rec.total_amount, rec.bid_price[0]):
                assert repr(got) == repr(Decimal(text)), text


def test_threads_decoding_at_once_get_their_own_values():
    def work(seed, out):
        rng = random.Random(seed)
        for _ in range(3000):
            prices = [f"{rng.randint(0, 10**6) / 100:.2f}" for _ in range(5)]
            rec = decode(open=prices[0], bid_price=prices, diff_rate=rng.randint(-10**6, 10**6))
            if [str(p) for p in rec.bid_price] != prices or str(rec.open) != prices[0]:
                out.append(prices)

    bad = []
    threads = [threading.Thread(target=work, args=(seed, bad)) for seed in range(4)]
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(previous)
    assert bad == []


def test_cached_values_are_shared_and_still_exact():
    a, b = decode(open="580.00"), decode(open="580.00")
    assert a.open is b.open
    assert repr(decode(open="580.0").open) == "Decimal('580.0')"
