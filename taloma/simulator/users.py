"""The simulated broker's users and their accounts."""

from __future__ import annotations

import hashlib
from dataclasses import dataclass


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
        {
            "accttype": "S",
            "idno": person_id,
            "broker_id": "9A95",
            "account": f"{1234567 + index:07d}",
            "username": username,
        },
        {
            "accttype": "F",
            "idno": person_id,
            "broker_id": "F002000",
            "account": f"{7654321 + index:07d}",
            "username": username,
        },
        {
            "accttype": "H",
            "idno": person_id,
            "broker_id": "H000000",
            "account": f"{1111111 + index:07d}",
            "username": username,
        },
    ]


def make_users(spec: list[tuple[str, str]] | None) -> dict[str, User]:
    pairs = spec or [("A123456789", "taloma-demo")]
    users: dict[str, User] = {}
    for index, (person_id, password) in enumerate(pairs):
        username = f"Trader {index + 1}"
        users[person_id] = User(person_id, password, username, default_accounts(person_id, username, index))
    return users


__all__ = ["User", "default_accounts", "make_users"]
