"""The simulated broker's users, accounts and sessions."""

from __future__ import annotations

import secrets
import threading
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, TypeVar

from taloma.simulator.users import User, default_accounts, make_users

T = TypeVar("T")


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


__all__ = ["BrokerState", "User", "default_accounts", "make_users"]
