"""The PKI library through its exported C functions (ctypes), one process per configuration.

Certificates, chains and CRLs come from support/pki/make_certs.sh and make_crls.sh; signatures are
cross-checked both ways with the openssl command.
"""

from __future__ import annotations

import json
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from support.pki_certs import PASSWORD, make_crls


def _library() -> Path:
    import taloma

    return Path(taloma.__file__).resolve().parent / "Vorn" / "libVornPKI.so"


LIB = _library()
pytestmark = [
    pytest.mark.skipif(not LIB.exists(), reason="libVornPKI.so is not built"),
    pytest.mark.skipif(shutil.which("openssl") is None, reason="needs the openssl command"),
]

PRELUDE = textwrap.dedent(
    """
    import ctypes, json, sys
    L = ctypes.CDLL(sys.argv[1])
    for name in ("GetPkiVersion GetErrorMsg GetSignedPkcs7 GetSignerCertB64 GetSignerCertSubjectCN "
                 "GetSignerCertSubject GetSignerCertIssuer GetSignerCertNotBefore GetSignerCertNotAfter "
                 "GetSignerCertSerial GetSignerCertFinger GetVerifyContent GetVerifyCertB64 "
                 "GetVerifyCertSubjectCN GetVerifyCertSubject GetVerifyCertIssuer GetVerifyCertNotBefore "
                 "GetVerifyCertNotAfter GetVerifyCertSerial GetVerifyCertFinger").split():
        getattr(L, name).restype = ctypes.c_char_p
    ARGS = json.loads(sys.argv[2])
    OUT = {}
    def text(x):
        return None if x is None else x.decode("utf-8")
    def wrap(props, password, capacity=512):
        buf = ctypes.create_string_buffer(capacity)
        n = ctypes.c_int(capacity)
        rc = L.MakeVornSignPasswd(buf, ctypes.byref(n), props.encode(), password.encode())
        return rc, n.value, buf.raw
    def content_data(capacity):
        buf = ctypes.create_string_buffer(max(capacity, 1))
        n = ctypes.c_int(capacity)
        rc = L.GetVerifyContentData(buf, ctypes.byref(n))
        return rc, n.value, buf.raw[: n.value] if rc == 0 else b""
    SIGNER = ("B64 SubjectCN Subject Issuer NotBefore NotAfter Serial Finger").split()
    def sign_then_open_verifier(content):
        rc, n, raw = wrap(ARGS["props"], ARGS["password"])
        L.VornSignInitial(ARGS["props"].encode(), raw[:n])
        L.SignPkcs7(content, b"BIG5")
        L.VornVerifyInitial(ARGS["props"].encode())
    """
)


def child(body: str, **args) -> dict:
    """Runs body after PRELUDE in a fresh interpreter; returns its OUT mapping."""
    code = PRELUDE + textwrap.dedent(body) + "\nprint(json.dumps(OUT))\n"
    proc = subprocess.run(
        [sys.executable, "-c", code, str(LIB), json.dumps(args)], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="session")
def pki(pki) -> dict[str, str]:
    """The shared test PKI with the chain/CRL additions."""
    return {**pki, **make_crls(pki["dir"])}


@pytest.fixture
def setup(pki, tmp_path):
    """Chain folder, CRL folder and a property-file writer over them."""
    p7b, crl, logs = tmp_path / "P7B", tmp_path / "CRL", tmp_path / "logs"
    p7b.mkdir()
    crl.mkdir()
    shutil.copy(pki["chain.p7b"], p7b / "chain.p7b")
    shutil.copy(pki["crl/inter.crl"], crl / "inter.crl")
    shutil.copy(pki["crl/root.crl"], crl / "root.crl")

    def write(name="p7Sign.properties", pfx="sign.p12", folder=None, **keys):
        values = {
            "LOG.path": str(logs),
            "LOG.file": "ca.log",
            "LOG.level": "DEBUG",
            "PFX.path": folder or pki["dir"],
            "PFX.file": pfx,
            "PFX.checkValid": "true",
            "PKCS7.digest": "SHA256",
            "PKCS7.addCert": "1",
            "PKCS7.addPlainText": "true",
            "PKCS7.addTimestamp": "false",
            "P7B.path": str(p7b),
            "P7B0.name": "chain.p7b",
            "P7B0.SKI": pki["inter.ski"],
            "P7B0.crlFile0": "inter.crl",
            "P7B0.crlFile1": "root.crl",
            "CRL.path": str(crl),
        }
        values.update({k.replace("_", "."): v for k, v in keys.items()})
        path = tmp_path / name
        path.write_text("".join(f"{k} = {v}\n" for k, v in values.items() if v is not None), encoding="utf-8")
        return str(path)

    write.dir = tmp_path
    write.crl = crl
    write.logs = logs
    return write


def test_everything_is_empty_before_initialisation():
    out = child(
        """
        OUT["version"] = text(L.GetPkiVersion())
        OUT["code"] = L.GetErrorCode()
        OUT["msg"] = text(L.GetErrorMsg())
        OUT["signed"] = text(L.GetSignedPkcs7())
        OUT["signer"] = [text(getattr(L, "GetSignerCert" + g)()) for g in SIGNER]
        OUT["verifier"] = [text(getattr(L, "GetVerifyCert" + g)()) for g in SIGNER]
        OUT["content"] = text(L.GetVerifyContent())
        OUT["verify"] = [L.VerifyPkcs7(b"MIIB"), L.VerifyPkcs7Bin(b"0", 1), L.VerifyPkcs7File(b"x"),
                         content_data(10)[0]]
        """
    )
    assert out == {
        "version": "2.0.1.2",
        "code": 5002,
        "msg": None,
        "signed": None,
        "signer": [None] * 8,
        "verifier": [None] * 8,
        "content": None,
        "verify": [5002] * 4,
    }


def test_sign_then_verify_through_the_c_functions(setup):
    props = setup(VerifyCertChain="true", VerifyCRL="true")
    out = child(
        """
        rc, n, raw = wrap(ARGS["props"], ARGS["password"])
        OUT["wrap"] = [rc, n, raw[n:] == bytes(512 - n)]
        OUT["init"] = L.VornSignInitial(ARGS["props"].encode(), raw[:n])
        OUT["sign"] = L.SignPkcs7("下單 2330".encode(), b"BIG5")
        sig = L.GetSignedPkcs7()
        OUT["signer"] = [text(getattr(L, "GetSignerCert" + g)()) for g in SIGNER]
        OUT["code_signer"] = L.GetErrorCode()
        OUT["bad_sign"] = [L.SignPkcs7(b"abc", b"UTF-8"), L.GetErrorCode(), L.GetSignedPkcs7()]
        OUT["vinit"] = L.VornVerifyInitial(ARGS["props"].encode())
        OUT["verify"] = L.VerifyPkcs7(sig)
        OUT["content"] = text(L.GetVerifyContent())
        OUT["data"] = [list(content_data(8)[:2]), content_data(9)[0], content_data(9)[2].hex()]
        OUT["verifier"] = [text(getattr(L, "GetVerifyCert" + g)()) for g in SIGNER]
        OUT["bad_verify"] = [L.VerifyPkcs7(b"@@@@"), L.GetErrorCode(), text(L.GetErrorMsg())]
        """,
        props=props,
        password=PASSWORD,
    )
    assert out["wrap"][0] == 0 and out["wrap"][2]
    assert out["init"] == 0 and out["sign"] == 0 and out["code_signer"] == 0
    assert out["bad_sign"] == [5901, 5901, None]
    assert out["vinit"] == 0 and out["verify"] == 0
    assert out["content"] == "下單 2330"
    big5 = "下單 2330".encode("big5")
    assert out["data"] == [[5003, 9], 0, big5.hex()]
    assert out["verifier"] == out["signer"]
    subject, cn = out["signer"][2], out["signer"][1]
    assert subject == "/C=TW/O=Taloma Bank/OU=Trading/OU=Futures/CN=Jo Lee" and cn == "Jo Lee"
    assert len(out["signer"][4]) == 14 and out["signer"][4].isdigit()
    # The verifier, once loaded, answers GetErrorCode / GetErrorMsg.
    assert out["bad_verify"] == [5008, 5008, "Base64 編碼錯誤(5008)"]


def test_content_data_capacity(setup):
    out = child(
        """
        sign_then_open_verifier(b"0123456789")
        OUT["verify"] = L.VerifyPkcs7(L.GetSignedPkcs7())
        OUT["short"] = list(content_data(9)[:2])
        OUT["exact"] = [content_data(10)[0], content_data(10)[2].decode()]
        """,
        props=setup(),
        password=PASSWORD,
    )
    assert out == {"verify": 0, "short": [5003, 10], "exact": [0, "0123456789"]}


def test_codes_without_a_text_are_told_by_the_library(setup):
    """A detached signature has no content (5051, absent from cError.h): the message says why."""
    out = child(
        """
        sign_then_open_verifier(b"abc")
        OUT["verify"] = [L.VerifyPkcs7(L.GetSignedPkcs7()), text(L.GetErrorMsg())]
        OUT["data"] = [content_data(8)[0], text(L.GetErrorMsg())]
        """,
        props=setup(PKCS7_addPlainText="false"),
        password=PASSWORD,
    )
    assert out == {"verify": [5051, "錯誤的PKCS7格式, 不包含本文(5051)"], "data": [5051, "錯誤碼未定義(5051)"]}


def test_wrapped_password_works_in_another_process(setup, pki):
    secret = "Zk8-never-in-a-log"
    subprocess.run(
        [
            "openssl",
            "pkcs12",
            "-export",
            "-inkey",
            pki["sign.key"],
            "-in",
            pki["sign.pem"],
            "-certfile",
            pki["chain.pem"],
            "-passout",
            "pass:" + secret,
            "-out",
            str(setup.dir / "secret.p12"),
        ],
        check=True,
        capture_output=True,
    )
    props = setup(pfx="secret.p12", folder=str(setup.dir))
    made = child(
        """
        rc, n, raw = wrap(ARGS["props"], ARGS["password"])
        OUT["rc"], OUT["text"] = rc, raw[:n].decode()
        rc, m, raw = wrap(ARGS["props"], ARGS["password"], capacity=n)
        OUT["exact_capacity"] = [rc, m, raw == bytes(n)]
        """,
        props=props,
        password=secret,
    )
    assert made["rc"] == 0 and made["exact_capacity"] == [5003, len(made["text"]), True]
    used = child(
        """
        OUT["init"] = L.VornSignInitial(ARGS["props"].encode(), ARGS["text"].encode())
        OUT["sign"] = L.SignPkcs7(b"abc", b"BIG5")
        OUT["wrong"] = L.VornSignInitial(ARGS["props"].encode(), b"AAAAAAAAAAAAAAAAAAAAAA==")
        """,
        props=props,
        text=made["text"],
    )
    assert used == {"init": 0, "sign": 0, "wrong": 5005}
    logs = list(setup.logs.glob("ca.log.*"))
    assert logs and all(len(p.suffix) == 9 and p.suffix[1:].isdigit() for p in logs)  # one file a day
    text = "".join(p.read_text(encoding="utf-8") for p in logs)
    assert "VornSignInitial() return " in text
    assert secret not in text
    assert all(secret not in p.read_text(encoding="utf-8", errors="replace") for p in setup.dir.glob("*.properties"))


def _cms_sign(tmp: Path, pki: dict[str, str], signer: str, text: str, *args: str) -> Path:
    data, out = tmp / f"{signer.replace('/', '_')}.txt", tmp / f"{signer.replace('/', '_')}.p7"
    data.write_text(text, encoding="utf-8")
    subprocess.run(
        [
            "openssl",
            "cms",
            "-sign",
            "-binary",
            "-nodetach",
            "-in",
            str(data),
            "-signer",
            pki[signer + ".pem"],
            "-inkey",
            pki[signer + ".key"],
            "-outform",
            "DER",
            "-out",
            str(out),
            *args,
        ],
        check=True,
        capture_output=True,
    )
    return out


REASONS = {
    "crl/good": 0,
    "crl/rv_unspecified": 5020,
    "crl/rv_keyCompromise": 5021,
    "crl/rv_CACompromise": 5022,
    "crl/rv_affiliationChanged": 5023,
    "crl/rv_superseded": 5024,
    "crl/rv_cessationOfOperation": 5025,
    "crl/rv_certificateHold": 5026,
    "crl/rv_removeFromCRL": 0,
    "crl/rv_noreason": 5020,
    "crl/stranger": 5202,
    "crl/forged": 5202,
    "expired": 5011,
}


@pytest.mark.parametrize(
    "crl_file, crl_code, signer_first",
    [
        ("inter.crl", None, False),
        ("inter.crl", None, True),  # a signer's property file numbered the chains otherwise
        ("inter-expired.crl", 5030, False),
        ("inter-nonext.crl", 5030, False),  # no next update: never current
        ("inter-forged.crl", 5034, False),  # empty list of a look-alike CA with the same name and key id
        ("other-root.crl", 5034, False),  # genuine list of a foreign CA
    ],
)
def test_openssl_signatures_against_chain_and_crls(setup, pki, crl_file, crl_code, signer_first):
    shutil.copy(pki["crl/" + crl_file], setup.crl / "inter.crl")
    files = {s: str(_cms_sign(setup.dir, pki, s, "cms " + s)) for s in REASONS}
    signer = None
    if signer_first:
        shutil.copy(pki["crl/other.p7b"], setup.dir / "P7B" / "other.p7b")
        signer = setup(
            "signer.properties",
            P7B0_name="other.p7b",
            P7B0_SKI=pki["crl/other-root.ski"],
            P7B1_name="chain.p7b",
            P7B1_SKI=pki["inter.ski"],
            P7B0_crlFile0=None,
            P7B0_crlFile1=None,
        )
    out = child(
        """
        if ARGS["signer"]:
            rc, n, raw = wrap(ARGS["signer"], ARGS["password"])
            assert L.VornSignInitial(ARGS["signer"].encode(), raw[:n]) == 0
        OUT["init"] = L.VornVerifyInitial(ARGS["props"].encode())
        for name, path in ARGS["files"].items():
            OUT[name] = [L.VerifyPkcs7File(path.encode()), text(L.GetVerifyContent())]
        """,
        props=setup(VerifyCertChain="true", VerifyCRL="true"),
        files=files,
        signer=signer,
        password=PASSWORD,
    )
    assert out.pop("init") == 0
    # Chains are loaded once per process: the signer's other root is trusted too.
    expected = dict(REASONS, **({"crl/stranger": 0} if signer_first else {}))
    for name, (code, content) in out.items():
        assert content == "cms " + name
        if crl_code is None or expected[name] in (5202, 5011):
            assert code == expected[name], name
        else:  # a list that is not current or not the CA's fails every certificate of the chain
            assert code == crl_code, name


def test_without_flags_only_the_signature_counts(setup, pki):
    files = {s: str(_cms_sign(setup.dir, pki, s, "x")) for s in ("crl/rv_keyCompromise", "crl/stranger", "expired")}
    out = child(
        """
        OUT["init"] = L.VornVerifyInitial(ARGS["props"].encode())
        OUT["codes"] = [L.VerifyPkcs7File(p.encode()) for p in ARGS["files"].values()]
        """,
        props=setup(),
        files=files,
    )
    assert out == {"init": 0, "codes": [0, 0, 0]}


@pytest.mark.parametrize(
    "keys, extra",
    [
        ({}, []),
        ({"PKCS7.addCert": "2", "PKCS7.addTimestamp": "true"}, []),
        ({"PKCS7.digest": "SHA1"}, []),
        ({"PKCS7.addPlainText": "false"}, ["-content", "{data}"]),
        ({"PKCS7.addCert": "0"}, ["-certfile", "{signer}"]),
    ],
)
def test_openssl_verifies_our_signatures(setup, pki, keys, extra):
    props = setup(**{k.replace(".", "_"): v for k, v in keys.items()})
    text = "委託 TXFA4 B 1 @ 17000"
    out = child(
        """
        rc, n, raw = wrap(ARGS["props"], ARGS["password"])
        OUT["init"] = L.VornSignInitial(ARGS["props"].encode(), raw[:n])
        OUT["sign"] = L.SignPkcs7(ARGS["text"].encode(), b"UTF-16LE")
        OUT["sig"] = text(L.GetSignedPkcs7())
        """,
        props=props,
        password=PASSWORD,
        text=text,
    )
    assert out["init"] == 0 and out["sign"] == 0 and "\n" not in out["sig"]
    der, data, result = setup.dir / "ours.der", setup.dir / "data.bin", setup.dir / "out.bin"
    import base64

    der.write_bytes(base64.b64decode(out["sig"]))
    data.write_bytes(text.encode("utf-16-le"))
    args = [a.format(data=data, signer=pki["sign.pem"]) for a in extra]
    proc = subprocess.run(
        [
            "openssl",
            "cms",
            "-verify",
            "-binary",
            "-inform",
            "DER",
            "-in",
            str(der),
            "-CAfile",
            pki["chain.pem"],
            "-out",
            str(result),
            *args,
        ],
        capture_output=True,
        text=True,
    )
    assert "Verification successful" in proc.stderr, proc.stderr
    assert result.read_bytes() == text.encode("utf-16-le")


def test_template_property_file(setup, pki, tmp_path):
    """The signing module's template: four chain entries, only one of which exists."""
    template = (
        "LOG.path = logs\nLOG.file = ca.log\nLOG.level = WARN\n"
        f"PFX.path = {pki['dir']}\nPFX.file = sign.p12\nPFX.checkValid = true\n"
        "PKCS7.digest = SHA256\nPKCS7.addCert = 1\nPKCS7.addPlainText = true\nPKCS7.addTimestamp = false\n"
        f"P7B.path = {setup.dir / 'P7B'}\n"
        f"P7B0.name = chain.p7b\nP7B0.SKI = {pki['inter.ski']}\n"
        "P7B1.name = other1.p7b\nP7B1.SKI = " + "A" * 40 + "\n"
        "P7B2.name = other2.p7b\nP7B2.SKI = " + "B" * 64 + "\n"
        "P7B3.name = other3.p7b\nP7B3.SKI = " + "C" * 40 + "\n    "
    )
    props = tmp_path / "p7Sign.properties"
    props.write_text(template, encoding="utf-8")
    out = child(
        """
        import os
        os.chdir(ARGS["cwd"])
        rc, n, raw = wrap(ARGS["props"], ARGS["password"])
        OUT["init"] = L.VornSignInitial(ARGS["props"].encode(), raw[:n])
        OUT["sign"] = L.SignPkcs7(b"A1231.2.3.4x1702000000.0", b"BIG5")
        OUT["sig"] = text(L.GetSignedPkcs7())
        """,
        props=str(props),
        password=PASSWORD,
        cwd=str(tmp_path),
    )
    assert out["init"] == 0 and out["sign"] == 0 and out["sig"].startswith("MII")
