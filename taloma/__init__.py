"""taloma: trading interface to a Taiwanese brokerage, with a native C++ core."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from taloma.errors import LoginError, NotLoggedIn, OrderError, QueryError, TalomaError

if TYPE_CHECKING:
    from taloma.session import Session
    from taloma.session_accounts import Margin, Position, Settlement

__version__ = "0.1.0"

__all__ = [
    "LoginError",
    "Margin",
    "NotLoggedIn",
    "OrderError",
    "Position",
    "QueryError",
    "Session",
    "Settlement",
    "TalomaError",
]

# The session pulls in the native modules and the HTTP stack: only when it is asked for.
_LAZY = {
    "Session": "taloma.session",
    "Margin": "taloma.session_accounts",
    "Position": "taloma.session_accounts",
    "Settlement": "taloma.session_accounts",
}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'taloma' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
