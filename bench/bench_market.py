"""Market-data decoders against a plain-Python __slots__ implementation.

Every factory decodes the same generated trading-day stream, called with
**fields as a bus subscriber calls it; the twins below are what the decoders
would be in plain Python (Decimal per text, a fromisoformat date-time
parser). Prints per-message times and ratios, field-read speed, record sizes
and the date-time parser's speed, and exits non-zero when a bar is missed.

    python bench/bench_market.py [messages-per-kind]
"""

from __future__ import annotations

import datetime as dt
import gc
import sys
import time
from decimal import Decimal

from taloma.backend.solace import ladder, quote, tick, utils
from taloma.demo.market import KINDS, factories, stream

BARS = {"quote": 4.0, "tick": 3.0, "tick_odd": 3.0, "tick_fop": 3.0, "ladder": 3.0, "ladder_odd": 3.0, "ladder_fop": 3.0}
READ_TOLERANCE = 0.95  # field reads: "no slower", within timer noise


# ---- the plain-Python twin ----------------------------------------------------------------------


def py_datetime_parser(date, time):
    if not date:
        date = dt.date.today().isoformat()
    if not time:
        time = "00:00:00"
    return dt.datetime.fromisoformat(f"{date.replace('/', '-')}T{time}")


def py_handparsed_parser(date, time):
    """The parser as it stood in Python before it went native."""
    if date:
        if len(date) != 10 or date[4] != date[7] or date[4] not in "/-" or not (date[:4] + date[5:7] + date[8:]).isdigit():
            raise ValueError(f"invalid date: {date!r}")
        day = dt.date(int(date[:4]), int(date[5:7]), int(date[8:]))
    else:
        day = dt.date.today()
    if not time:
        return dt.datetime(day.year, day.month, day.day)
    micro = 0
    if len(time) > 8:
        micro = int(time[9:].ljust(6, "0"))
    return dt.datetime(day.year, day.month, day.day, int(time[:2]), int(time[3:5]), int(time[6:8]), micro)


class _PyRecord:
    __slots__ = ()

    def keys(self):
        return self.__slots__


class PyQuoteSTKv1(_PyRecord):
    __slots__ = list(quote.QuoteSTKv1.__slots__)

    def __init__(self, code, datetime, open, avg_price, close, high, low, amount, total_amount, volume,
                 total_volume, tick_type, chg_type, price_chg, pct_chg, bid_side_total_vol, ask_side_total_vol,
                 bid_side_total_cnt, ask_side_total_cnt, closing_oddlot_shares, closing_oddlot_close,
                 closing_oddlot_amount, closing_oddlot_bid_price, closing_oddlot_ask_price, fixed_trade_vol,
                 fixed_trade_amount, bid_price, bid_volume, diff_bid_vol, ask_price, ask_volume, diff_ask_vol,
                 avail_borrowing, suspend, simtrade):
        self.code = code
        self.datetime = datetime
        self.open = open
        self.avg_price = avg_price
        self.close = close
        self.high = high
        self.low = low
        self.amount = amount
        self.total_amount = total_amount
        self.volume = volume
        self.total_volume = total_volume
        self.tick_type = tick_type
        self.chg_type = chg_type
        self.price_chg = price_chg
        self.pct_chg = pct_chg
        self.bid_side_total_vol = bid_side_total_vol
        self.ask_side_total_vol = ask_side_total_vol
        self.bid_side_total_cnt = bid_side_total_cnt
        self.ask_side_total_cnt = ask_side_total_cnt
        self.closing_oddlot_shares = closing_oddlot_shares
        self.closing_oddlot_close = closing_oddlot_close
        self.closing_oddlot_amount = closing_oddlot_amount
        self.closing_oddlot_bid_price = closing_oddlot_bid_price
        self.closing_oddlot_ask_price = closing_oddlot_ask_price
        self.fixed_trade_vol = fixed_trade_vol
        self.fixed_trade_amount = fixed_trade_amount
        self.bid_price = bid_price
        self.bid_volume = bid_volume
        self.diff_bid_vol = diff_bid_vol
        self.ask_price = ask_price
        self.ask_volume = ask_volume
        self.diff_ask_vol = diff_ask_vol
        self.avail_borrowing = avail_borrowing
        self.suspend = suspend
        self.simtrade = simtrade

    @classmethod
    def from_content(cls, code, date, time, open, avg_price, close, high, low, amount, amount_sum, volume, vol_sum,
                     tick_type, diff_type, diff_price, diff_rate, trade_bid_vol_sum, trade_ask_vol_sum, trade_bid_cnt,
                     trade_ask_cnt, closing_oddlot_shares, closing_oddlot_close, closing_oddlot_amount,
                     closing_oddlot_bid_price, closing_oddlot_ask_price, fixed_trade_volume, fixed_trade_amount,
                     bid_price, bid_volume, diff_bid_vol, ask_price, ask_volume, diff_ask_vol, avail_borrowing,
                     suspend, simtrade):
        return cls(
            code, py_datetime_parser(date, time), Decimal(open), Decimal(avg_price), Decimal(close), Decimal(high),
            Decimal(low), Decimal(amount), Decimal(amount_sum), volume, vol_sum, tick_type, diff_type,
            Decimal(diff_price), Decimal(diff_rate) * Decimal("0.01"), trade_bid_vol_sum, trade_ask_vol_sum,
            trade_bid_cnt, trade_ask_cnt, closing_oddlot_shares,
            Decimal(closing_oddlot_close) if closing_oddlot_close else Decimal("0.0"),
            Decimal(closing_oddlot_amount),
            Decimal(closing_oddlot_bid_price) if closing_oddlot_bid_price else Decimal("0.0"),
            Decimal(closing_oddlot_ask_price) if closing_oddlot_ask_price else Decimal("0.0"),
            fixed_trade_volume, Decimal(fixed_trade_amount), [Decimal(p) for p in bid_price], bid_volume,
            diff_bid_vol, [Decimal(p) for p in ask_price], ask_volume, diff_ask_vol, avail_borrowing, suspend,
            simtrade)


class PyTickSTKv1(_PyRecord):
    __slots__ = list(tick.TickSTKv1.__slots__)

    def __init__(self, code, datetime, open, avg_price, close, high, low, amount, total_amount, volume,
                 total_volume, tick_type, chg_type, price_chg, pct_chg, bid_side_total_vol, ask_side_total_vol,
                 bid_side_total_cnt, ask_side_total_cnt, closing_oddlot_shares, fixed_trade_vol, suspend, simtrade,
                 intraday_odd):
        self.code = code
        self.datetime = datetime
        self.open = open
        self.avg_price = avg_price
        self.close = close
        self.high = high
        self.low = low
        self.amount = amount
        self.total_amount = total_amount
        self.volume = volume
        self.total_volume = total_volume
        self.tick_type = tick_type
        self.chg_type = chg_type
        self.price_chg = price_chg
        self.pct_chg = pct_chg
        self.bid_side_total_vol = bid_side_total_vol
        self.ask_side_total_vol = ask_side_total_vol
        self.bid_side_total_cnt = bid_side_total_cnt
        self.ask_side_total_cnt = ask_side_total_cnt
        self.closing_oddlot_shares = closing_oddlot_shares
        self.fixed_trade_vol = fixed_trade_vol
        self.suspend = suspend
        self.simtrade = simtrade
        self.intraday_odd = intraday_odd

    @classmethod
    def from_content(cls, code, date, time, open, avg_price, close, high, low, amount, amount_sum, volume, vol_sum,
                     tick_type, diff_type, diff_price, diff_rate, trade_bid_vol_sum, trade_ask_vol_sum, trade_bid_cnt,
                     trade_ask_cnt, closing_oddlot_shares, closing_oddlot_close, closing_oddlot_amount,
                     closing_oddlot_bid_price, closing_oddlot_ask_price, fixed_trade_volume, fixed_trade_amount,
                     suspend, simtrade):
        return cls(
            code, py_datetime_parser(date, time), Decimal(open), Decimal(avg_price), Decimal(close), Decimal(high),
            Decimal(low), Decimal(amount), Decimal(amount_sum), volume, vol_sum, tick_type, diff_type,
            Decimal(diff_price), Decimal(diff_rate) * Decimal("0.01"), trade_bid_vol_sum, trade_ask_vol_sum,
            trade_bid_cnt, trade_ask_cnt, closing_oddlot_shares, fixed_trade_volume, suspend, simtrade, 0)

    @classmethod
    def from_content_odd(cls, code, date, time, close, tick_type, diff_price, diff_rate, diff_type, volume, vol_sum,
                         amount, amount_sum, avg_price, open, high, low, trade_bid_vol_sum, trade_ask_vol_sum,
                         trade_bid_cnt, trade_ask_cnt, suspend, simtrade):
        return cls(
            code, py_datetime_parser(date, time), Decimal(open), Decimal(avg_price), Decimal(close), Decimal(high),
            Decimal(low), Decimal(amount), Decimal(amount_sum), volume, vol_sum, tick_type, diff_type,
            Decimal(diff_price), Decimal(diff_rate), trade_bid_vol_sum, trade_ask_vol_sum, trade_bid_cnt,
            trade_ask_cnt, 0, 0, suspend, simtrade, 1)


class PyTickFOPv1(_PyRecord):
    __slots__ = list(tick.TickFOPv1.__slots__)

    def __init__(self, code, datetime, open, underlying_price, bid_side_total_vol, ask_side_total_vol, avg_price,
                 close, high, low, amount, total_amount, volume, total_volume, tick_type, chg_type, price_chg,
                 pct_chg, simtrade):
        self.code = code
        self.datetime = datetime
        self.open = open
        self.underlying_price = underlying_price
        self.bid_side_total_vol = bid_side_total_vol
        self.ask_side_total_vol = ask_side_total_vol
        self.avg_price = avg_price
        self.close = close
        self.high = high
        self.low = low
        self.amount = amount
        self.total_amount = total_amount
        self.volume = volume
        self.total_volume = total_volume
        self.tick_type = tick_type
        self.chg_type = chg_type
        self.price_chg = price_chg
        self.pct_chg = pct_chg
        self.simtrade = simtrade

    @classmethod
    def from_content(cls, code, date, time, open, target_kind_price, trade_bid_vol_sum, trade_ask_vol_sum, avg_price,
                     close, high, low, amount, amount_sum, volume, vol_sum, tick_type, diff_type, diff_price,
                     diff_rate, simtrade):
        return cls(
            code, py_datetime_parser(date, time), Decimal(open), Decimal(target_kind_price), trade_bid_vol_sum,
            trade_ask_vol_sum, Decimal(avg_price), Decimal(close), Decimal(high), Decimal(low), Decimal(amount),
            Decimal(amount_sum), volume, vol_sum, tick_type, diff_type, Decimal(diff_price), Decimal(diff_rate),
            simtrade)


class PyLadderSTKv1(_PyRecord):
    __slots__ = list(ladder.LadderSTKv1.__slots__)

    def __init__(self, code, datetime, bid_price, bid_volume, diff_bid_vol, ask_price, ask_volume, diff_ask_vol,
                 suspend, simtrade, intraday_odd):
        self.code = code
        self.datetime = datetime
        self.bid_price = bid_price
        self.bid_volume = bid_volume
        self.diff_bid_vol = diff_bid_vol
        self.ask_price = ask_price
        self.ask_volume = ask_volume
        self.diff_ask_vol = diff_ask_vol
        self.suspend = suspend
        self.simtrade = simtrade
        self.intraday_odd = intraday_odd

    @classmethod
    def from_content(cls, code, date, time, bid_price, bid_volume, diff_bid_vol, ask_price, ask_volume, diff_ask_vol,
                     suspend, simtrade):
        return cls(code, py_datetime_parser(date, time), [Decimal(p) for p in bid_price], bid_volume, diff_bid_vol,
                   [Decimal(p) for p in ask_price], ask_volume, diff_ask_vol, suspend, simtrade, 0)

    @classmethod
    def from_content_odd(cls, code, date, time, bid_price, ask_price, bid_volume, ask_volume, diff_bid_vol,
                         diff_ask_vol, suspend, simtrade):
        return cls(code, py_datetime_parser(date, time), [Decimal(p) for p in bid_price], bid_volume, diff_bid_vol,
                   [Decimal(p) for p in ask_price], ask_volume, diff_ask_vol, suspend, simtrade, 1)


class PyLadderFOPv1(_PyRecord):
    __slots__ = list(ladder.LadderFOPv1.__slots__)

    def __init__(self, code, datetime, bid_total_vol, ask_total_vol, bid_price, bid_volume, diff_bid_vol, ask_price,
                 ask_volume, diff_ask_vol, first_derived_bid_price, first_derived_ask_price, first_derived_bid_vol,
                 first_derived_ask_vol, underlying_price, simtrade):
        self.code = code
        self.datetime = datetime
        self.bid_total_vol = bid_total_vol
        self.ask_total_vol = ask_total_vol
        self.bid_price = bid_price
        self.bid_volume = bid_volume
        self.diff_bid_vol = diff_bid_vol
        self.ask_price = ask_price
        self.ask_volume = ask_volume
        self.diff_ask_vol = diff_ask_vol
        self.first_derived_bid_price = first_derived_bid_price
        self.first_derived_ask_price = first_derived_ask_price
        self.first_derived_bid_vol = first_derived_bid_vol
        self.first_derived_ask_vol = first_derived_ask_vol
        self.underlying_price = underlying_price
        self.simtrade = simtrade

    @classmethod
    def from_content(cls, code, date, time, bid_vol_sum, ask_vol_sum, bid_price, bid_volume, diff_bid_vol, ask_price,
                     ask_volume, diff_ask_vol, first_derived_bid_price, first_derived_ask_price,
                     first_derived_bid_volume, first_derived_ask_volume, target_kind_price, simtrade):
        return cls(code, py_datetime_parser(date, time), bid_vol_sum, ask_vol_sum, [Decimal(p) for p in bid_price],
                   bid_volume, diff_bid_vol, [Decimal(p) for p in ask_price], ask_volume, diff_ask_vol,
                   Decimal(first_derived_bid_price), Decimal(first_derived_ask_price), first_derived_bid_volume,
                   first_derived_ask_volume, Decimal(target_kind_price), simtrade)


TWINS = {
    "quote": PyQuoteSTKv1.from_content,
    "tick": PyTickSTKv1.from_content,
    "tick_odd": PyTickSTKv1.from_content_odd,
    "tick_fop": PyTickFOPv1.from_content,
    "ladder": PyLadderSTKv1.from_content,
    "ladder_odd": PyLadderSTKv1.from_content_odd,
    "ladder_fop": PyLadderFOPv1.from_content,
}


# ---- measurement ----------------------------------------------------------------------------------


def per_call(fn, repeats):
    """Best time of one call of fn() over repeats, with the collector off."""
    best = float("inf")
    gc.collect()
    gc.disable()
    try:
        for _ in range(repeats):
            start = time.perf_counter()
            fn()
            best = min(best, time.perf_counter() - start)
    finally:
        gc.enable()
    return best


def decode_time(factory, messages, repeats):
    def run():
        for fields in messages:
            factory(**fields)

    return per_call(run, repeats) / len(messages)


def read_time(records, repeats):
    def run():
        for r in records:
            r.close; r.open; r.high; r.low; r.code; r.volume; r.close; r.open; r.high; r.low  # noqa: B018,E702

    return per_call(run, repeats) / (len(records) * 10)


def main(argv):
    n = int(argv[1]) if len(argv) > 1 else 20000
    native = factories()
    failures = []
    print(f"{n} generated messages per kind; best of several passes; µs per message")
    print(f"{'factory':<12}{'native':>9}{'python':>9}{'ratio':>8}{'bar':>6}")
    streams = {}
    for kind in KINDS:
        messages = stream(kind, n)
        streams[kind] = messages
        ours = decode_time(native[kind], messages, 7)
        theirs = decode_time(TWINS[kind], messages, 3)
        ratio = theirs / ours
        ok = ratio >= BARS[kind]
        failures += [] if ok else [f"{kind} ratio {ratio:.2f} < {BARS[kind]}"]
        print(f"{kind:<12}{ours * 1e6:>9.3f}{theirs * 1e6:>9.3f}{ratio:>7.2f}x{BARS[kind]:>5.0f}x {'ok' if ok else 'MISSED'}")

    # Non-interned keyword names (a subscriber that builds keys at run time) take the text-compare path.
    fresh = [{"".join(list(k)): v for k, v in m.items()} for m in streams["quote"][:5000]]
    print(f"quote, run-time keyword names: {decode_time(native['quote'], fresh, 5) * 1e6:.3f} µs")

    print("\nfield read (10 attributes a record) and size")
    for kind, twin in (("quote", TWINS["quote"]), ("tick", TWINS["tick"]), ("tick_fop", TWINS["tick_fop"])):
        msgs = streams[kind][:5000]
        ours = [native[kind](**m) for m in msgs]
        theirs = [twin(**m) for m in msgs]
        a, b = read_time(ours, 9), read_time(theirs, 9)
        ok = b / a >= READ_TOLERANCE
        failures += [] if ok else [f"{kind} field read {b / a:.2f}"]
        sa, sb = sys.getsizeof(ours[0]), sys.getsizeof(theirs[0])
        if sa > sb:
            failures.append(f"{kind} size {sa} > {sb}")
        print(f"{kind:<12}read native {a * 1e9:.1f} ns, __slots__ {b * 1e9:.1f} ns ({b / a:.2f}x); "
              f"size {sa} vs {sb} bytes")
    for kind in ("ladder", "ladder_fop"):
        rec, twin = native[kind](**streams[kind][0]), TWINS[kind](**streams[kind][0])
        sa, sb = sys.getsizeof(rec), sys.getsizeof(twin)
        if sa > sb:
            failures.append(f"{kind} size {sa} > {sb}")
        print(f"{kind:<12}size {sa} vs {sb} bytes")

    print("\ndatetime_parser (µs per call)")
    pairs = [(m["date"], m["time"]) for m in streams["quote"]]

    def parse_all(fn):
        return per_call(lambda: [fn(d, t) for d, t in pairs], 5) / len(pairs)

    nat, iso, hand = parse_all(utils.datetime_parser), parse_all(py_datetime_parser), parse_all(py_handparsed_parser)
    print(f"native {nat * 1e6:.3f}, Python fromisoformat {iso * 1e6:.3f} ({iso / nat:.1f}x), "
          f"Python hand-parsed {hand * 1e6:.3f} ({hand / nat:.1f}x)")

    print("\nDecimal cache after the run (per module):")
    for mod in (quote, tick, ladder):
        print(f"  {mod.__name__.rsplit('.', 1)[1]:<7}{mod._decimal_cache_info()}")

    if failures:
        print("\nMISSED: " + "; ".join(failures))
        return 1
    print("\nall bars met")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
