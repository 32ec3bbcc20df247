"""Helpers shared by the tests: where the package and the source tree are, and a child's environment."""

from __future__ import annotations

import os
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import taloma

# The folder holding the taloma the tests import, installed or in-tree: a child process imports the same.
PACKAGE_ROOT = str(Path(taloma.__file__).resolve().parent.parent)
# The source tree beside tests/ (may be absent when the tests run on their own).
SOURCE = Path(__file__).resolve().parents[2]


def child_env(**extra: str) -> dict[str, str]:
    """This environment for a child interpreter that imports the same taloma."""
    return dict(os.environ, PYTHONPATH=PACKAGE_ROOT, **extra)


def run_python(
    code: str, *args: str, cwd: str | Path, timeout: float = 120, **env: str
) -> subprocess.CompletedProcess[str]:
    """``python -c code args`` in a process of its own (a hang fails the test, not the suite)."""
    return subprocess.run(
        [sys.executable, "-c", code, *args],
        cwd=cwd,
        env=child_env(**env),
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def eventually(check: Callable[[], Any], within: float = 20.0) -> Any:
    """Polls until ``check()`` is true and returns it; fails after ``within`` seconds (a bound on a
    wait for another thread or process, not a measurement)."""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        result = check()
        if result:
            return result
        time.sleep(0.02)
    raise AssertionError(f"not true within {within} s: {check}")
