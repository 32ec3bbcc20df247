"""Order, order-status and trade records."""

from __future__ import annotations

import datetime as _dt
from collections.abc import Iterator
from enum import Enum
from typing import TYPE_CHECKING, Any

from taloma.constant import (
    Action,
    FuturesOCType,
    FuturesPriceType,
    OrderType,
    StockOrderType,
    StockPriceType,
)

if TYPE_CHECKING:
    from taloma.account import Account
    from taloma.contracts import Contract

__all__ = ["Order", "OrderStatus", "Status", "Trade"]


class Status(str, Enum):
    PendingSubmit = "PendingSubmit"
    PreSubmitted = "PreSubmitted"
    Submitted = "Submitted"
    Failed = "Failed"
    Cancelled = "Cancelled"
    Filled = "Filled"
    PartFilled = "PartFilled"

    def __str__(self) -> str:
        return self.value

    def __format__(self, spec: str) -> str:
        return format(self.value, spec)


# A price as the service's JSON carries it both ways. Not Decimal: the request's JSON encoder
# refuses it, so a Decimal price must be converted by the caller, who chooses the rounding.
Price = float | int
# The generic properties: the enumerations' members, or their texts as the service's replies give them.
ActionValue = Action | str
PriceTypeValue = FuturesPriceType | StockPriceType | str
OrderTypeValue = OrderType | StockOrderType | str
OCTypeValue = FuturesOCType | str

_ORDER_FIELDS = (
    "action",
    "price_type",
    "order_type",
    "price",
    "quantity",
    "octype",
    "account",
    "ordno",
    "seqno",
)


class Order:
    """A futures, options or stock order; every field is optional and writable.

    ``dict(order)`` gives the mapping of its fields.
    """

    __slots__ = _ORDER_FIELDS
    action: ActionValue | None
    price_type: PriceTypeValue | None
    order_type: OrderTypeValue | None
    price: Price
    quantity: int
    octype: OCTypeValue | None
    account: Account | None
    ordno: str
    seqno: str

    def __init__(
        self,
        action: ActionValue | None = None,
        price_type: PriceTypeValue | None = None,
        order_type: OrderTypeValue | None = None,
        price: Price = 0,
        quantity: int = 0,
        octype: OCTypeValue | None = None,
        account: Account | None = None,
        ordno: str = "",
        seqno: str = "",
    ) -> None:
        self.action = action
        self.price_type = price_type
        self.order_type = order_type
        self.price = price
        self.quantity = quantity
        self.octype = octype
        self.account = account
        self.ordno = ordno
        self.seqno = seqno

    def keys(self) -> tuple[str, ...]:
        return _ORDER_FIELDS

    def __getitem__(self, key: str, /) -> Any:
        if key not in _ORDER_FIELDS:
            raise KeyError(key)
        return getattr(self, key)

    def __iter__(self) -> Iterator[str]:
        return iter(_ORDER_FIELDS)

    def __len__(self) -> int:
        return len(_ORDER_FIELDS)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Order):
            return NotImplemented
        return dict(self) == dict(other)

    __hash__ = None  # type: ignore[assignment]  # mutable

    def __repr__(self) -> str:
        pairs = ((k, getattr(self, k)) for k in _ORDER_FIELDS)
        shown = ", ".join(f"{k}={_text(v)!r}" for k, v in pairs if v is not None and v != "")
        return f"Order({shown})"


class OrderStatus:
    """The service's view of one order; ``id`` and ``order_id`` name one field."""

    __slots__ = (
        "id",
        "order_datetime",
        "status",
        "status_code",
        "msg",
        "deal_quantity",
        "cancel_quantity",
        "modified_price",
    )
    id: str
    order_datetime: _dt.datetime | None
    status: Status
    status_code: str
    msg: str
    deal_quantity: int
    cancel_quantity: int
    modified_price: Price

    def __init__(
        self,
        id: str | None = None,
        order_datetime: _dt.datetime | None = None,
        status: Status = Status.PendingSubmit,
        status_code: str = "",
        msg: str = "",
        deal_quantity: int = 0,
        cancel_quantity: int = 0,
        modified_price: Price = 0,
        *,
        order_id: str | None = None,
    ) -> None:
        if id is not None and order_id is not None and id != order_id:
            raise TypeError("OrderStatus() got different values for 'id' and 'order_id'")
        self.id = id if id is not None else (order_id if order_id is not None else "")
        self.order_datetime = order_datetime
        self.status = status
        self.status_code = status_code
        self.msg = msg
        self.deal_quantity = deal_quantity
        self.cancel_quantity = cancel_quantity
        self.modified_price = modified_price

    @property
    def order_id(self) -> str:
        return self.id

    @order_id.setter
    def order_id(self, value: str) -> None:
        self.id = value

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, OrderStatus):
            return NotImplemented
        return all(getattr(self, k) == getattr(other, k) for k in OrderStatus.__slots__)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        shown = ", ".join(f"{k}={_text(getattr(self, k))!r}" for k in OrderStatus.__slots__)
        return f"OrderStatus({shown})"


class Trade:
    """A contract, its order and the order's latest status."""

    __slots__ = ("contract", "order", "status")
    contract: Contract
    order: Order
    status: OrderStatus

    def __init__(self, contract: Contract, order: Order, status: OrderStatus) -> None:
        self.contract = contract
        self.order = order
        self.status = status

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Trade):
            return NotImplemented
        return (self.contract, self.order, self.status) == (other.contract, other.order, other.status)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"Trade(contract={self.contract!r}, order={self.order!r}, status={self.status!r})"


def _text(value: Any) -> Any:
    return str(value) if isinstance(value, Enum) else value
