"""Account records."""

from __future__ import annotations

from enum import Enum
from typing import Any

__all__ = ["Account", "AccountType", "FutureAccount", "StockAccount"]


class AccountType(str, Enum):
    Stock = "S"
    Future = "F"

    def __str__(self) -> str:
        return self.value

    def __format__(self, spec: str) -> str:
        return format(self.value, spec)


class Account:
    """One brokerage account of the logged-in user."""

    __slots__ = ("account_type", "person_id", "broker_id", "account_id", "username")
    account_type: AccountType | str
    person_id: str
    broker_id: str
    account_id: str
    username: str
    _default_type: AccountType | str = ""

    def __init__(
        self,
        account_type: AccountType | str | None = None,
        person_id: str = "",
        broker_id: str = "",
        account_id: str = "",
        username: str = "",
    ) -> None:
        if account_type is None:
            account_type = self._default_type
        try:
            account_type = AccountType(account_type)
        except ValueError:
            pass
        self.account_type = account_type
        self.person_id = person_id
        self.broker_id = broker_id
        self.account_id = account_id
        self.username = username

    def astype(self) -> Account:
        kind = _KINDS.get(self.account_type)
        if kind is None or type(self) is kind:
            return self
        return kind(**self.dict())

    def dict(self) -> dict[str, Any]:
        return {name: getattr(self, name) for name in Account.__slots__}

    def get(self, key: str, default: Any = None) -> Any:
        if key in Account.__slots__:
            return getattr(self, key)
        return default

    def __getitem__(self, key: str, /) -> Any:
        if key not in Account.__slots__:
            raise KeyError(key)
        return getattr(self, key)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Account):
            return NotImplemented
        return self.dict() == other.dict()

    def __hash__(self) -> int:
        return hash(tuple(self.dict().values()))

    def __repr__(self) -> str:
        items = self.dict()
        if type(self) is not Account:
            del items["account_type"]  # the class name says it
        fields = ", ".join(f"{k}={str(v)!r}" if k == "account_type" else f"{k}={v!r}" for k, v in items.items())
        return f"{type(self).__name__}({fields})"

    __str__ = __repr__


class StockAccount(Account):
    __slots__ = ()
    _default_type = AccountType.Stock


class FutureAccount(Account):
    __slots__ = ()
    _default_type = AccountType.Future


_KINDS: dict[Any, type[Account]] = {AccountType.Stock: StockAccount, AccountType.Future: FutureAccount}
