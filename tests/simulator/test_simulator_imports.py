"""The simulator's modules import one another without a cycle, type-checking and deferred imports included."""

from __future__ import annotations

import ast
from pathlib import Path

import pytest

import taloma.simulator

PACKAGE = "taloma.simulator"
FOLDER = Path(taloma.simulator.__file__).parent
MODULES = sorted(path.stem for path in FOLDER.glob("*.py"))


def _imports(module: str) -> set[str]:
    """The simulator modules that ``module`` imports anywhere in its text."""
    found: set[str] = set()
    for node in ast.walk(ast.parse((FOLDER / f"{module}.py").read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            names = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module is not None:
            # "from taloma.simulator import routes" imports a module; "... import BrokerSimulator" the package.
            names = [f"{node.module}.{alias.name}" if node.module == PACKAGE else node.module for alias in node.names]
        else:
            continue
        for name in names:
            if name == PACKAGE:
                found.add("__init__")
            elif name.startswith(PACKAGE + "."):
                stem = name[len(PACKAGE) + 1 :].split(".")[0]
                found.add(stem if stem in MODULES else "__init__")
    found.discard(module)
    return found


GRAPH = {module: _imports(module) for module in MODULES}


def _path_back(start: str) -> list[str] | None:
    """A chain of imports from ``start`` back to itself, or None."""
    stack, seen = [(start, [start])], set()
    while stack:
        module, path = stack.pop()
        for imported in GRAPH[module]:
            if imported == start:
                return [*path, start]
            if imported not in seen:
                seen.add(imported)
                stack.append((imported, [*path, imported]))
    return None


def test_the_graph_sees_the_imports():
    # A parser that found nothing would pass every module below.
    assert {"books", "clock", "messages", "prices"} <= GRAPH["market"]
    assert "orderbook" in GRAPH["fills"] and "orderbook" in GRAPH["orders"]


@pytest.mark.parametrize("module", MODULES)
def test_no_import_cycle(module):
    assert _path_back(module) is None, " -> ".join(_path_back(module) or [])


def test_the_exchange_does_not_import_the_subscriber():
    # The bus plumbing both ends share lives in taloma.bus; the exchange must not lean on the package's feed.
    leaning = [
        path.name
        for path in FOLDER.glob("*.py")
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8")))
        if (isinstance(node, ast.ImportFrom) and node.module == "taloma.feed")
        or (isinstance(node, ast.Import) and any(alias.name == "taloma.feed" for alias in node.names))
    ]
    assert leaning == []
