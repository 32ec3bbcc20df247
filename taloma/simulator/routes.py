"""Registry of the simulated broker's endpoints.

Each feature module registers its handlers with ``@route(method, path)``; a
handler takes ``(state, request)`` and returns the reply object (it is sent
as JSON), or raises :class:`Refused` to turn the request down with a failure
reply. Paths are relative to "/api/{api_ver}/".
"""

from __future__ import annotations

import functools
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


class Refused(Exception):
    """A request turned down: its route replies ``fail(msg, result)``."""

    def __init__(self, msg: str, result: Any = None) -> None:
        super().__init__(msg)
        self.msg = msg
        self.result = result


def route(method: str, path: str) -> Callable[[Handler], Handler]:
    def register(handler: Handler) -> Handler:
        key = (method.upper(), path)
        known = _ROUTES.get(key)
        if known is not None and getattr(known, "__wrapped__", known) is not handler:
            raise RuntimeError(f"duplicate simulator route {method} {path}")

        @functools.wraps(handler)
        def answer(state: Any, request: Request) -> Any:
            try:
                return handler(state, request)
            except Refused as refusal:
                return fail(refusal.msg, refusal.result)

        _ROUTES[key] = answer
        return answer

    return register


def lookup(method: str, path: str) -> Handler | None:
    return _ROUTES.get((method.upper(), path))


def registered() -> list[tuple[str, str]]:
    return sorted(_ROUTES)


def ok(result: Any) -> dict[str, Any]:
    return {"success": "True", "result": result}


def fail(msg: str, result: Any = None) -> dict[str, Any]:
    return {"success": "False", "msg": msg, "result": {} if result is None else result}


__all__ = ["Handler", "Refused", "Request", "fail", "lookup", "ok", "registered", "route"]
