"""Order request building and reply conversion, native against the same steps written in Python.

The HTTP exchange itself is left out (a session that answers at once stands in), so the numbers
are what the order layer costs on the caller's thread: building the placement request from the
records, and turning query entries into trades, which a trading program does for every order it
follows. The Python versions follow the same algorithm with the same companions.
"""

from __future__ import annotations

import datetime as dt
import time

import taloma.backend.http.futureoption.order as fo
from taloma.account import FutureAccount
from taloma.backend.http.futureoption.constant import oprops as foprops
from taloma.backend.http.utils import hash_orderid
from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType
from taloma.contracts import Contract, Future, Option
from taloma.order import Order, OrderStatus, Status, Trade

ENTRY = {
    "st_comno": "TXFA4",
    "st_seqno": "000123",
    "st_ordno": "k0042",
    "st_orddt": "20240131",
    "st_ordtm": "084501",
    "st_comtype": "F",
    "name_zh": "Index future",
    "st_ps": "S",
    "st_ordknd": "ROD",
    "st_price1": 17000,
    "st_ordqty": 3,
    "st_code": "0000",
    "st_errmsg": "order accepted          ",
    "st_ord_match_qty": 1,
    "st_cancel_qty": 2,
    "st_chg_price1": 0,
}
REPLY = {
    "success": "True",
    "result": {
        "seqno": "000001",
        "ordno": "k0001",
        "stock_id": "TXFA4",
        "ord_date": "20240131",
        "ord_time": "08:45:01",
    },
}


class _Answer:
    def json(self):
        return REPLY


class _Session:
    answer = _Answer()

    def post(self, uri, json=None, timeout=None):
        return self.answer


class _Client:
    session = _Session()
    _token, person_id, _public_ip, timeout = "tok", "A123456789", "127.0.0.1", (5.0, 10.0)
    f_order_uri = "http://127.0.0.1/api/v1/Future/order"


# ---- the same steps in Python


def py_convert_order_props(order):
    out = {}
    for k in foprops.keys():  # noqa: SIM118 - a class of converters, not a dict
        if getattr(foprops, k, None) and getattr(order, k, None):
            out[k] = getattr(getattr(foprops, k), getattr(order, k))
    return out


def py_place(contract, order, ca_content, client):
    inp = {
        **dict(order),
        **py_convert_order_props(order),
        "product_id": contract.code,
        "product_type": contract.security_type[0],
        "opt_type": contract.option_right or " ",
        "ca_content": ca_content,
    }
    return py_place_private(**inp, client=client)


def py_place_private(
    product_id,
    product_type,
    opt_type,
    price,
    price_type,
    action,
    order_type,
    octype,
    quantity,
    account,
    ca_content,
    client,
    **kwargs,
):
    broker_id, account_id = account.get("broker_id", ""), account.get("account_id", "")
    req = {
        "token": client._token,
        "ID": client.person_id,
        "IP": client._public_ip,
        "broker_id": broker_id,
        "account": account_id,
        "fut_futopt": product_type,
        "stock_id": product_id,
        "fut_callput": opt_type,
        "ord_bs": action,
        "price": price,
        "price_type": price_type,
        "quantity": quantity,
        "ord_type": order_type,
        "octype": octype,
        "mttype": " ",
        "composit": "00",
        "web_id": "Z",
        "ca_content": ca_content,
    }
    return client.session.post(client.f_order_uri, json=req, timeout=client.timeout).json()


def py_timestamp(text, fmt):
    return dt.datetime.strptime(text, fmt) if text else None


def py_resp2trade(resp, trade):
    if not trade:
        kind, code, name = resp.get("st_comtype", ""), resp.get("st_comno", ""), resp.get("name_zh", "")
        if kind == "F":
            contract = Future(exchange="TAIFEX", code=code, name=name)
        elif kind == "O":
            contract = Option(exchange="TAIFEX", code=code, name=name)
        else:
            contract = Contract(security_type="FUT", exchange="TAIFEX", code=code, name=name)
        order_type = getattr(foprops.order_type, resp.get("st_ordknd", "IOC"))
        order = Order(
            action=getattr(foprops.action, resp.get("st_ps", "B")),
            price_type=getattr(foprops.price_type, "MKT" if order_type == "IOC" else "LMT"),
            order_type=order_type,
            price=resp.get("st_price1", 0),
            quantity=resp.get("st_ordqty", 0),
            ordno=resp.get("st_ordno", ""),
            seqno=resp.get("st_seqno", ""),
        )
        status = OrderStatus(
            order_id=hash_orderid(resp.get("st_comno", ""), resp.get("st_seqno", "")),
            order_datetime=py_timestamp(resp.get("st_orddt", "") + resp.get("st_ordtm", ""), "%Y%m%d%H%M%S"),
            status=Status.PendingSubmit,
        )
        trade = Trade(contract=contract, order=order, status=status)
    status = trade.status
    trade.order.ordno = resp.get("st_ordno", "")
    status.status_code = resp.get("st_code", "")
    status.msg = resp.get("st_errmsg", "").strip(" ")
    status.deal_quantity = int(resp.get("st_ord_match_qty", 0))
    status.cancel_quantity = int(resp.get("st_cancel_qty", 0))
    status.modified_price = resp.get("st_chg_price1", 0)
    return trade


def py_resp2order_status(resp, order):
    result = resp.get("result", {})
    ok = resp.get("success", "").lower() == "true"
    order.seqno, order.ordno = result.get("seqno", ""), result.get("ordno", "")
    status = OrderStatus(
        id=hash_orderid(result.get("stock_id", ""), result.get("seqno", "")),
        order_datetime=py_timestamp(result.get("ord_date", "") + result.get("ord_time", ""), "%Y%m%d%H:%M:%S"),
        status=Status.PendingSubmit if ok else Status.Failed,
    )
    return order, status, ok


# ----


def best_of(runs: int, count: int, fn) -> float:
    """Best mean seconds per call over `runs` batches of `count` calls."""
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        for _ in range(count):
            fn()
        best = min(best, (time.perf_counter() - start) / count)
    return best


def main() -> None:
    account = FutureAccount(person_id="A123456789", broker_id="F002000", account_id="7654321", username="T")
    order = Order(
        action=Action.Buy,
        price_type=FuturesPriceType.LMT,
        order_type=OrderType.ROD,
        price=17000,
        quantity=1,
        octype=FuturesOCType.Auto,
        account=account,
    )
    contract, client = Future(code="TXFA4", exchange="TAIFEX"), _Client()
    assert fo.place_futopt_order(contract, order, "CA", client) == py_place(contract, order, "CA", client)
    native, python = fo.resp2trade(ENTRY, None), py_resp2trade(ENTRY, None)
    assert (native.contract, native.order, native.status) == (python.contract, python.order, python.status)
    trade = fo.resp2trade(ENTRY, None)

    cases = [
        (
            "place_futopt_order (no HTTP)",
            lambda: fo.place_futopt_order(contract, order, "CA", client),
            lambda: py_place(contract, order, "CA", client),
        ),
        (
            "futopt_resp2order_status",
            lambda: fo.futopt_resp2order_status(REPLY, order),
            lambda: py_resp2order_status(REPLY, order),
        ),
        ("resp2trade, new trade", lambda: fo.resp2trade(ENTRY, None), lambda: py_resp2trade(ENTRY, None)),
        ("resp2trade, known trade", lambda: fo.resp2trade(ENTRY, trade), lambda: py_resp2trade(ENTRY, trade)),
    ]
    print(f"{'':32s} {'native':>10s} {'python':>10s} {'speed-up':>9s}")
    for name, fast, slow in cases:
        a, b = best_of(5, 5000, fast), best_of(5, 5000, slow)
        print(f"{name:32s} {a * 1e6:8.2f}us {b * 1e6:8.2f}us {b / a:8.2f}x")


if __name__ == "__main__":
    main()
