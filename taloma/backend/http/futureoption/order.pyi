"""Futures and options orders: placement, cancel and amend, query and reply conversion."""

import datetime
import logging
from collections.abc import Mapping
from typing import Any

from taloma.account import Account
from taloma.account import FutureAccount as FutureAccount
from taloma.backend.http.client import Client
from taloma.backend.http.futureoption.constant import oprops
from taloma.backend.http.utils import decode_reply as decode_reply
from taloma.backend.http.utils import hash_orderid as hash_orderid
from taloma.backend.http.utils import masked as masked
from taloma.contracts import Contract as Contract
from taloma.contracts import Future as Future
from taloma.contracts import Option as Option
from taloma.order import Order as Order
from taloma.order import OrderStatus as OrderStatus
from taloma.order import Price
from taloma.order import Status as Status
from taloma.order import Trade as Trade

# An order record, or a mapping of its fields.
_OrderInput = Order | Mapping[str, Any]

dt = datetime
log: logging.Logger
foprops = oprops

def get_web_id() -> str: ...
def convert_order_props(order: object) -> dict[str, Any]: ...
def prepare_future_input(contract: Contract, order: _OrderInput, ca_content: str) -> dict[str, Any]: ...
def prepare_option_input(contract: Contract, order: _OrderInput, ca_content: str) -> dict[str, Any]: ...
def prepare_futopt_input(contract: Contract, order: _OrderInput, ca_content: str) -> dict[str, Any]: ...
def place_future_order(contract: Contract, order: _OrderInput, ca_content: str, client: Client) -> dict[str, Any]: ...
def place_option_order(contract: Contract, order: _OrderInput, ca_content: str, client: Client) -> dict[str, Any]: ...
def place_futopt_order(contract: Contract, order: _OrderInput, ca_content: str, client: Client) -> dict[str, Any]: ...
def _place_futopt_order(
    product_id: str,
    product_type: str,
    opt_type: str,
    price: Price,
    price_type: str,
    action: str,
    order_type: str,
    octype: str,
    quantity: int,
    account: Account,
    ca_content: str,
    client: Client,
    **kwargs: Any,
) -> dict[str, Any]: ...
def cancel_futopt_order(trade: Trade, ca_content: str, client: Client) -> dict[str, Any]: ...
def _cancel_futopt_order(
    product_id: str, ordno: str, seqno: str, ca_content: str, account: Account, client: Client, **kwargs: Any
) -> dict[str, Any]: ...
def update_futopt_order_price(trade: Trade, ca_content: str, client: Client, price: Price) -> dict[str, Any]: ...
def _update_futopt_order_price(
    product_id: str,
    product_type: str,
    price: Price,
    price_type: str,
    ord_type: str,
    ordno: str,
    seqno: str,
    ca_content: str,
    account: Account,
    client: Client,
    **kwargs: Any,
) -> dict[str, Any]: ...
def update_futopt_order_qty(trade: Trade, ca_content: str, client: Client, qty: int) -> dict[str, Any]: ...
def _update_futopt_order_qty(
    product_id: str,
    product_type: str,
    qty: int,
    ordno: str,
    seqno: str,
    ca_content: str,
    account: Account,
    client: Client,
    **kwargs: Any,
) -> dict[str, Any]: ...
def _query_futopt_order(
    action: str, account: Account, client: Client, start_date: str = "", end_date: str = ""
) -> dict[str, Any]: ...
def query_futopt_order(client: Client) -> dict[str, dict[str, Any]]: ...
def queryresp2contract(resp: Mapping[str, Any]) -> Contract: ...
def queryresp2order(resp: Mapping[str, Any]) -> Order: ...
def queryresp2orderstatus(resp: Mapping[str, Any]) -> OrderStatus: ...
def res2order(resp_result: Mapping[str, Any], order: Order) -> Order: ...
def res2orderstatus(resp_result: Mapping[str, Any], successed: object) -> OrderStatus: ...
def futopt_resp2order_status(resp: Mapping[str, Any], order: Order) -> tuple[Order, OrderStatus, bool]: ...
def resp2trade(resp: Mapping[str, Any], trade: Trade | None) -> Trade: ...
