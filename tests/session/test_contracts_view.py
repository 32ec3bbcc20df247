"""The session's contract catalogue: look-ups, product lists, front month and the day's copy on disk."""

from __future__ import annotations

import datetime as dt
import logging
import os
import shutil
from decimal import Decimal
from typing import Any

import pytest

import taloma.backend.http as settings
from support.broker import PASSWORD, PERSON_ID
from taloma import session_contracts
from taloma.backend.http import contract as native
from taloma.backend.http.client import Client
from taloma.contracts import Future, Index, Option, Stock
from taloma.errors import NotLoggedIn
from taloma.session_contracts import Contracts, third_wednesday
from taloma.simulator.catalogue import catalogue_of


@pytest.fixture(scope="module")
def logged_in(broker):
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(settings, "api_url_simulation", broker.base_url)
        client = Client(simulation=True, proxies=None)
        client.login(PERSON_ID, PASSWORD)
        yield client


@pytest.fixture(scope="module")
def day_copy(logged_in, tmp_path_factory):
    """A folder holding the day's catalogue of the shared broker, and the Contracts that wrote it."""
    folder = tmp_path_factory.mktemp("catalogue")
    contracts = Contracts(logged_in, folder)
    len(contracts)
    return folder, contracts


@pytest.fixture
def contracts(day_copy):
    return day_copy[1]


@pytest.fixture
def downloads(monkeypatch):
    """Counts the catalogue downloads per product type."""
    calls: list[str] = []
    real = native.fetch_available_product

    def counted(client: Any, product_type: str) -> Any:
        calls.append(product_type)
        return real(client, product_type)

    monkeypatch.setattr(native, "fetch_available_product", counted)
    return calls


def test_size_and_kinds(contracts, broker) -> None:
    catalogue = catalogue_of(broker.state)
    expected = (
        len(catalogue.stocks())
        + len(catalogue.indices())
        + sum(len(entries) for groups in (catalogue.futures(), catalogue.options()) for entries in groups.values())
    )
    assert len(contracts) == len(set(contracts)) == expected
    assert {type(contracts[code]) for code in contracts} == {Stock, Future, Option, Index}


def _near_future(contracts: Contracts) -> Future:
    return contracts.futures("TXF")[0]


@pytest.mark.parametrize(
    "look_up,check",
    [
        (lambda c, f: c[f.code], lambda f, found: found is f and found.currency == "TWD" and found.unit == 200),
        (lambda c, f: c.get(f.code), lambda f, found: found is f),
        (lambda c, f: c.get(f.code + "X"), lambda f, found: found is None),
        (lambda c, f: c.get(f.code + "X", "none"), lambda f, found: found == "none"),
        (lambda c, f: (f.code in c, f.code.lower() in c, 5 in c), lambda f, found: found == (True, False, False)),
        (
            lambda c, f: c.stocks(),
            lambda f, found: (
                found
                and all(isinstance(s, Stock) for s in found)
                and [s.code for s in found] == sorted(s.code for s in found)
            ),
        ),
    ],
    ids=["item", "get", "get-missing", "get-default", "contains", "stocks"],
)
def test_look_ups(contracts, look_up, check) -> None:
    future = _near_future(contracts)
    assert check(future, look_up(contracts, future))


@pytest.mark.parametrize(
    "ask,wanted",
    [
        (lambda c, code: c[code[:-1] + "9"], "code"),  # a mistyped month
        (lambda c, code: c[code.lower()], "code"),  # the wrong case
        (lambda c, code: c.futures("TXG"), "TXF"),
        (lambda c, code: c.options("TXQ"), "TXO"),
        (lambda c, code: c.front_month("TX"), "TXF"),
    ],
    ids=["month", "case", "futures", "options", "front-month"],
)
def test_unknown_names_suggest_close_ones(contracts, ask, wanted) -> None:
    code = _near_future(contracts).code
    with pytest.raises(KeyError) as raised:
        ask(contracts, code)
    assert (code if wanted == "code" else wanted) in str(raised.value)


@pytest.mark.parametrize(
    "ask,error,named",
    [
        (lambda c: c[5], TypeError, "code"),
        (lambda c: c.futures(None), TypeError, "product"),
        (lambda c: c.options("TXO", delivery_month=202612), TypeError, "delivery_month"),
        (lambda c: c.options("TXO", delivery_month="209901"), ValueError, "delivery_month"),
        (lambda c: c.front_month("TXF", today="2026-12-16"), TypeError, "today"),
    ],
)
def test_bad_arguments_are_named(contracts, ask, error, named) -> None:
    with pytest.raises(error, match=named):
        ask(contracts)


def test_product_lists_are_ordered(contracts) -> None:
    months = [f.delivery_month for f in contracts.futures("TXF")]
    assert len(months) > 1 and months == sorted(months)
    chain = contracts.options("TXO")
    order = [(o.delivery_month, float(o.strike_price), o.option_right) for o in chain]
    assert order == sorted(order) and {o.option_right for o in chain} == {"C", "P"}
    month = chain[-1].delivery_month
    one_month = contracts.options("TXO", delivery_month=month)
    assert one_month == [o for o in chain if o.delivery_month == month]
    assert Decimal(str(one_month[0].strike_price)) < Decimal(str(one_month[-1].strike_price))


@pytest.mark.parametrize("year,month,day", [(2026, 12, 16), (2027, 1, 20), (2024, 5, 15), (2025, 10, 15)])
def test_third_wednesday(year, month, day) -> None:
    assert third_wednesday(year, month) == dt.date(year, month, day)


@pytest.mark.parametrize("shift,nth", [(-20, 0), (0, 0), (1, 1)], ids=["month-before", "last-day", "day-after"])
def test_front_month_rolls_after_the_third_wednesday(contracts, shift, nth) -> None:
    futures = contracts.futures("TXF")
    month = futures[0].delivery_month
    last_day = third_wednesday(int(month[:4]), int(month[4:]))
    assert contracts.front_month("TXF", today=last_day + dt.timedelta(days=shift)) is futures[nth]


def test_second_contracts_of_the_day_downloads_nothing(day_copy, logged_in, downloads) -> None:
    folder, first = day_copy
    second = Contracts(logged_in, folder)
    future = _near_future(first)
    assert second[future.code] == future and second[future.code] is not future
    assert len(second) == len(first) and second.options("TXO") == first.options("TXO")
    assert downloads == []


def test_the_day_copy_lives_in_the_user_cache_folder(day_copy, logged_in, tmp_path, monkeypatch) -> None:
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    (tmp_path / "taloma").mkdir()
    shutil.copy2(day_copy[1].cache_file, tmp_path / "taloma")
    monkeypatch.setattr(native, "fetch_available_product", None)
    assert len(Contracts(logged_in)) == len(day_copy[1])


def _tiny(client: Any, product_type: str) -> Any:
    record = {
        "symbol": "TXF202612",
        "security_type": "FUT",
        "currency": "TWD",
        "exchange": "TAIFEX",
        "code": "TXFL6",
        "name": "x",
        "category": "TXF",
        "delivery_month": "202612",
        "strike_price": 0,
        "option_right": "",
        "underlying_kind": "I",
        "underlying_code": "#001",
        "unit": 200.0,
        "multiplier": 0,
    }
    return {"TXF": [record]} if product_type == "F" else {}


def _yesterday(path: os.PathLike[str]) -> None:
    then = (dt.datetime.now() - dt.timedelta(days=1)).timestamp()
    os.utime(path, (then, then))


@pytest.mark.parametrize(
    "spoil",
    [
        lambda path, patch: path.write_bytes(path.read_bytes()[: path.stat().st_size // 2]),
        lambda path, patch: path.write_bytes(b"not a catalogue"),
        lambda path, patch: _yesterday(path),
        lambda path, patch: patch.setattr(session_contracts, "trading_day", lambda: dt.date.today() + dt.timedelta(1)),
    ],
    ids=["truncated", "garbage", "written-yesterday", "next-trading-day"],
)
def test_a_spoiled_or_old_copy_is_replaced(day_copy, logged_in, tmp_path, monkeypatch, spoil, caplog) -> None:
    shutil.copy2(day_copy[1].cache_file, tmp_path)
    contracts = Contracts(logged_in, tmp_path)
    spoil(contracts.cache_file, monkeypatch)
    monkeypatch.setattr(native, "fetch_available_product", _tiny)
    with caplog.at_level(logging.INFO, logger="taloma"):
        assert list(contracts) == ["TXFL6"]
    assert any("downloaded" in r.getMessage() for r in caplog.records if r.levelno == logging.INFO)
    assert not [r for r in caplog.records if r.levelno >= logging.ERROR]
    monkeypatch.setattr(native, "fetch_available_product", None)  # the replaced copy is read from now on
    assert len(Contracts(logged_in, tmp_path)) == 1 and [p.name for p in tmp_path.iterdir()] == [
        contracts.cache_file.name
    ]


def test_refresh_downloads_again(day_copy, logged_in, tmp_path, downloads) -> None:
    shutil.copy2(day_copy[1].cache_file, tmp_path)
    contracts = Contracts(logged_in, tmp_path)
    future = _near_future(contracts)
    assert downloads == []
    contracts.refresh()
    assert sorted(downloads) == ["F", "I", "O", "S"]
    assert contracts[future.code] == future and contracts[future.code] is not future


def test_download_needs_a_login(sim_settings, tmp_path) -> None:
    contracts = Contracts(Client(simulation=True, proxies=None), tmp_path)
    with pytest.raises(NotLoggedIn):
        len(contracts)
    assert list(tmp_path.iterdir()) == []
