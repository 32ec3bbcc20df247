"""QuoteSTKv1: decoding a stock quote message (the record protocol: test_records)."""

from __future__ import annotations

import datetime as dt
import decimal
import gc
import random
import sys
import threading
from decimal import Decimal

import pytest

from support.marketdata import quote_stk as content
from taloma.backend.solace import quote
from taloma.backend.solace.quote import QuoteSTKv1

# content field -> record field, for the values taken over unchanged
PASSED = {
    "volume": "volume",
    "vol_sum": "total_volume",
    "tick_type": "tick_type",
    "diff_type": "chg_type",
    "trade_bid_vol_sum": "bid_side_total_vol",
    "trade_ask_vol_sum": "ask_side_total_vol",
    "trade_bid_cnt": "bid_side_total_cnt",
    "trade_ask_cnt": "ask_side_total_cnt",
    "closing_oddlot_shares": "closing_oddlot_shares",
    "fixed_trade_volume": "fixed_trade_vol",
    "bid_volume": "bid_volume",
    "diff_bid_vol": "diff_bid_vol",
    "ask_volume": "ask_volume",
    "diff_ask_vol": "diff_ask_vol",
    "avail_borrowing": "avail_borrowing",
    "suspend": "suspend",
    "simtrade": "simtrade",
}
DECIMALS = {
    "open": "open",
    "avg_price": "avg_price",
    "close": "close",
    "high": "high",
    "low": "low",
    "amount": "amount",
    "amount_sum": "total_amount",
    "diff_price": "price_chg",
    "closing_oddlot_amount": "closing_oddlot_amount",
    "fixed_trade_amount": "fixed_trade_amount",
}


def decode(**changes):
    return QuoteSTKv1.from_content(**content(**changes))


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
        "12.3",
        "12.25",
        "12.35",
    )


@pytest.mark.parametrize(
    "rate",
    [123, -7, 0, 5, -120, 250, 4096, -4096, 4097, -4097, 10**15, 2**63 - 1, -(2**63), 2**63, 10**20, True],
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


def test_code_date_and_time_may_be_none():
    rec = decode(code=None, date="2024/03/15", time=None)
    assert rec.code is None and rec.datetime == dt.datetime(2024, 3, 15)


# ---- argument checking -----------------------------------------------------------------------------


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


# ---- the decimal cache -----------------------------------------------------------------------------


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
            texts.append(
                rng.choice(["", "-", "+"]) + (digits[:cut] + "." + digits[cut:] if rng.random() < 0.7 else digits)
            )
    texts += [
        "1",
        "10",
        "100",
        "1.0",
        "1.00",
        "01",
        "001",
        "-0",
        "-00",
        "-0.0",
        "+0",
        "0.",
        ".0",
        "+007",
        "-123",
        "999999999999999999",
        "-999999999999999999",
        "9999999999999999999",
        "-9223372036854775808",
    ]
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
            rec = decode(open=prices[0], bid_price=prices, diff_rate=rng.randint(-(10**6), 10**6))
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
