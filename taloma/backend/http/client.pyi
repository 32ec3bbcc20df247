import hashlib as hashlib
import logging
from collections.abc import Mapping
from typing import Any

import requests as requests

from taloma.account import Account as Account
from taloma.account import AccountType as AccountType
from taloma.account import FutureAccount as FutureAccount
from taloma.account import StockAccount as StockAccount
from taloma.backend.http.utils import checked_timeout as checked_timeout
from taloma.backend.http.utils import exchange as exchange
from taloma.backend.http.utils import masked as masked

log: logging.Logger

class ReplyTypeError(TypeError, AttributeError):
    """A service reply holds a non-text value where text is required."""

_Timeout = float | tuple[float | None, float | None] | None

class Client:
    """Client(simulation, proxies, *, timeout=None, catalogue_timeout=None, catalogue_deadline=None): one
    connection to the broker's production or simulation service."""

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
    timeout: _Timeout
    catalogue_timeout: _Timeout
    catalogue_deadline: float | None
    _public_ip: str | None
    person_id: str
    hashpasswd: str
    def __init__(
        self,
        simulation: object,
        proxies: Mapping[str, str] | None,
        *,
        timeout: _Timeout = None,
        catalogue_timeout: _Timeout = None,
        catalogue_deadline: float | None = None,
    ) -> None: ...
    def get_public_ip(self) -> str: ...
    def login(self, person_id: str, passwd: str) -> tuple[list[StockAccount], list[FutureAccount]]: ...

def _login(
    session: requests.Session, uri: str, person_id: str, passwd: str, *, timeout: _Timeout = None
) -> dict[str, Any]: ...
