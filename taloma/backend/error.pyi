from typing import Any

__all__ = ("ServerError",)

class ServerError(Exception):
    """Raise when server responses with an error."""

    code: Any
    message: Any
    def __init__(self, code: Any, message: Any) -> None: ...
    def __reduce__(self) -> tuple[type[ServerError], tuple[Any, Any]]: ...
