"""Registry of the simulated broker's endpoints.

Each feature module registers its handlers with ``@route(method, path)``; a
handler takes ``(state, request)`` and returns the reply object (it is sent
as JSON). Paths are relative to "/api/{api_ver}/".
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

Handler = Callable[["Any", "Request"], Any]

_ROUTES: dict[tuple[str, str], Handler] = {}


@dataclass
class Request:
    method: str
    path: str
    query: dict[str, str]
    body: Any
    client_ip: str
    headers: dict[str, str] = field(default_factory=dict)


def route(method: str, path: str) -> Callable[[Handler], Handler]:
    def register(handler: Handler) -> Handler:
        key = (method.upper(), path)
        if key in _ROUTES and _ROUTES[key] is not handler:
            raise RuntimeError(f"duplicate simulator route {method} {path}")
        _ROUTES[key] = handler
        return handler

    return register


def lookup(method: str, path: str) -> Handler | None:
    return _ROUTES.get((method.upper(), path))


def registered() -> list[tuple[str, str]]:
    return sorted(_ROUTES)


def ok(result: Any) -> dict[str, Any]:
    return {"success": "True", "result": result}


def fail(msg: str, result: Any = None) -> dict[str, Any]:
    return {"success": "False", "msg": msg, "result": {} if result is None else result}
