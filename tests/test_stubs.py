"""Every type stub under taloma/ matches the module it describes.

A stub names what the module offers: definitions, assignments, annotations and re-exports written
``import m as m`` / ``from m import X as X`` (a plain import is the stub's own and names nothing).
Both directions are checked: each public name of the module is in its stub, and each name the
stub declares (public, or a private class or function) exists in the module. Classes are compared
the same way, member by member.
"""

from __future__ import annotations

import ast
import importlib
import inspect
from pathlib import Path

import pytest

import taloma

PACKAGE_DIR = Path(taloma.__file__).resolve().parent
STUBS = sorted(PACKAGE_DIR.rglob("*.pyi"))


def module_name(stub: Path) -> str:
    parts = stub.relative_to(PACKAGE_DIR.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def declared(body: list[ast.stmt], *, in_class: bool) -> tuple[set[str], set[str]]:
    """Names a stub body declares, and of those the ones the runtime object must have.

    A private assignment (a TypeVar, an alias) may exist in the stub alone; in a class body an
    annotation without a value describes an instance attribute, which the class itself lacks.
    """
    names: set[str] = set()
    required: set[str] = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(node.name)
            required.add(node.name)
        elif isinstance(node, (ast.Assign, ast.AnnAssign)):
            targets = node.targets if isinstance(node, ast.Assign) else [node.target]
            for target in targets:
                if not isinstance(target, ast.Name):
                    continue
                names.add(target.id)
                private = target.id.startswith("_") and target.id != "__all__"
                instance_only = in_class and isinstance(node, ast.AnnAssign) and node.value is None
                if not private and not instance_only:
                    required.add(target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)) and not in_class:
            for alias in node.names:
                if alias.asname is not None and alias.asname == alias.name.rpartition(".")[2]:
                    names.add(alias.asname)
                    required.add(alias.asname)
    return names, required


@pytest.mark.parametrize("stub", STUBS, ids=lambda p: str(p.relative_to(PACKAGE_DIR.parent)))
def test_stub_matches_module(stub: Path) -> None:
    name = module_name(stub)
    try:
        module = importlib.import_module(name)
    except ModuleNotFoundError as exc:
        if exc.name != name:
            raise
        pytest.skip(f"{name} is not built: no module beside {stub.name}")

    tree = ast.parse(stub.read_text(encoding="utf-8"), filename=str(stub))
    names, required = declared(tree.body, in_class=False)
    public = {n for n in vars(module) if not n.startswith("_")}
    assert sorted(public - names) == [], f"{name}: public names missing from {stub.name}"
    assert sorted(n for n in required if not hasattr(module, n)) == [], f"{name}: names in {stub.name} it lacks"

    for node in tree.body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) == "__all__" for t in node.targets):
            assert list(module.__all__) == list(ast.literal_eval(node.value)), f"{name}: __all__ differs"
        if isinstance(node, ast.ClassDef):
            cls = getattr(module, node.name)
            assert inspect.isclass(cls), f"{name}.{node.name} is not a class"
            members, needed = declared(node.body, in_class=True)
            own = {n for n in vars(cls) if not n.startswith("_")}
            assert sorted(own - members) == [], f"{name}.{node.name}: members missing from the stub"
            assert sorted(n for n in needed if not hasattr(cls, n)) == [], f"{name}.{node.name}: stub members it lacks"


# lib*.so are shared libraries beside the modules, not modules.
NATIVE = sorted(p for p in PACKAGE_DIR.rglob("*.so") if not p.name.startswith("lib"))


def test_package_is_built() -> None:
    assert NATIVE, f"no native module under {PACKAGE_DIR}: the package is not built"


@pytest.mark.parametrize("module", NATIVE, ids=lambda p: str(p.relative_to(PACKAGE_DIR.parent)).split(".")[0])
def test_native_module_has_a_stub(module: Path) -> None:
    stub = module.parent / (module.name.split(".")[0] + ".pyi")
    assert stub.exists(), f"{module.name} has no type stub {stub.name} beside it"
