from collections.abc import Mapping
from typing import Any, TypeVar

from taloma.account import FutureAccount, StockAccount
from taloma.backend.http.client import Client
from taloma.backend.http.futureoption.account import _query_margin as _query_margin
from taloma.backend.http.futureoption.account import _query_open_position as _query_open_position
from taloma.backend.http.futureoption.account import _query_settle_profitloss as _query_settle_profitloss
from taloma.backend.http.stock.account import _query_funds_profitloss as _query_funds_profitloss
from taloma.backend.http.stock.account import _query_real_profitloss as _query_real_profitloss
from taloma.backend.http.stock.account import _query_unreal_profitloss as _query_unreal_profitloss

_T = TypeVar("_T")

def rm_dict_key(d: Mapping[Any, Any], *args: Any) -> dict[Any, Any]:
    """A copy of d without the given keys (KeyError for an absent one)."""

def assimilate_type(details: _T | Mapping[Any, Any]) -> _T | list[Mapping[Any, Any]]:
    """A mapping as a one-row list; anything else unchanged."""

class AccountFunds:
    """Funds and profit-and-loss summary of a stock account."""

    _tax: str
    _client: Client
    _account: StockAccount
    _status: bool
    _msg: str
    _data: list[dict[str, Any]] | dict[str, Any]
    def __init__(self, tax: str, account: StockAccount, client: Client) -> None: ...
    def update(self) -> None:
        """Run the query again and replace status, message and data."""
    def data(self) -> list[dict[str, Any]] | dict[str, Any]:
        """The data of the last query."""

class AccountMargin:
    """Margin of a futures account."""

    _currency: str
    _margin_type: str
    _account: FutureAccount
    _client: Client
    _status: bool
    _msg: str
    _data: dict[str, Any]
    def __init__(self, currency: str, margin_type: str, account: FutureAccount, client: Client) -> None: ...
    def update(self) -> None:
        """Run the query again and replace status, message and data."""
    def data(self) -> dict[str, Any]:
        """The data of the last query."""

class AccountOpenPosition:
    """Open positions of a futures account."""

    _product_type: str
    _query_type: str
    _account: FutureAccount
    _client: Client
    _status: bool
    _msg: str
    _accountid: str
    _data: list[dict[str, Any]]
    def __init__(self, product_type: str, query_type: str, account: FutureAccount, client: Client) -> None: ...
    def update(self) -> None:
        """Run the query again and replace status, message and data."""
    def data(self) -> list[dict[str, Any]]:
        """The data of the last query."""

class AccountSettleProfitLoss:
    """Settled profit and loss of a futures account."""

    _product_type: str
    _summary: str
    _start_date: str
    _end_date: str
    _currency: str
    _account: FutureAccount
    _client: Client
    _status: bool
    _msg: str
    _accountid: str
    _data: list[dict[str, Any]]
    def __init__(
        self,
        product_type: str,
        summary: str,
        start_date: str,
        end_date: str,
        currency: str,
        account: FutureAccount,
        client: Client,
    ) -> None: ...
    def update(self) -> None:
        """Run the query again and replace status, message and data."""
    def data(self) -> list[dict[str, Any]]:
        """The data of the last query."""

class AccountUnRealProfitLoss:
    """Unrealised profit and loss of a stock account: summary rows and their detail rows."""

    _stock_type: str
    _currency: str
    _action: str
    _account: StockAccount
    _client: Client
    _status: bool
    _msg: str
    _data: dict[str, list[dict[str, Any]]]
    def __init__(self, stock_type: str, currency: str, action: str, account: StockAccount, client: Client) -> None: ...
    def update(self) -> None:
        """Run the query again and replace status, message and data."""
    def data(self) -> dict[str, list[dict[str, Any]]]:
        """The data of the last query: {"summary": [...], "detail": [...]}."""

class AccountRealProfitLoss:
    """Realised profit and loss of a stock account: summary rows and their detail rows."""

    _stock_type: str
    _start_date: str
    _end_date: str
    _currency: str
    _action: str
    _account: StockAccount
    _client: Client
    _status: bool
    _msg: str
    _data: dict[str, list[dict[str, Any]]]
    def __init__(
        self,
        stock_type: str,
        start_date: str,
        end_date: str,
        currency: str,
        action: str,
        account: StockAccount,
        client: Client,
    ) -> None: ...
    def update(self) -> None:
        """Run the query again and replace status, message and data."""
    def data(self) -> dict[str, list[dict[str, Any]]]:
        """The data of the last query: {"summary": [...], "detail": [...]}."""
