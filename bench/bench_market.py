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
import dis
import gc
import sys
import time
from decimal import Decimal

from taloma.backend.solace import ladder, quote, tick, utils
from taloma.demo.market import KINDS, factories, stream

BARS = {
    "quote": 4.0,
    "tick": 3.0,
    "tick_odd": 3.0,
    "tick_fop": 3.0,
    "ladder": 3.0,
    "ladder_odd": 3.0,
    "ladder_fop": 3.0,
}
READ_TOLERANCE = 0.85  # both readers run the same specialised instruction (checked); the timing shows it, within noise


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
        if (
            len(date) != 10
            or date[4] != date[7]
            or date[4] not in "/-"
            or not (date[:4] + date[5:7] + date[8:]).isdigit()
        ):
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

    def __init__(
        self,
        code,
        datetime,
        open,
        avg_price,
        close,
        high,
        low,
        amount,
        total_amount,
        volume,
        total_volume,
        tick_type,
        chg_type,
        price_chg,
        pct_chg,
        bid_side_total_vol,
        ask_side_total_vol,
        bid_side_total_cnt,
        ask_side_total_cnt,
        closing_oddlot_shares,
        closing_oddlot_close,
        closing_oddlot_amount,
        closing_oddlot_bid_price,
        closing_oddlot_ask_price,
        fixed_trade_vol,
        fixed_trade_amount,
        bid_price,
        bid_volume,
        diff_bid_vol,
        ask_price,
        ask_volume,
        diff_ask_vol,
        avail_borrowing,
        suspend,
        simtrade,
    ):
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
    def from_content(
        cls,
        code,
        date,
        time,
        open,
        avg_price,
        close,
        high,
        low,
        amount,
        amount_sum,
        volume,
        vol_sum,
        tick_type,
        diff_type,
        diff_price,
        diff_rate,
        trade_bid_vol_sum,
        trade_ask_vol_sum,
        trade_bid_cnt,
        trade_ask_cnt,
        closing_oddlot_shares,
        closing_oddlot_close,
        closing_oddlot_amount,
        closing_oddlot_bid_price,
        closing_oddlot_ask_price,
        fixed_trade_volume,
        fixed_trade_amount,
        bid_price,
        bid_volume,
        diff_bid_vol,
        ask_price,
        ask_volume,
        diff_ask_vol,
        avail_borrowing,
        suspend,
        simtrade,
    ):
        return cls(
            code,
            py_datetime_parser(date, time),
            Decimal(open),
            Decimal(avg_price),
            Decimal(close),
            Decimal(high),
            Decimal(low),
            Decimal(amount),
            Decimal(amount_sum),
            volume,
            vol_sum,
            tick_type,
            diff_type,
            Decimal(diff_price),
            Decimal(diff_rate) * Decimal("0.01"),
            trade_bid_vol_sum,
            trade_ask_vol_sum,
            trade_bid_cnt,
            trade_ask_cnt,
            closing_oddlot_shares,
            Decimal(closing_oddlot_close) if closing_oddlot_close else Decimal("0.0"),
            Decimal(closing_oddlot_amount),
            Decimal(closing_oddlot_bid_price) if closing_oddlot_bid_price else Decimal("0.0"),
            Decimal(closing_oddlot_ask_price) if closing_oddlot_ask_price else Decimal("0.0"),
            fixed_trade_volume,
            Decimal(fixed_trade_amount),
            [Decimal(p) for p in bid_price],
            bid_volume,
            diff_bid_vol,
            [Decimal(p) for p in ask_price],
            ask_volume,
            diff_ask_vol,
            avail_borrowing,
            suspend,
            simtrade,
        )


class PyTickSTKv1(_PyRecord):
    __slots__ = list(tick.TickSTKv1.__slots__)

    def __init__(
        self,
        code,
        datetime,
        open,
        avg_price,
        close,
        high,
        low,
        amount,
        total_amount,
        volume,
        total_volume,
        tick_type,
        chg_type,
        price_chg,
        pct_chg,
        bid_side_total_vol,
        ask_side_total_vol,
        bid_side_total_cnt,
        ask_side_total_cnt,
        closing_oddlot_shares,
        fixed_trade_vol,
        suspend,
        simtrade,
        intraday_odd,
    ):
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
    def from_content(
        cls,
        code,
        date,
        time,
        open,
        avg_price,
        close,
        high,
        low,
        amount,
        amount_sum,
        volume,
        vol_sum,
        tick_type,
        diff_type,
        diff_price,
        diff_rate,
        trade_bid_vol_sum,
        trade_ask_vol_sum,
        trade_bid_cnt,
        trade_ask_cnt,
        closing_oddlot_shares,
        closing_oddlot_close,
        closing_oddlot_amount,
        closing_oddlot_bid_price,
        closing_oddlot_ask_price,
        fixed_trade_volume,
        fixed_trade_amount,
        suspend,
        simtrade,
    ):
        return cls(
            code,
            py_datetime_parser(date, time),
            Decimal(open),
            Decimal(avg_price),
            Decimal(close),
            Decimal(high),
            Decimal(low),
            Decimal(amount),
            Decimal(amount_sum),
            volume,
            vol_sum,
            tick_type,
            diff_type,
            Decimal(diff_price),
            Decimal(diff_rate) * Decimal("0.01"),
            trade_bid_vol_sum,
            trade_ask_vol_sum,
            trade_bid_cnt,
            trade_ask_cnt,
            closing_oddlot_shares,
            fixed_trade_volume,
            suspend,
            simtrade,
            0,
        )

    @classmethod
    def from_content_odd(
        cls,
        code,
        date,
        time,
        close,
        tick_type,
        diff_price,
        diff_rate,
        diff_type,
        volume,
        vol_sum,
        amount,
        amount_sum,
        avg_price,
        open,
        high,
        low,
        trade_bid_vol_sum,
        trade_ask_vol_sum,
        trade_bid_cnt,
        trade_ask_cnt,
        suspend,
        simtrade,
    ):
        return cls(
            code,
            py_datetime_parser(date, time),
            Decimal(open),
            Decimal(avg_price),
            Decimal(close),
            Decimal(high),
            Decimal(low),
            Decimal(amount),
            Decimal(amount_sum),
            volume,
            vol_sum,
            tick_type,
            diff_type,
            Decimal(diff_price),
            Decimal(diff_rate),
            trade_bid_vol_sum,
            trade_ask_vol_sum,
            trade_bid_cnt,
            trade_ask_cnt,
            0,
            0,
            suspend,
            simtrade,
            1,
        )


class PyTickFOPv1(_PyRecord):
    __slots__ = list(tick.TickFOPv1.__slots__)

    def __init__(
        self,
        code,
        datetime,
        open,
        underlying_price,
        bid_side_total_vol,
        ask_side_total_vol,
        avg_price,
        close,
        high,
        low,
        amount,
        total_amount,
        volume,
        total_volume,
        tick_type,
        chg_type,
        price_chg,
        pct_chg,
        simtrade,
    ):
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
    def from_content(
        cls,
        code,
        date,
        time,
        open,
        target_kind_price,
        trade_bid_vol_sum,
        trade_ask_vol_sum,
        avg_price,
        close,
        high,
        low,
        amount,
        amount_sum,
        volume,
        vol_sum,
        tick_type,
        diff_type,
        diff_price,
        diff_rate,
        simtrade,
    ):
        return cls(
            code,
            py_datetime_parser(date, time),
            Decimal(open),
            Decimal(target_kind_price),
            trade_bid_vol_sum,
            trade_ask_vol_sum,
            Decimal(avg_price),
            Decimal(close),
            Decimal(high),
            Decimal(low),
            Decimal(amount),
            Decimal(amount_sum),
            volume,
            vol_sum,
            tick_type,
            diff_type,
            Decimal(diff_price),
            Decimal(diff_rate),
            simtrade,
        )


class PyLadderSTKv1(_PyRecord):
    __slots__ = list(ladder.LadderSTKv1.__slots__)

    def __init__(
        self,
        code,
        datetime,
        bid_price,
        bid_volume,
        diff_bid_vol,
        ask_price,
        ask_volume,
        diff_ask_vol,
        suspend,
        simtrade,
        intraday_odd,
    ):
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
    def from_content(
        cls,
        code,
        date,
        time,
        bid_price,
        bid_volume,
        diff_bid_vol,
        ask_price,
        ask_volume,
        diff_ask_vol,
        suspend,
        simtrade,
    ):
        return cls(
            code,
            py_datetime_parser(date, time),
            [Decimal(p) for p in bid_price],
            bid_volume,
            diff_bid_vol,
            [Decimal(p) for p in ask_price],
            ask_volume,
            diff_ask_vol,
            suspend,
            simtrade,
            0,
        )

    @classmethod
    def from_content_odd(
        cls,
        code,
        date,
        time,
        bid_price,
        ask_price,
        bid_volume,
        ask_volume,
        diff_bid_vol,
        diff_ask_vol,
        suspend,
        simtrade,
    ):
        return cls(
            code,
            py_datetime_parser(date, time),
            [Decimal(p) for p in bid_price],
            bid_volume,
            diff_bid_vol,
            [Decimal(p) for p in ask_price],
            ask_volume,
            diff_ask_vol,
            suspend,
            simtrade,
            1,
        )


class PyLadderFOPv1(_PyRecord):
    __slots__ = list(ladder.LadderFOPv1.__slots__)

    def __init__(
        self,
        code,
        datetime,
        bid_total_vol,
        ask_total_vol,
        bid_price,
        bid_volume,
        diff_bid_vol,
        ask_price,
        ask_volume,
        diff_ask_vol,
        first_derived_bid_price,
        first_derived_ask_price,
        first_derived_bid_vol,
        first_derived_ask_vol,
        underlying_price,
        simtrade,
    ):
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
    def from_content(
        cls,
        code,
        date,
        time,
        bid_vol_sum,
        ask_vol_sum,
        bid_price,
        bid_volume,
        diff_bid_vol,
        ask_price,
        ask_volume,
        diff_ask_vol,
        first_derived_bid_price,
        first_derived_ask_price,
        first_derived_bid_volume,
        first_derived_ask_volume,
        target_kind_price,
        simtrade,
    ):
        return cls(
            code,
            py_datetime_parser(date, time),
            bid_vol_sum,
            ask_vol_sum,
            [Decimal(p) for p in bid_price],
            bid_volume,
            diff_bid_vol,
            [Decimal(p) for p in ask_price],
            ask_volume,
            diff_ask_vol,
            Decimal(first_derived_bid_price),
            Decimal(first_derived_ask_price),
            first_derived_bid_volume,
            first_derived_ask_volume,
            Decimal(target_kind_price),
            simtrade,
        )


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


def best_of(fn, repeats, collect=True):
    """Best time of one call of fn() over repeats, with the collector off."""
    best = float("inf")
    if collect:
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


def decoder_loop(factory, messages):
    def run():
        for fields in messages:
            factory(**fields)

    return run


def side_by_side(ours, theirs, rounds, collect=True):
    """Passes alternate, so that both sides see the same machine load."""
    a = b = float("inf")
    for i in range(rounds):
        for side in (0, 1) if i % 2 else (1, 0):
            if side == 0:
                a = min(a, best_of(ours, 1, collect))
            else:
                b = min(b, best_of(theirs, 1, collect))
    return a, b


def fresh(message):
    """A copy with new texts and lists, as a subscriber builds each message just before decoding it."""

    def copy(v):
        if type(v) is str:
            return (v + " ")[:-1]
        return [copy(x) for x in v] if type(v) is list else v

    return {k: copy(v) for k, v in message.items()}


def fresh_side_by_side(ours, theirs, day, chunk=64, passes=5):
    """Seconds for the day on each side, chunk by chunk on freshly built messages.

    Each side decodes its own fresh copy of every chunk; which side goes first
    alternates; per chunk the best of the passes counts.
    """
    starts = range(0, len(day), chunk)
    best_a, best_b = [float("inf")] * len(starts), [float("inf")] * len(starts)
    gc.collect()
    gc.disable()
    try:
        for p in range(passes):
            for i, start in enumerate(starts):
                part = day[start : start + chunk]
                a, b = [fresh(m) for m in part], [fresh(m) for m in part]
                for side in (0, 1) if (i + p) % 2 else (1, 0):
                    fn, msgs = (ours, a) if side == 0 else (theirs, b)
                    t = time.perf_counter()
                    for fields in msgs:
                        fn(**fields)
                    t = time.perf_counter() - t
                    if side == 0:
                        best_a[i] = min(best_a[i], t)
                    else:
                        best_b[i] = min(best_b[i], t)
    finally:
        gc.enable()
    return sum(best_a), sum(best_b)


_READER = """
def run(records):
    for r in records:
        r.code; r.datetime; r.{0}; r.{1}; r.{2}; r.code; r.datetime; r.{0}; r.{1}; r.{2}
"""
READ_FIELDS = {
    "quote": ("close", "volume", "bid_price"),
    "tick": ("close", "volume", "pct_chg"),
    "tick_fop": ("close", "underlying_price", "total_volume"),
    "ladder": ("bid_price", "ask_volume", "simtrade"),
}


def reader(kind):
    """A reader of its own: attribute caches live in the code object, so each side gets its own."""
    ns = {}
    exec(_READER.format(*READ_FIELDS[kind]), ns)
    return ns["run"]


def read_opcodes(fn):
    return sorted({i.opname for i in dis.get_instructions(fn, adaptive=True) if "ATTR" in i.opname})


def read_side_by_side(kind, ours, theirs, rounds):
    """ns per field read: on one record over and over (the access itself), and across many records;
    and the instructions the interpreter specialised each reader's attribute loads to."""
    ra, rb = reader(kind), reader(kind)
    one_a, one_b = [ours[0]] * 20000, [theirs[0]] * 20000
    a1, b1 = side_by_side(lambda: ra(one_a), lambda: rb(one_b), 3 * rounds, collect=False)
    a2, b2 = side_by_side(lambda: ra(ours), lambda: rb(theirs), rounds, collect=False)
    ops = (read_opcodes(ra), read_opcodes(rb))
    return a1 / 2e5, b1 / 2e5, a2 / (len(ours) * 10), b2 / (len(theirs) * 10), ops


def main(argv):
    n = int(argv[1]) if len(argv) > 1 else 6000
    native = factories()
    failures = []
    print(f"a generated trading day of {n} messages per kind; µs per message")
    print("fresh: each message built just before it is decoded, as a subscriber does (the bars apply here)")
    print("built ahead: the whole day prepared in advance and decoded from memory")
    print(f"{'factory':<12}{'native':>9}{'python':>9}{'ratio':>8}{'bar':>6}    {'built ahead':>24}")
    streams = {}
    for kind in KINDS:  # warm-up: interpreter caches, allocator arenas, CPU clock
        fresh_side_by_side(native[kind], TWINS[kind], stream(kind, 500, seed=1), passes=1)
    for kind in KINDS:
        day = stream(kind, n)
        streams[kind] = day
        decoder_loop(native[kind], day)()  # a day's prices are in the cache by the time it matters
        a, b = fresh_side_by_side(native[kind], TWINS[kind], day)
        ours, theirs, ratio = a / n, b / n, b / a
        ok = ratio >= BARS[kind]
        failures += [] if ok else [f"{kind} ratio {ratio:.2f} < {BARS[kind]}"]
        ca, cb = side_by_side(decoder_loop(native[kind], day), decoder_loop(TWINS[kind], day), 3)
        print(
            f"{kind:<12}{ours * 1e6:>9.3f}{theirs * 1e6:>9.3f}{ratio:>7.2f}x{BARS[kind]:>5.0f}x "
            f"{'ok' if ok else 'MISSED':<6} {ca / n * 1e6:7.3f} {cb / n * 1e6:7.3f} {cb / ca:5.2f}x"
        )

    quotes = streams["quote"][:5000]
    runtime_names = [{"".join(list(k)): v for k, v in m.items()} for m in quotes]
    shuffled = [dict(sorted(m.items())) for m in quotes]
    for label, msgs in (
        ("declared order", quotes),
        ("run-time keyword names", runtime_names),
        ("keywords in another order", shuffled),
    ):
        t = best_of(decoder_loop(native["quote"], msgs), 5) / len(msgs)
        print(f"quote, {label:<26} {t * 1e6:.3f} µs")

    print("\nfield reads, ns each: one record read over and over (the bar), and 5000 records in turn;")
    print("record sizes in bytes")
    for kind in ("quote", "tick", "tick_fop", "ladder"):
        # Twin records hold the very same values, allocated in turn with ours:
        # what differs is only how a field is stored and read.
        twin_class = TWINS[kind].__self__
        ours, theirs = [], []
        for m in streams[kind][:5000]:
            ours.append(native[kind](**m))
            theirs.append(twin_class(*(getattr(ours[-1], k) for k in twin_class.__slots__)))
        a1, b1, a2, b2, (ops_a, ops_b) = read_side_by_side(kind, ours, theirs, 25)
        sa, sb = sys.getsizeof(ours[0]), sys.getsizeof(theirs[0])
        if b1 / a1 < READ_TOLERANCE:
            failures.append(f"{kind} field read {b1 / a1:.2f}")
        if ops_a != ops_b:
            failures.append(f"{kind} field reads run {ops_a}, __slots__ {ops_b}")
        if sa > sb:
            failures.append(f"{kind} size {sa} > {sb}")
        print(
            f"{kind:<12}one: native {a1 * 1e9:5.2f} __slots__ {b1 * 1e9:5.2f} ({b1 / a1:.2f}x)   "
            f"many: {a2 * 1e9:5.2f} {b2 * 1e9:5.2f} ({b2 / a2:.2f}x)   size {sa} vs {sb}   {'/'.join(ops_a)}"
        )
    for kind in ("tick_odd", "ladder_fop"):
        sa, sb = sys.getsizeof(native[kind](**streams[kind][0])), sys.getsizeof(TWINS[kind](**streams[kind][0]))
        if sa > sb:
            failures.append(f"{kind} size {sa} > {sb}")
        print(f"{kind:<12}size {sa} vs {sb}")

    print("\ndatetime_parser, µs a call")
    pairs = [(m["date"], m["time"]) for m in streams["quote"]]

    def parse_all(fn):
        return best_of(lambda: [fn(d, t) for d, t in pairs], 5) / len(pairs)

    nat, iso, hand = parse_all(utils.datetime_parser), parse_all(py_datetime_parser), parse_all(py_handparsed_parser)
    print(
        f"native {nat * 1e6:.3f}; Python on fromisoformat {iso * 1e6:.3f} ({iso / nat:.1f}x); "
        f"Python hand-parsed {hand * 1e6:.3f} ({hand / nat:.1f}x)"
    )

    print("\nDecimal cache of each module after the run:")
    for mod in (quote, tick, ladder):
        print(f"  {mod.__name__.rsplit('.', 1)[1]:<7}{mod._decimal_cache_info()}")

    if failures:
        print("\nMISSED: " + "; ".join(failures))
        return 1
    print("\nall bars met")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
