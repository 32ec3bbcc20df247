"""The market-data stubs hold what tools/gen_stubs.py writes from the C++ record tables."""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path

import pytest

TOOL = Path(__file__).resolve().parents[2] / "tools" / "gen_stubs.py"


def load_tool():
    spec = importlib.util.spec_from_file_location("gen_stubs", TOOL)
    tool = importlib.util.module_from_spec(spec)
    sys.modules.setdefault(spec.name, tool)  # its dataclasses look their module up
    spec.loader.exec_module(tool)
    return tool


gen_stubs = load_tool()


@pytest.mark.parametrize("module", gen_stubs.MODULES)
def test_stub_is_generated_from_record_tables(module: str) -> None:
    committed = gen_stubs.stub_path(module).read_text(encoding="utf-8")
    assert gen_stubs.regenerated(module) == committed, f"run tools/gen_stubs.py: {module}.pyi is stale"
