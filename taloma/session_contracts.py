"""The contract catalogue of a session: downloaded once a trading day, kept on disk, looked up by code.

The catalogue holds about a hundred thousand contracts. The day's copy on disk keeps each
service group (a product, or an exchange for stocks and indices) as its own encoded block, with
the codes beside it: opening the copy decodes the codes only, a group is decoded on its first
look-up and a record is made from its fields when first asked for, then kept.
"""

from __future__ import annotations

import datetime as dt
import difflib
import hashlib
import logging
import os
import tempfile
import threading
import time
from collections.abc import Iterator, Mapping
from decimal import Decimal, InvalidOperation
from pathlib import Path
from typing import Any, TypeVar, overload

import msgspec

from taloma.contracts import Contract, Future, Index, Option, Stock
from taloma.errors import NotLoggedIn

__all__ = ["Contracts", "default_cache_dir", "expiry_date", "third_wednesday"]

log = logging.getLogger("taloma")

# Product types of the catalogue, in look-up priority: a code found in two types is the first's.
KINDS = (("F", "futures", Future), ("O", "options", Option), ("S", "stocks", Stock), ("I", "indices", Index))
_CLASS = {kind: cls for kind, _, cls in KINDS}
_PRODUCT = {"F": "futures product", "O": "options product", "S": "stock exchange", "I": "index exchange"}
FORMAT = 1  # of the file on disk; another value is a file to replace

_T = TypeVar("_T")


def default_cache_dir() -> Path:
    """``$XDG_CACHE_HOME/taloma``, else ``~/.cache/taloma``."""
    base = os.environ.get("XDG_CACHE_HOME")
    return (Path(base) if base else Path.home() / ".cache") / "taloma"


def trading_day() -> dt.date:
    """The day a catalogue is good for: today's local date."""
    return dt.date.today()


def third_wednesday(year: int, month: int) -> dt.date:
    first = dt.date(year, month, 1)
    return first + dt.timedelta(days=(2 - first.weekday()) % 7 + 14)


def expiry_date(delivery_month: str) -> dt.date:
    """Last trading day of a delivery month "YYYYMM" (its third Wednesday) or of a weekly series
    "YYYYMMWn" (the month's n-th Wednesday)."""
    try:
        year, month = int(delivery_month[:4]), int(delivery_month[4:6])
        first_wednesday = third_wednesday(year, month) - dt.timedelta(days=14)
        if len(delivery_month) == 6:
            return first_wednesday + dt.timedelta(days=14)
        if len(delivery_month) == 8 and delivery_month[6] == "W":
            return first_wednesday + dt.timedelta(days=7 * (int(delivery_month[7]) - 1))
    except ValueError:
        pass
    raise ValueError(f"not a delivery month: {delivery_month!r}")


class _Part:
    """One service group of one product type: its codes, and its records' fields once decoded.

    On disk a group is its fields by column, a field of one value throughout (the exchange, the
    currency, mostly the product's own fields) written once: a third of the size of the rows.
    """

    __slots__ = ("kind", "group", "codes", "blob", "_same", "_columns", "_position")

    def __init__(self, kind: str, group: str, codes: list[str], blob: bytes) -> None:
        self.kind, self.group, self.codes, self.blob = kind, group, codes, blob
        self._same: dict[str, Any] = {}
        self._columns: dict[str, list[Any]] | None = None
        self._position: dict[str, int] = {}

    @classmethod
    def of_rows(cls, kind: str, group: str, rows: list[dict[str, Any]]) -> _Part:
        part = cls(kind, group, [row["code"] for row in rows], b"")
        names = list(dict.fromkeys(name for row in rows for name in row))
        columns = {name: [row.get(name) for row in rows] for name in names}
        part._set(
            {name: values[0] for name, values in columns.items() if values.count(values[0]) == len(values)},
            {name: values for name, values in columns.items() if values.count(values[0]) != len(values)},
        )
        return part

    def _set(self, same: dict[str, Any], columns: dict[str, list[Any]]) -> None:
        if any(len(values) != len(self.codes) for values in columns.values()):
            raise ValueError(f"the catalogue's group {self.group} is damaged")
        self._same, self._columns = same, columns
        self._position = {code: i for i, code in enumerate(self.codes)}

    def encoded(self) -> bytes:
        return msgspec.msgpack.encode((self._same, self._columns))

    def row(self, code: str) -> dict[str, Any]:
        if self._columns is None:
            self._set(*msgspec.msgpack.decode(self.blob, type=tuple[dict[str, Any], dict[str, list[Any]]]))
            self.blob = b""
        i = self._position[code]
        assert self._columns is not None
        return {**self._same, **{name: values[i] for name, values in self._columns.items()}}


class _Catalogue:
    """One download's parts, indexed; replaced whole by a refresh, so a look-up sees one or the other."""

    __slots__ = ("parts", "index", "groups", "records")

    def __init__(self, parts: list[_Part]) -> None:
        index: dict[str, _Part] = {}
        for part in reversed(parts):  # the first part holding a code wins
            index.update(dict.fromkeys(part.codes, part))
        self.parts = parts
        self.index = index
        self.groups = {(p.kind, p.group): p for p in parts}
        self.records: dict[str, Contract] = {}


def _strike(contract: Contract) -> Decimal:
    try:
        return Decimal(str(contract.strike_price))
    except InvalidOperation:
        return Decimal(0)


def _text(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be text, not {type(value).__name__}")
    return value


class Contracts(Mapping[str, Contract]):
    """The catalogue of a logged-in ``taloma.backend.http.client.Client``, by contract code.

    ``contracts["TXFL6"]``, ``contracts.get(code)``, ``code in contracts``, ``len(contracts)``;
    ``futures(product)``, ``front_month(product)``, ``options(product, delivery_month)``,
    ``stocks()``. The catalogue is downloaded on first use and kept in ``cache_dir`` (default
    :func:`default_cache_dir`) for the trading day, so the day's next ``Contracts`` reads it from
    there; ``refresh()`` downloads it again.
    """

    def __init__(self, client: Any, cache_dir: Path | str | None = None) -> None:
        if cache_dir is not None and not isinstance(cache_dir, (str, os.PathLike)):
            raise TypeError(f"cache_dir must be a path, not {type(cache_dir).__name__}")
        self._client = client
        self.cache_dir = Path(cache_dir) if cache_dir is not None else default_cache_dir()
        self._lock = threading.RLock()
        self._catalogue: _Catalogue | None = None

    # ---- the catalogue, from disk or the service --------------------------------------------

    @property
    def address(self) -> str:
        """The service the catalogue comes from."""
        return str(self._client.api_uri)

    @property
    def cache_file(self) -> Path:
        key = hashlib.sha256(self.address.encode()).hexdigest()[:16]
        return self.cache_dir / f"contracts-{key}.msgpack"

    def _loaded(self) -> _Catalogue:
        catalogue = self._catalogue
        if catalogue is None:
            with self._lock:
                catalogue = self._catalogue
                if catalogue is None:
                    catalogue = self._catalogue = _Catalogue(self._read_cache() or self._download())
        return catalogue

    def refresh(self) -> None:
        """Download the catalogue again (and keep it for the day)."""
        with self._lock:
            self._catalogue = _Catalogue(self._download())

    def _read_cache(self) -> list[_Part] | None:
        path = self.cache_file
        try:
            data = path.read_bytes()
            changed = dt.date.fromtimestamp(path.stat().st_mtime)
        except FileNotFoundError:
            return None
        except OSError as exc:
            log.warning("cannot read the cached contract catalogue %s (%s); downloading it", path, exc)
            return None
        day = trading_day()
        try:
            top = msgspec.msgpack.decode(data)
            if top["format"] != FORMAT or top["address"] != self.address:
                raise ValueError("written for another service or version")
            if top["day"] != day.isoformat() or changed != dt.date.today():  # and not an old file copied in
                log.info("the cached contract catalogue %s is of %s; downloading today's", path, top["day"])
                return None
            parts = [
                _Part(kind, group, codes.split("\n") if codes else [], blob)
                for kind, group, codes, blob in top["parts"]
            ]
        except Exception as exc:
            log.warning(
                "ignoring the cached contract catalogue %s (%s: %s); downloading it", path, type(exc).__name__, exc
            )
            return None
        log.debug("contract catalogue of %s read from %s", day, path)
        return parts

    def _download(self) -> list[_Part]:
        from taloma.backend.http.contract import fetch_available_product

        if not getattr(self._client, "_token", None):
            raise NotLoggedIn("log in before using the contracts: the catalogue is downloaded with the login")
        log.info("downloading the contract catalogue from %s", self.address)
        started = time.perf_counter()
        parts: list[_Part] = []
        for kind, title, _ in KINDS:
            start = time.perf_counter()
            groups = fetch_available_product(self._client, kind)
            count = 0
            for group, rows in groups.items():
                parts.append(_Part.of_rows(kind, str(group), list(rows)))
                count += len(rows)
            log.info("contract catalogue: %d %s in %.1f s", count, title, time.perf_counter() - start)
        log.info(
            "contract catalogue downloaded: %d contracts in %.1f s",
            sum(len(p.codes) for p in parts),
            time.perf_counter() - started,
        )
        self._write_cache(parts)
        return parts

    def _write_cache(self, parts: list[_Part]) -> None:
        encode = msgspec.msgpack.encode
        top = {
            "format": FORMAT,
            "address": self.address,
            "day": trading_day().isoformat(),
            "parts": [(p.kind, p.group, "\n".join(p.codes), p.encoded()) for p in parts],
        }
        body = encode(top)
        path = self.cache_file
        try:
            path.parent.mkdir(parents=True, exist_ok=True)
            fd, temp = tempfile.mkstemp(prefix=path.name, suffix=".tmp", dir=path.parent)
            try:
                with os.fdopen(fd, "wb") as out:
                    out.write(body)
                os.replace(temp, path)
            except BaseException:
                os.unlink(temp)
                raise
        except OSError as exc:
            log.warning(
                "cannot keep the contract catalogue in %s (%s); the next session downloads it again", path.parent, exc
            )

    # ---- look-ups -----------------------------------------------------------------------------

    def _record(self, catalogue: _Catalogue, code: str, part: _Part) -> Contract:
        record = catalogue.records.get(code)
        if record is None:
            with self._lock:
                record = catalogue.records.get(code)
                if record is None:
                    try:
                        fields = part.row(code)
                    except (msgspec.DecodeError, msgspec.ValidationError, ValueError) as exc:
                        log.warning(
                            "the cached contract catalogue %s is damaged (%s); downloading it", self.cache_file, exc
                        )
                        self.refresh()
                        return self[code]
                    record = catalogue.records[code] = _CLASS[part.kind](**fields)
        return record

    def __getitem__(self, code: str) -> Contract:
        _text("code", code)
        catalogue = self._loaded()
        part = catalogue.index.get(code)
        if part is None:
            raise KeyError(self._unknown("contract", code, catalogue.index))
        return self._record(catalogue, code, part)

    @overload
    def get(self, code: str) -> Contract | None: ...
    @overload
    def get(self, code: str, default: _T) -> Contract | _T: ...

    def get(self, code: str, default: Any = None) -> Any:
        _text("code", code)
        catalogue = self._loaded()
        part = catalogue.index.get(code)
        return default if part is None else self._record(catalogue, code, part)

    def __contains__(self, code: object) -> bool:
        return isinstance(code, str) and code in self._loaded().index

    def __len__(self) -> int:
        return len(self._loaded().index)

    def __iter__(self) -> Iterator[str]:
        return iter(list(self._loaded().index))

    def __repr__(self) -> str:
        catalogue = self._catalogue
        state = f"{len(catalogue.index)} contracts" if catalogue is not None else "not loaded"
        return f"Contracts({self.address!r}, {state})"

    @staticmethod
    def _unknown(what: str, name: str, known: Mapping[str, Any]) -> str:
        # Comparing with every code takes long; codes close to a mistyped one share its start.
        candidates = [k for k in known if k[:2].upper() == name[:2].upper()] or list(known)
        close = difflib.get_close_matches(name, candidates, n=5) or difflib.get_close_matches(
            name.upper(), candidates, n=5
        )
        hint = f"; close: {', '.join(close)}" if close else ""
        return f"no {what} {name!r} in the catalogue{hint}"

    def _group(self, kind: str, product: str) -> list[Contract]:
        _text("product", product)
        catalogue = self._loaded()
        part = catalogue.groups.get((kind, product))
        if part is None:
            products = {group: None for k, group in catalogue.groups if k == kind}
            raise KeyError(self._unknown(_PRODUCT[kind], product, products))
        return [self._record(catalogue, code, part) for code in part.codes]

    def futures(self, product: str) -> list[Future]:
        """The futures of a product ("TXF"), nearest delivery month first."""
        records: list[Future] = self._group("F", product)  # type: ignore[assignment]
        return sorted(records, key=lambda c: c.delivery_month)

    def front_month(self, product: str, *, today: dt.date | None = None) -> Future:
        """The product's future of the nearest delivery month not yet expired (it trades through
        its last trading day, the month's third Wednesday)."""
        if today is None:
            today = dt.date.today()
        elif not isinstance(today, dt.date):
            raise TypeError(f"today must be a datetime.date, not {type(today).__name__}")
        elif isinstance(today, dt.datetime):
            today = today.date()
        futures = self.futures(product)
        for future in futures:
            if expiry_date(future.delivery_month) >= today:
                return future
        raise KeyError(
            f"no {product} future trades after {today.isoformat()}"
            f" (the catalogue's last: {futures[-1].code if futures else 'none'})"
        )

    def options(self, product: str, delivery_month: str | None = None) -> list[Option]:
        """The options of a product ("TXO"), by delivery month, strike, then calls before puts;
        only those of ``delivery_month`` ("202612", "202612W1") when given."""
        records: list[Option] = self._group("O", product)  # type: ignore[assignment]
        if delivery_month is not None:
            _text("delivery_month", delivery_month)
            chosen = [c for c in records if c.delivery_month == delivery_month]
            if not chosen:
                months = sorted({c.delivery_month for c in records})
                raise ValueError(f"delivery_month {delivery_month!r}: {product} has options of {', '.join(months)}")
            records = chosen
        return sorted(records, key=lambda c: (c.delivery_month, _strike(c), c.option_right))

    def stocks(self) -> list[Stock]:
        """Every stock, by code."""
        catalogue = self._loaded()
        records: list[Stock] = [
            self._record(catalogue, code, part)  # type: ignore[misc]
            for (kind, _), part in catalogue.groups.items()
            if kind == "S"
            for code in part.codes
        ]
        return sorted(records, key=lambda c: c.code)
