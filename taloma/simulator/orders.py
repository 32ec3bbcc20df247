"""Futures and options orders of the simulated broker.

The broker keeps every order it accepted, numbered with "seqno" (six digits)
and "ordno" (five characters), and applies cancels and amendments to it.
Without a market orders rest: nothing is ever filled. With one (option
``matcher``, see :mod:`taloma.simulator.fills`) they fill against it; the
status codes of the query ("st_code") are listed there. A quantity change
reduces the order by the given quantity (the exchange accepts reductions
only), a cancel cancels what is left.

An order or a price change is refused by the exchange's rules
(:mod:`taloma.rules`): a code neither listed in the catalogue nor traded by
the market, a quantity that is not a positive integer, a limit price that is
not finite, off its tick ladder or outside the day's limits (the market's
reference; without a market only the ladder applies). A market whose thread
failed refuses every order with "market stopped: ...".

Read from the broker's state:

- ``verifier`` (option ``ca_verifier``): every order request must then carry a "ca_content" signed
  for it; see :mod:`taloma.simulator.signatures`.
- ``clock``: a callable returning the local ``datetime`` of "now" (default
  ``datetime.now``), for orders placed on another day.
"""

from __future__ import annotations

import datetime as dt
from collections.abc import Callable
from decimal import Decimal
from typing import Any

from taloma.rules import Ladder, ladder_of, price_problem, quantity_problem
from taloma.simulator import signatures
from taloma.simulator.catalogue import catalogue_of
from taloma.simulator.orderbook import OrderRecord
from taloma.simulator.prices import Listing
from taloma.simulator.routes import Refused, Request, ok, route
from taloma.simulator.state import BrokerState, User

_PRODUCT_TYPES = ("F", "O")
_ACTIONS = ("B", "S")
_PRICE_TYPES = ("LMT", "MKT", "MKP")
_ORDER_TYPES = ("ROD", "IOC", "FOK")
_OC_TYPES = (" ", "0", "1", "6")


# The record's name before it had a module of its own.
_Order = OrderRecord


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _futures_account(user: User, broker_id: Any, account: Any) -> bool:
    return any(
        a.get("accttype") == "F" and a.get("broker_id") == broker_id and a.get("account") == account
        for a in user.accounts
    )


def _authorise(state: BrokerState, request: Request, id_key: str) -> tuple[User, dict[str, Any]]:
    """The user and body of an order request; :class:`Refused` if the request may not go ahead."""
    body = request.body
    if not isinstance(body, dict):
        raise Refused("request body must be a JSON object")
    user = state.user_of(body.get("token"))
    if user is None:
        raise Refused("invalid or expired token")
    if body.get(id_key) != user.person_id:
        raise Refused(f"{id_key} does not belong to the token")
    verifier = state.verifier
    if verifier is not None:
        # Outside every lock: verifying a signature may take its time.
        seen = state.feature("signatures", signatures.SeenTexts)
        problem = signatures.check(verifier, request.path, user.person_id, body, seen)
        if problem is not None:
            raise Refused(problem)
    if id_key == "ID" and not _futures_account(user, body.get("broker_id"), body.get("account")):
        raise Refused("unknown futures account")
    return user, body


OrderHandler = Callable[[BrokerState, User, dict[str, Any]], dict[str, Any]]


def _order_route(path: str, id_key: str = "ID") -> Callable[[OrderHandler], Callable[..., Any]]:
    """Registers an order endpoint whose handler runs only for an authorised user, with the body."""

    def register(handler: OrderHandler) -> Callable[..., Any]:
        def authorised(state: BrokerState, request: Request) -> dict[str, Any]:
            user, body = _authorise(state, request, id_key)
            return handler(state, user, body)

        # Named as the handler, but called as a route is: (state, request).
        authorised.__name__, authorised.__qualname__ = handler.__name__, handler.__qualname__
        authorised.__doc__ = handler.__doc__
        return route("POST", path)(authorised)

    return register


def _refuse(problem: str | None) -> None:
    if problem is not None:
        raise Refused(problem)


def _placement_problem(body: dict[str, Any]) -> str | None:
    checks = (
        ("fut_futopt", _PRODUCT_TYPES),
        ("ord_bs", _ACTIONS),
        ("price_type", _PRICE_TYPES),
        ("ord_type", _ORDER_TYPES),
        ("octype", _OC_TYPES),
        ("mttype", (" ",)),
        ("composit", ("00",)),
        ("web_id", ("Z",)),
    )
    for key, allowed in checks:
        if body.get(key) not in allowed:
            return f"{key} must be one of {', '.join(repr(a) for a in allowed)}, not {body.get(key)!r}"
    stock_id = body.get("stock_id")
    if not isinstance(stock_id, str) or not stock_id.strip():
        return "stock_id must name a contract"
    callput = ("C", "P") if body["fut_futopt"] == "O" else (" ",)
    if body.get("fut_callput") not in callput:
        return f"fut_callput must be one of {', '.join(repr(c) for c in callput)}, not {body.get('fut_callput')!r}"
    problem = quantity_problem(body.get("quantity"))
    if problem is not None:
        return problem
    price = body.get("price")
    # A market order carries no price (0); a limit's ladder and limits are its contract's, checked later.
    if not (body["price_type"] != "LMT" and _is_int(price) and price == 0):
        problem = price_problem(price, None)
        if problem is not None:
            return problem
    if not isinstance(body.get("ca_content"), str):
        return "ca_content must be a text"
    return None


def _contract_rules(state: BrokerState, code: str) -> tuple[Ladder, tuple[Decimal, Decimal] | None]:
    """The tick ladder and the day's limits of a future or option the exchange lists or trades;
    :class:`Refused` says why it refuses orders for ``code``."""
    market = state.market
    if market is not None:
        if market.failure is not None:
            raise Refused(f"market stopped: {type(market.failure).__name__}: {market.failure}")
        if code not in market:
            # Looked up before it joins: a refused code must not trade from then on.
            found = market.listing.find(code, market.clock.start.date())
            if found is None:
                raise Refused(f"no contract {code!r} is listed or traded")
            if found[0] == "stock":
                raise Refused(f"{code} is a stock, not a future or an option")
        instrument = market.add(code)
        if instrument.kind == "stock":
            raise Refused(f"{code} is a stock, not a future or an option")
        return instrument.ladder, instrument.limits
    # Without a market no reference price is known: the ladder alone applies.
    listing = state.feature("listing", lambda: Listing(catalogue_of(state)))
    found = listing.find(code, state.now().date())
    if found is None:
        raise Refused(f"no contract {code!r} is listed or traded")
    if found[0] == "stock":
        raise Refused(f"{code} is a stock, not a future or an option")
    return ladder_of(found[1]), None


def _order_of(state: BrokerState, user: User, body: dict[str, Any]) -> OrderRecord:
    """The user's order named by an amendment (caller holds the order book's lock)."""
    order = state.orders.find(user, body)
    if order is None or body.get("fut_futopt") != order.futopt:
        raise Refused("order not found")
    return order


@_order_route("Future/order")
def place(state: BrokerState, user: User, body: dict[str, Any]) -> dict[str, Any]:
    _refuse(_placement_problem(body))
    rules = _contract_rules(state, body["stock_id"])
    if body["price_type"] == "LMT":
        _refuse(price_problem(body["price"], *rules))
    order = state.orders.add(
        person_id=user.person_id,
        broker_id=body["broker_id"],
        account=body["account"],
        stock_id=body["stock_id"],
        futopt=body["fut_futopt"],
        callput=body["fut_callput"],
        action=body["ord_bs"],
        price=body["price"],
        price_type=body["price_type"],
        quantity=body["quantity"],
        order_type=body["ord_type"],
        octype=body["octype"],
        placed=state.now().replace(microsecond=0),
    )
    matcher = state.matcher
    if matcher is not None:
        with matcher.lock:
            matcher.arrive(order)
            return ok(order.reply())
    return ok(order.reply())


@_order_route("Future/cancel")
def cancel(state: BrokerState, user: User, body: dict[str, Any]) -> dict[str, Any]:
    book = state.orders
    with book.lock:
        order = book.find(user, body)
        if order is None:
            raise Refused("order not found")
        if order.remaining <= 0:
            raise Refused("order has no quantity left to cancel")
        order.cancel_qty += order.remaining
        order.msg = "order cancelled"
        return ok(order.reply())


@_order_route("Future/updatePrice")
def update_price(state: BrokerState, user: User, body: dict[str, Any]) -> dict[str, Any]:
    price: Any = body.get("price")  # a number once the checks pass
    _refuse(price_problem(price, None))
    with state.orders.lock:
        order = _order_of(state, user, body)
        if order.remaining <= 0:
            raise Refused("order has no quantity left to amend")
        _refuse(price_problem(price, *_contract_rules(state, order.stock_id)))
        order.chg_price = price
        order.msg = "price changed"
        matcher = state.matcher
        if matcher is not None:
            matcher.reprice(order)
        return ok(order.reply())


@_order_route("Future/updateQty")
def update_qty(state: BrokerState, user: User, body: dict[str, Any]) -> dict[str, Any]:
    quantity = body.get("quantity")
    if not isinstance(quantity, int) or isinstance(quantity, bool) or quantity <= 0:
        raise Refused(f"quantity must be a positive integer, not {quantity!r}")
    with state.orders.lock:
        order = _order_of(state, user, body)
        if quantity > order.remaining:
            raise Refused(f"cannot reduce by {quantity}: {order.remaining} left")
        order.cancel_qty += quantity
        order.msg = "quantity reduced"
        return ok(order.reply())


def _date(value: Any) -> str | None:
    if not isinstance(value, str) or len(value) != 8 or not value.isdigit():
        return None
    try:
        dt.datetime.strptime(value, "%Y%m%d")
    except ValueError:
        return None
    return value


@_order_route("Future/FOrderStatusQuery", id_key="user_id")
def query(state: BrokerState, user: User, body: dict[str, Any]) -> dict[str, Any]:
    start, end = _date(body.get("start_date")), _date(body.get("end_date"))
    if start is None or end is None:
        raise Refused("start_date and end_date must be dates as YYYYMMDD")
    action = body.get("action")
    if action == "account":
        if not _futures_account(user, body.get("broker_id"), body.get("account")):
            raise Refused("unknown futures account")
        account = (body["broker_id"], body["account"])

        def wanted(o: OrderRecord) -> bool:
            return (o.broker_id, o.account) == account
    elif action == "userid":

        def wanted(o: OrderRecord) -> bool:
            return True
    else:
        raise Refused(f"action must be 'account' or 'userid', not {action!r}")
    book = state.orders
    with book.lock:
        entries = [
            o.entry()
            for o in book.orders.values()
            if o.person_id == user.person_id and wanted(o) and start <= o.placed.strftime("%Y%m%d") <= end
        ]
    return ok(entries)
