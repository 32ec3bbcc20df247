"""Test PKI for pytest: certificates, keys and PKCS#12 files made by tests/pki/make_certs.sh."""
from __future__ import annotations

import subprocess
from pathlib import Path

SCRIPT = Path(__file__).resolve().parent / "pki" / "make_certs.sh"
PASSWORD = "1234"


def make_certs(outdir: str | Path) -> dict[str, str]:
    """Generates (or reuses) the test PKI in outdir; returns the manifest as a mapping.

    Keys are file names such as "sign.p12", "sign-legacy.p12", "chain.p7b", "inter.pem", plus
    "dir", "password", "root.ski", "inter.ski", "ca.root" and "ca.inter" (openssl ca configs).
    """
    outdir = Path(outdir)
    subprocess.run(["bash", str(SCRIPT), str(outdir)], check=True, capture_output=True)
    manifest: dict[str, str] = {}
    for line in (outdir / "manifest").read_text(encoding="utf-8").splitlines():
        key, _, value = line.partition("=")
        manifest[key] = value
    return manifest
