"""Order arguments: enumerations by text, and prices taken and sent exactly."""

from __future__ import annotations

import json
from decimal import Decimal

import pytest

from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType
from taloma.session_orders import choice, price_of, sendable


@pytest.mark.parametrize(
    "kind, given, member",
    [
        (Action, "buy", Action.Buy),
        (Action, " SELL ", Action.Sell),
        (Action, Action.Sell, Action.Sell),
        (FuturesPriceType, "mkp", FuturesPriceType.MKP),
        (OrderType, "Ioc", OrderType.IOC),
        (FuturesOCType, "daytrade", FuturesOCType.DayTrade),
    ],
)
def test_enumerations_by_member_or_text_in_any_case(kind, given, member):
    assert choice("arg", given, kind) is member


@pytest.mark.parametrize(
    "given, error", [("hold", ValueError), ("", ValueError), (1, TypeError), (OrderType.ROD, ValueError)]
)
def test_other_choices_are_refused_listing_the_valid_ones(given, error):
    with pytest.raises(error, match=r"^action must be one of 'Buy', 'Sell', not "):
        choice("action", given, Action)


@pytest.mark.parametrize(
    "given, exact, wire",
    [
        (0.3, "0.3", "0.3"),
        (Decimal("0.3"), "0.3", "0.3"),
        (" 0.30 ", "0.30", "0.3"),
        (17.55, "17.55", "17.55"),
        (18000, "18000", "18000"),
        ("18000.00", "18000.00", "18000"),
        (Decimal("1.8E+4"), "18000", "18000"),
        (123456.789, "123456.789", "123456.789"),
    ],
)
def test_prices_are_taken_by_their_text_and_sent_exactly(given, exact, wire):
    price = price_of(given)
    assert price == Decimal(exact)
    assert json.dumps(sendable(price)) == wire  # as the request's JSON encoder writes it


@pytest.mark.parametrize(
    "given, error",
    [
        (True, TypeError),
        (None, TypeError),
        ([1], TypeError),
        ("1,000", ValueError),
        ("abc", ValueError),
        (float("inf"), ValueError),
        (float("nan"), ValueError),
        (Decimal("NaN"), ValueError),
    ],
)
def test_what_is_no_price_is_refused(given, error):
    with pytest.raises(error, match="price"):
        price_of(given)


def test_a_price_no_float_carries_exactly_is_refused():
    with pytest.raises(ValueError, match="exactly"):
        sendable(Decimal("0.10000000000000000001"))
