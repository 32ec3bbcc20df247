"""Account queries of futures and options accounts: margin, open positions, settled profit and loss.

Each function posts one query for the given account to the client's query address and returns
the service's decoded reply; judging it is the caller's business.
"""

from __future__ import annotations

from typing import Any

from taloma.backend.http.utils import post_account_query as _post

__all__ = ["_query_margin", "_query_open_position", "_query_settle_profitloss"]


def _query_margin(currency: str, margin_type: str, account: Any, client: Any) -> Any:
    return _post(client, client.f_query_margin_uri, account, {"currency": currency, "margin_type": margin_type})


def _query_open_position(product_type: str, query_type: str, account: Any, client: Any) -> Any:
    return _post(
        client, client.f_query_open_position_uri, account, {"product_type": product_type, "query_type": query_type}
    )


def _query_settle_profitloss(
    product_type: str, summary: str, start_date: str, end_date: str, currency: str, account: Any, client: Any
) -> Any:
    return _post(
        client,
        client.f_query_settle_pl_uri,
        account,
        {
            "product_type": product_type,
            "summary": summary,
            "start_date": start_date,
            "end_date": end_date,
            "currency": currency,
        },
    )
