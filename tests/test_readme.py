"""The README's examples run as written (against the simulator where they need a broker)."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

from support import SOURCE, run_python
from support.sim_process import simulator

README = SOURCE / "README.md"
if not README.exists():
    pytest.skip("the README is not beside the tests", allow_module_level=True)


def example(heading: str) -> str:
    """The first Python block under a "## " heading."""
    section = README.read_text(encoding="utf-8").split(f"\n## {heading}\n", 1)[1].split("\n## ", 1)[0]
    found = re.search(r"```python\n(.*?)```", section, re.S)
    assert found, f"no Python example under {heading!r}"
    return found.group(1)


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
    made = run_python(setup_command(), cwd=tmp_path)
    assert made.returncode == 0, made.stderr
    pfx, password, ca_pem = made.stdout.split()
    assert Path(pfx) == (tmp_path / "demo-user.p12").resolve() and Path(ca_pem) == (tmp_path / "demo-ca.pem").resolve()
    code = example("Log in and place a signed order")
    assert f'"{password}"' in code
    with simulator(tmp_path, "--trusted-ca", ca_pem) as base_url:
        done = run_python(code, cwd=tmp_path, TALOMA_API_URL_SIMULATION=base_url)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["True", "PendingSubmit", "000001", "k0001"]


def test_the_market_data_example(tmp_path: Path) -> None:
    code = example("Decode market data")
    done = run_python(code + "\nprint(topic, row['close'], row['datetime'])\n", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["TIC/v1/FOP/*/TFE/TXFL6", "23152", "2026-12-08T09:00:01.250431"]


def test_the_strategy_loop_example(tmp_path: Path) -> None:
    pytest.importorskip("taloma.Vorn.ca", reason="the signing module is not built")
    from taloma.Vorn.testca import make_demo_identity

    pfx, password, _ = make_demo_identity(tmp_path)
    code = example("Market data from the bus: a strategy loop")
    code = code.replace('"demo-user.p12"', repr(pfx)).replace('"pfx-password"', repr(password))
    done = run_python(code, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    ticks, order = done.stdout.splitlines()
    code, *closes, delivered = ticks.split()
    assert re.fullmatch(r"TXF[A-L]\d", code) and all(re.fullmatch(r"\d+", c) for c in closes)
    assert int(delivered) >= 3
    action = "Buy" if int(closes[-1]) >= int(closes[0]) else "Sell"
    assert order.split() == ["True", action, "PendingSubmit"]


def test_the_fills_example(tmp_path: Path) -> None:
    pytest.importorskip("taloma.backend.http.client", reason="the native Client is not built")
    from taloma.simulator.bus import mosquitto_binary

    try:
        mosquitto_binary()
    except FileNotFoundError:
        pytest.skip("mosquitto is not installed")
    done = run_python(example("Fills: orders that trade against the simulated market"), cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["True", "Buy", "1", "Filled", "0002", "1", "0", "B", "1", "True", "True"]
