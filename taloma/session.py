"""One trading session: login, certificate, contracts, orders, fills, accounts and market data.

The session sits above the native HTTP, signing and market-data layers and turns their
conventions (reply dictionaries, service codes, texts for amounts) into typed results and
exceptions: a refused order is a ``Failed`` trade, a refused cancel, amendment or query an
exception carrying the service's reason.
"""

from __future__ import annotations

import datetime as dt
import logging
import os
import re
import threading
from collections.abc import Callable, Mapping
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING, Any

import requests

import taloma.backend.http as settings
import taloma.backend.http.futureoption.order as fo
from taloma import session_orders as checks
from taloma.account import Account, FutureAccount, StockAccount
from taloma.backend.http import account as records
from taloma.backend.http.client import Client, _login
from taloma.backend.http.utils import hash_orderid, succeeded
from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType, QuoteType
from taloma.contracts import Contract, Future, Option
from taloma.errors import LoginError, NotLoggedIn, OrderError, QueryError, TalomaError
from taloma.order import Order, OrderStatus, Status, Trade
from taloma.session_accounts import (
    PRODUCTS,
    Margin,
    Position,
    Settlement,
    margin_of,
    position_of,
    rows_of,
    settlement_of,
)
from taloma.signing import order_text
from taloma.utils import log

if TYPE_CHECKING:
    from taloma.session_contracts import Contracts
    from taloma.session_market import MarketData, RecordStream
    from taloma.Vorn.ca import PyVornSign

__all__ = ["FillCallback", "Session"]

FillCallback = Callable[[Trade, "dict[str, Any]"], None]

# The order query's status codes.
_STATUS_OF_CODE = {
    "0000": Status.Submitted,
    "0001": Status.PartFilled,
    "0002": Status.Filled,
    "0003": Status.Cancelled,
    "0004": Status.Cancelled,
}
_CODE_OF_FILL = {Status.PartFilled: "0001", Status.Filled: "0002"}
# What the orders carry for a signature when the session has no certificate (simulation only).
_UNSIGNED = ""
_API_PATH = re.compile(r"^(?P<base>.+?)/api/(?P<ver>[^/]+)/?$")


class _LoginRefusal(logging.Filter):
    """Takes the reply the native login logs when the service refuses, on this thread only.

    The native login reports a refusal only through the log; the session raises it instead.
    """

    def __init__(self) -> None:
        super().__init__()
        self.thread = threading.get_ident()
        self.reply: Mapping[str, Any] | None = None

    def filter(self, record: logging.LogRecord) -> bool:
        if record.thread == self.thread and record.levelno >= logging.ERROR and isinstance(record.msg, Mapping):
            self.reply = record.msg
            return False
        return True


def _split_url(url: str) -> tuple[str, str]:
    """(service address, API version) of an address given with or without its API path."""
    if not isinstance(url, str):
        raise TypeError(f"url must be a text, not {type(url).__name__} {url!r}")
    if not url.startswith(("http://", "https://")):
        raise ValueError(f"url must start with http:// or https://, not {url!r}")
    found = _API_PATH.match(url)
    if found:
        return found["base"], found["ver"]
    return url.rstrip("/"), settings.api_ver


def _user_log_folder() -> Path:
    state = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return Path(state) / "taloma" / "log"


# The signing library takes its log folder from the property template, relative to the working
# folder; a signer the session opens logs to the user's log folder instead.
_template_lock = threading.Lock()
_CHAIN_NAME = re.compile(r"^P7B(\d+)\.name = (.*)$", re.M)


def _template_for(template: str, log_folder: Path, chains: Path) -> str:
    """The property template with the user's log folder, naming only the chain files that are there.

    The library logs an ERROR for every listed chain file that is absent, though it does without them.
    """
    try:
        present = {p.name.casefold() for p in chains.iterdir()}
    except OSError:
        present = set()
    absent = {n for n, name in _CHAIN_NAME.findall(template) if name.strip().casefold() not in present}
    lines = [
        line
        for line in template.split("\n")
        if not any(line.startswith((f"P7B{n}.name ", f"P7B{n}.SKI ")) for n in absent)
    ]
    written = str(log_folder).replace("{", "{{").replace("}", "}}")
    return "\n".join(lines).replace("LOG.path = logs\n", f"LOG.path = {written}\n")


def _open_signer(path: Path, password: str, person_id: str, ip: str | None, store: int) -> PyVornSign:
    from taloma.Vorn import ca

    folder = _user_log_folder()
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError:
        log.warning("cannot make the log folder %s; the signing library logs beside the program", folder)
        return ca.PyVornSign(path, password, person_id, ip, store)
    if "\n" in str(folder):
        return ca.PyVornSign(path, password, person_id, ip, store)
    with _template_lock:
        template = ca.P7SIGN_PROPS
        # The module reads the template at each activation; the stub calls it final for its users.
        setattr(ca, "P7SIGN_PROPS", _template_for(template, folder, Path(ca.__file__).parent / "P7B"))  # noqa: B010
        try:
            return ca.PyVornSign(path, password, person_id, ip, store)
        finally:
            setattr(ca, "P7SIGN_PROPS", template)  # noqa: B010


class Session:
    """A session with the broker: ``with Session() as s: s.login(...)``.

    ``url``: the service address, with or without its API path (default: the package settings
    and environment); ``bus_url``: the market-data bus (default ``TALOMA_BUS_URL``, else none);
    ``timeout``: the client's (connect, read) seconds; ``cache_dir``: where the day's contract
    catalogue is kept (default the user's cache folder).
    """

    def __init__(
        self,
        simulation: bool = True,
        *,
        url: str | None = None,
        bus_url: str | None = None,
        timeout: float | tuple[float | None, float | None] | None = None,
        cache_dir: str | os.PathLike[str] | None = None,
    ) -> None:
        if bus_url is not None and not isinstance(bus_url, str):
            raise TypeError(f"bus_url must be a text, not {type(bus_url).__name__} {bus_url!r}")
        address = _split_url(url) if url is not None else None
        self.simulation = bool(simulation)
        self._client = Client(self.simulation, None, timeout=timeout)
        if address is not None:
            self._point(*address)
        self._bus_url = bus_url if bus_url is not None else (os.environ.get("TALOMA_BUS_URL") or None)
        self._cache_dir = Path(cache_dir) if cache_dir is not None else None
        self._signer: PyVornSign | None = None
        self._contracts: Contracts | None = None
        self._market: MarketData | None = None
        self._closed = False
        # Guards the trades, the fill subscriptions and the fills that arrive before their order's reply;
        # never held while waiting on the network, since the bus's thread takes it for every fill.
        self._lock = threading.RLock()
        # Guards making the catalogue and the market data, which may take a download.
        self._making = threading.Lock()
        self._trades: list[Trade] = []
        self._by_id: dict[str, Trade] = {}
        self._placing = 0
        self._early: list[dict[str, Any]] = []
        self._fill_callbacks: list[FillCallback] = []
        self._fill_accounts: list[FutureAccount] = []

    def _point(self, base: str, ver: str) -> None:
        """Every service address of this client under ``base``, leaving the package settings alone."""
        client = self._client
        old = client.api_uri
        new = f"{base}/api/{ver}/"
        for name, value in list(vars(client).items()):
            if name.endswith("_uri") and isinstance(value, str) and value.startswith(old):
                setattr(client, name, new + value[len(old) :])
        client.api_url, client.api_ver, client.api_uri = base, ver, new

    # ---- life ---------------------------------------------------------------------------------

    def __enter__(self) -> Session:
        return self

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None) -> None:
        self.close()

    def close(self) -> None:
        """Stops the market data, the signer and the HTTP session; safe to call again."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            market, signer = self._market, self._signer
            self._market = self._signer = None
        try:
            if market is not None:
                market.close()
        finally:
            try:
                if signer is not None:
                    signer.close()
            finally:
                self._client.session.close()

    @property
    def closed(self) -> bool:
        return self._closed

    def __repr__(self) -> str:
        state = "closed" if self._closed else ("logged in" if self._logged_in() else "not logged in")
        return f"<Session {self._client.api_url} {state}>"

    def _check_open(self) -> None:
        if self._closed:
            raise TalomaError("the session is closed")

    def _logged_in(self) -> bool:
        return bool(self._client._token)

    def _need_login(self) -> Client:
        self._check_open()
        if not self._logged_in():
            raise NotLoggedIn("log in first: session.login(person_id, password)")
        return self._client

    # ---- login and certificate ----------------------------------------------------------------

    @property
    def url(self) -> str:
        """The service address the session talks to, with its API path."""
        return self._client.api_uri

    def login(self, person_id: str, password: str) -> list[Account]:
        """Logs in; the user's accounts. A refusal or an unreachable service raises ``LoginError``."""
        self._check_open()
        for name, value in (("person_id", person_id), ("password", password)):
            if not isinstance(value, str):
                raise TypeError(f"{name} must be a text, not {type(value).__name__}")
            if not value:
                raise ValueError(f"{name} must not be empty")
        refusal = _LoginRefusal()
        log.addFilter(refusal)
        try:
            self._client.login(person_id, password)
        except requests.RequestException as exc:
            raise LoginError(f"cannot reach the service at {self._client.api_url}: {exc}") from exc
        finally:
            log.removeFilter(refusal)
        reply = refusal.reply
        if reply is None and not self._logged_in():
            # The program keeps the package's errors out of its log, and the reason with them: ask again.
            try:
                reply = _login(
                    self._client.session,
                    self._client.login_uri,
                    person_id,
                    self._client.hashpasswd,
                    timeout=self._client.timeout,
                )
            except requests.RequestException as exc:
                raise LoginError(f"cannot reach the service at {self._client.api_url}: {exc}") from exc
        if reply is not None or not self._logged_in():
            raise LoginError(f"login refused: {_reason(reply or {})}")
        return self.accounts

    @property
    def accounts(self) -> list[Account]:
        return list(self._client.accounts)

    @property
    def futopt_account(self) -> FutureAccount | None:
        return self._client.default_futopt_account

    @property
    def stock_account(self) -> StockAccount | None:
        return self._client.default_stock_account

    def use_certificate(self, path: str | os.PathLike[str], password: str, *, store: int = 0) -> None:
        """Signs every order, cancel and amendment from now on with this PKCS#12 certificate.

        ``store`` keeps that many ready signatures in a pool filled by a background thread.
        """
        client = self._need_login()
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"path must be a path, not {type(path).__name__} {path!r}")
        if not isinstance(password, str):
            raise TypeError(f"password must be a text, not {type(password).__name__}")
        if isinstance(store, bool) or not isinstance(store, int) or store < 0:
            raise ValueError(f"store must be a number of signatures, 0 or more, not {store!r}")
        file = Path(path).expanduser().absolute()
        if not file.is_file():
            raise FileNotFoundError(2, "no certificate file", str(file))
        from taloma.Vorn.ca import CaError

        try:
            signer = _open_signer(file, password, client.person_id, client._public_ip, store)
        except CaError as exc:
            raise TalomaError(f"cannot open the certificate {file}: {exc}") from exc
        if not signer.is_activate():
            signer.close()
            raise TalomaError(f"the certificate {file} could not be opened for signing")
        with self._lock:
            previous, self._signer = self._signer, signer
        if previous is not None:
            previous.close()

    def _signed(self, operation: str, account: Account, code: str, **fields: Any) -> str:
        signer = self._signer
        if signer is None:
            if not self.simulation:
                raise TalomaError(
                    "orders to the production service must be signed: call "
                    "session.use_certificate(path, password) first"
                )
            return _UNSIGNED
        text = order_text(operation, person_id=self._client.person_id, account=account, code=code, **fields)
        return signer.gen_ca(text).decode("ascii")

    # ---- contracts and market data ------------------------------------------------------------

    @property
    def contracts(self) -> Contracts:
        """The day's contract catalogue, downloaded on first use and kept on disk for the day."""
        client = self._need_login()
        with self._making:
            if self._contracts is None:
                from taloma.session_contracts import Contracts

                self._contracts = Contracts(client, self._cache_dir)
            return self._contracts

    def _resolve(self, contract: Contract | str) -> Contract:
        if isinstance(contract, Contract):
            return contract
        if isinstance(contract, str):
            return self.contracts[contract]
        raise TypeError(f"contract must be a contract record or its code, not {type(contract).__name__} {contract!r}")

    def _market_data(self) -> MarketData:
        self._check_open()
        with self._making:
            if self._market is None:
                from taloma.session_market import MarketData

                self._market = MarketData(self._bus_url, self._resolve)
            return self._market

    def subscribe(
        self,
        contract: Contract | str,
        callback: Callable[[Any], None],
        quote_type: QuoteType | str = "tick",
        *,
        odd_lot: bool = False,
    ) -> None:
        """``callback(record)`` for each record of the contract's ``quote_type`` ("tick", "ladder" or
        "quote") heard on the bus; callbacks run on the bus's thread."""
        self._market_data().subscribe(contract, callback, quote_type, odd_lot=odd_lot)

    def unsubscribe(
        self,
        contract: Contract | str,
        quote_type: QuoteType | str = "tick",
        *,
        odd_lot: bool = False,
        callback: Callable[[Any], None] | None = None,
    ) -> None:
        """Stops the subscription's callbacks (only ``callback``, if given)."""
        self._market_data().unsubscribe(contract, quote_type, odd_lot=odd_lot, callback=callback)

    def last(self, contract: Contract | str, quote_type: QuoteType | str = "tick", *, odd_lot: bool = False) -> Any:
        """The latest record received for a subscription, or None."""
        return self._market_data().last(contract, quote_type, odd_lot=odd_lot)

    def stream(
        self,
        contract: Contract | str,
        quote_type: QuoteType | str = "tick",
        *,
        odd_lot: bool = False,
        maxsize: int = 10_000,
    ) -> RecordStream:
        """An async iterator of the contract's records from now on (``async for record in ...``); a
        consumer slower than the bus loses the oldest, counted in ``feed_stats["dropped"]``."""
        return self._market_data().stream(contract, quote_type, odd_lot=odd_lot, maxsize=maxsize)

    @property
    def feed_stats(self) -> Mapping[str, int]:
        return self._market_data().stats

    # ---- orders -------------------------------------------------------------------------------

    @property
    def trades(self) -> list[Trade]:
        with self._lock:
            return list(self._trades)

    def _ladder_contract(self, contract: Contract) -> Contract:
        """The record whose ladder applies: a hand-made record lacks the underlying the ladder depends on."""
        if contract.underlying_kind or contract.underlying_code:
            return contract
        found = self.contracts.get(contract.code)
        return found if isinstance(found, Contract) else contract

    def place_order(
        self,
        contract: Contract | str,
        action: Action | str,
        quantity: int,
        price: checks.PriceInput | None = None,
        *,
        price_type: FuturesPriceType | str = "LMT",
        order_type: OrderType | str = "ROD",
        octype: FuturesOCType | str = "Auto",
        account: FutureAccount | None = None,
    ) -> Trade:
        """Places a futures or options order. A refusal is a trade whose status is ``Failed``, with
        the service's reason in ``status.msg``."""
        client = self._need_login()
        record = checks.contract_kind(self._resolve(contract))
        side = checks.action_of(action)
        kind, duration, oc = checks.order_types(price_type, order_type, octype)
        lots = checks.lots(quantity)
        if kind in checks.MARKET_TYPES:
            if price is not None:
                raise ValueError(f"price must be None for a {kind} order, not {price!r}")
            wire: int | float = 0
        else:
            if price is None:
                raise ValueError(f"price is required for a {kind} order")
            wire = checks.sendable(checks.limit_price(self._ladder_contract(record), price))
        to = checks.futures_account(account, client.accounts, client.default_futopt_account)
        ca_content = self._signed("place", to, record.code, action=side, price=wire, quantity=lots)
        order = Order(
            action=side, price_type=kind, order_type=duration, price=wire, quantity=lots, octype=oc, account=to
        )
        with self._lock:
            self._placing += 1
        trade: Trade | None = None
        try:
            try:
                reply = fo.place_futopt_order(record, order, ca_content, client)
            except requests.RequestException as exc:
                raise TalomaError(
                    f"no reply to the order from {client.api_url}; it may still have reached the "
                    f"broker: refresh() tells ({exc})"
                ) from exc
            order, status, accepted = fo.futopt_resp2order_status(reply, order)
            if accepted:
                status.status = Status.Submitted
            else:
                status.status, status.msg = Status.Failed, _reason(reply)
            trade = Trade(contract=record, order=order, status=status)
        finally:
            early = self._placed(trade)
        for event in early:
            self._deliver_fill(event)
        return trade

    def _placed(self, trade: Trade | None) -> list[dict[str, Any]]:
        """Records a placement's trade; the fills heard early that can be delivered now."""
        with self._lock:
            self._placing -= 1
            if trade is not None:
                self._trades.append(trade)
                if trade.status.status is not Status.Failed:
                    self._by_id[trade.status.id] = trade
            if not self._placing:
                early, self._early = self._early, []
                return early
            # Fills of orders whose replies are still on their way wait for them.
            ready = [e for e in self._early if _fill_id(e) in self._by_id]
            self._early = [e for e in self._early if _fill_id(e) not in self._by_id]
            return ready

    def refresh(self) -> list[Trade]:
        """Brings every trade up to the service's view; orders placed elsewhere are added."""
        client = self._need_login()
        for account in client.accounts:
            if isinstance(account, FutureAccount):
                self._refresh_account(account)
        return self.trades

    def _refresh_account(self, account: FutureAccount) -> None:
        try:
            reply = fo._query_futopt_order("account", account, self._client)
        except requests.RequestException as exc:
            raise TalomaError(f"no reply to the order query from {self._client.api_url}: {exc}") from exc
        if not succeeded(reply):
            reason = _reason(reply)
            raise QueryError(f"order query refused: {reason}", reason)
        entries = reply.get("result") or []
        with self._lock:
            for entry in entries if isinstance(entries, list) else [entries]:
                if isinstance(entry, Mapping) and entry:
                    self._apply_entry(entry, account)

    def _apply_entry(self, entry: Mapping[str, Any], account: FutureAccount) -> None:
        key = hash_orderid(str(entry.get("st_comno", "")), str(entry.get("st_seqno", "")))
        trade = self._by_id.get(key)
        if trade is None:
            trade = fo.resp2trade(entry, None)
            trade.order.account = account
            trade.status.status = Status.Submitted
            self._trades.append(trade)
            self._by_id[key] = trade
            deal = cancel = 0
        else:
            deal, cancel = trade.status.deal_quantity, trade.status.cancel_quantity
            if entry.get("st_comtype") == "O" and not isinstance(trade.contract, Option):
                trade.contract = fo.queryresp2contract(entry)  # made from a fill before the query named its kind
            fo.resp2trade(entry, trade)
        status = trade.status
        code_status = _STATUS_OF_CODE.get(status.status_code)
        if deal > status.deal_quantity:
            # A fill heard on the bus after this query was answered: the fill is the later news.
            status.deal_quantity = deal
        elif code_status is not None:
            status.status = code_status
        status.cancel_quantity = max(status.cancel_quantity, cancel)

    def _order_fields(self, trade: object) -> tuple[Trade, FutureAccount]:
        if not isinstance(trade, Trade):
            raise TypeError(f"trade must be a Trade, not {type(trade).__name__} {trade!r}")
        account = trade.order.account
        if not isinstance(account, FutureAccount):
            raise ValueError("trade has no futures account: it is not an order of this session")
        if not trade.order.seqno:
            raise ValueError("trade has no order number: the service never accepted it")
        return trade, account

    def _amended(self, what: str, reply: Mapping[str, Any], trade: Trade, account: FutureAccount) -> Trade:
        if not succeeded(reply):
            reason = _reason(reply)
            raise OrderError(f"{what} refused: {reason}", reason)
        self._refresh_account(account)
        return trade

    def cancel(self, trade: Trade) -> Trade:
        """Cancels what is left of the order; the refreshed trade, or ``OrderError``."""
        client = self._need_login()
        trade, account = self._order_fields(trade)
        order = trade.order
        ca_content = self._signed("cancel", account, trade.contract.code, ordno=order.ordno, seqno=order.seqno)
        with _NetworkErrors("cancel", client):
            reply = fo.cancel_futopt_order(trade, ca_content, client)
        return self._amended("cancel", reply, trade, account)

    def amend(self, trade: Trade, *, price: checks.PriceInput | None = None, quantity: int | None = None) -> Trade:
        """Changes the order's price, or leaves ``quantity`` lots of it working (fewer than now)."""
        client = self._need_login()
        trade, account = self._order_fields(trade)
        if (price is None) == (quantity is None):
            raise ValueError("amend takes exactly one of price and quantity")
        order = trade.order
        code = trade.contract.code
        if price is not None:
            wire = checks.sendable(checks.limit_price(self._ladder_contract(trade.contract), price))
            ca_content = self._signed("update_price", account, code, price=wire, ordno=order.ordno, seqno=order.seqno)
            with _NetworkErrors("price change", client):
                reply = fo.update_futopt_order_price(trade, ca_content, client, wire)
            return self._amended("price change", reply, trade, account)
        lots = checks.lots(quantity)
        # The reduction is counted from what the service shows working now, not from an older view.
        self._refresh_account(account)
        working = order.quantity - trade.status.deal_quantity - trade.status.cancel_quantity
        if working <= 1 or lots >= working:
            raise ValueError(f"quantity must be fewer than the {working} lots still working, not {lots}")
        reduction = working - lots
        ca_content = self._signed("update_qty", account, code, quantity=reduction, ordno=order.ordno, seqno=order.seqno)
        with _NetworkErrors("quantity change", client):
            reply = fo.update_futopt_order_qty(trade, ca_content, client, reduction)
        return self._amended("quantity change", reply, trade, account)

    # ---- fills --------------------------------------------------------------------------------

    def on_fill(self, callback: FillCallback) -> None:
        """``callback(trade, event)`` for each fill of the session's futures accounts heard on the bus,
        the trade already updated; callbacks run on the bus's thread."""
        client = self._need_login()
        if not callable(callback):
            raise TypeError(f"callback must be callable, not {callback!r}")
        feed = self._market_data().feed
        with self._lock:
            self._fill_callbacks.append(callback)
            new = [a for a in client.accounts if isinstance(a, FutureAccount) and a not in self._fill_accounts]
            self._fill_accounts.extend(new)
        for account in new:
            feed.subscribe_fills(account, self._heard_fill)

    def _heard_fill(self, event: dict[str, Any]) -> None:
        with self._lock:
            if _fill_id(event) not in self._by_id and self._placing:
                self._early.append(event)  # its order's reply has not been read yet
                return
        self._deliver_fill(event)

    def _deliver_fill(self, event: dict[str, Any]) -> None:
        with self._lock:
            key = _fill_id(event)
            trade = self._by_id.get(key)
            if trade is None:
                trade = self._outside_trade(event, key)
            status = trade.status
            deal = event.get("deal_quantity")
            if isinstance(deal, int) and deal > status.deal_quantity:
                status.deal_quantity = deal
                if status.status is not Status.Cancelled and event.get("status") in _CODE_OF_FILL:
                    status.status = event["status"]
                    status.status_code = _CODE_OF_FILL[status.status]
            callbacks = list(self._fill_callbacks)
        for callback in callbacks:
            try:
                callback(trade, event)
            except Exception:  # one program's fault must not stop the others' fills
                log.exception("fill callback %r failed", callback)

    def _outside_trade(self, event: Mapping[str, Any], key: str) -> Trade:
        """A trade for a fill of an order this session did not place."""
        code = str(event.get("code", ""))
        contract: Contract | None = self._contracts.get(code) if self._contracts is not None else None
        account = next(
            (
                a
                for a in self._client.accounts
                if isinstance(a, FutureAccount)
                and (a.broker_id, a.account_id) == (event.get("broker_id"), event.get("account_id"))
            ),
            None,
        )
        order = Order(
            action=event.get("action"),
            quantity=int(event.get("order_quantity") or 0),
            ordno=str(event.get("ordno", "")),
            seqno=str(event.get("seqno", "")),
            account=account,
        )
        trade = Trade(
            contract=contract or Future(code=code, exchange="TAIFEX"),
            order=order,
            status=OrderStatus(id=key, status=Status.Submitted),
        )
        self._trades.append(trade)
        self._by_id[key] = trade
        return trade

    # ---- accounts -----------------------------------------------------------------------------

    def _account(self, account: FutureAccount | None) -> FutureAccount:
        client = self._need_login()
        return checks.futures_account(account, client.accounts, client.default_futopt_account)

    def positions(self, account: FutureAccount | None = None, *, product: str = "all") -> list[Position]:
        """Open positions per contract; ``product`` "all", "futures" or "options"."""
        code = _product(product)
        which = self._account(account)
        record = _queried("positions", lambda: records.AccountOpenPosition(code, "1", which, self._client))
        return [position_of(row) for row in rows_of(record.data())]

    def margin(self, account: FutureAccount | None = None) -> Margin:
        """Equity and margin in NT dollars, as of now."""
        which = self._account(account)
        record = _queried("margin", lambda: records.AccountMargin("NTD", "1", which, self._client))
        rows = rows_of(record.data())
        if not rows:
            raise QueryError("margin query gave no figures", "")
        return margin_of(rows[0])

    def settlements(
        self, start: dt.date, end: dt.date, account: FutureAccount | None = None, *, product: str = "all"
    ) -> list[Settlement]:
        """Each closing fill's realised profit from ``start`` to ``end`` (inclusive)."""
        for name, day in (("start", start), ("end", end)):
            if not isinstance(day, dt.date):
                raise TypeError(f"{name} must be a datetime.date, not {type(day).__name__} {day!r}")
        first, last = _day(start), _day(end)
        if first > last:
            raise ValueError(f"start {first} is after end {last}")
        code = _product(product)
        which = self._account(account)
        record = _queried(
            "settlements",
            lambda: records.AccountSettleProfitLoss(
                code, "N", first.strftime("%Y%m%d"), last.strftime("%Y%m%d"), "NTD", which, self._client
            ),
        )
        return [settlement_of(row) for row in rows_of(record.data())]


def _day(day: dt.date) -> dt.date:
    return day.date() if isinstance(day, dt.datetime) else day


def _product(product: str) -> str:
    if not isinstance(product, str) or product.lower() not in PRODUCTS:
        raise ValueError(f"product must be one of {', '.join(map(repr, PRODUCTS))}, not {product!r}")
    return PRODUCTS[product.lower()]


def _reason(reply: Mapping[str, Any]) -> str:
    """The service's reason of a refusal: its "msg", or the one inside "result"."""
    msg = reply.get("msg") if isinstance(reply, Mapping) else None
    if not msg and isinstance(reply, Mapping) and isinstance(reply.get("result"), Mapping):
        msg = reply["result"].get("msg")
    return str(msg or "").strip() or "no reason given"


def _fill_id(event: Mapping[str, Any]) -> str:
    return hash_orderid(str(event.get("code", "")), str(event.get("seqno", "")))


def _queried(what: str, query: Callable[[], Any]) -> Any:
    try:
        record = query()
    except requests.RequestException as exc:
        raise TalomaError(f"no reply to the {what} query: {exc}") from exc
    if not record._status:
        reason = str(record._msg or "").strip() or "no reason given"
        raise QueryError(f"{what} query refused: {reason}", reason)
    return record


class _NetworkErrors:
    """Turns a network failure of one request into a ``TalomaError`` naming the request."""

    def __init__(self, what: str, client: Client) -> None:
        self.what, self.client = what, client

    def __enter__(self) -> None:
        return None

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None) -> None:
        if isinstance(exc, requests.RequestException):
            raise TalomaError(
                f"no reply to the {self.what} from {self.client.api_url}; refresh() tells whether "
                f"it reached the broker ({exc})"
            ) from exc
