"""Futures and options orders: placement, cancel and amend, query and reply conversion."""

import datetime
import logging
from typing import Any, Mapping

from taloma.account import FutureAccount as FutureAccount
from taloma.backend.http.futureoption.constant import oprops
from taloma.backend.http.utils import decode_reply as decode_reply
from taloma.backend.http.utils import hash_orderid as hash_orderid
from taloma.backend.http.utils import masked as masked
from taloma.contracts import Contract as Contract
from taloma.contracts import Future as Future
from taloma.contracts import Option as Option
from taloma.order import Order as Order
from taloma.order import OrderStatus as OrderStatus
from taloma.order import Status as Status
from taloma.order import Trade as Trade

dt = datetime
log: logging.Logger
foprops = oprops

def get_web_id() -> str: ...
def convert_order_props(order: Any) -> dict[str, Any]: ...
def prepare_future_input(contract: Any, order: Any, ca_content: Any) -> dict[str, Any]: ...
def prepare_option_input(contract: Any, order: Any, ca_content: Any) -> dict[str, Any]: ...
def prepare_futopt_input(contract: Any, order: Any, ca_content: Any) -> dict[str, Any]: ...
def place_future_order(contract: Any, order: Any, ca_content: Any, client: Any) -> dict[str, Any]: ...
def place_option_order(contract: Any, order: Any, ca_content: Any, client: Any) -> dict[str, Any]: ...
def place_futopt_order(contract: Any, order: Any, ca_content: Any, client: Any) -> dict[str, Any]: ...
def _place_futopt_order(
    product_id: Any,
    product_type: Any,
    opt_type: Any,
    price: Any,
    price_type: Any,
    action: Any,
    order_type: Any,
    octype: Any,
    quantity: Any,
    account: Any,
    ca_content: Any,
    client: Any,
    **kwargs: Any,
) -> dict[str, Any]: ...
def cancel_futopt_order(trade: Any, ca_content: Any, client: Any) -> dict[str, Any]: ...
def _cancel_futopt_order(
    product_id: Any, ordno: Any, seqno: Any, ca_content: Any, account: Any, client: Any, **kwargs: Any
) -> dict[str, Any]: ...
def update_futopt_order_price(trade: Any, ca_content: Any, client: Any, price: Any) -> dict[str, Any]: ...
def _update_futopt_order_price(
    product_id: Any,
    product_type: Any,
    price: Any,
    price_type: Any,
    ord_type: Any,
    ordno: Any,
    seqno: Any,
    ca_content: Any,
    account: Any,
    client: Any,
    **kwargs: Any,
) -> dict[str, Any]: ...
def update_futopt_order_qty(trade: Any, ca_content: Any, client: Any, qty: Any) -> dict[str, Any]: ...
def _update_futopt_order_qty(
    product_id: Any,
    product_type: Any,
    qty: Any,
    ordno: Any,
    seqno: Any,
    ca_content: Any,
    account: Any,
    client: Any,
    **kwargs: Any,
) -> dict[str, Any]: ...
def _query_futopt_order(
    action: str, account: Any, client: Any, start_date: str = "", end_date: str = ""
) -> dict[str, Any]: ...
def query_futopt_order(client: Any) -> dict[str, dict[str, Any]]: ...
def queryresp2contract(resp: Mapping[str, Any]) -> Contract: ...
def queryresp2order(resp: Mapping[str, Any]) -> Order: ...
def queryresp2orderstatus(resp: Mapping[str, Any]) -> OrderStatus: ...
def res2order(resp_result: Mapping[str, Any], order: Order) -> Order: ...
def res2orderstatus(resp_result: Mapping[str, Any], successed: object) -> OrderStatus: ...
def futopt_resp2order_status(resp: Mapping[str, Any], order: Order) -> tuple[Order, OrderStatus, bool]: ...
def resp2trade(resp: Mapping[str, Any], trade: Trade | None) -> Trade: ...
