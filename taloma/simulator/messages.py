"""The market-data messages of the simulated market: what its subscribers' decoders read.

A trade gives a tick (and, for a stock's regular lots, a quote); a book change gives a ladder
(and a quote). Their content fields are those of the package's decoders, and each goes to the
topics that ``contract2topic`` names, each "*" level filled with :data:`TOPIC_FILL`.
"""

from __future__ import annotations

import datetime as dt
from collections.abc import Iterable
from decimal import Decimal
from typing import Any

from taloma.backend.solace.quote import contract2topic
from taloma.constant import QuoteType, QuoteVersion
from taloma.rules import STOCK_LOT
from taloma.simulator.books import BookState, ContractState, Instrument, Message, Snapshot, Trade

TOPIC_FILL = "0"
"""The concrete level that the market publishes in place of each "*" of a topic."""


def topics_of(
    instrument: Instrument, versions: Iterable[QuoteVersion]
) -> dict[tuple[QuoteType, bool], tuple[str, ...]]:
    """The topics of each (quote type, odd lots) message of a contract, under each topic scheme."""
    versions = tuple(versions)
    topics: dict[tuple[QuoteType, bool], tuple[str, ...]] = {}
    kinds = [(QuoteType.Tick, False), (QuoteType.Ladder, False)]
    if instrument.kind == "stock":
        kinds += [(QuoteType.Tick, True), (QuoteType.Ladder, True), (QuoteType.Quote, False)]
    for quote_type, is_odd in kinds:
        names = []
        for version in versions:
            if quote_type == QuoteType.Quote and version != QuoteVersion.v1:
                continue
            names.append(contract2topic(instrument.contract, quote_type, is_odd, version).replace("*", TOPIC_FILL))
        topics[(quote_type, is_odd)] = tuple(names)
    return topics


def tick_messages(state: ContractState, trade: Trade, snapshot: Snapshot) -> tuple[Message, ...]:
    """The messages of a trade, ``snapshot`` being the contract right after it."""
    book = state.book_of(trade.odd)
    now = snapshot.time
    messages = [
        _message(state, QuoteType.Tick, trade.odd, _tick_content(state, book, trade, now, snapshot.underlying_price))
    ]
    if state.instrument.kind == "stock" and not trade.odd:
        messages.append(
            _message(state, QuoteType.Quote, False, _quote_content(state, book, trade, now, book.diffs(False)))
        )
    return tuple(messages)


def book_messages(state: ContractState, odd: bool, snapshot: Snapshot) -> tuple[Message, ...]:
    """The messages of a book change; the book counts as published from then on."""
    book = state.book_of(odd)
    now = snapshot.time
    diffs = book.diffs(True)
    messages = [
        _message(state, QuoteType.Ladder, odd, _book_content(state, book, now, diffs, snapshot.underlying_price))
    ]
    if state.instrument.kind == "stock" and not odd:
        messages.append(_message(state, QuoteType.Quote, False, _quote_content(state, book, None, now, diffs)))
    return tuple(messages)


def _message(state: ContractState, quote_type: QuoteType, odd: bool, content: dict[str, Any]) -> Message:
    return Message(quote_type, odd, state.topics[(quote_type, odd)], content)


def _stamp(now: dt.datetime) -> tuple[str, str]:
    return now.strftime("%Y/%m/%d"), now.strftime("%H:%M:%S.%f")


def _change(instrument: Instrument, price: Decimal) -> tuple[int, Decimal, Decimal]:
    """(change type, change, change in percent) against the reference price."""
    diff = price - instrument.reference
    if price >= instrument.limit_up:
        kind = 1
    elif price <= instrument.limit_down and instrument.kind != "option":
        kind = 5
    else:
        kind = 2 if diff > 0 else 4 if diff < 0 else 3
    pct = (diff * 100 / instrument.reference).quantize(Decimal("0.01")) if instrument.reference else Decimal(0)
    return kind, diff, pct


def _trade_fields(state: ContractState, book: BookState, trade: Trade | None) -> dict[str, Any]:
    """The fields shared by ticks and quotes: the day's totals and the last trade."""
    instrument, s, ladder = state.instrument, book.session, state.instrument.ladder
    last = s.last if s.last is not None else instrument.reference
    kind, diff, pct = _change(instrument, last)
    shares = STOCK_LOT if instrument.kind == "stock" and not (trade and trade.odd) and book is state.book else 1
    average = (s.amount / (s.volume * shares)).quantize(Decimal("0.01")) if s.volume else last
    volume = trade.volume if trade else 0
    return {
        "open": ladder.text(s.open if s.open is not None else last),
        "avg_price": str(average),
        "close": ladder.text(last),
        "high": ladder.text(s.high if s.high is not None else last),
        "low": ladder.text(s.low if s.low is not None else last),
        "amount": str(last * volume * shares),
        "amount_sum": str(s.amount),
        "volume": volume,
        "vol_sum": s.volume,
        "tick_type": (1 if trade.aggressor == "B" else 2) if trade else 0,
        "diff_type": kind,
        "diff_price": ladder.text(diff),
        "diff_rate": pct,
        "trade_bid_vol_sum": book.bid_volume,
        "trade_ask_vol_sum": book.ask_volume,
        "trade_bid_cnt": book.bid_trades,
        "trade_ask_cnt": book.ask_trades,
    }


def _tick_content(
    state: ContractState, book: BookState, trade: Trade, now: dt.datetime, underlying: Decimal | None
) -> dict[str, Any]:
    date, clock = _stamp(now)
    fields = _trade_fields(state, book, trade)
    pct: Decimal = fields["diff_rate"]
    instrument = state.instrument
    head = {"code": instrument.code, "date": date, "time": clock}
    if instrument.kind != "stock":
        return {
            **head,
            "open": fields["open"],
            "target_kind_price": str(underlying or 0),
            "trade_bid_vol_sum": fields["trade_bid_vol_sum"],
            "trade_ask_vol_sum": fields["trade_ask_vol_sum"],
            "avg_price": fields["avg_price"],
            "close": fields["close"],
            "high": fields["high"],
            "low": fields["low"],
            "amount": fields["amount"],
            "amount_sum": fields["amount_sum"],
            "volume": fields["volume"],
            "vol_sum": fields["vol_sum"],
            "tick_type": fields["tick_type"],
            "diff_type": fields["diff_type"],
            "diff_price": fields["diff_price"],
            "diff_rate": str(pct),
            "simtrade": 0,
        }
    if trade.odd:
        return {**head, **fields, "diff_rate": str(pct), "suspend": 0, "simtrade": 0}
    return {
        **head,
        **fields,
        "diff_rate": int(pct * 100),
        "closing_oddlot_shares": 0,
        "closing_oddlot_close": "",
        "closing_oddlot_amount": "0",
        "closing_oddlot_bid_price": "",
        "closing_oddlot_ask_price": "",
        "fixed_trade_volume": 0,
        "fixed_trade_amount": "0",
        "suspend": 0,
        "simtrade": 0,
    }


def _levels(state: ContractState, book: BookState) -> dict[str, Any]:
    text = state.instrument.ladder.text
    return {
        "bid_price": [text(p) for p, _ in book.bids.levels],
        "bid_volume": [v for _, v in book.bids.levels],
        "ask_price": [text(p) for p, _ in book.asks.levels],
        "ask_volume": [v for _, v in book.asks.levels],
    }


def _book_content(
    state: ContractState,
    book: BookState,
    now: dt.datetime,
    diffs: tuple[list[int], list[int]],
    underlying: Decimal | None,
) -> dict[str, Any]:
    date, clock = _stamp(now)
    levels = _levels(state, book)
    content = {
        "code": state.instrument.code,
        "date": date,
        "time": clock,
        **levels,
        "diff_bid_vol": diffs[0],
        "diff_ask_vol": diffs[1],
    }
    if state.instrument.kind == "stock":
        return {**content, "suspend": 0, "simtrade": 0}
    return {
        **content,
        "bid_vol_sum": sum(levels["bid_volume"]),
        "ask_vol_sum": sum(levels["ask_volume"]),
        "first_derived_bid_price": "0",
        "first_derived_ask_price": "0",
        "first_derived_bid_volume": 0,
        "first_derived_ask_volume": 0,
        "target_kind_price": str(underlying or 0),
        "simtrade": 0,
    }


def _quote_content(
    state: ContractState, book: BookState, trade: Trade | None, now: dt.datetime, diffs: tuple[list[int], list[int]]
) -> dict[str, Any]:
    date, clock = _stamp(now)
    fields = _trade_fields(state, book, trade)
    return {
        "code": state.instrument.code,
        "date": date,
        "time": clock,
        **fields,
        "diff_rate": int(fields["diff_rate"] * 100),
        "closing_oddlot_shares": 0,
        "closing_oddlot_close": "",
        "closing_oddlot_amount": "0",
        "closing_oddlot_bid_price": "",
        "closing_oddlot_ask_price": "",
        "fixed_trade_volume": 0,
        "fixed_trade_amount": "0",
        **_levels(state, book),
        "diff_bid_vol": diffs[0],
        "diff_ask_vol": diffs[1],
        "avail_borrowing": 0,
        "suspend": 0,
        "simtrade": 0,
    }


__all__ = ["TOPIC_FILL", "book_messages", "tick_messages", "topics_of"]
