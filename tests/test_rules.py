"""The exchange's rules: ladders, daily limits and the refusal reasons the simulator and the session share."""

from __future__ import annotations

from decimal import Decimal

import pytest

from taloma.contracts import Future, Index, Option, Stock
from taloma.rules import (
    INDEX_FUTURE_LADDER,
    INDEX_OPTION_LADDER,
    STOCK_LADDER,
    STOCK_OPTION_LADDER,
    ladder_of,
    price_limits,
    price_problem,
    quantity_problem,
)

D = Decimal


@pytest.mark.parametrize(
    "ladder, price, below, above",
    [
        (STOCK_LADDER, "9.995", "9.99", "10.00"),
        (STOCK_LADDER, "10.03", "10.00", "10.05"),  # a band's bound belongs to the band above
        (STOCK_LADDER, "49.97", "49.95", "50.00"),
        (STOCK_LADDER, "1002", "1000.00", "1005.00"),
        (STOCK_LADDER, "25.05", "25.05", "25.05"),  # on the grid: itself both ways
        (INDEX_FUTURE_LADDER, "18000.5", "18000", "18001"),
        (INDEX_OPTION_LADDER, "9.95", "9.9", "10.0"),
        (INDEX_OPTION_LADDER, "1003", "1000.0", "1010.0"),
        (STOCK_OPTION_LADDER, "4.999", "4.99", "5.00"),
        (STOCK_OPTION_LADDER, "151.5", "151.00", "152.00"),
    ],
)
def test_nearest_gives_the_valid_prices_either_side(ladder, price, below, above) -> None:
    assert tuple(map(str, ladder.nearest(D(price)))) == (below, above)


@pytest.mark.parametrize(
    "kind, reference, ladder, limits",
    [
        ("stock", "100", STOCK_LADDER, ("90.0", "110.0")),
        ("stock", "9.5", STOCK_LADDER, ("8.55", "10.45")),
        ("stock", "10.05", STOCK_LADDER, ("9.05", "11.05")),  # 9.045 up, 11.055 down to the grid
        ("future", "17500", INDEX_FUTURE_LADDER, ("15750", "19250")),
        ("future", "17501", INDEX_FUTURE_LADDER, ("15751", "19251")),
        ("option", "100", INDEX_OPTION_LADDER, ("0.1", "400")),
        ("option", "3.33", STOCK_OPTION_LADDER, ("0.01", "109.50")),  # 109.99 down a 0.5 tick
    ],
)
def test_limits_are_on_the_ladder_within_the_days_band(kind, reference, ladder, limits) -> None:
    low, high = price_limits(kind, D(reference), ladder)
    assert (low, high) == tuple(map(D, limits)) and ladder.on_grid(low) and ladder.on_grid(high)


def test_an_unknown_kind_has_no_limits() -> None:
    with pytest.raises(ValueError, match="index"):
        price_limits("index", D(100), STOCK_LADDER)


@pytest.mark.parametrize(
    "contract, ladder",
    [
        (Stock(code="2330"), STOCK_LADDER),
        (Future(code="TXFA4", underlying_kind="I"), INDEX_FUTURE_LADDER),
        (Future(code="TXFA4", underlying_code="#001"), INDEX_FUTURE_LADDER),
        (Future(code="CDFA4", underlying_code="2330"), STOCK_LADDER),
        (Option(code="TXO17000A4", underlying_code="#001"), INDEX_OPTION_LADDER),
        (Option(code="CDO00050000A4", underlying_kind="S", underlying_code="2330"), STOCK_OPTION_LADDER),
        ({"security_type": "FUT", "underlying_code": "#001"}, INDEX_FUTURE_LADDER),
        ({"stype": "O", "prod_kind": "S", "ostock": "2330"}, STOCK_OPTION_LADDER),  # a catalogue entry
        ({"stype": "F", "prod_kind": "I", "ostock": "#013"}, INDEX_FUTURE_LADDER),
    ],
)
def test_ladder_of_reads_the_type_and_the_underlying(contract, ladder) -> None:
    assert ladder_of(contract) is ladder


@pytest.mark.parametrize(
    "contract, error",
    [
        (Index(code="001"), ValueError),
        ({}, ValueError),
        ({"security_type": "BOND"}, ValueError),
        ("TXFA4", TypeError),
        (None, TypeError),
    ],
)
def test_ladder_of_refuses_what_has_no_ladder(contract, error) -> None:
    with pytest.raises(error):
        ladder_of(contract)


LIMITS = (D(15800), D(19300))


@pytest.mark.parametrize(
    "price, reason",
    [
        (float("inf"), "price must be a finite number, not inf"),
        (float("nan"), "price must be a finite number, not nan"),
        (D("-Infinity"), "price must be a finite number, not -Infinity"),
        (True, "price must be a finite number, not True"),
        ("18000", "price must be a finite number, not '18000'"),
        (None, "price must be a finite number, not None"),
        (0, "price must be positive, not 0"),
        (-18000, "price must be positive, not -18000"),
        (
            18000.5,
            ("price 18000.5 is not on the tick ladder of index future (tick 1): nearest valid prices 18000 and 18001"),
        ),
        (20000, "price 20000 is outside today's limits 15800 to 19300"),
        (15799, "price 15799 is outside today's limits 15800 to 19300"),
        (15800, None),
        (19300.0, None),
        (D("18000"), None),
    ],
)
def test_each_price_problem_has_its_reason(price, reason) -> None:
    assert price_problem(price, INDEX_FUTURE_LADDER, LIMITS) == reason


def test_a_float_price_is_taken_by_its_shortest_text() -> None:
    # 0.1 + 0.2 is 0.30000000000000004: off a 0.01 grid, which a binary rounding would hide.
    assert price_problem(10.05, STOCK_LADDER) is None and "not on the tick ladder" in price_problem(
        0.1 + 0.2, STOCK_LADDER
    )


@pytest.mark.parametrize(
    "quantity, reason",
    [
        (1, None),
        (500, None),
        (0, "quantity must be a positive integer, not 0"),
        (-2, "quantity must be a positive integer, not -2"),
        (True, "quantity must be a positive integer, not True"),
        (2.0, "quantity must be a positive integer, not 2.0"),
        ("2", "quantity must be a positive integer, not '2'"),
    ],
)
def test_quantity_must_be_a_positive_integer(quantity, reason) -> None:
    assert quantity_problem(quantity) == reason
