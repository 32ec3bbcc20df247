"""The README's examples run as written (against the simulator where they need a broker)."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import taloma
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
    section = (
        README.read_text(encoding="utf-8").split("\n## Log in and place a signed order\n", 1)[1].split("\n## ", 1)[0]
    )
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


SESSION_EXAMPLES = ("Quick start: a trading session, offline", "Market data in a session: callbacks and asyncio")


def quick_start_setup() -> str:
    """The identity one-liner of the quick start's set-up block."""
    section = README.read_text(encoding="utf-8").split(f"\n## {SESSION_EXAMPLES[0]}\n", 1)[1].split("\n## ", 1)[0]
    found = re.search(r'^python -c "(.*?)"', re.search(r"```sh\n(.*?)```", section, re.S).group(1), re.M)
    assert found, "no identity command in the quick start's set-up"
    return found.group(1)


def test_the_session_examples(tmp_path: Path) -> None:
    """The quick start's set-up, its broker trusting the identity made, then both session examples unchanged."""
    pytest.importorskip("taloma.Vorn.ca", reason="the signing module is not built")
    from taloma.simulator.bus import mosquitto_binary

    try:
        mosquitto_binary()
    except FileNotFoundError:
        pytest.skip("mosquitto is not installed")
    made = run_python(quick_start_setup(), cwd=tmp_path)
    assert made.returncode == 0, made.stderr
    header: list[str] = []
    # Options the reader's broker does not need: a small catalogue keeps the test quick.
    with simulator(
        tmp_path, "--market", "--bus", "auto", "--trusted-ca", made.stdout.split()[2], "--stocks", "80", header=header
    ) as base_url:
        bus_url = next(line.partition("=")[2] for line in header if line.startswith("export TALOMA_BUS_URL="))
        env = {
            "TALOMA_API_URL_SIMULATION": base_url,
            "TALOMA_BUS_URL": bus_url,
            "XDG_CACHE_HOME": str(tmp_path / "cache"),
            "XDG_STATE_HOME": str(tmp_path / "state"),
        }
        runs = [run_python(example(heading), cwd=tmp_path, **env) for heading in SESSION_EXAMPLES]
    for done in runs:
        assert done.returncode == 0, done.stderr
    filled, position, amended = (line.split() for line in runs[0].stdout.splitlines())
    assert re.fullmatch(r"TXF[A-L]\d", filled[0]) and filled[1:] == ["1", "Filled"]
    assert position[:2] == ["Buy", "1"] and re.fullmatch(r"\d+\.\d\d", position[2])
    assert amended == ["Submitted", "Cancelled"]
    ticks, last = (line.split() for line in runs[1].stdout.splitlines())
    assert ticks[0] == filled[0] and len(ticks) == 4 and all(re.fullmatch(r"\d+", c) for c in ticks[1:])
    assert last[0] == "True" and last[1].isdigit()
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "cache",
        "demo-ca.pem",
        "demo-user.p12",
        "simulator.stderr",
        "state",
    ]  # no log or property file in the working folder


def test_the_session_examples_type_check(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    for n, heading in enumerate(SESSION_EXAMPLES):
        (tmp_path / f"example{n}.py").write_text(example(heading), encoding="utf-8")
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / ".mypy_cache"))
    root = Path(taloma.__file__).resolve().parents[1]
    if root.name not in ("site-packages", "dist-packages"):
        env["MYPYPATH"] = str(root)  # an in-tree build; mypy refuses site-packages here
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--follow-imports=silent", "example0.py", "example1.py"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert run.returncode == 0, run.stdout + run.stderr
