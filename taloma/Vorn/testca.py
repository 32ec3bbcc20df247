"""A throwaway certificate authority and user PKCS#12 file, made with the ``openssl`` command.

For demonstrations and load tests against the simulated broker: the CA certificate is what the
broker trusts (``BrokerSimulator(trusted_ca=...)``), the PKCS#12 file is what ``PyVornSign`` opens.
Nothing here is fit for real trading.
"""

from __future__ import annotations

import datetime as dt
import os
import secrets
import shutil
import subprocess
from pathlib import Path

__all__ = ["make_demo_identity"]

_CA_CONFIG = """\
[ ca ]
default_ca = demo_ca
[ demo_ca ]
dir = {dir}
database = $dir/index.txt
new_certs_dir = $dir/newcerts
serial = $dir/serial
default_md = sha256
policy = policy_any
unique_subject = no
email_in_dn = no
copy_extensions = none
[ policy_any ]
countryName = optional
organizationName = optional
commonName = supplied
[ ext_ca ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[ ext_user ]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
"""


def _openssl(*args: str, env: dict[str, str] | None = None) -> None:
    exe = shutil.which("openssl")
    if exe is None:
        raise RuntimeError("the openssl command is needed to make a demo identity")
    done = subprocess.run([exe, *args], capture_output=True, text=True, env=env)
    if done.returncode != 0:
        raise RuntimeError(f"openssl {args[0]} failed: {done.stderr.strip()}")


def _stamp(when: dt.datetime) -> str:
    return when.strftime("%Y%m%d%H%M%SZ")


def make_demo_identity(
    folder: str | os.PathLike[str],
    *,
    common_name: str = "Demo Trader",
    days: int = 365,
    password: str | None = None,
) -> tuple[str, str, str]:
    """Creates a CA and a user certificate under ``folder``; returns (pfx_path, password, ca_cert_path).

    The user certificate may sign (digitalSignature, nonRepudiation), is valid from a day ago
    (so that checks made in the same second as its creation pass) for ``days`` days, and its
    PKCS#12 file carries the CA certificate too. The password is ``password``, or random when none is given.
    """
    out = Path(folder).resolve()
    out.mkdir(parents=True, exist_ok=True)
    work = out / "demo-ca"
    if work.exists():
        shutil.rmtree(work)
    (work / "newcerts").mkdir(parents=True)
    (work / "index.txt").write_text("")
    (work / "serial").write_text(secrets.token_hex(8).upper() + "\n")
    config = work / "ca.cnf"
    config.write_text(_CA_CONFIG.format(dir=work))

    now = dt.datetime.now(dt.timezone.utc).replace(microsecond=0)
    start = _stamp(now - dt.timedelta(days=1))
    ca_key, ca_csr, ca_pem = work / "ca.key", work / "ca.csr", out / "demo-ca.pem"
    user_key, user_csr, user_pem = work / "user.key", work / "user.csr", work / "user.pem"
    pfx = out / "demo-user.p12"
    for key in (ca_key, user_key):
        _openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", str(key))
    _openssl("req", "-new", "-key", str(ca_key), "-subj", "/C=TW/O=Taloma Demo/CN=Taloma Demo CA", "-out", str(ca_csr))
    _openssl(
        "ca",
        "-batch",
        "-notext",
        "-config",
        str(config),
        "-selfsign",
        "-keyfile",
        str(ca_key),
        "-extensions",
        "ext_ca",
        "-startdate",
        start,
        "-enddate",
        _stamp(now + dt.timedelta(days=days + 365)),
        "-in",
        str(ca_csr),
        "-out",
        str(ca_pem),
    )
    _openssl(
        "req",
        "-new",
        "-utf8",
        "-key",
        str(user_key),
        "-subj",
        f"/C=TW/O=Taloma Demo/CN={common_name}",
        "-out",
        str(user_csr),
    )
    _openssl(
        "ca",
        "-batch",
        "-notext",
        "-utf8",
        "-config",
        str(config),
        "-cert",
        str(ca_pem),
        "-keyfile",
        str(ca_key),
        "-extensions",
        "ext_user",
        "-startdate",
        start,
        "-enddate",
        _stamp(now + dt.timedelta(days=days)),
        "-in",
        str(user_csr),
        "-out",
        str(user_pem),
    )
    if password is None:
        password = secrets.token_urlsafe(12)
    elif not password:
        raise ValueError("the demo identity needs a non-empty password")
    # The password goes through the environment, not the command line that others can list.
    env = dict(os.environ, TALOMA_DEMO_PFX_PASS=password)
    _openssl(
        "pkcs12",
        "-export",
        "-inkey",
        str(user_key),
        "-in",
        str(user_pem),
        "-certfile",
        str(ca_pem),
        "-name",
        common_name,
        "-passout",
        "env:TALOMA_DEMO_PFX_PASS",
        "-out",
        str(pfx),
        env=env,
    )
    os.chmod(pfx, 0o600)
    shutil.rmtree(work)
    return str(pfx), password, str(ca_pem)
