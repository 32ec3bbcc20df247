"""Account rows as the service sends them (texts) become typed results."""

from __future__ import annotations

import datetime as dt
from decimal import Decimal

import pytest

from taloma.constant import Action
from taloma.session_accounts import Position, Settlement, margin_of, position_of, rows_of, settlement_of


@pytest.mark.parametrize("side, action", [("B", Action.Buy), ("S", Action.Sell)])
def test_position_row(side, action):
    row = {
        "code": "TXO23000L6",
        "action": side,
        "quantity": "3",
        "avg_price": "312.50",
        "last_price": "0.10",
        "unreal_pl": "-46860",
        "currency": "NTD",
    }
    assert position_of(row) == Position("TXO23000L6", action, 3, Decimal("312.50"), Decimal("0.10"), Decimal(-46860))


def test_margin_and_settlement_rows():
    margin = margin_of(
        {
            "equity": "1549577",
            "available_margin": "1400000",
            "initial_margin": "149577",
            "maintenance_margin": "115174",
            "fee": "50",
            "tax": "7",
            "unreal_pl": "-200",
        }
    )
    assert (margin.equity, margin.initial_margin, margin.unrealised_pnl) == (
        Decimal(1549577),
        Decimal(149577),
        Decimal(-200),
    )
    row = {"date": "20261208", "code": "TXFL6", "quantity": "2", "settle_pl": "-4000", "fee": "100", "tax": "14"}
    assert settlement_of(row) == Settlement(dt.date(2026, 12, 8), "TXFL6", 2, Decimal(-4000), Decimal(100), Decimal(14))


@pytest.mark.parametrize(
    "row",
    [
        {"action": "X", "quantity": "1"},
        {"action": "B", "quantity": "1.5"},
        {"action": "B", "quantity": "1", "avg_price": "n/a"},
    ],
)
def test_rows_the_service_should_not_send_are_refused(row):
    with pytest.raises(ValueError, match="the service's"):
        position_of(row)


@pytest.mark.parametrize(
    "data, count", [([], 0), ([{}], 0), ({"code": "TXFL6"}, 1), ([{"code": "A"}, {"code": "B"}], 2)]
)
def test_rows_of_a_list_a_bare_row_or_the_empty_refusal(data, count):
    assert len(rows_of(data)) == count
