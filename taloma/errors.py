"""The exceptions the session front end raises."""

from __future__ import annotations

__all__ = ["LoginError", "NotLoggedIn", "OrderError", "QueryError", "TalomaError"]


class TalomaError(Exception):
    """Base of every error the package raises for a refusal or a misuse."""


class LoginError(TalomaError):
    """The service refused the login or could not be reached."""


class NotLoggedIn(TalomaError):
    """A call that needs a login came before one."""


class _Refusal(TalomaError):
    """A service refusal; ``msg`` is the service's own reason."""

    def __init__(self, message: str, msg: str = "") -> None:
        super().__init__(message)
        self.msg = msg


class OrderError(_Refusal):
    """The service refused a cancel or an amendment."""


class QueryError(_Refusal):
    """The service refused an account query."""
