"""The simulated broker's state: users and sessions, settings, and the parts that are running.

Each part of the broker is a typed attribute of :class:`BrokerState`: ``settings`` (what its
caller asked for), ``market`` and ``matcher`` (with a market), ``verifier`` (order signatures
are checked) and ``clock`` (another day's "now"). ``state.options`` is the same state as a
string-keyed mapping, under the keywords :class:`~taloma.simulator.server.BrokerSimulator` takes.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import secrets
import threading
from collections.abc import Callable, Iterator, Mapping, MutableMapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypeVar

from taloma.simulator.orderbook import OrderBook
from taloma.simulator.users import User, default_accounts, make_users

if TYPE_CHECKING:
    from taloma.simulator.fills import Matcher
    from taloma.simulator.market import Market

T = TypeVar("T")

Clock = Callable[[], dt.datetime]


@dataclass
class Settings:
    """What the broker's caller asked for, beyond its parts."""

    latency: float = 0.0  # seconds added to every reply
    failure_rate: float = 0.0  # share of replies that fail
    delay_share: float = 0.0  # share of replies delayed ``delay`` seconds more
    delay: float = 0.0
    seed: int | None = None
    trusted_ca: Any = None  # CA certificate file(s) order signatures are verified against
    catalogue_stocks: int | None = None


_SETTINGS = frozenset(f.name for f in dataclasses.fields(Settings))
# Option keywords of the broker's parts, and the attribute each is kept in.
_PARTS = {"market": "market", "matcher": "matcher", "ca_verifier": "verifier", "clock": "clock"}


class BrokerState:
    """Everything one simulated broker knows; the order handlers and queries share it."""

    def __init__(
        self,
        users: dict[str, User],
        api_ver: str,
        tokens: dict[str, str] | None = None,
        lock: threading.RLock | None = None,
        options: Mapping[str, Any] | None = None,
    ) -> None:
        self.users = users
        self.api_ver = api_ver
        self.tokens: dict[str, str] = {} if tokens is None else tokens
        self.lock = threading.RLock() if lock is None else lock
        self.settings = Settings()
        self.market: Market | None = None
        self.matcher: Matcher | None = None
        self.verifier: Callable[..., Any] | None = None
        self.clock: Clock | None = None
        self.orders = OrderBook()
        self._features: dict[str, Any] = {"orders": self.orders}
        self._extra: dict[str, Any] = {}
        if options:
            self.options.update(options)

    @property
    def options(self) -> MutableMapping[str, Any]:
        """The settings and parts by their option keywords; a part that is not there is absent."""
        return _Options(self)

    def now(self) -> dt.datetime:
        """The local time of "now": the clock's, else the machine's."""
        return (self.clock or dt.datetime.now)()

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


class _Options(MutableMapping[str, Any]):
    """A broker state's attributes under their option keywords; None reads as absent."""

    def __init__(self, state: BrokerState) -> None:
        self._state = state

    def _home(self, key: str) -> tuple[Any, str] | None:
        if key in _PARTS:
            return self._state, _PARTS[key]
        if key in _SETTINGS:
            return self._state.settings, key
        return None

    def __getitem__(self, key: str) -> Any:
        home = self._home(key)
        value = self._state._extra.get(key) if home is None else getattr(*home)
        if value is None:
            raise KeyError(key)
        return value

    def __setitem__(self, key: str, value: Any) -> None:
        home = self._home(key)
        if home is None:
            self._state._extra[key] = value
        else:
            setattr(*home, value)

    def __delitem__(self, key: str) -> None:
        if key not in self:
            raise KeyError(key)
        home = self._home(key)
        if home is None:
            del self._state._extra[key]
        else:
            owner, name = home
            default = getattr(Settings, name, None) if owner is self._state.settings else None
            setattr(owner, name, default)

    def _keys(self) -> list[str]:
        return [*_PARTS, *sorted(_SETTINGS), *self._state._extra]

    def __iter__(self) -> Iterator[str]:
        return iter([key for key in self._keys() if key in self])

    def __len__(self) -> int:
        return sum(1 for _ in self)

    def __contains__(self, key: object) -> bool:
        if not isinstance(key, str):
            return False
        try:
            self[key]
        except KeyError:
            return False
        return True


__all__ = ["BrokerState", "Clock", "Settings", "User", "default_accounts", "make_users"]
