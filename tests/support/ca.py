"""Helpers for the signing-module tests: test PKI, signature read-back, an isolated verifier."""

from __future__ import annotations

import base64
import json
import re
import subprocess
import sys
from pathlib import Path
from urllib.parse import unquote

import pytest

from support import child_env
from support.pki_certs import PASSWORD


@pytest.fixture(autouse=True)
def workdir(tmp_path, monkeypatch):
    """Each test runs in a folder of its own: property files and logs land there."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


def leftover_props(folder: Path) -> list[str]:
    return sorted(p.name for p in Path(folder).iterdir() if p.name.startswith("p7Sign.properties"))


# ---- XXH32, written out independently of the library the module links ----------------------
_P1, _P2, _P3, _P4, _P5 = 2654435761, 2246822519, 3266489917, 668265263, 374761393
_M = 0xFFFFFFFF


def _rotl(x: int, r: int) -> int:
    return ((x << r) | (x >> (32 - r))) & _M


def xxh32(data: bytes, seed: int = 0) -> int:
    n, i = len(data), 0
    word = lambda k: int.from_bytes(data[k : k + 4], "little")  # noqa: E731
    if n >= 16:
        v = [(seed + _P1 + _P2) & _M, (seed + _P2) & _M, seed & _M, (seed - _P1) & _M]
        while i + 16 <= n:
            for lane in range(4):
                v[lane] = (_rotl((v[lane] + word(i) * _P2) & _M, 13) * _P1) & _M
                i += 4
        h = (_rotl(v[0], 1) + _rotl(v[1], 7) + _rotl(v[2], 12) + _rotl(v[3], 18)) & _M
    else:
        h = (seed + _P5) & _M
    h = (h + n) & _M
    while i + 4 <= n:
        h = (_rotl((h + word(i) * _P3) & _M, 17) * _P4) & _M
        i += 4
    while i < n:
        h = (_rotl((h + data[i] * _P5) & _M, 11) * _P1) & _M
        i += 1
    h ^= h >> 15
    h = (h * _P2) & _M
    h ^= h >> 13
    h = (h * _P3) & _M
    return h ^ (h >> 16)


def props_name(obj: object) -> str:
    return f"p7Sign.properties.{xxh32(str(id(obj)).encode()):08x}"


# ---- signatures ------------------------------------------------------------------------------
def der_of_quoted(quoted: str) -> bytes:
    assert re.fullmatch(r"(?:[A-Za-z0-9]|%2B|%2F|%3D)+", quoted), "not percent-encoded Base64"
    return base64.b64decode(unquote(quoted), validate=True)


def layout(quoted: str, person_id: str) -> str:
    return f"0000{len(quoted):04d}{quoted}0000{len(person_id):04d}{person_id}{person_id}"


def unpack_ca(ca_content: bytes, person_id: str) -> str:
    """The quoted signature of a ca_content, after checking the layout around it exactly."""
    text = ca_content.decode("utf-8")
    m = re.fullmatch(r"0000(\d{4,})(.*)", text, re.S)
    assert m, text[:40]
    n = int(m.group(1))
    quoted = m.group(2)[:n]
    assert text == layout(quoted, person_id)
    return quoted


def openssl_content(der: bytes, pki: dict[str, str], folder: Path) -> bytes:
    """The signed content of a DER PKCS#7, as `openssl cms -verify` reads it with the test chain."""
    sig, out = Path(folder) / "sig.der", Path(folder) / "content.bin"
    sig.write_bytes(der)
    done = subprocess.run(
        [
            "openssl",
            "cms",
            "-verify",
            "-inform",
            "DER",
            "-in",
            str(sig),
            "-binary",
            "-CAfile",
            pki["chain.pem"],
            "-out",
            str(out),
        ],
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, done.stderr
    return out.read_bytes()


# ---- the library's verifier, in a process of its own -----------------------------------------
_WORKER = r"""
import json, sys
from taloma.Vorn.verify import CaVerifier
verifier = CaVerifier(sys.argv[1:] or None)
print("ready", flush=True)
for line in sys.stdin:
    req = json.loads(line)
    content, problem = verifier.verify_content(req["person_id"], req["ca_content"])
    assert verifier.verify_ca_content(req["person_id"], req["ca_content"]) == problem
    print(json.dumps({"problem": problem, "content": content if problem is None else None}), flush=True)
"""


class VerifierWorker:
    """CaVerifier(trusted) in a child process: the library's verifier is one per process."""

    def __init__(self, trusted: list[str], cwd: Path) -> None:
        self.proc = subprocess.Popen(
            [sys.executable, "-c", _WORKER, *trusted],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=child_env(),
            cwd=cwd,
        )
        assert self.proc.stdout.readline().strip() == "ready"

    def verify(self, person_id: str, ca_content: bytes | str) -> dict:
        text = ca_content.decode() if isinstance(ca_content, bytes) else ca_content
        self.proc.stdin.write(json.dumps({"person_id": person_id, "ca_content": text}) + "\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


@pytest.fixture(scope="session")
def verifier(pki, tmp_path_factory):
    worker = VerifierWorker([pki["root.pem"], pki["inter.pem"]], tmp_path_factory.mktemp("ca-verify"))
    yield worker
    worker.close()


__all__ = ["PASSWORD", "verifier", "workdir"]
