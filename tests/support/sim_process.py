"""``python -m taloma.simulator`` in a process of its own, for tests."""

from __future__ import annotations

import contextlib
import re
import signal
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path

from support import child_env


@contextlib.contextmanager
def simulator(folder: Path, *args: str, header: list[str] | None = None) -> Iterator[str]:
    """``python -m taloma.simulator`` in its own process; yields its base address.

    ``header`` receives the lines it prints before it serves.
    """
    env = child_env()
    errors = Path(folder, "simulator.stderr")
    with errors.open("w") as sink:  # a file: a full pipe would stall the server
        proc = subprocess.Popen(
            [sys.executable, "-m", "taloma.simulator", *args],
            cwd=folder,
            env=env,
            stdout=subprocess.PIPE,
            stderr=sink,
            text=True,
        )
    try:
        line = proc.stdout.readline()
        found = re.match(r"simulated broker at (http://127\.0\.0\.1:\d+) ", line)
        assert found, f"unexpected first line {line!r}: {errors.read_text()}"
        if header is not None:
            header.append(line)
            while not line.startswith("export TALOMA_BUS_URL=" if "--bus" in args else "export TALOMA_API"):
                line = proc.stdout.readline()
                assert line, errors.read_text()
                header.append(line.rstrip("\n"))
        yield found.group(1)
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            code = proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            raise
        finally:
            proc.stdout.close()
        stderr = errors.read_text()
    # A SIGTERM ends it cleanly, and no request handler failed while it served.
    assert code == 0, stderr
    assert "Traceback" not in stderr, stderr
