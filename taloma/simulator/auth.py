"""Public IP lookup and login."""

from __future__ import annotations

from typing import Any

from taloma.simulator.routes import Request, fail, ok, route
from taloma.simulator.state import BrokerState


@route("GET", "getClientIP")
def client_ip(state: BrokerState, request: Request) -> dict[str, Any]:
    return ok({"client_ip": request.client_ip})


@route("POST", "getToken")
def login(state: BrokerState, request: Request) -> dict[str, Any]:
    body = request.body if isinstance(request.body, dict) else {}
    user_id = body.get("user_id")
    user = state.users.get(user_id) if isinstance(user_id, str) else None
    if user is None or body.get("password") != user.hashed:
        return fail("Login failed: wrong user id or password")
    if body.get("domain") != "python-api":
        return fail("Login failed: unknown domain")
    token = state.issue_token(user.person_id)
    return ok({"token": token, "accounts": [dict(a) for a in user.accounts]})
