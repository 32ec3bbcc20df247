"""ca_content verification: layout, Base64, the signature and its chain, and the broker that uses it."""

from __future__ import annotations

import base64
import calendar
import math
import subprocess
import sys
import time
from decimal import Decimal
from types import SimpleNamespace
from urllib.parse import quote

import pytest

import taloma.backend.http as settings
from support import child_env, run_python
from support.broker import Broker
from support.ca import PASSWORD, layout, verifier, workdir  # noqa: F401  (fixtures)
from taloma.constant import Action
from taloma.signing import OPERATIONS, order_text, parse_order_text
from taloma.simulator.signatures import MAX_AGE, MAX_AHEAD, SeenTexts
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
    subprocess.run(
        ["openssl", "req", "-new", "-key", pki["sign.key"], "-subj", "/CN=plain", "-out", str(csr)],
        check=True,
        capture_output=True,
    )
    subprocess.run(
        [
            "openssl",
            "x509",
            "-req",
            "-in",
            str(csr),
            "-signkey",
            pki["sign.key"],
            "-days",
            "1",
            "-outform",
            "DER",
            "-out",
            str(cert),
        ],
        check=True,
        capture_output=True,
    )
    assert subject_key_id(cert.read_bytes()) is None


def test_chain_file_is_read_by_openssl(pki, tmp_path):
    certs = _read_certs(pki["chain.pem"])
    assert len(certs) == 2
    p7b = tmp_path / "t.p7b"
    p7b.write_bytes(_certs_only_p7b(certs))
    done = subprocess.run(
        ["openssl", "pkcs7", "-inform", "DER", "-in", str(p7b), "-print_certs", "-noout"],
        capture_output=True,
        text=True,
        check=True,
    )
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
        [
            sys.executable,
            "-m",
            "taloma.simulator",
            "--user",
            f"{PID}:secret",
            "--trusted-ca",
            pki["root.pem"],
            "--trusted-ca",
            pki["inter.pem"],
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=child_env(),
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
        order = Order(
            action=Action.Buy,
            price_type=FuturesPriceType.LMT,
            order_type=OrderType.ROD,
            price=17000,
            quantity=1,
            octype=FuturesOCType.Auto,
            account=broker_client.default_futopt_account,
        )
        return fo.place_future_order(Future(code="TXFB4", exchange="TAIFEX"), order, ca_content, broker_client)

    text = order_text(
        "place",
        person_id=PID,
        account=broker_client.default_futopt_account,
        code="TXFB4",
        action=Action.Buy,
        price=17000,
        quantity=1,
    )
    assert place(signer.gen_ca(text).decode())["success"] == "True"
    for bad, reason in [
        ("CA", "does not start"),
        (signer.gen_ca("B987654321").decode(), "does not start with the user's identifier"),
        (stranger.gen_ca(PID).decode(), "(5202)"),
    ]:
        reply = place(bad)
        assert reply["success"] == "False" and reason in reply["msg"]


# ---- the signed text of an order -------------------------------------------------------------
ACCOUNT = {"broker_id": "F002000", "account_id": "7654321"}
AT = calendar.timegm((2026, 12, 5, 1, 30, 0)) + 0.25


@pytest.mark.parametrize(
    "operation, fields, text",
    [
        (
            "place",
            dict(action=Action.Buy, price=18000.0, quantity=2, ordno="k0001", seqno="000001"),
            "A123456789|place|F002000|7654321|TXFL6|Buy|18000|2|||2026-12-05T01:30:00.250Z",
        ),
        (
            "place",
            dict(action="S", price=Decimal("0.30"), quantity="1"),
            "A123456789|place|F002000|7654321|TXFL6|Sell|0.3|1|||2026-12-05T01:30:00.250Z",
        ),
        (
            "place",
            dict(action="Buy", price=0, quantity=1),
            "A123456789|place|F002000|7654321|TXFL6|Buy|0|1|||2026-12-05T01:30:00.250Z",
        ),
        (
            "update_price",
            dict(action="Buy", price="12.50", quantity=3, ordno="k0001", seqno="000001"),
            "A123456789|update_price|F002000|7654321|TXFL6||12.5||k0001|000001|2026-12-05T01:30:00.250Z",
        ),
        (
            "update_qty",
            dict(price=1, quantity=1, ordno="k0001", seqno="000001"),
            "A123456789|update_qty|F002000|7654321|TXFL6|||1|k0001|000001|2026-12-05T01:30:00.250Z",
        ),
        (
            "cancel",
            dict(ordno="k0001", seqno="000001"),
            "A123456789|cancel|F002000|7654321|TXFL6||||k0001|000001|2026-12-05T01:30:00.250Z",
        ),
    ],
)
def test_order_text_layout_and_round_trip(operation, fields, text):
    assert order_text(operation, person_id=PID, account=ACCOUNT, code="TXFL6", at=AT, **fields) == text
    parsed = parse_order_text(text)
    assert (parsed.operation, parsed.code, parsed.at) == (operation, "TXFL6", AT)


def test_order_text_reads_an_account_record_and_dates_each_text_apart():
    from taloma.account import Account, AccountType

    account = Account(AccountType.Future, PID, "F002000", "7654321")
    texts = [
        order_text("cancel", person_id=PID, account=account, code="TXFL6", ordno="k1", seqno="1") for _ in range(50)
    ]
    assert len(set(texts)) == 50 and texts[0].startswith(f"{PID}|cancel|F002000|7654321|")
    assert abs(parse_order_text(texts[0]).at - time.time()) < MAX_AHEAD


@pytest.mark.parametrize(
    "change, reason",
    [
        (dict(operation="amend"), "operation must be one of"),
        (dict(price=math.inf), "finite"),
        (dict(price=float("nan")), "finite"),
        (dict(price="18,000"), "not a decimal"),
        (dict(price=True), "price must be"),
        (dict(price=None), "needs the price"),
        (dict(action="X"), "Buy or Sell"),
        (dict(quantity=1.5), "quantity must be an integer"),
        (dict(code="TX|FL6"), "must not contain"),
        (dict(person_id=""), "person_id must not be empty"),
        (dict(account={"broker_id": "F002000"}), "account_id must be a text"),
        (dict(operation="cancel", seqno=""), "needs the order's ordno and seqno"),
        (dict(at=math.nan), "epoch seconds"),
    ],
)
def test_order_text_refuses(change, reason):
    fields = (
        dict(
            operation="place",
            person_id=PID,
            account=ACCOUNT,
            code="TXFL6",
            action="B",
            price=1,
            quantity=1,
            ordno="k1",
            seqno="1",
        )
        | change
    )
    with pytest.raises(ValueError, match=reason):
        order_text(fields.pop("operation"), **fields)


GOOD = "A123456789|cancel|F002000|7654321|TXFL6||||k0001|000001|2026-12-05T01:30:00.250Z"


@pytest.mark.parametrize(
    "text",
    [
        GOOD + "|",
        GOOD.replace("|cancel|", "|amend|"),
        GOOD.replace("||||", "|Buy|||"),  # a field the operation does not carry
        GOOD.replace("k0001|000001", "|000001"),  # a cancel without its ordno
        GOOD.replace("2026-12-05T01:30:00.250Z", "2026-12-05T01:30:00Z"),
        GOOD.replace("2026-12-05", "2026-13-05"),
        "A123456789|place|F002000|7654321|TXFL6|B|18000|1|||2026-12-05T01:30:00.250Z",  # not canonical
        "A123456789|place|F002000|7654321|TXFL6|Buy|18000.0|1|||2026-12-05T01:30:00.250Z",
    ],
)
def test_parse_order_text_refuses(text):
    with pytest.raises(ValueError):
        parse_order_text(text)


def test_seen_texts_are_forgotten_once_too_old_to_pass():
    seen = SeenTexts()
    assert seen.first_use("a", at=1000.0, now=1000.0) and seen.first_use("b", at=1030.0, now=1030.0)
    assert not seen.first_use("a", at=1000.0, now=1050.0)
    assert seen.first_use("c", at=1000.0 + MAX_AGE + MAX_AHEAD + 1, now=1000.0 + MAX_AGE + MAX_AHEAD + 1)
    assert len(seen) == 2  # "a" went; "b" and "c" are still young enough to be replayed


# ---- the verifying broker binds each signature to its request --------------------------------
PATHS = {
    "place": "Future/order",
    "update_price": "Future/updatePrice",
    "update_qty": "Future/updateQty",
    "cancel": "Future/cancel",
}


class Trader:
    """A logged-in HTTP conversation that signs each request's own values."""

    def __init__(self, base_url: str, signer) -> None:
        self.http = Broker(SimpleNamespace(api_uri=f"{base_url}/api/{settings.api_ver}/"), PID, "secret")
        self.signer = signer

    def body(self, operation: str) -> dict:
        """A request for the operation, on a freshly placed order unless it is a placement."""
        if operation == "place":
            body = self.http.order_body(price=17000, quantity=3)
            del body["ca_content"]
            return body
        placed = self.send("place", self.signed("place", self.body("place")))
        assert placed["success"] == "True", placed
        change = {"update_price": {"price": 16999}, "update_qty": {"quantity": 1}, "cancel": {}}[operation]
        r = placed["result"]
        body = {
            "token": self.http.token,
            "ID": PID,
            "IP": IP,
            "broker_id": r["broker_id"],
            "account": r["account"],
            "stock_id": r["stock_id"],
            "ordno": r["ordno"],
            "seqno": r["seqno"],
            "web_id": "Z",
        } | change
        return body if operation == "cancel" else body | {"fut_futopt": "F"}

    def signed(self, operation: str, body: dict, /, **override) -> dict:
        fields = dict(
            person_id=PID,
            account={"broker_id": body["broker_id"], "account_id": body["account"]},
            code=body["stock_id"],
            action=body.get("ord_bs"),
            price=body.get("price"),
            quantity=body.get("quantity"),
            ordno=body.get("ordno", ""),
            seqno=body.get("seqno", ""),
        )
        text = order_text(override.pop("operation", operation), **(fields | override))
        return body | {"ca_content": self.signer.gen_ca(text).decode()}

    def send(self, operation: str, body: dict) -> dict:
        return self.http.post(PATHS[operation], body)


@pytest.fixture
def trader(verifying_broker, signer):
    return Trader(verifying_broker, signer)


def refused(reply: dict, reason: str) -> bool:
    return reply["success"] == "False" and reason in reply["msg"]


@pytest.mark.parametrize("operation", OPERATIONS)
def test_each_operation_needs_its_own_fresh_signature_once(trader, operation):
    body = trader.body(operation)
    assert refused(trader.send(operation, body), "ca_content is required")
    assert refused(trader.send(operation, body | {"ca_content": ""}), "ca_content is required")
    assert refused(
        trader.send(operation, trader.signed(operation, body, at=time.time() - 120)), "signature is older than a minute"
    )
    assert refused(
        trader.send(operation, trader.signed(operation, body, at=time.time() + 60)), "signature is dated in the future"
    )
    good = trader.signed(operation, body)
    assert trader.send(operation, good)["success"] == "True"
    assert refused(trader.send(operation, good), "signature already used")


@pytest.mark.parametrize(
    "operation, override, reason",
    [
        ("place", dict(price=17001), "price 17001 != 17000"),
        ("place", dict(quantity=2), "quantity 2 != 3"),
        ("place", dict(action="Sell"), "action Sell != Buy"),
        ("place", dict(code="TXFC4"), "code TXFC4 != TXFA4"),
        ("place", dict(account={"broker_id": "F002000", "account_id": "1111111"}), "account_id 1111111 != "),
        ("update_price", dict(price=16998), "price 16998 != 16999"),
        ("update_price", dict(seqno="999999"), "seqno 999999 != "),  # signed for another order
        ("update_qty", dict(quantity=2), "quantity 2 != 1"),
        ("cancel", dict(ordno="kZZZZ"), "ordno kZZZZ != "),
        ("cancel", dict(operation="update_qty", quantity=1), "operation update_qty != cancel"),
    ],
)
def test_a_signature_for_another_request_is_refused(trader, operation, override, reason):
    body = trader.body(operation)
    reply = trader.send(operation, trader.signed(operation, body, **override))
    assert refused(reply, f"signed text does not match the request: {reason}"), reply


def test_a_signature_that_is_no_order_text_is_refused(trader, signer):
    body = trader.body("place") | {"ca_content": signer.gen_ca(PID + " TXFA4 Buy 3").decode()}
    assert refused(trader.send("place", body), "signed text is not an order text")


def test_a_plain_verifier_still_requires_a_signature(broker, monkeypatch):
    """A verifier that cannot return the signed text checks presence and signature only."""
    monkeypatch.setitem(broker.state.options, "ca_verifier", lambda person_id, ca: None if ca == "good" else "bad")
    sim = Broker(broker)
    body = sim.order_body()
    del body["ca_content"]
    assert refused(sim.post("Future/order", body), "ca_content is required")
    placed = sim.place(ca_content="good")
    assert placed["success"] == "True" and sim.place(ca_content="good")["success"] == "True"
    assert sim.query()["success"] == "True"  # the query carries no signature
