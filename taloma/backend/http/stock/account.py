"""Account queries of stock accounts: funds and profit-and-loss summary, unrealised and realised profit and loss.

Each function posts one query for the given account to the client's query address and returns
the service's decoded reply. ``stock_code`` narrows a profit-and-loss query to one stock; the
account records always pass "" (every stock).
"""

from __future__ import annotations

from typing import Any

from taloma.backend.http.utils import post_account_query as _post

__all__ = ["_query_funds_profitloss", "_query_real_profitloss", "_query_unreal_profitloss"]


def _query_funds_profitloss(account: Any, client: Any, tax: str) -> Any:
    return _post(client, client.s_query_funds_profitloss_uri, account, {"tax": tax})


def _query_unreal_profitloss(
    account: Any, client: Any, stock_code: str, stock_type: str, currency: str, action: str
) -> Any:
    return _post(
        client,
        client.s_query_unreal_profitloss_uri,
        account,
        {"stock_code": stock_code, "stock_type": stock_type, "currency": currency, "action": action},
    )


def _query_real_profitloss(
    account: Any,
    client: Any,
    stock_code: str,
    stock_type: str,
    start_date: str,
    end_date: str,
    currency: str,
    action: str,
) -> Any:
    return _post(
        client,
        client.s_query_real_profitloss_uri,
        account,
        {
            "stock_code": stock_code,
            "stock_type": stock_type,
            "start_date": start_date,
            "end_date": end_date,
            "currency": currency,
            "action": action,
        },
    )
