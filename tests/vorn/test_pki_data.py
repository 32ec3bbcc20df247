"""The shipped error header and the test PKI generator, as the signing module and tests use them."""

from __future__ import annotations

import subprocess
from pathlib import Path

import pytest

from support import SOURCE
from support.pki_certs import make_certs

ERROR_HEADER = SOURCE / "taloma" / "Vorn" / "cError.h"


def read_error_header() -> dict[int, tuple[str, str]]:
    # The reading rule of the signing module: split at CRLF, fields at single spaces.
    table = {}
    for line in ERROR_HEADER.read_bytes().decode("utf-8").split("\r\n"):
        if line.startswith("#define"):
            fields = line.split(" ")
            text = line[line.rindex("// ") + 3 :] if "// " in line else line
            table[int(fields[2])] = (fields[1], text)
    return table


def test_error_header_lines_are_crlf_and_well_formed():
    raw = ERROR_HEADER.read_bytes()
    assert raw.endswith(b"\r\n")
    assert b"\n" not in raw.replace(b"\r\n", b"")
    lines = raw.decode("utf-8").split("\r\n")[:-1]
    codes = [int(line.split(" ")[2]) for line in lines]
    assert all(line.startswith("#define ERR_") for line in lines)
    assert codes == sorted(set(codes)), "each code once, ascending"


@pytest.mark.parametrize(
    "code, text",
    [
        (0, "成功"),
        (1102, "憑證檔無法讀取"),
        (5005, "錯誤的參數"),
        (5070, '使用者按下"取消"按鈕'),
        (5901, "Unicode 編碼錯誤"),
        (25632, "CRL 尚未取得, 無法驗證"),
    ],
)
def test_error_header_texts(code, text):
    assert read_error_header()[code][1] == text


@pytest.mark.parametrize("code", [5051, 5052, 5204, 5208])
def test_codes_without_text_stay_out_of_the_header(code):
    assert code not in read_error_header()


def _openssl(*args: str) -> str:
    return subprocess.run(["openssl", *args], check=True, capture_output=True, text=True).stdout


@pytest.mark.parametrize(
    "name, usage",
    [
        ("sign", "Digital Signature, Non Repudiation"),
        ("nonrep", "Non Repudiation"),
        ("nosign", "Key Encipherment"),
    ],
)
def test_generated_key_usages(pki, name, usage):
    out = _openssl("x509", "-in", pki[f"{name}.pem"], "-noout", "-ext", "keyUsage")
    assert out.splitlines()[1].strip() == usage


@pytest.mark.parametrize("p12", ["sign.p12", "sign-legacy.p12", "expired.p12"])
def test_generated_pkcs12_chain_verifies(pki, p12, tmp_path):
    legacy = ["-legacy"] if "legacy" in p12 else []
    pem = tmp_path / "out.pem"
    _openssl(
        "pkcs12",
        *legacy,
        "-in",
        pki[p12],
        "-passin",
        f"pass:{pki['password']}",
        "-nokeys",
        "-clcerts",
        "-out",
        str(pem),
    )
    verify = subprocess.run(
        ["openssl", "verify", "-no_check_time", "-CAfile", pki["root.pem"], "-untrusted", pki["inter.pem"], str(pem)],
        capture_output=True,
        text=True,
    )
    assert verify.returncode == 0, verify.stderr


def test_generator_is_idempotent(pki):
    before = Path(pki["sign.pem"]).read_bytes()
    again = make_certs(pki["dir"])
    assert again == pki and Path(pki["sign.pem"]).read_bytes() == before
