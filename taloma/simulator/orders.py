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
from taloma.simulator.orderbook import OrderBook, OrderRecord
from taloma.simulator.routes import Request, fail, ok, route
from taloma.simulator.state import BrokerState, User

_PRODUCT_TYPES = ("F", "O")
_ACTIONS = ("B", "S")
_PRICE_TYPES = ("LMT", "MKT", "MKP")
_ORDER_TYPES = ("ROD", "IOC", "FOK")
_OC_TYPES = (" ", "0", "1", "6")


# The record's name before it had a module of its own.
_Order = OrderRecord


def _book(state: BrokerState) -> OrderBook:
    return state.feature("orders", OrderBook)


def _now(state: BrokerState) -> dt.datetime:
    return state.now()


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _futures_account(user: User, broker_id: Any, account: Any) -> bool:
    return any(
        a.get("accttype") == "F" and a.get("broker_id") == broker_id and a.get("account") == account
        for a in user.accounts
    )


def _authorise(state: BrokerState, request: Request, id_key: str) -> tuple[User | None, dict[str, Any], Any]:
    """(user, body, failure reply or None) of an order request."""
    body = request.body
    if not isinstance(body, dict):
        return None, {}, fail("request body must be a JSON object")
    user = state.user_of(body.get("token"))
    if user is None:
        return None, body, fail("invalid or expired token")
    if body.get(id_key) != user.person_id:
        return None, body, fail(f"{id_key} does not belong to the token")
    verifier = state.verifier
    if verifier is not None:
        # Outside every lock: verifying a signature may take its time.
        seen = state.feature("signatures", signatures.SeenTexts)
        problem = signatures.check(verifier, request.path, user.person_id, body, seen)
        if problem is not None:
            return None, body, fail(problem)
    if id_key == "ID" and not _futures_account(user, body.get("broker_id"), body.get("account")):
        return None, body, fail("unknown futures account")
    return user, body, None


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


def _contract_rules(state: BrokerState, code: str) -> tuple[Ladder, tuple[Decimal, Decimal] | None] | str:
    """The tick ladder and the day's limits of a future or option the exchange lists or trades,
    or why it refuses orders for ``code``."""
    market = state.market
    if market is not None:
        if market.failure is not None:
            return f"market stopped: {type(market.failure).__name__}: {market.failure}"
        if code not in market:
            # Looked up before it joins: a refused code must not trade from then on.
            found = market.listing.find(code, market.clock.start.date())
            if found is None:
                return f"no contract {code!r} is listed or traded"
            if found[0] == "stock":
                return f"{code} is a stock, not a future or an option"
        instrument = market.add(code)
        if instrument.kind == "stock":
            return f"{code} is a stock, not a future or an option"
        return instrument.ladder, instrument.limits
    # Without a market no reference price is known: the ladder alone applies.
    from taloma.simulator.catalogue import catalogue_of
    from taloma.simulator.market import Listing

    listing = state.feature("listing", lambda: Listing(catalogue_of(state)))
    found = listing.find(code, _now(state).date())
    if found is None:
        return f"no contract {code!r} is listed or traded"
    if found[0] == "stock":
        return f"{code} is a stock, not a future or an option"
    return ladder_of(found[1]), None


@route("POST", "Future/order")
def place(state: BrokerState, request: Request) -> dict[str, Any]:
    user, body, failure = _authorise(state, request, "ID")
    if failure is not None:
        return failure
    assert user is not None
    problem = _placement_problem(body)
    if problem is not None:
        return fail(problem)
    rules = _contract_rules(state, body["stock_id"])
    if isinstance(rules, str):
        return fail(rules)
    if body["price_type"] == "LMT":
        problem = price_problem(body["price"], *rules)
        if problem is not None:
            return fail(problem)
    order = _book(state).add(
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
        placed=_now(state).replace(microsecond=0),
    )
    matcher = state.matcher
    if matcher is not None:
        with matcher.lock:
            matcher.arrive(order)
            return ok(order.reply())
    return ok(order.reply())


@route("POST", "Future/cancel")
def cancel(state: BrokerState, request: Request) -> dict[str, Any]:
    user, body, failure = _authorise(state, request, "ID")
    if failure is not None:
        return failure
    assert user is not None
    book = _book(state)
    with book.lock:
        order = book.find(user, body)
        if order is None:
            return fail("order not found")
        if order.remaining <= 0:
            return fail("order has no quantity left to cancel")
        order.cancel_qty += order.remaining
        order.msg = "order cancelled"
        return ok(order.reply())


@route("POST", "Future/updatePrice")
def update_price(state: BrokerState, request: Request) -> dict[str, Any]:
    user, body, failure = _authorise(state, request, "ID")
    if failure is not None:
        return failure
    assert user is not None
    price = body.get("price")
    problem = price_problem(price, None)
    if problem is not None:
        return fail(problem)
    book = _book(state)
    with book.lock:
        order = book.find(user, body)
        if order is None or body.get("fut_futopt") != order.futopt:
            return fail("order not found")
        if order.remaining <= 0:
            return fail("order has no quantity left to amend")
        rules = _contract_rules(state, order.stock_id)
        problem = rules if isinstance(rules, str) else price_problem(price, *rules)
        if problem is not None:
            return fail(problem)
        order.chg_price = price
        order.msg = "price changed"
        matcher = state.matcher
        if matcher is not None:
            matcher.reprice(order)
        return ok(order.reply())


@route("POST", "Future/updateQty")
def update_qty(state: BrokerState, request: Request) -> dict[str, Any]:
    user, body, failure = _authorise(state, request, "ID")
    if failure is not None:
        return failure
    assert user is not None
    quantity = body.get("quantity")
    if not _is_int(quantity) or quantity <= 0:
        return fail(f"quantity must be a positive integer, not {quantity!r}")
    book = _book(state)
    with book.lock:
        order = book.find(user, body)
        if order is None or body.get("fut_futopt") != order.futopt:
            return fail("order not found")
        if quantity > order.remaining:
            return fail(f"cannot reduce by {quantity}: {order.remaining} left")
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


@route("POST", "Future/FOrderStatusQuery")
def query(state: BrokerState, request: Request) -> dict[str, Any]:
    user, body, failure = _authorise(state, request, "user_id")
    if failure is not None:
        return failure
    assert user is not None
    start, end = _date(body.get("start_date")), _date(body.get("end_date"))
    if start is None or end is None:
        return fail("start_date and end_date must be dates as YYYYMMDD")
    action = body.get("action")
    if action == "account":
        if not _futures_account(user, body.get("broker_id"), body.get("account")):
            return fail("unknown futures account")

        def wanted(o: _Order) -> bool:
            return (o.broker_id, o.account) == (body["broker_id"], body["account"])
    elif action == "userid":

        def wanted(o: _Order) -> bool:
            return True
    else:
        return fail(f"action must be 'account' or 'userid', not {action!r}")
    book = _book(state)
    with book.lock:
        entries = [
            o.entry()
            for o in book.orders.values()
            if o.person_id == user.person_id and wanted(o) and start <= o.placed.strftime("%Y%m%d") <= end
        ]
    return ok(entries)
