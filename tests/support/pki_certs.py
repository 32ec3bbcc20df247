"""Test PKI: certificates, keys, PKCS#12 files and CRLs made by the openssl command (support/pki/)."""

from __future__ import annotations

import subprocess
from pathlib import Path

SCRIPTS = Path(__file__).resolve().parent / "pki"
PASSWORD = "1234"


def _generate(script: str, folder: Path, manifest: Path) -> dict[str, str]:
    subprocess.run(["bash", str(SCRIPTS / script), str(folder)], check=True, capture_output=True)
    return dict(line.partition("=")[::2] for line in manifest.read_text(encoding="utf-8").splitlines())


def make_certs(outdir: str | Path) -> dict[str, str]:
    """Generates (or reuses) the test PKI in outdir; returns the manifest as a mapping.

    Keys are file names such as "sign.p12", "sign-legacy.p12", "chain.p7b", "inter.pem", plus
    "dir", "password", "root.ski", "inter.ski", "ca.root" and "ca.inter" (openssl ca configs).
    """
    return _generate("make_certs.sh", Path(outdir), Path(outdir, "manifest"))


def make_crls(pkidir: str | Path) -> dict[str, str]:
    """Adds the chain/CRL test PKI (revoked users, CRLs, foreign chains) to the one in pkidir; returns its
    manifest with keys prefixed "crl/", e.g. "crl/inter.crl"."""
    crls = _generate("make_crls.sh", Path(pkidir), Path(pkidir, "crl", "manifest"))
    return {"crl/" + key: value for key, value in crls.items()}
