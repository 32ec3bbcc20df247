"""PKCS#7 signing and verification per second through the C functions, beside OpenSSL's raw RSA-2048.

SignPkcs7 of a 100-byte text (BIG5, SHA-256, signer certificate and content included, as the
signing module configures it) and VerifyPkcs7 of the result, called through ctypes as a user's
program would, against `openssl speed -seconds 3 rsa2048` run in the same process tree on the same
machine. Like `openssl speed` (without -elapsed), rates are operations per second of the
process's user CPU time, so that other load on a shared machine does not skew the ratio; the
wall-clock rates are printed too. Our side runs before and after OpenSSL's run and the better of
the two is taken. Bars: signing >= 90% of OpenSSL's sign rate, verification >= 50% of its verify
rate. A last row, without a bar, verifies with the chain and CRL checks on (the certificate is
its own one-certificate chain), in a process of its own since those settings are per process.
"""

from __future__ import annotations

import ctypes
import os
import re
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import taloma

LIB = Path(taloma.__file__).resolve().parent / "Vorn" / "libVornPKI.so"
SECONDS = float(os.environ.get("BENCH_SECONDS", "3"))
TEXT = ("A123456789" + "1.2.3.4" + "TXFA4 B 1 @ 17000 ROD" + "1702000000.123456").ljust(100, "x").encode("big5")


def make_credential(folder: Path) -> Path:
    """An RSA-2048 signing certificate and its PKCS#12 file, made with the openssl command."""
    key, cert, pfx = folder / "k.pem", folder / "c.pem", folder / "bench.p12"
    subprocess.run(
        [
            "openssl",
            "req",
            "-x509",
            "-newkey",
            "rsa:2048",
            "-nodes",
            "-keyout",
            str(key),
            "-out",
            str(cert),
            "-days",
            "30",
            "-subj",
            "/C=TW/O=Bench/CN=Bench Signer",
            "-addext",
            "keyUsage=critical,digitalSignature,nonRepudiation",
        ],
        check=True,
        capture_output=True,
    )
    subprocess.run(
        [
            "openssl",
            "pkcs12",
            "-export",
            "-inkey",
            str(key),
            "-in",
            str(cert),
            "-passout",
            "pass:1234",
            "-out",
            str(pfx),
        ],
        check=True,
        capture_output=True,
    )
    # The certificate is its own chain, for the run with chain checks.
    (folder / "P7B").mkdir()
    subprocess.run(
        [
            "openssl",
            "crl2pkcs7",
            "-nocrl",
            "-certfile",
            str(cert),
            "-outform",
            "DER",
            "-out",
            str(folder / "P7B" / "self.p7b"),
        ],
        check=True,
        capture_output=True,
    )
    ski = subprocess.run(
        ["openssl", "x509", "-in", str(cert), "-noout", "-ext", "subjectKeyIdentifier"],
        check=True,
        capture_output=True,
        text=True,
    ).stdout.splitlines()[1]
    (folder / "chain.properties").write_text(
        f"LOG.level = WARN\nP7B.path = {folder}/P7B\nP7B0.name = self.p7b\n"
        f"P7B0.SKI = {ski.strip().replace(':', '')}\nVerifyCertChain = true\nVerifyCRL = true\n",
        encoding="utf-8",
    )
    props = folder / "p7Sign.properties"
    props.write_text(
        f"LOG.path = {folder}/logs\nLOG.file = ca.log\nLOG.level = WARN\n"
        f"PFX.path = {folder}\nPFX.file = bench.p12\nPFX.checkValid = true\n"
        "PKCS7.digest = SHA256\nPKCS7.addCert = 1\nPKCS7.addPlainText = true\nPKCS7.addTimestamp = false\n"
        f"P7B.path = {folder}\nVerifyCertChain = false\nVerifyCRL = false\n",
        encoding="utf-8",
    )
    return props


def user_time() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_utime


def rate(fn, *args) -> tuple[float, float]:
    """(operations per user-CPU second, per wall-clock second) over SECONDS of wall time."""
    n, start, cpu = 0, time.perf_counter(), user_time()
    deadline = start + SECONDS
    while True:
        for _ in range(20):
            fn(*args)
        n += 20
        now = time.perf_counter()
        if now >= deadline:
            return n / max(user_time() - cpu, 1e-9), n / (now - start)


def openssl_speed() -> tuple[float, float]:
    out = subprocess.run(
        ["openssl", "speed", "-seconds", str(int(SECONDS)), "rsa2048"], capture_output=True, text=True, check=True
    ).stdout
    m = re.search(r"^rsa\s+2048 bits\s+\S+\s+\S+\s+([\d.]+)\s+([\d.]+)", out, re.M)
    if not m:
        sys.exit("cannot parse openssl speed output:\n" + out)
    return float(m.group(1)), float(m.group(2))


CHAINED = """
import ctypes, resource, sys, time
lib = ctypes.CDLL(sys.argv[1])
assert lib.VornVerifyInitial(sys.argv[2].encode()) == 0
sig, seconds = sys.argv[3].encode(), float(sys.argv[4])
assert lib.VerifyPkcs7(sig) == 0, lib.VerifyPkcs7(sig)
n, cpu, end = 0, resource.getrusage(resource.RUSAGE_SELF).ru_utime, time.perf_counter() + seconds
while time.perf_counter() < end:
    for _ in range(20):
        lib.VerifyPkcs7(sig)
    n += 20
print(n / (resource.getrusage(resource.RUSAGE_SELF).ru_utime - cpu))
"""


def chained_rate(props: Path, signature: bytes) -> float:
    """VerifyPkcs7 with chain and CRL checks on, in a process of its own (settings are per process)."""
    out = subprocess.run(
        [sys.executable, "-c", CHAINED, str(LIB), str(props), signature.decode(), str(SECONDS)],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    return float(out.strip())


def main() -> None:
    lib = ctypes.CDLL(str(LIB))
    lib.GetSignedPkcs7.restype = ctypes.c_char_p
    with tempfile.TemporaryDirectory() as tmp:
        props_path = make_credential(Path(tmp))
        props = str(props_path).encode()
        buf, n = ctypes.create_string_buffer(512), ctypes.c_int(512)
        assert lib.MakeVornSignPasswd(buf, ctypes.byref(n), props, b"1234") == 0
        assert lib.VornSignInitial(props, buf.value) == 0, lib.GetErrorCode()
        assert lib.VornVerifyInitial(props) == 0
        sign, verify = lib.SignPkcs7, lib.VerifyPkcs7
        assert sign(TEXT, b"BIG5") == 0
        signature = lib.GetSignedPkcs7()
        assert verify(signature) == 0

        ours = []
        for round_ in range(2):
            ours.append((rate(sign, TEXT, b"BIG5"), rate(verify, signature)))
            if round_ == 0:
                ossl_sign, ossl_verify = openssl_speed()
        assert verify(signature) == 0 and sign(TEXT, b"BIG5") == 0
        chained = chained_rate(props_path.parent / "chain.properties", signature)

    our_sign = max(s[0] for s, _ in ours)
    our_verify = max(v[0] for _, v in ours)
    sign_ratio, verify_ratio = our_sign / ossl_sign, our_verify / ossl_verify
    print(f"{'':28}{'ours/s':>12}{'openssl/s':>12}{'ratio':>8}{'bar':>6}")
    print(
        f"{'SignPkcs7 (100 B, SHA-256)':28}{our_sign:12.1f}{ossl_sign:12.1f}{sign_ratio:8.2f}{'0.90':>6}"
        f"  {'ok' if sign_ratio >= 0.9 else 'BELOW'}"
    )
    print(
        f"{'VerifyPkcs7 (same)':28}{our_verify:12.1f}{ossl_verify:12.1f}{verify_ratio:8.2f}{'0.50':>6}"
        f"  {'ok' if verify_ratio >= 0.5 else 'BELOW'}"
    )
    print(
        f"{'VerifyPkcs7, chain + CRL':28}{chained:12.1f}{ossl_verify:12.1f}{chained / ossl_verify:8.2f}"
        f"{'-':>6}  (no bar)"
    )
    print(
        "rounds, per CPU second and (wall clock): "
        + ", ".join(f"sign {s[0]:.0f} ({s[1]:.0f}) verify {v[0]:.0f} ({v[1]:.0f})" for s, v in ours)
    )


if __name__ == "__main__":
    main()
