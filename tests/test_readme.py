"""The README's examples run as written (against the simulator where they need a broker)."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from sim_process import PACKAGE_ROOT, simulator

README = Path(__file__).resolve().parent.parent / "README.md"
if not README.exists():
    pytest.skip("the README is not beside the tests", allow_module_level=True)


def example(heading: str) -> str:
    """The first Python block under a "## " heading."""
    section = README.read_text(encoding="utf-8").split(f"\n## {heading}\n", 1)[1].split("\n## ", 1)[0]
    found = re.search(r"```python\n(.*?)```", section, re.S)
    assert found, f"no Python example under {heading!r}"
    return found.group(1)


def run(code: str, cwd: Path, **env: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT, **env))


def setup_command() -> str:
    """The Python one-liner of the README's offline set-up block."""
    section = README.read_text(encoding="utf-8").split("\n## Log in and place a signed order\n", 1)[1].split("\n## ", 1)[0]
    block = re.search(r"```sh\n(.*?)```", section, re.S).group(1)
    found = re.search(r'^python -c "(.*?)"', block, re.M)
    assert found, "no identity command in the set-up block"
    return found.group(1)


def test_the_signed_order_example(tmp_path: Path) -> None:
    """The reader's steps as written: make the identity in the folder, run the example there unchanged."""
    pytest.importorskip("taloma.Vorn.ca", reason="the signing module is not built")
    made = run(setup_command(), tmp_path)
    assert made.returncode == 0, made.stderr
    pfx, password, ca_pem = made.stdout.split()
    assert Path(pfx) == (tmp_path / "demo-user.p12").resolve() and Path(ca_pem) == (tmp_path / "demo-ca.pem").resolve()
    code = example("Log in and place a signed order")
    assert f'"{password}"' in code
    with simulator(tmp_path, "--trusted-ca", ca_pem) as base_url:
        done = run(code, tmp_path, TALOMA_API_URL_SIMULATION=base_url)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["True", "PendingSubmit", "000001", "k0001"]


def test_the_market_data_example(tmp_path: Path) -> None:
    code = example("Decode market data")
    done = run(code + "\nprint(topic, row['close'], row['datetime'])\n", tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["TIC/v1/FOP/*/TFE/TXFL6", "23152", "2026-12-08T09:00:01.250431"]
