"""The typed API: the stubs agree with the modules (mypy.stubtest), and mypy catches misuse.

stubtest cannot see the signature of a nanobind function; those few are on an allow-list, and
their stubs are compared here with the signature nanobind itself reports (``__nb_signature__``).
"""

from __future__ import annotations

import ast
import importlib
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import taloma

pytest.importorskip("mypy.stubtest")

PACKAGE_DIR = Path(taloma.__file__).resolve().parent
STUBBED = sorted(".".join(p.relative_to(PACKAGE_DIR.parent).with_suffix("").parts) for p in PACKAGE_DIR.rglob("*.pyi"))
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")


def mypy(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, MYPY_CACHE_DIR=str(cwd / ".mypy_cache"))
    if PACKAGE_DIR.parent.name not in ("site-packages", "dist-packages"):
        env["MYPYPATH"] = str(PACKAGE_DIR.parent)  # an in-tree build; mypy refuses site-packages here
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )


def allowlisted() -> list[str]:
    lines = (line.split("#")[0].strip() for line in ALLOWLIST.read_text(encoding="utf-8").splitlines())
    return [line for line in lines if line]


def test_stubtest(tmp_path: Path) -> None:
    run = mypy("mypy.stubtest", "--allowlist", str(ALLOWLIST), *STUBBED, cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def stub_parameters(qualified: str) -> list[str]:
    """Parameter names of a function (or method, Class.name) as its stub declares them, self left out."""
    module, attr = split(qualified)
    body = stub_body(module)
    *owners, name = attr.split(".")
    for owner in owners:
        body = next(n for n in body if isinstance(n, ast.ClassDef) and n.name == owner).body
    func = next(n for n in body if isinstance(n, ast.FunctionDef) and n.name == name)
    args = func.args
    names = [a.arg for a in args.posonlyargs + args.args]
    if owners and not any(getattr(d, "id", None) == "staticmethod" for d in func.decorator_list):
        names = names[1:]
    names += [f"*{args.vararg.arg}"] if args.vararg else []
    names += [a.arg for a in args.kwonlyargs]
    names += [f"**{args.kwarg.arg}"] if args.kwarg else []
    return names


def stub_body(module: str) -> list[ast.stmt]:
    stub = PACKAGE_DIR.parent.joinpath(*module.split(".")).with_suffix(".pyi")
    return ast.parse(stub.read_text(encoding="utf-8")).body


def split(qualified: str) -> tuple[str, str]:
    """(module, attribute path) of a dotted name, the module being the longest stubbed prefix."""
    module = max((m for m in STUBBED if qualified.startswith(m + ".")), key=len)
    return module, qualified[len(module) + 1 :]


def nb_parameters(signature: str) -> list[str]:
    """Parameter names of a nanobind signature text "def f(a: int, /, b: str = \\0, *args, **kw) -> r"."""
    inner = signature[signature.index("(") + 1 : signature.rindex(")")]
    names, depth, current = [], 0, ""
    for ch in inner + ",":
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        if ch == "," and depth == 0:
            name = re.split(r"[:=]", current)[0].strip()
            if name not in ("", "/", "*", "self"):
                names.append(name)
            current = ""
        else:
            current += ch
    return names


def resolve(qualified: str) -> object:
    module, attr = split(qualified)
    obj: object = importlib.import_module(module)
    for part in attr.split("."):
        obj = getattr(obj, part)
    return obj


def stub_methods(qualified: str) -> list[str]:
    module, attr = split(qualified)
    cls = next(n for n in stub_body(module) if isinstance(n, ast.ClassDef) and n.name == attr)
    return [f"{qualified}.{n.name}" for n in cls.body if isinstance(n, ast.FunctionDef)]


@pytest.mark.parametrize("qualified", allowlisted())
def test_allowlisted_matches_nb_signature(qualified: str) -> None:
    obj = resolve(qualified)
    if isinstance(obj, type):
        # A nanobind class: its methods are nanobind functions too (properties are not).
        assert type(obj).__module__ == "nanobind", f"{qualified}: stubtest can check it, take it off the allow-list"
        functions = [name for name in stub_methods(qualified) if hasattr(resolve(name), "__nb_signature__")]
        assert functions, f"{qualified}: no nanobind method in its stub"
    else:
        assert hasattr(obj, "__nb_signature__"), f"{qualified}: stubtest can check it, take it off the allow-list"
        functions = [qualified]
    for name in functions:
        signatures = resolve(name).__nb_signature__  # type: ignore[attr-defined]
        assert [nb_parameters(sig) for sig, *_ in signatures] == [stub_parameters(name)], (name, signatures)


# Each line marked "# E: code ..." must give exactly those mypy error codes; no other line may give any.
MISUSE = """
    from decimal import Decimal
    import taloma.backend.http.futureoption.order as fo
    from taloma.account import FutureAccount, StockAccount
    from taloma.backend.http.account import AccountMargin, AccountRealProfitLoss
    from taloma.backend.http.client import Client
    from taloma.backend.solace.tick import TickSTKv1
    from taloma.contracts import Future
    from taloma.order import Order, Trade

    def misuse(client: Client, trade: Trade, stock: StockAccount, futures: FutureAccount, tick: TickSTKv1) -> None:
        fo.place_futopt_order("TXFL6", "not an order", 42, "client")  # E: arg-type arg-type arg-type arg-type
        fo.place_futopt_order(Future(code="TXFL6"), Order(), "ca", client, 1)  # E: call-arg
        fo.update_futopt_order_price(trade, "ca", client, "18000")  # E: arg-type
        fo.update_futopt_order_price(trade, "ca", client, Decimal("18000"))  # E: arg-type
        fo.update_futopt_order_qty(trade, "ca", client, 1.5)  # E: arg-type
        fo.cancel_futopt_order(trade.order, "ca", client)  # E: arg-type
        AccountMargin("NTD", "1", stock, client)  # E: arg-type
        AccountRealProfitLoss("A", "20261201", "20261208", "A", " ", futures, client)  # E: arg-type
        Order(price="18000", quantity="1")  # E: arg-type arg-type
        tick.__getitem__(key="close")  # E: call-arg
        trade.order.seqno = 7  # E: assignment
"""

CORRECT = """
    from typing import Any
    import taloma.backend.http.futureoption.order as fo
    from taloma.backend.http.account import AccountMargin, AccountUnRealProfitLoss
    from taloma.backend.http.client import Client
    from taloma.backend.solace.tick import TickSTKv1
    from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType
    from taloma.contracts import Future, Option
    from taloma.order import Order, Trade

    def use(tick: TickSTKv1) -> list[Any]:
        client = Client(simulation=True, proxies=None)
        stocks, futures = client.login("A123456789", "password")
        account = client.default_futopt_account
        assert account is not None
        order = Order(action=Action.Buy, price_type=FuturesPriceType.LMT, order_type=OrderType.ROD,
                      price=18000.5, quantity=1, octype=FuturesOCType.Auto, account=account)
        contract = Future(code="TXFL6", exchange="TAIFEX")
        reply = fo.place_futopt_order(contract, order, "ca", client)
        fo.place_option_order(Option(code="TXO18000L6", option_right="C"), dict(order), "ca", client)
        order, status, ok = fo.futopt_resp2order_status(reply, order)
        trade = Trade(contract, order, status)
        fo.update_futopt_order_price(trade, "ca", client, 18001)
        fo.update_futopt_order_qty(trade, "ca", client, 2)
        fo.cancel_futopt_order(trade, "ca", client)
        for entry in fo.query_futopt_order(client).values():
            trade = fo.resp2trade(entry, trade)
        margin = AccountMargin("NTD", "1", futures[0], client)
        unreal = AccountUnRealProfitLoss("A", "A", " ", stocks[0], client)
        return [margin.data(), unreal.data()["detail"], tick["close"], ok, trade.status.status]
"""


def expected_errors(source: str) -> list[tuple[int, str]]:
    found = []
    for number, line in enumerate(source.splitlines(), 1):
        if "# E:" in line:
            found += [(number, code) for code in line.split("# E:")[1].split()]
    return sorted(found)


def test_mypy_catches_misuse_and_accepts_correct_use(tmp_path: Path) -> None:
    sources = {"misuse.py": textwrap.dedent(MISUSE).lstrip(), "correct.py": textwrap.dedent(CORRECT).lstrip()}
    for name, text in sources.items():
        (tmp_path / name).write_text(text, encoding="utf-8")
    run = mypy("mypy", "--strict", "--show-error-codes", "--no-error-summary", *sources, cwd=tmp_path)
    errors: dict[str, list[tuple[int, str]]] = {name: [] for name in sources}
    for line in run.stdout.splitlines():
        if ": note: " in line:
            continue
        match = re.match(r"(\w+\.py):(\d+): error: .*\[([\w-]+)\]$", line)
        assert match, f"unexpected mypy output: {line}\n{run.stdout}{run.stderr}"
        errors[match.group(1)].append((int(match.group(2)), match.group(3)))
    assert sorted(errors["correct.py"]) == [], run.stdout
    assert sorted(errors["misuse.py"]) == expected_errors(sources["misuse.py"]), run.stdout
