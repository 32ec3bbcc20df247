import hashlib as hashlib
import logging
from collections.abc import Mapping
from typing import Any

import requests as requests

from taloma.account import Account as Account
from taloma.account import AccountType as AccountType
from taloma.account import FutureAccount as FutureAccount
from taloma.account import StockAccount as StockAccount

log: logging.Logger

class ReplyTypeError(TypeError, AttributeError):
    """A service reply holds a non-text value where text is required."""

class Client:
    """Client(simulation, proxies): one connection to the broker's production or simulation service."""

    session: requests.Session
    _token: str
    api_url: str
    api_ver: str
    api_uri: str
    accounts: list[Account]
    default_stock_account: StockAccount | None
    default_futopt_account: FutureAccount | None
    activated_ca: dict[Any, Any]
    public_ip_uri: str
    login_uri: str
    index_list_code_uri: str
    s_list_code_uri: str
    s_order_uri: str
    s_order_chqty_uri: str
    s_order_cancel_uri: str
    s_query_order_uri: str
    s_query_funds_profitloss_uri: str
    s_query_unreal_profitloss_uri: str
    s_query_real_profitloss_uri: str
    f_order_uri: str
    f_order_cancel_uri: str
    f_order_chqty_uri: str
    f_order_chprice_uri: str
    f_query_order_uri: str
    f_list_code_uri: str
    f_query_margin_uri: str
    f_query_open_position_uri: str
    f_query_settle_pl_uri: str
    _public_ip: str | None
    person_id: str
    hashpasswd: str
    def __init__(self, simulation: object, proxies: Mapping[str, str] | None) -> None: ...
    def get_public_ip(self) -> str: ...
    def login(self, person_id: str, passwd: str) -> tuple[list[StockAccount], list[FutureAccount]]: ...

def _login(session: requests.Session, uri: str, person_id: str, passwd: str) -> dict[str, Any]: ...
