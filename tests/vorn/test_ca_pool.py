"""The signature pool of PyVornSign and one signer shared by several threads."""

from __future__ import annotations

import gc
import threading
import weakref

import pytest

from support import eventually
from support.ca import (  # noqa: F401  (fixtures)
    PASSWORD,
    der_of_quoted,
    layout,
    openssl_content,
    verifier,
    workdir,
)

ca = pytest.importorskip("taloma.Vorn.ca", reason="the signing module is not built")
PID, IP = "A123456789", "10.0.0.7"


def stop(signer):
    signer.store_count = 0
    for t in signer.threads:
        t.join(5)
        assert not t.is_alive()


@pytest.fixture
def pooled(pki, request):
    signer = ca.PyVornSign(pki["sign.p12"], PASSWORD, PID, IP, request.param)
    yield signer
    stop(signer)


@pytest.mark.parametrize("pooled", [2, 5], indirect=True)
def test_small_pools_fill(pooled):
    """A pool smaller than ten still makes one signature a round."""
    (thread,) = pooled.threads
    assert isinstance(thread, threading.Thread) and thread.daemon and thread.is_alive()
    assert pooled.store_count in (2, 5)
    eventually(lambda: len(pooled.store_sign) >= 2)


@pytest.mark.parametrize("pooled", [3], indirect=True)
def test_pool_drains_newest_first_then_signs_fresh(pki, pooled, workdir):
    eventually(lambda: len(pooled.store_sign) == 3)
    stop(pooled)
    pool = list(pooled.store_sign)
    stamps = []
    for quoted in pool:
        content = openssl_content(der_of_quoted(quoted), pki, workdir).decode()
        assert content.startswith(PID + IP)
        stamps.append(float(content[len(PID + IP) :]))  # pooled signatures carry no plain text
    assert stamps == sorted(stamps) and len(set(stamps)) == 3

    pooled.store_count = 3  # pool mode again, but nothing is left in it
    assert [pooled.sign("ignored") for _ in range(3)] == pool[::-1]
    fresh = openssl_content(der_of_quoted(pooled.sign("late order")), pki, workdir)
    assert fresh.startswith(f"{PID}{IP}late order".encode())
    with pytest.raises(IndexError):
        pooled.sign_speedup()


def test_gen_store_sign_appends_in_order(pki, workdir):
    signer = ca.PyVornSign(pki["sign.p12"], PASSWORD, PID, IP)
    signer.gen_store_sign(3)
    assert len(signer.store_sign) == 3 and signer.threads == []
    last = signer.store_sign[-1]
    assert signer.sign_speedup() == last and len(signer.store_sign) == 2
    # Without a pool size sign() always signs afresh.
    assert signer.sign("x") not in signer.store_sign


def test_pool_thread_ends_and_object_is_freed(pki):
    signer = ca.PyVornSign(pki["sign.p12"], PASSWORD, PID, IP, 1)
    ref = weakref.ref(signer)
    stop(signer)
    del signer
    gc.collect()
    assert ref() is None


def test_pool_thread_stops_cleanly_at_exit(pki, tmp_path):
    """Busy daemon threads and a pool at interpreter exit: no crash, no leak report."""
    import subprocess
    import sys

    from support import child_env

    script = f"""
import threading, time
from taloma.Vorn import ca
s = ca.PyVornSign({pki["sign.p12"]!r}, "1234", "A1", "1.1.1.1", 20)
def hammer():
    while True:
        s.gen_ca("A1 x"); s.sign()
for _ in range(3):
    threading.Thread(target=hammer, daemon=True).start()
time.sleep(0.3)
"""
    for _ in range(3):
        done = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, env=child_env(), cwd=tmp_path, timeout=60
        )
        assert done.returncode == 0, done.stderr
        assert "leaked" not in done.stderr and "terminate" not in done.stderr, done.stderr


def test_threads_share_one_pooled_signer(pki, verifier):
    """Four threads call gen_ca and sign on one object whose pool thread signs too."""
    signer = ca.PyVornSign(pki["sign.p12"], PASSWORD, PID, IP, 20)
    made: list[tuple[str, str]] = []
    errors: list[BaseException] = []
    lock = threading.Lock()

    def work(n):
        try:
            for i in range(30):
                order = f"{PID} order {n}-{i}"
                out = [("ca", signer.gen_ca(order).decode(), order), ("sign", signer.sign(order), None)]
                with lock:
                    made.extend(out)
        except BaseException as exc:
            errors.append(exc)

    workers = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(120)
    stop(signer)
    assert not errors and len(made) == 240
    for kind, text, order in made:
        ca_content = text if kind == "ca" else layout(text, PID)
        verdict = verifier.verify(PID, ca_content)
        assert verdict["problem"] is None
        if kind == "ca":
            assert verdict["content"] == order
        else:
            assert verdict["content"].startswith(PID + IP)


def test_dropped_pooled_signers_are_freed_with_their_threads(pki):
    baseline = threading.active_count()
    signers = [ca.PyVornSign(pki["sign.p12"], PASSWORD, PID, IP, 10) for _ in range(12)]
    assert threading.active_count() == baseline + 12
    refs = [weakref.ref(s) for s in signers]
    del signers  # a pool thread in the middle of a round lets go at its end
    eventually(lambda: all(r() is None for r in refs))
    eventually(lambda: threading.active_count() == baseline)


@pytest.mark.parametrize("store", [0, 10])
def test_close_and_context_manager(pki, store):
    with ca.PyVornSign(pki["sign.p12"], PASSWORD, PID, IP, store) as signer:
        assert signer.sign("x") and not signer.closed
        threads = list(signer.threads)
    assert signer.closed and signer.is_activate() is False
    assert signer.store_sign == [] and not any(t.is_alive() for t in threads)
    for use in (
        lambda: signer.gen_sign("x"),
        lambda: signer.sign("x"),
        lambda: signer.gen_ca("x"),
        lambda: signer.activate(pki["sign.p12"], PASSWORD, "."),
    ):
        with pytest.raises(ValueError, match="closed"):
            use()
    signer.close()  # twice is fine
