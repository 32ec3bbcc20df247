import logging
from collections.abc import Iterable, Mapping
from typing import Any

from taloma.backend.http.client import Client
from taloma.backend.http.utils import exchange as exchange
from taloma.backend.http.utils import masked as masked

log: logging.Logger

# A contract field record: "symbol", "security_type", "currency", "exchange", "code", "name", then per kind
# "category", "delivery_month", "strike_price", "option_right", "underlying_kind", "underlying_code",
# "unit" (float) and "multiplier" (0).
_Record = dict[str, Any]

def fetch_available_product(client: Client, product_type: str) -> dict[Any, list[_Record]]:
    """Download the contracts of one product type ("S", "F", "O" or "I") as grouped records."""

def _list_stock_code(client: Client) -> Any: ...
def _list_futopt_code(product_type: str, detail: bool, client: Client) -> Any: ...
def _list_tw_index_code(client: Client) -> Any: ...
def stock_dict_convert(contracts: Iterable[Mapping[str, Any]]) -> dict[Any, list[_Record]]:
    """Stock entries grouped by exchange."""

def future_dict_convert(contracts: Mapping[Any, Iterable[Mapping[str, Any]]]) -> dict[Any, list[_Record]]:
    """Futures entries of each service group."""

def option_dict_convert(contracts: Mapping[Any, Iterable[Mapping[str, Any]]]) -> dict[Any, list[_Record]]:
    """Option entries of each service group."""

def tw_index_dict_convert(index_dict: Mapping[str, Any]) -> dict[str, list[_Record]]:
    """Index codes and names grouped by exchange, "TSE" then "OTC"."""
