"""Exit under signing load, many times: counts the runs that crash or hang.

Each run is a fresh interpreter that activates the process-wide signer, starts pooled
PyVornSign objects and daemon threads that sign without pause (object and module style, nine threads),
lets them run for a few milliseconds and exits with all of them still inside the library.
A run passes when it exits with code 0 before the guard time. Usage:

    python bench/stress_exit.py [RUNS] [PARALLEL]     (defaults 500 and 2)

The test PKI is made with the openssl command in a temporary folder.
"""

from __future__ import annotations

import collections
import os
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from support.pki_certs import PASSWORD, make_certs  # noqa: E402

CHILD = r"""
import random, sys, threading, time
from taloma.Vorn import ca
pfx, pw, seed = sys.argv[1], sys.argv[2], int(sys.argv[3])
random.seed(seed)
ca.init_ca(pfx, pw)
signers = [ca.PyVornSign(pfx, pw, "A1", "1.1.1.1", 20) for _ in range(3)]

def hammer(s):
    while True:
        s.gen_ca("A1 order"); s.sign(); ca.get_sign("quote")

for s in signers:
    for _ in range(3):
        threading.Thread(target=hammer, args=(s,), daemon=True).start()
time.sleep(random.uniform(0.0, 0.05))
"""

GUARD = 60.0


def one(pfx: str, seed: int, cwd: str) -> str:
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    try:
        done = subprocess.run(
            [sys.executable, "-c", CHILD, pfx, PASSWORD, str(seed)],
            cwd=cwd,
            env=env,
            capture_output=True,
            timeout=GUARD,
        )
    except subprocess.TimeoutExpired:
        return "hang"
    if done.returncode < 0:
        return f"signal {-done.returncode}"
    return "ok" if done.returncode == 0 else f"exit {done.returncode}"


def main() -> int:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 500
    parallel = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    with tempfile.TemporaryDirectory() as tmp:
        pfx = make_certs(Path(tmp) / "pki")["sign.p12"]
        start = time.monotonic()
        with ThreadPoolExecutor(parallel) as pool:
            outcomes = collections.Counter(pool.map(lambda i: one(pfx, i, tmp), range(runs)))
    bad = runs - outcomes["ok"]
    print(
        f"{runs} runs in {time.monotonic() - start:.0f} s: "
        + ", ".join(f"{k} {v}" for k, v in sorted(outcomes.items()))
        + f"; failures {bad}"
    )
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
