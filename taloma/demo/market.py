"""Market data: decode a generated trading-day stream of every kind, name topics.

``stream(kind, n)`` is also the benchmark's input: message contents shaped
like a trading day (real-looking codes, prices on the exchange's tick-size
grid, five-level books, timestamps that advance), each a fresh dict of named
fields with fresh texts, as a bus subscriber would pass them.
"""

from __future__ import annotations

import gc
import random
import time
from collections.abc import Callable, Iterator
from typing import Any

KINDS = ("quote", "tick", "tick_odd", "tick_fop", "ladder", "ladder_odd", "ladder_fop")

# code, exchange, reference price in hundredths
STOCKS = (
    ("2330", "TSE", 58000),
    ("2317", "TSE", 10450),
    ("2454", "TSE", 90500),
    ("2603", "TSE", 15200),
    ("0050", "TSE", 14025),
    ("2884", "TSE", 2435),
    ("1101", "TSE", 3340),
    ("2409", "TSE", 1385),
    ("3481", "TSE", 987),
    ("3008", "TSE", 245500),
    ("6488", "OTC", 41000),
    ("8069", "OTC", 9630),
    ("3105", "OTC", 4560),
    ("5483", "OTC", 11850),
)
# code, reference price in hundredths, option?
DERIVATIVES = (
    ("TXFC4", 1825000, False),
    ("MXFC4", 1825000, False),
    ("TXFD4", 1831000, False),
    ("TXO18200C4", 15200, True),
    ("TXO18200P4", 8750, True),
    ("TXO18400C4", 6300, True),
)


def stock_tick(cents: int) -> int:
    """Tick size (hundredths) of a stock price on the exchange's grid."""
    if cents < 1000:
        return 1
    if cents < 5000:
        return 5
    if cents < 10000:
        return 10
    if cents < 50000:
        return 50
    if cents < 100000:
        return 100
    return 500


def option_tick(cents: int) -> int:
    if cents < 1000:
        return 10
    if cents < 5000:
        return 50
    if cents < 50000:
        return 100
    if cents < 100000:
        return 500
    return 1000


def _text(cents: int) -> str:
    sign = "-" if cents < 0 else ""
    cents = abs(cents)
    return f"{sign}{cents // 100}.{cents % 100:02d}"


class _Symbol:
    __slots__ = ("code", "ref", "price", "tick", "vol", "amount", "open", "high", "low", "option")

    def __init__(self, code: str, ref: int, tick: Callable[[int], int], option: bool = False) -> None:
        self.code, self.ref, self.price, self.tick, self.option = code, ref, ref, tick, option
        self.vol = 0
        self.amount = 0
        self.open = self.high = self.low = ref

    def step(self, rng: random.Random) -> int:
        size = self.tick(self.price)
        limit = self.ref // 10
        self.price = max(self.ref - limit, min(self.ref + limit, self.price + size * rng.randint(-2, 2)))
        self.price -= self.price % self.tick(self.price)
        self.high = max(self.high, self.price)
        self.low = min(self.low, self.price)
        volume = rng.randint(1, 50)
        self.vol += volume
        self.amount += volume * self.price
        return volume

    def levels(self, side: int) -> list[str]:
        out, p = [], self.price
        for _ in range(5):
            p += side * self.tick(p)
            out.append(_text(p))
        return out


class _Clock:
    """09:00:00 onward, a few hundred microseconds per message."""

    def __init__(self, rng: random.Random) -> None:
        self.rng = rng
        self.us = 9 * 3600 * 1_000_000

    def __call__(self) -> str:
        self.us += self.rng.randint(50, 3000)
        s, us = divmod(self.us, 1_000_000)
        return f"{s // 3600:02d}:{s // 60 % 60:02d}:{s % 60:02d}.{us:06d}"


def stream(kind: str, n: int, seed: int = 2026, date: str = "2024/03/15") -> list[dict[str, Any]]:
    """n message contents of one kind (see KINDS)."""
    rng = random.Random(seed)
    clock = _Clock(rng)
    if kind.endswith("fop"):
        symbols = [_Symbol(c, r, option_tick if o else (lambda _p: 100), o) for c, r, o in DERIVATIVES]
    else:
        symbols = [_Symbol(c, r, stock_tick) for c, _e, r in STOCKS]
    build, order = _BUILDERS[kind], ORDER[kind]
    out = []
    for _ in range(n):
        sym = rng.choice(symbols)
        volume = sym.step(rng)
        fields = build(sym, volume, date, clock(), rng)
        out.append({name: fields[name] for name in order})
    return out


def _common(sym: _Symbol, volume: int, date: str, now: str, rng: random.Random) -> dict[str, Any]:
    diff = sym.price - sym.ref
    return {
        "code": sym.code,
        "date": date,
        "time": now,
        "open": _text(sym.open),
        "avg_price": _text(sym.amount // max(sym.vol, 1)),
        "close": _text(sym.price),
        "high": _text(sym.high),
        "low": _text(sym.low),
        "amount": f"{volume * sym.price // 100}",
        "amount_sum": f"{sym.amount // 100}",
        "volume": volume,
        "vol_sum": sym.vol,
        "tick_type": rng.randint(1, 2),
        "diff_type": 2 if diff > 0 else 4 if diff < 0 else 3,
        "diff_price": _text(diff),
        "diff_rate": diff * 10000 // sym.ref,
        "trade_bid_vol_sum": sym.vol // 2,
        "trade_ask_vol_sum": sym.vol - sym.vol // 2,
        "trade_bid_cnt": sym.vol // 7,
        "trade_ask_cnt": sym.vol // 9,
    }


def _quote(sym: _Symbol, volume: int, date: str, now: str, rng: random.Random) -> dict[str, Any]:
    msg = _common(sym, volume, date, now, rng)
    msg.update(
        closing_oddlot_shares=0,
        closing_oddlot_close="",
        closing_oddlot_amount="0",
        closing_oddlot_bid_price="",
        closing_oddlot_ask_price="",
        fixed_trade_volume=0,
        fixed_trade_amount="0",
        bid_price=sym.levels(-1),
        bid_volume=[rng.randint(1, 500) for _ in range(5)],
        diff_bid_vol=[rng.randint(-20, 20) for _ in range(5)],
        ask_price=sym.levels(1),
        ask_volume=[rng.randint(1, 500) for _ in range(5)],
        diff_ask_vol=[rng.randint(-20, 20) for _ in range(5)],
        avail_borrowing=rng.randint(0, 100000),
        suspend=0,
        simtrade=0,
    )
    return msg


def _tick(sym: _Symbol, volume: int, date: str, now: str, rng: random.Random) -> dict[str, Any]:
    msg = _common(sym, volume, date, now, rng)
    msg.update(
        closing_oddlot_shares=0,
        closing_oddlot_close="",
        closing_oddlot_amount="",
        closing_oddlot_bid_price="",
        closing_oddlot_ask_price="",
        fixed_trade_volume=0,
        fixed_trade_amount="",
        suspend=0,
        simtrade=0,
    )
    return msg


def _tick_odd(sym: _Symbol, volume: int, date: str, now: str, rng: random.Random) -> dict[str, Any]:
    msg = _common(sym, volume, date, now, rng)
    msg["diff_rate"] = _text(msg["diff_rate"])  # already percent text on the odd-lot stream
    msg.update(suspend=0, simtrade=0)
    return msg


def _tick_fop(sym: _Symbol, volume: int, date: str, now: str, rng: random.Random) -> dict[str, Any]:
    msg = _common(sym, volume, date, now, rng)
    msg["diff_rate"] = _text(msg["diff_rate"])
    for k in ("trade_bid_cnt", "trade_ask_cnt"):
        del msg[k]
    msg["target_kind_price"] = "18250.35"
    msg["simtrade"] = 0
    return msg


def _ladder(sym: _Symbol, volume: int, date: str, now: str, rng: random.Random) -> dict[str, Any]:
    return {
        "code": sym.code,
        "date": date,
        "time": now,
        "bid_price": sym.levels(-1),
        "bid_volume": [rng.randint(1, 500) for _ in range(5)],
        "diff_bid_vol": [rng.randint(-20, 20) for _ in range(5)],
        "ask_price": sym.levels(1),
        "ask_volume": [rng.randint(1, 500) for _ in range(5)],
        "diff_ask_vol": [rng.randint(-20, 20) for _ in range(5)],
        "suspend": 0,
        "simtrade": 0,
    }


def _ladder_fop(sym: _Symbol, volume: int, date: str, now: str, rng: random.Random) -> dict[str, Any]:
    msg = _ladder(sym, volume, date, now, rng)
    del msg["suspend"]
    msg.update(
        bid_vol_sum=sum(msg["bid_volume"]),
        ask_vol_sum=sum(msg["ask_volume"]),
        first_derived_bid_price=_text(sym.price - sym.tick(sym.price)),
        first_derived_ask_price=_text(sym.price + sym.tick(sym.price)),
        first_derived_bid_volume=rng.randint(0, 20),
        first_derived_ask_volume=rng.randint(0, 20),
        target_kind_price="18250.35",
    )
    return msg


_BUILDERS = {
    "quote": _quote,
    "tick": _tick,
    "tick_odd": _tick_odd,
    "tick_fop": _tick_fop,
    "ladder": _ladder,
    "ladder_odd": _ladder,
    "ladder_fop": _ladder_fop,
}

# Field order of each message as it comes off the wire.
ORDER = {
    "quote": (
        "code",
        "date",
        "time",
        "open",
        "avg_price",
        "close",
        "high",
        "low",
        "amount",
        "amount_sum",
        "volume",
        "vol_sum",
        "tick_type",
        "diff_type",
        "diff_price",
        "diff_rate",
        "trade_bid_vol_sum",
        "trade_ask_vol_sum",
        "trade_bid_cnt",
        "trade_ask_cnt",
        "closing_oddlot_shares",
        "closing_oddlot_close",
        "closing_oddlot_amount",
        "closing_oddlot_bid_price",
        "closing_oddlot_ask_price",
        "fixed_trade_volume",
        "fixed_trade_amount",
        "bid_price",
        "bid_volume",
        "diff_bid_vol",
        "ask_price",
        "ask_volume",
        "diff_ask_vol",
        "avail_borrowing",
        "suspend",
        "simtrade",
    ),
    "tick": (
        "code",
        "date",
        "time",
        "open",
        "avg_price",
        "close",
        "high",
        "low",
        "amount",
        "amount_sum",
        "volume",
        "vol_sum",
        "tick_type",
        "diff_type",
        "diff_price",
        "diff_rate",
        "trade_bid_vol_sum",
        "trade_ask_vol_sum",
        "trade_bid_cnt",
        "trade_ask_cnt",
        "closing_oddlot_shares",
        "closing_oddlot_close",
        "closing_oddlot_amount",
        "closing_oddlot_bid_price",
        "closing_oddlot_ask_price",
        "fixed_trade_volume",
        "fixed_trade_amount",
        "suspend",
        "simtrade",
    ),
    "tick_odd": (
        "code",
        "date",
        "time",
        "close",
        "tick_type",
        "diff_price",
        "diff_rate",
        "diff_type",
        "volume",
        "vol_sum",
        "amount",
        "amount_sum",
        "avg_price",
        "open",
        "high",
        "low",
        "trade_bid_vol_sum",
        "trade_ask_vol_sum",
        "trade_bid_cnt",
        "trade_ask_cnt",
        "suspend",
        "simtrade",
    ),
    "tick_fop": (
        "code",
        "date",
        "time",
        "open",
        "target_kind_price",
        "trade_bid_vol_sum",
        "trade_ask_vol_sum",
        "avg_price",
        "close",
        "high",
        "low",
        "amount",
        "amount_sum",
        "volume",
        "vol_sum",
        "tick_type",
        "diff_type",
        "diff_price",
        "diff_rate",
        "simtrade",
    ),
    "ladder": (
        "code",
        "date",
        "time",
        "bid_price",
        "bid_volume",
        "diff_bid_vol",
        "ask_price",
        "ask_volume",
        "diff_ask_vol",
        "suspend",
        "simtrade",
    ),
    "ladder_odd": (
        "code",
        "date",
        "time",
        "bid_price",
        "ask_price",
        "bid_volume",
        "ask_volume",
        "diff_bid_vol",
        "diff_ask_vol",
        "suspend",
        "simtrade",
    ),
    "ladder_fop": (
        "code",
        "date",
        "time",
        "bid_vol_sum",
        "ask_vol_sum",
        "bid_price",
        "bid_volume",
        "diff_bid_vol",
        "ask_price",
        "ask_volume",
        "diff_ask_vol",
        "first_derived_bid_price",
        "first_derived_ask_price",
        "first_derived_bid_volume",
        "first_derived_ask_volume",
        "target_kind_price",
        "simtrade",
    ),
}


def factories() -> dict[str, Callable[..., Any]]:
    """The decoder of each kind, as a subscriber calls it."""
    from taloma.backend.solace.ladder import LadderFOPv1, LadderSTKv1
    from taloma.backend.solace.quote import QuoteSTKv1
    from taloma.backend.solace.tick import TickFOPv1, TickSTKv1

    return {
        "quote": QuoteSTKv1.from_content,
        "tick": TickSTKv1.from_content,
        "tick_odd": TickSTKv1.from_content_odd,
        "tick_fop": TickFOPv1.from_content,
        "ladder": LadderSTKv1.from_content,
        "ladder_odd": LadderSTKv1.from_content_odd,
        "ladder_fop": LadderFOPv1.from_content,
    }


def decode_all(factory: Callable[..., Any], messages: list[dict[str, Any]]) -> Iterator[Any]:
    for fields in messages:
        yield factory(**fields)


def run(ctx: Any) -> None:
    from taloma.backend.solace.quote import contract2topic, v2contract2topic
    from taloma.constant import Exchange, QuoteType, QuoteVersion
    from taloma.contracts import Future, Index, Option, Stock

    decoders = factories()
    with ctx.step("market data: decode a generated trading day"):
        for kind in KINDS:
            messages = stream(kind, 3000)
            for last in decode_all(decoders[kind], messages):  # noqa: B007 - kept; this first pass fills the price cache
                pass
            gc.collect()  # the collection the stream's own objects are due, not part of decoding
            start = time.perf_counter()
            for _ in decode_all(decoders[kind], messages):
                pass
            elapsed = time.perf_counter() - start
            ctx.say(
                f"   {kind:<11} {len(messages)} messages, {elapsed / len(messages) * 1e6:.2f} us each, "
                f"{len(messages) / elapsed / 1e6:.2f} M msg/s"
            )
            ctx.data[f"market.{kind}"] = last
        for kind in ("quote", "tick_fop", "ladder"):
            text = repr(ctx.data[f"market.{kind}"])
            ctx.say(f"   {text[:150]}{'...' if len(text) > 150 else ''}")
        raw = ctx.data["market.ladder"].to_dict(raw=True)
        ctx.say(f"   raw ladder: bid {raw['bid_price']} ask {raw['ask_price']} at {raw['datetime']}")

    with ctx.step("market data: bus topics"):
        contracts = [
            Stock(exchange=Exchange.TSE, code="2330"),
            Stock(exchange=Exchange.OTC, code="6488"),
            Future(exchange=Exchange.TAIFEX, code="TXFC4"),
            Option(exchange=Exchange.TAIFEX, code="TXO18200C4"),
            Index(exchange=Exchange.TSE, code="001"),
        ]
        schemes = (
            ("v0", lambda c, t, odd: contract2topic(c, t, odd)),
            ("v1", lambda c, t, odd: contract2topic(c, t, odd, QuoteVersion.v1)),
            ("v2", v2contract2topic),
        )
        for c in contracts:
            ctx.say(f"   {type(c).__name__} {c.code} ({c.exchange})")
            for odd in (False, True) if isinstance(c, Stock) else (False,):
                for name, topic in schemes:
                    shown = []
                    for quote_type in (QuoteType.Tick, QuoteType.Ladder, QuoteType.Quote):
                        try:
                            shown.append(f"{quote_type}={topic(c, quote_type, odd)}")
                        except Exception:  # the scheme does not carry this kind of data
                            shown.append(f"{quote_type}=-")
                    ctx.say(f"     {name}{' odd lot' if odd else '        '}  " + "  ".join(shown))
