"""Checking and converting the arguments of an order before anything is sent.

Every problem is raised as ``ValueError`` (a value out of range or not a valid choice) or
``TypeError`` (a value of the wrong kind), naming the argument; the exchange's own limits
come from :mod:`taloma.rules`, so the reasons read as the broker's would.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from decimal import Decimal, InvalidOperation
from enum import Enum
from typing import Any, TypeVar

from taloma import rules
from taloma.account import Account, FutureAccount
from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType
from taloma.contracts import Contract, Future, Option

__all__ = [
    "PriceInput",
    "choice",
    "contract_kind",
    "futures_account",
    "limit_price",
    "lots",
    "price_of",
    "sendable",
]

E = TypeVar("E", bound=Enum)

# What a caller may give as a price.
PriceInput = Decimal | int | float | str

# Order kinds that carry no price: they take what the book offers.
MARKET_TYPES = frozenset({FuturesPriceType.MKT, FuturesPriceType.MKP})


# Each enumeration's members by their value and name, folded: built once per enumeration.
_NAMES: dict[type[Enum], dict[str, Enum]] = {}


def _names(kind: type[E]) -> dict[str, Enum]:
    table = _NAMES.get(kind)
    if table is None:
        table = {}
        for member in kind:
            table[member.name.casefold()] = member
            table[str(member.value).casefold()] = member
        _NAMES[kind] = table
    return table


def choice(name: str, value: object, kind: type[E]) -> E:
    """The member of ``kind`` that ``value`` is or names (its value or name, any case)."""
    if type(value) is kind:
        return value
    if isinstance(value, str) and not isinstance(value, Enum):
        found = _names(kind).get(value.strip().casefold())
        if found is not None:
            return found  # type: ignore[return-value]  # the table holds kind's members
    valid = ", ".join(repr(str(m.value)) for m in kind)
    error = ValueError if isinstance(value, str) else TypeError
    raise error(f"{name} must be one of {valid}, not {value!r}")


def _reason(name: str, problem: str) -> str:
    return problem if problem.startswith(name) else f"{name}: {problem}"


def lots(value: object, name: str = "quantity") -> int:
    """A number of lots: a positive int the exchange accepts (bool is not a number of lots)."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__} {value!r}")
    problem = rules.quantity_problem(int(value))
    if problem is not None:
        raise ValueError(_reason(name, problem))
    return int(value)


def price_of(value: object, name: str = "price") -> Decimal:
    """The exact decimal a caller means: a float by its shortest text (``0.3`` is 0.3)."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be a Decimal, int, float or decimal text, not bool {value!r}")
    if isinstance(value, Decimal):
        number = value
    elif isinstance(value, int):
        number = Decimal(value)
    elif isinstance(value, float):
        number = Decimal(repr(value)) if math.isfinite(value) else Decimal("NaN")
    elif isinstance(value, str):
        try:
            number = Decimal(value.strip())
        except InvalidOperation:
            raise ValueError(f"{name} must be a decimal number, not {value!r}") from None
    else:
        raise TypeError(f"{name} must be a Decimal, int, float or decimal text, not {type(value).__name__} {value!r}")
    if not number.is_finite():
        raise ValueError(f"{name} must be a finite number, not {value!r}")
    return number


def sendable(price: Decimal, name: str = "price") -> int | float:
    """The price as the request's JSON carries it, without changing its value.

    The encoder writes an int as its digits and a float by its shortest text, so an integral price
    goes as an int and any other as the float whose shortest text is the same decimal.
    """
    if price == price.to_integral_value():
        return int(price)
    number = float(price)
    if not math.isfinite(number) or Decimal(repr(number)) != price:
        raise ValueError(f"{name} {price} has more digits than the service can carry exactly")
    return number


# The ladder of each kind of contract: what ladder_of reads of a record, and the ladder it gave.
_LADDER_FIELDS = ("security_type", "stype", "underlying_kind", "prod_kind", "underlying_code", "ostock")
_ladders: dict[tuple[Any, ...], rules.Ladder] = {}


def ladder_of(contract: Contract) -> rules.Ladder:
    key = (type(contract), *(getattr(contract, field, None) for field in _LADDER_FIELDS))
    ladder = _ladders.get(key)
    if ladder is None:
        ladder = _ladders[key] = rules.ladder_of(contract)
    return ladder


def limit_price(contract: Contract, value: object, name: str = "price") -> Decimal:
    """A limit price on the contract's tick ladder; off the ladder, the error names the nearest valid
    prices."""
    price = price_of(value, name)
    problem = rules.price_problem(price, ladder_of(contract))
    if problem is not None:
        raise ValueError(_reason(name, problem))
    return price


def contract_kind(contract: object, name: str = "contract") -> Contract:
    """A futures or options contract record; stocks and indices are not traded here."""
    if isinstance(contract, (Future, Option)):
        return contract
    if isinstance(contract, Contract):
        raise TypeError(
            f"{name} {contract.code!r} is a {type(contract).__name__}: only futures and options orders can be placed"
        )
    raise TypeError(f"{name} must be a contract record or its code, not {type(contract).__name__} {contract!r}")


def futures_account(
    account: object, accounts: Sequence[Account], default: FutureAccount | None, name: str = "account"
) -> FutureAccount:
    """The futures account of the login that a request is for: the one given, or the default one."""
    if account is None:
        if default is None:
            raise ValueError(f"{name}: the login gave no futures account; pass one")
        return default
    if not isinstance(account, FutureAccount):
        kind = type(account).__name__ if isinstance(account, Account) else f"{type(account).__name__} {account!r}"
        raise TypeError(f"{name} must be a FutureAccount, not {kind}")
    if account not in accounts:
        raise ValueError(f"{name} {account.broker_id}-{account.account_id} is not an account of this login")
    return account


def order_types(
    price_type: object, order_type: object, octype: object
) -> tuple[FuturesPriceType, OrderType, FuturesOCType]:
    return (
        choice("price_type", price_type, FuturesPriceType),
        choice("order_type", order_type, OrderType),
        choice("octype", octype, FuturesOCType),
    )


def action_of(action: object) -> Action:
    return choice("action", action, Action)
