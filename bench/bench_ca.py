"""The signing module's rates beside the raw signing rate of the PKI library.

Raw: SignPkcs7 of a 100-byte text through ctypes on the process-wide signer, measured exactly as
bench_sign.py measures it (its credential and its rate(): operations per user-CPU second over
BENCH_SECONDS, best of two rounds). Ours, on a PyVornSign of the same certificate:
gen_sign() (about 100 bytes signed: person id, IP, plain text, time), gen_ca() and sign() from a
warm pool (a pool filled beforehand and drained without a pool thread running). The bar:
gen_sign reaches 85% of the raw rate. A last line shows two signers on two threads (wall clock),
since signing runs with the interpreter lock released.
"""

from __future__ import annotations

import ctypes
import os
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_sign
from taloma.Vorn import ca

PID, IP = "A123456789", "1.2.3.4"
PLAIN = "TXFA4 B 1 @ 17000 ROD".ljust(100 - len(PID + IP) - len("1702000000.123456"), "x")
POOL = 1000


def pool_rate(signer: ca.PyVornSign) -> float:
    """sign() per wall second while the pool holds signatures."""
    signer.store_count = 0
    signer.gen_store_sign(POOL)
    signer.store_count = POOL
    start = time.perf_counter()
    for _ in range(POOL):
        signer.sign()
    elapsed = time.perf_counter() - start
    assert not signer.store_sign
    signer.store_count = 0
    return POOL / elapsed


def two_threads(pfx: str) -> float:
    signers = [ca.PyVornSign(pfx, "1234", PID, IP) for _ in range(2)]
    counts = [0, 0]
    deadline = time.perf_counter() + bench_sign.SECONDS

    def run(i: int) -> None:
        while time.perf_counter() < deadline:
            signers[i].gen_sign(PLAIN)
            counts[i] += 1

    start = time.perf_counter()
    workers = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return sum(counts) / (time.perf_counter() - start)


def main() -> None:
    lib = ctypes.CDLL(str(bench_sign.LIB))
    with tempfile.TemporaryDirectory() as tmp:
        os.chdir(tmp)
        props = str(bench_sign.make_credential(Path(tmp))).encode()
        buf, n = ctypes.create_string_buffer(512), ctypes.c_int(512)
        assert lib.MakeVornSignPasswd(buf, ctypes.byref(n), props, b"1234") == 0
        assert lib.VornSignInitial(props, buf.value) == 0
        pfx = str(Path(tmp) / "bench.p12")
        signer = ca.PyVornSign(pfx, "1234", PID, IP)
        assert len(signer.gen_sign(PLAIN)) > 0 and signer.gen_ca(PID + PLAIN).startswith(b"0000")

        rounds = []
        for _ in range(2):
            rounds.append(
                {
                    "raw": bench_sign.rate(lib.SignPkcs7, bench_sign.TEXT, b"BIG5"),
                    "gen_sign": bench_sign.rate(signer.gen_sign, PLAIN),
                    "gen_ca": bench_sign.rate(signer.gen_ca, PID + PLAIN),
                }
            )
        pooled = max(pool_rate(signer) for _ in range(2))
        parallel = two_threads(pfx)
        os.chdir("/")

    best = {k: max(r[k][0] for r in rounds) for k in rounds[0]}
    raw = best["raw"]
    print(f"{'':34}{'per CPU s':>12}{'ratio':>8}{'bar':>6}")
    print(f"{'SignPkcs7 raw (100 B, ctypes)':34}{raw:12.1f}{1:8.2f}")
    ratio = best["gen_sign"] / raw
    print(
        f"{'PyVornSign.gen_sign()':34}{best['gen_sign']:12.1f}{ratio:8.2f}{'0.85':>6}"
        f"  {'ok' if ratio >= 0.85 else 'BELOW'}"
    )
    print(f"{'PyVornSign.gen_ca()':34}{best['gen_ca']:12.1f}{best['gen_ca'] / raw:8.2f}")
    print(f"{'PyVornSign.sign() warm pool':34}{pooled:12.1f}{'':8}  (per wall second)")
    print(f"{'gen_sign, 2 signers x 2 threads':34}{parallel:12.1f}{parallel / raw:8.2f}  (per wall second)")
    print(
        "rounds (per CPU s, wall s): "
        + "; ".join(", ".join(f"{k} {v[0]:.0f} ({v[1]:.0f})" for k, v in r.items()) for r in rounds)
    )


if __name__ == "__main__":
    main()
