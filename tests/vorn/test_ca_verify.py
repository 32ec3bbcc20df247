"""ca_content verification: layout, Base64, the signature and its chain, and the broker that uses it."""

from __future__ import annotations

import base64
import subprocess
import sys
from urllib.parse import quote

import pytest

import taloma.backend.http as settings
from support import child_env, run_python
from support.ca import PASSWORD, layout, verifier, workdir  # noqa: F401  (fixtures)
from taloma.Vorn.testca import make_demo_identity
from taloma.Vorn.verify import CaContentError, _certs_only_p7b, _read_certs, split_ca_content, subject_key_id

ca = pytest.importorskip("taloma.Vorn.ca", reason="the signing module is not built")
PID, IP = "A123456789", "127.0.0.1"
SIG = quote(base64.b64encode(b"\x30\x03\x02\x01\x01" + bytes(range(256))).decode(), safe="")


@pytest.fixture(scope="module")
def signer(pki):
    return ca.PyVornSign(pki["sign.p12"], PASSWORD, PID, IP)


@pytest.fixture(scope="module")
def stranger(tmp_path_factory):
    """A signer whose certificate comes from a CA the verifier does not trust."""
    pfx, password, _ = make_demo_identity(tmp_path_factory.mktemp("stranger"))
    return ca.PyVornSign(pfx, password, PID, IP)


# ---- layout ----------------------------------------------------------------------------------
def test_split_gives_the_der_of_a_real_ca_content(signer):
    out = signer.gen_ca(PID + " order")
    quoted = signer.get_quote_sign(PID + " order")
    assert split_ca_content(PID, out) == base64.b64decode(signer.get_sign(PID + " order"))
    assert split_ca_content(PID, out.decode()) == split_ca_content(PID, layout(quoted, PID))


def test_split_long_signature():
    sig = quote(base64.b64encode(bytes(9000)).decode(), safe="")
    assert len(sig) > 9999
    assert split_ca_content("AB", layout(sig, "AB")) == bytes(9000)


@pytest.mark.parametrize(
    "text, reason",
    [
        ("1111" + layout(SIG, PID)[4:], "does not start"),
        ("0000" + "0" + layout(SIG, PID)[4:], "malformed signature length"),
        (f"0000{len(SIG) + 5:04d}{SIG}0000", "shorter than"),
        (layout(SIG, PID)[:-1], "does not end with the user's identifier"),
        (layout(SIG, "B123456789"), "does not end with the user's identifier"),
        (layout(SIG, PID) + PID, "does not end with the user's identifier"),
        (layout(SIG.replace("%2B", "+", 1).replace("%2F", "/", 1), PID), "not percent-encoded"),
        (layout(SIG[:-3] + "%2G", PID), "not percent-encoded"),
        (layout(SIG[1:], PID), "not Base64"),
        (layout("AAAA%3DAAA", PID), "not Base64"),
        (b"\xff" + layout(SIG, PID).encode(), "not UTF-8"),
    ],
)
def test_split_rejects(text, reason):
    with pytest.raises(CaContentError, match=reason):
        split_ca_content(PID, text)


# ---- trusted certificates --------------------------------------------------------------------
@pytest.mark.parametrize("name", ["root", "inter"])
def test_subject_key_id_matches_openssl(pki, name):
    (der,) = _read_certs(pki[f"{name}.pem"])
    assert subject_key_id(der) == pki[f"{name}.ski"]
    assert _read_certs(pki[f"{name}.der"]) == [der]


def test_subject_key_id_absent(tmp_path, pki):
    csr, cert = tmp_path / "x.csr", tmp_path / "x.der"
    subprocess.run(["openssl", "req", "-new", "-key", pki["sign.key"], "-subj", "/CN=plain", "-out", str(csr)],
                   check=True, capture_output=True)
    subprocess.run(["openssl", "x509", "-req", "-in", str(csr), "-signkey", pki["sign.key"], "-days", "1",
                    "-outform", "DER", "-out", str(cert)], check=True, capture_output=True)
    assert subject_key_id(cert.read_bytes()) is None


def test_chain_file_is_read_by_openssl(pki, tmp_path):
    certs = _read_certs(pki["chain.pem"])
    assert len(certs) == 2
    p7b = tmp_path / "t.p7b"
    p7b.write_bytes(_certs_only_p7b(certs))
    done = subprocess.run(["openssl", "pkcs7", "-inform", "DER", "-in", str(p7b), "-print_certs", "-noout"],
                          capture_output=True, text=True, check=True)
    assert "Taloma Test Root CA" in done.stdout and "Taloma Test Issuing CA" in done.stdout


# ---- the library's verifier (in a worker process) --------------------------------------------
def test_good_ca_content(signer, verifier):
    assert verifier.verify(PID, signer.gen_ca(PID + " buy 1 TXF")) == {"problem": None, "content": PID + " buy 1 TXF"}
    assert verifier.verify(PID, layout(signer.gen_sign("x"), PID))["problem"] is None


def test_tampered_signature(signer, verifier):
    quoted = signer.get_quote_sign(PID + " x")
    middle = len(quoted) // 2
    swapped = quoted[:middle] + ("A" if quoted[middle] != "A" else "B") + quoted[middle + 1 :]
    assert "ca_content signature rejected" in verifier.verify(PID, layout(swapped, PID))["problem"]


def test_content_of_another_user(signer, verifier):
    problem = verifier.verify(PID, signer.gen_ca("B987654321 sell"))["problem"]
    assert problem == "signed content does not start with the user's identifier"


def test_untrusted_certificate(stranger, verifier):
    problem = verifier.verify(PID, stranger.gen_ca(PID + " x"))["problem"]
    assert problem.startswith("ca_content signature rejected") and "(5202)" in problem


def test_process_wide_settings_are_not_silently_replaced(pki, tmp_path):
    code = f"""
from taloma.Vorn.verify import CaVerifier
CaVerifier([{pki["root.pem"]!r}, {pki["inter.pem"]!r}])
CaVerifier({pki["chain.pem"]!r})  # the same two certificates
try:
    CaVerifier({pki["root.pem"]!r})
except RuntimeError as exc:
    print("refused:", exc)
"""
    done = run_python(code, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("refused: the PKI library's verifier is process-wide")


def test_verifier_loaded_elsewhere_is_refused(tmp_path):
    (tmp_path / "v.properties").write_text("VerifyCertChain = false\n")
    code = """
import ctypes
import taloma.Vorn.verify as v
ctypes.CDLL(str(v._LIB_PATH)).VornVerifyInitial(b"v.properties")
try:
    v.CaVerifier()
except RuntimeError as exc:
    print("refused:", exc)
"""
    done = run_python(code, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "refused: the PKI library's verifier was configured elsewhere in this process"


def test_signature_only_verifier(stranger, tmp_path):
    """With no trusted certificates only the signature and the content are checked."""
    good, other = stranger.gen_ca(PID + " x").decode(), stranger.gen_ca("nobody").decode()
    code = f"""
from taloma.Vorn.verify import CaVerifier
v = CaVerifier()
print(v({PID!r}, {good!r}), "|", v({PID!r}, {other!r}))
"""
    done = run_python(code, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "None | signed content does not start with the user's identifier"


# ---- the simulated broker checks every order's ca_content ------------------------------------
@pytest.fixture(scope="module")
def verifying_broker(pki, tmp_path_factory):
    proc = subprocess.Popen(
        [sys.executable, "-m", "taloma.simulator", "--user", f"{PID}:secret", "--trusted-ca", pki["root.pem"],
         "--trusted-ca", pki["inter.pem"]],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env(),
        cwd=tmp_path_factory.mktemp("broker"),
    )
    line = proc.stdout.readline()
    assert line.startswith("simulated broker at "), proc.stderr.read() if proc.poll() is not None else line
    yield line.split()[3]
    proc.terminate()
    proc.wait(10)


@pytest.fixture
def broker_client(verifying_broker, monkeypatch):
    client_module = pytest.importorskip("taloma.backend.http.client", reason="the native Client is not built")
    monkeypatch.setattr(settings, "api_url_simulation", verifying_broker)
    c = client_module.Client(simulation=True, proxies=None)
    c.login(PID, "secret")
    return c


def test_broker_accepts_good_and_rejects_bad_ca_content(broker_client, signer, stranger):
    fo = pytest.importorskip("taloma.backend.http.futureoption.order", reason="the order module is not built")
    from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType
    from taloma.contracts import Future
    from taloma.order import Order

    def place(ca_content):
        order = Order(action=Action.Buy, price_type=FuturesPriceType.LMT, order_type=OrderType.ROD, price=17000,
                      quantity=1, octype=FuturesOCType.Auto, account=broker_client.default_futopt_account)
        return fo.place_future_order(Future(code="TXFB4", exchange="TAIFEX"), order, ca_content, broker_client)

    assert place(signer.gen_ca(PID + " TXFB4 B 1").decode())["success"] == "True"
    for bad, reason in [
        ("CA", "does not start"),
        (signer.gen_ca("B987654321").decode(), "does not start with the user's identifier"),
        (stranger.gen_ca(PID).decode(), "(5202)"),
    ]:
        reply = place(bad)
        assert reply["success"] == "False" and reason in reply["msg"]
