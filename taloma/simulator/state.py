"""The simulated broker's users, accounts and sessions."""

from __future__ import annotations

import hashlib
import secrets
import threading
from dataclasses import dataclass, field
from typing import Any, Callable, TypeVar

T = TypeVar("T")


@dataclass
class User:
    person_id: str
    password: str
    username: str
    accounts: list[dict[str, str]]

    @property
    def hashed(self) -> str:
        return hashlib.md5(self.password.encode("utf-8")).hexdigest()


def default_accounts(person_id: str, username: str, index: int = 0) -> list[dict[str, str]]:
    """One stock account, one futures account and one of a type the client must drop."""
    return [
        {"accttype": "S", "idno": person_id, "broker_id": "9A95", "account": f"{1234567 + index:07d}", "username": username},
        {"accttype": "F", "idno": person_id, "broker_id": "F002000", "account": f"{7654321 + index:07d}", "username": username},
        {"accttype": "H", "idno": person_id, "broker_id": "H000000", "account": f"{1111111 + index:07d}", "username": username},
    ]


def make_users(spec: list[tuple[str, str]] | None) -> dict[str, User]:
    pairs = spec or [("A123456789", "taloma-demo")]
    users: dict[str, User] = {}
    for index, (person_id, password) in enumerate(pairs):
        username = f"Trader {index + 1}"
        users[person_id] = User(person_id, password, username, default_accounts(person_id, username, index))
    return users


@dataclass
class BrokerState:
    users: dict[str, User]
    api_ver: str
    tokens: dict[str, str] = field(default_factory=dict)
    lock: threading.RLock = field(default_factory=threading.RLock)
    options: dict[str, Any] = field(default_factory=dict)
    _features: dict[str, Any] = field(default_factory=dict)

    def issue_token(self, person_id: str) -> str:
        token = secrets.token_hex(16)
        with self.lock:
            self.tokens[token] = person_id
        return token

    def expire_tokens(self) -> None:
        with self.lock:
            self.tokens.clear()

    def user_of(self, token: Any) -> User | None:
        """The user a token belongs to, or none for a missing or unknown token."""
        if not isinstance(token, str):
            return None
        with self.lock:
            person_id = self.tokens.get(token)
        return self.users.get(person_id) if person_id is not None else None

    def feature(self, name: str, factory: Callable[[], T]) -> T:
        """Per-feature state, created on first use."""
        with self.lock:
            if name not in self._features:
                self._features[name] = factory()
            feature: T = self._features[name]
            return feature
