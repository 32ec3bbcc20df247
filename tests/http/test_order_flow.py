"""One order's whole road through the native client and the simulated broker."""

from __future__ import annotations

import datetime as dt
import logging

import pytest

import taloma.backend.http.futureoption.order as fo
from taloma.account import FutureAccount
from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType
from taloma.contracts import Future, Option
from taloma.order import Order, Status, Trade

pytest.importorskip("taloma.backend.http.client", reason="the native Client is not built")

TXF = Future(code="TXFB4", exchange="TAIFEX")
TXO = Option(code="TXO18000B4", exchange="TAIFEX", option_right="P")


def new_order(client, **fields):
    base = dict(
        action=Action.Buy,
        price_type=FuturesPriceType.LMT,
        order_type=OrderType.ROD,
        price=17000,
        quantity=3,
        octype=FuturesOCType.Auto,
        account=client.default_futopt_account,
    )
    return Order(**(base | fields))


def placed_trade(client, place, contract, **fields):
    order = new_order(client, **fields)
    order, status, ok = fo.futopt_resp2order_status(place(contract, order, "CA", client), order)
    assert ok is True and status.status is Status.PendingSubmit
    assert order.seqno and order.ordno
    assert status.id == fo.hash_orderid(contract.code, order.seqno)
    assert abs(status.order_datetime - dt.datetime.now()) < dt.timedelta(minutes=5)
    return Trade(contract=contract, order=order, status=status)


def refreshed(client, trade):
    entries = fo.query_futopt_order(client)
    assert trade.status.id in entries
    return fo.resp2trade(entries[trade.status.id], trade)


def test_place_query_amend_and_cancel(client):
    future = placed_trade(client, fo.place_future_order, TXF)
    option = placed_trade(
        client, fo.place_option_order, TXO, action=Action.Sell, price=56, quantity=2, octype=FuturesOCType.New
    )

    entries = fo.query_futopt_order(client)
    built = fo.resp2trade(entries[option.status.id], None)
    assert type(built.contract) is Option and built.contract.code == TXO.code
    assert (built.order.action, built.order.order_type, built.order.price_type) == (
        Action.Sell,
        OrderType.ROD,
        FuturesPriceType.LMT,
    )
    assert (built.order.price, built.order.quantity, built.order.seqno) == (56, 2, option.order.seqno)
    assert built.status.order_datetime == option.status.order_datetime
    assert (built.status.msg, built.status.deal_quantity, built.status.cancel_quantity) == ("order accepted", 0, 0)

    assert fo.update_futopt_order_price(future, "CA", client, 17010)["success"] == "True"
    assert refreshed(client, future).status.modified_price == 17010
    assert fo.update_futopt_order_qty(future, "CA", client, 1)["success"] == "True"
    assert refreshed(client, future).status.cancel_quantity == 1

    for trade, quantity in ((future, 3), (option, 2)):
        assert fo.cancel_futopt_order(trade, "CA", client)["success"] == "True"
        again = refreshed(client, trade)
        assert again is trade and again.status.cancel_quantity == quantity
        assert again.status.msg == "order cancelled"

    # Nothing is left to cancel: the service says so and the trade keeps its state.
    reply = fo.cancel_futopt_order(future, "CA", client)
    assert reply["success"] == "False" and reply["msg"]


def test_futopt_placement_of_either_kind(client):
    for contract in (TXF, TXO):
        trade = placed_trade(client, fo.place_futopt_order, contract)
        assert refreshed(client, trade).order.ordno == trade.order.ordno
        fo.cancel_futopt_order(trade, "CA", client)


@pytest.mark.parametrize("fields", [dict(quantity=0), dict(price=0), dict(price=-1, price_type=FuturesPriceType.MKT)])
def test_a_refused_placement_is_failed(client, fields):
    order = new_order(client, **fields)
    order, status, ok = fo.futopt_resp2order_status(fo.place_future_order(TXF, order, "CA", client), order)
    assert ok is False and status.status is Status.Failed
    assert (order.seqno, order.ordno, status.order_datetime) == ("", "", None)


def test_a_failed_account_query_is_logged_and_skipped(client, caplog):
    placed = placed_trade(client, fo.place_future_order, TXF)
    client.accounts = [
        *client.accounts,
        FutureAccount(person_id=client.person_id, broker_id="F000000", account_id="0000000"),
    ]
    with caplog.at_level(logging.ERROR, logger="taloma"):
        entries = fo.query_futopt_order(client)
    assert placed.status.id in entries
    errors = [r.msg for r in caplog.records if r.levelno == logging.ERROR]
    assert len(errors) == 1 and errors[0]["success"] == "False"
