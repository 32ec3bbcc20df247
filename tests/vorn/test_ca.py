"""The signing module: error table, activation, signed content, layouts, property-file handling."""

from __future__ import annotations

import base64
import copy
import ctypes
import ctypes.util
import os
import pickle
import stat
import subprocess
import sys
import threading
import time
import traceback
import weakref
from pathlib import Path
from urllib.parse import quote

import pytest

from support import run_python
from support.ca import (  # noqa: F401  (fixtures)
    PASSWORD,
    der_of_quoted,
    layout,
    leftover_props,
    openssl_content,
    props_name,
    unpack_ca,
    workdir,
    xxh32,
)

ca = pytest.importorskip("taloma.Vorn.ca", reason="the signing module is not built")
MODULE_DIR = Path(ca.__file__).resolve().parent
PID, IP = "A123", "1.2.3.4"


@pytest.fixture
def signer(pki):
    return ca.PyVornSign(pki["sign.p12"], PASSWORD, PID, IP)


def content_of(quoted: str, pki, folder) -> bytes:
    return openssl_content(der_of_quoted(quoted), pki, folder)


# ---- error table and CaError -----------------------------------------------------------------
def test_error_table_parsing_rules(tmp_path):
    (tmp_path / "cError.h").write_bytes(
        "// header comment\r\n"
        "#define E_X 5005 // first text\r\n"
        "#define E_Y 42 // a // b\r\n"
        "#define E_NOMSG 7\r\n"
        "#define E_X2 5005 // replaced\r\n"
        "#ifndef X\r\n"
        '#define E_ZH 5070 // 使用者按下"取消"按鈕'.encode()
    )
    table = ca.read_error_code_dict(tmp_path)
    assert table == {
        5005: {"error": "E_X2", "error_msg": "replaced"},
        42: {"error": "E_Y", "error_msg": "b"},
        7: {"error": "E_NOMSG", "error_msg": "#define E_NOMSG 7"},
        5070: {"error": "E_ZH", "error_msg": '使用者按下"取消"按鈕'},
    }
    assert (table[42].error, table[42].error_msg) == ("E_Y", "b")


@pytest.mark.parametrize("text, error", [(b"#define E_X five // t\r\n", ValueError), (b"\xff\xfe", UnicodeDecodeError)])
def test_error_table_bad_files(tmp_path, text, error):
    (tmp_path / "cError.h").write_bytes(text)
    with pytest.raises(error):
        ca.read_error_code_dict(tmp_path)


def test_error_table_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        ca.read_error_code_dict(tmp_path)


@pytest.mark.parametrize(
    "code, text",
    [
        (0, "成功"),
        (5005, "錯誤的參數"),
        (5070, '使用者按下"取消"按鈕'),
        (25632, "CRL 尚未取得, 無法驗證"),
        (1202, "PROPERTY 檔無法讀取"),
    ],
)
def test_shipped_error_table(code, text):
    assert ca.read_error_code_dict(MODULE_DIR)[code]["error_msg"] == text


@pytest.mark.parametrize(
    "code, message",
    [(5005, "5005 E_X first"), (1, "1  "), (-1, "-1  ")],
)
def test_raise_error_message(code, message):
    with pytest.raises(ca.CaError) as info:
        ca.raise_error(code, {5005: {"error": "E_X", "error_msg": "first"}})
    assert info.value.args == (message,)


def test_ca_error_type():
    assert issubclass(ca.CaError, Exception) and ca.CaError.__doc__ == "Ca Error"
    assert ca.CaError.__module__ == "taloma.Vorn.ca"


# ---- templates -------------------------------------------------------------------------------
def template_lines(text):
    assert text.endswith("\n")
    return text[:-1].split("\n")


@pytest.mark.parametrize("name, level, tail", [("P7SIGN_PROPS", "WARN", ""), ("INIT_CA_PROPS", "DEBUG", "    ")])
def test_templates(name, level, tail):
    text = getattr(ca, name)
    assert text.endswith("\n" + tail)
    lines = template_lines(text[: len(text) - len(tail)])
    assert lines[:11] == [
        "LOG.path = logs",
        "LOG.file = ca.log",
        f"LOG.level = {level}",
        "PFX.path = {ca_path_folder}",
        "PFX.file = {ca_name}",
        "PFX.checkValid = true",
        "PKCS7.digest = SHA256",
        "PKCS7.addCert = 1",
        "PKCS7.addPlainText = true",
        "PKCS7.addTimestamp = false",
        "P7B.path = {p7b_path}",
    ]
    chains = lines[11:]
    assert len(chains) == 8
    for i in range(4):
        assert chains[2 * i].startswith(f"P7B{i}.name = ") and chains[2 * i].endswith(".p7b")
        key, _, ski = chains[2 * i + 1].partition(" = ")
        assert key == f"P7B{i}.SKI" and len(ski) in (40, 64) and ski == ski.upper()
        int(ski, 16)
    assert ca.P7SIGN_PROPS.replace("WARN", "DEBUG") + "    " == ca.INIT_CA_PROPS


def test_shipped_files_beside_module():
    assert (MODULE_DIR / "cError.h").is_file() and (MODULE_DIR / "P7B").is_dir()


# ---- activation ------------------------------------------------------------------------------
def test_activation_and_attributes(pki, workdir):
    s = ca.PyVornSign(Path(pki["sign.p12"]), PASSWORD, PID, IP)
    assert s.is_activate() is True
    assert (s.person_id, s.person_id_len, s.ip, s.fix_content) == (PID, 4, IP, "A1231.2.3.4")
    assert s.encoding == ("big5" if sys.platform == "win32" else "utf8")
    assert s.store_count == 0 and s.store_sign == [] and s.threads == []
    assert s.error_code_dict[5005]["error_msg"] == "錯誤的參數"
    assert 0 < len(s.encedPfxPasswd) <= 512 and PASSWORD.encode() not in s.encedPfxPasswd
    assert leftover_props(workdir) == []


@pytest.mark.parametrize(
    "p12, password, code",
    [
        ("sign.p12", "wrong", "5208"),
        ("sign.p12", "", "5005"),
        ("missing.p12", PASSWORD, "1102"),
        ("sign-certonly.p12", PASSWORD, "5060"),
    ],
)
def test_activation_failures(pki, workdir, p12, password, code):
    path = pki.get(p12, str(workdir / p12))
    with pytest.raises(ca.CaError) as info:
        ca.PyVornSign(path, password, PID, IP)
    assert info.value.args[0].split(" ")[0] == code
    assert leftover_props(workdir) == []


def test_activation_error_text_from_table(workdir):
    with pytest.raises(ca.CaError) as info:
        ca.PyVornSign(workdir / "missing.p12", PASSWORD, PID, IP)
    assert info.value.args == ("1102 ERR_CERT_FILE_READ 憑證檔無法讀取",)


@pytest.mark.parametrize(
    "args, kwargs",
    [(("a", "b", "c"), {}), (("a", "b", "c", "d", 0, 1), {}), (("a", "b", "c"), {"bogus": 1})],
)
def test_constructor_argument_counts(args, kwargs):
    with pytest.raises(TypeError):
        ca.PyVornSign(*args, **kwargs)


@pytest.mark.parametrize("person_id, ip", [(123, IP), (None, IP), (PID, 5), (b"A123", IP)])
def test_constructor_types(pki, workdir, person_id, ip):
    with pytest.raises(TypeError):
        ca.PyVornSign(pki["sign.p12"], PASSWORD, person_id, ip)
    assert leftover_props(workdir) == []


def test_keywords_and_ip_none(pki):
    s = ca.PyVornSign(ca_path=pki["sign.p12"], ca_passwd=PASSWORD, person_id=PID, ip=None, store=0)
    assert s.fix_content == "A123None" and s.ip is None


@pytest.mark.parametrize("text", ["a\nPFX.pswd = 1", "a\rb"])
def test_path_with_line_break_refused(text):
    with pytest.raises(ValueError):
        ca.PyVornSign(text, PASSWORD, PID, IP)


def test_embedded_nul_refused(signer):
    with pytest.raises(ValueError):
        signer.gen_sign("a\x00b")
    with pytest.raises(ValueError):
        signer.get_sign("a\x00b")


def test_pickling_refused(signer):
    message = "no default __reduce__ due to non-trivial __cinit__"
    for attempt in (
        lambda: pickle.dumps(signer),
        lambda: copy.copy(signer),
        lambda: copy.deepcopy(signer),
        signer.__reduce__,
        lambda: signer.__reduce_ex__(2),
    ):
        with pytest.raises(TypeError, match=message):
            attempt()


def test_signer_freed_with_object(pki):
    s = ca.PyVornSign(pki["sign.p12"], PASSWORD, PID, IP)
    ref = weakref.ref(s)
    del s
    assert ref() is None


@pytest.mark.parametrize("p12, code", [("expired.p12", "5011"), ("future.p12", "5012"), ("nosign.p12", "5017")])
def test_unusable_certificate_fails_signing(pki, p12, code):
    s = ca.PyVornSign(pki[p12], PASSWORD, PID, IP)
    with pytest.raises(ca.CaError) as info:
        s.gen_sign("x")
    assert info.value.args[0].split(" ")[0] == code


def test_raise_error_method(signer):
    with pytest.raises(ca.CaError, match=r"^5011 ERR_CERT_EXPIRED 憑證已過期$"):
        signer.raise_error(5011)
    signer.error_code_dict = None
    with pytest.raises(AttributeError):
        signer.raise_error(5011)
    with pytest.raises(TypeError):
        signer.error_code_dict = [1]


def test_table_reader_looked_up_at_call_time(pki, monkeypatch):
    monkeypatch.setattr(ca, "read_error_code_dict", lambda folder: ["not", "a", "dict"])
    with pytest.raises(TypeError):
        ca.PyVornSign(pki["sign.p12"], PASSWORD, PID, IP)
    monkeypatch.setattr(ca, "read_error_code_dict", lambda folder: None)
    assert ca.PyVornSign(pki["sign.p12"], PASSWORD, PID, IP).error_code_dict is None


# ---- property file ---------------------------------------------------------------------------
def test_props_name_is_xxh32_of_identity():
    lib = ctypes.CDLL(ctypes.util.find_library("xxhash") or "libxxhash.so.0")
    lib.XXH32.restype = ctypes.c_uint32
    lib.XXH32.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint32]
    for data in (b"", b"a", b"abc", b"140212345678912", bytes(range(40))):
        assert xxh32(data) == lib.XXH32(data, len(data), 0)
    assert xxh32(b"") == 0x02CC5D05


@pytest.fixture(scope="module")
def slow_p12(pki, tmp_path_factory):
    """A PKCS#12 whose key takes about a second to decrypt (PBKDF2 iterations)."""
    path = tmp_path_factory.mktemp("slow") / "slow.p12"
    subprocess.run(
        [
            "openssl",
            "pkcs12",
            "-export",
            "-inkey",
            pki["sign.key"],
            "-in",
            pki["sign.pem"],
            "-iter",
            "1500000",
            "-passout",
            f"pass:{PASSWORD}",
            "-out",
            str(path),
        ],
        check=True,
        capture_output=True,
    )
    return path


@pytest.mark.parametrize("password", [PASSWORD, "wrong"])
def test_props_file_private_exact_and_removed(slow_p12, signer, workdir, password):
    """While the signer decrypts a slow certificate the property file exists: look at it."""
    result: list[object] = []

    def activate():
        try:
            result.append(signer.activate(slow_p12, password, MODULE_DIR))
        except Exception as exc:
            result.append(exc)

    worker = threading.Thread(target=activate)
    worker.start()
    prefix = props_name(signer) + f".{os.getpid()}."
    seen = None
    while worker.is_alive() and seen is None:
        try:
            (props,) = [p for p in workdir.iterdir() if p.name.startswith(prefix)] or [workdir / prefix]
            seen = (props.lstat(), props.read_bytes())
        except FileNotFoundError:
            time.sleep(0.005)
    worker.join(30)
    assert seen is not None, "the property file never appeared under its xxh32, pid and call name"
    info, data = seen
    assert stat.S_ISREG(info.st_mode) and stat.S_IMODE(info.st_mode) == 0o600
    expected = ca.P7SIGN_PROPS.format(ca_path_folder=slow_p12.parent, ca_name="slow.p12", p7b_path=MODULE_DIR / "P7B")
    assert data == expected.encode()
    assert leftover_props(workdir) == []
    if password == PASSWORD:
        assert result == [True]
    else:
        assert isinstance(result[0], ca.CaError)
        # The failed reload kept the certificate loaded before.
        assert signer.is_activate() and der_of_quoted(signer.gen_sign("x"))


def test_props_file_never_written_through_link(pki, signer, workdir, monkeypatch):
    victim = workdir / "victim.txt"
    victim.write_text("keep me")
    # Every name the next calls could take.
    for n in range(1, 2000):
        (workdir / f"{props_name(signer)}.{os.getpid()}.{n}").symlink_to(victim)
    assert signer.activate(Path(pki["sign.p12"]), PASSWORD, MODULE_DIR) is True
    assert victim.read_text() == "keep me"
    assert len(leftover_props(workdir)) == 1998


def test_props_file_gone_when_exception_follows_activation(pki, workdir):
    with pytest.raises(ValueError):
        ca.PyVornSign(pki["sign.p12"], PASSWORD, PID, IP, "many")
    with pytest.raises(OverflowError):
        ca.PyVornSign(pki["sign.p12"], PASSWORD, PID, IP, 2**31)
    assert leftover_props(workdir) == []


# ---- signatures ------------------------------------------------------------------------------
def test_gen_sign_content(pki, signer, workdir, monkeypatch):
    monkeypatch.setattr(time, "time", lambda: 1700000000.25)
    quoted = signer.gen_sign("x")
    assert content_of(quoted, pki, workdir) == b"A1231.2.3.4x1700000000.25"


def test_gen_sign_uses_current_time(pki, signer, workdir):
    before = time.time()
    content = content_of(signer.gen_sign(None), pki, workdir).decode()
    assert content.startswith("A1231.2.3.4None")
    assert before <= float(content[len("A1231.2.3.4None") :]) <= time.time()


def test_gen_sign_type_check(signer):
    with pytest.raises(TypeError):
        signer.gen_sign(5)


def test_chinese_text_signed_as_big5(pki, signer, workdir):
    raw = signer.get_sign("台指期 買進")
    assert openssl_content(base64.b64decode(raw), pki, workdir) == "台指期 買進".encode("big5")


def test_signatures_are_deterministic_and_quoted_with_no_safe_characters(signer):
    raw = signer.get_sign("abc")
    assert raw == signer.get_sign("abc") and isinstance(raw, bytes)
    assert b"+" in raw or b"/" in raw
    assert signer.get_quote_sign("abc") == quote(raw, safe="")
    assert signer.get_quote_sign(123) == quote(signer.get_sign("123"), safe="")


def test_empty_text_is_a_parameter_error(signer):
    with pytest.raises(ca.CaError, match=r"^5005 "):
        signer.get_sign()


@pytest.mark.parametrize("plain", ["A123 order", "x" * 6000])
def test_gen_ca_layout(signer, plain):
    quoted = signer.get_quote_sign(plain)
    out = signer.gen_ca(plain)
    assert isinstance(out, bytes) and out == layout(quoted, PID).encode()
    assert out.startswith(f"0000{len(quoted):04d}".encode()) and out.endswith(b"00000004A123A123")
    assert unpack_ca(out, PID) == quoted


# ---- module functions over the process-wide signer -------------------------------------------
def test_module_functions(pki, workdir, capsys):
    assert ca.init_ca(pki["sign.p12"], PASSWORD) == 0
    assert capsys.readouterr().out == "Ca Initial Done.\n"
    assert leftover_props(MODULE_DIR) == []
    raw = ca.get_sign("abc")
    assert raw == ca.get_sign("abc") and raw == ca.PyVornSign(pki["sign.p12"], PASSWORD, PID, IP).get_sign("abc")
    assert ca.get_quote_sign("abc") == quote(raw, safe="")
    out = ca.gen_ca("abc", "abc")
    assert out == layout(quote(raw, safe=""), "abc").encode() and out.endswith(b"00000003abcabc")
    assert openssl_content(base64.b64decode(ca.get_sign("台指期")), pki, workdir) == "台指期".encode("big5")
    with pytest.raises(UnicodeEncodeError):
        ca.get_sign("\U0001f600")


def test_init_ca_failure_removes_shared_file(pki):
    with pytest.raises(ca.CaError, match=r"^5208  .*密碼錯誤"):
        ca.init_ca(pki["sign.p12"], "wrong")
    assert leftover_props(MODULE_DIR) == []


def test_init_ca_takes_over_stale_file(pki, capsys):
    stale = MODULE_DIR / "p7Sign.properties"
    stale.write_text("left by a process that died\n")
    start = time.monotonic()
    assert ca.init_ca(pki["sign.p12"], PASSWORD) == 0
    assert time.monotonic() - start >= 4.5
    assert not stale.exists()


def test_module_get_sign_without_signer_is_empty(tmp_path):
    done = run_python("from taloma.Vorn import ca; print(repr(ca.get_sign('x')), ca.gen_ca('ab', 'x'))", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["b''", "b'0000000000000002abab'"]


# ---- robustness: log folder, exit, fork, concurrent activation, paths, password -----------------
_LOG_FOLDER_SCRIPT = r"""
import os, sys
from taloma.Vorn import ca
pfx, pw, mode = sys.argv[1:]
if mode == "file":
    open("logs", "w").close()
elif mode == "deleted":  # a folder that cannot hold a new entry at all
    "".encode("big5")  # 3.13.0's codec search fails (SystemError) from a deleted working folder
    gone = os.path.abspath("gone")
    os.mkdir(gone); os.chdir(gone); os.rmdir(gone)
for _ in range(2):
    ca.init_ca(pfx, pw)
    assert ca.get_sign("abc")
if mode != "deleted":
    assert ca.PyVornSign(pfx, pw, "A1", "1.1.1.1").gen_sign("x")
print("signed")
"""


@pytest.mark.parametrize("mode", ["made", "file", "deleted"])
def test_log_folder_that_cannot_be_made(pki, workdir, mode):
    """The first activation of a process makes the log folder in the working folder; where it cannot,
    signing goes on without one and the failure is told once."""
    done = run_python(_LOG_FOLDER_SCRIPT, pki["sign.p12"], PASSWORD, mode, cwd=workdir)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["Ca", "Initial", "Done.", "Ca", "Initial", "Done.", "signed"]
    assert done.stderr.count('log folder "logs" cannot be created') == (mode != "made"), done.stderr
    assert (workdir / "logs").is_dir() == (mode == "made")


_EXIT_SCRIPT = r"""
import atexit, os, sys
pfx, pw = sys.argv[1:]

def cancel_all_orders():  # registered before the module's own exit hook
    ok = bool(signer.gen_ca("cancel all")) and bool(ca.get_sign("cancel")) and bool(signer.sign())
    os.write(1, b"atexit %r\n" % ok)

atexit.register(cancel_all_orders)
from taloma.Vorn import ca
ca.init_ca(pfx, pw)
signer = ca.PyVornSign(pfx, pw, "A1", "1.1.1.1", 10)

class Order:
    def __init__(self, signer):
        self.signer = signer

    def __del__(self, write=os.write):
        write(1, b"del %r\n" % bool(self.signer.gen_ca("cancel")))

order = Order(ca.PyVornSign(pfx, pw, "A1", "1.1.1.1"))
"""


def test_signing_during_shutdown_completes(pki, workdir):
    done = run_python(_EXIT_SCRIPT, pki["sign.p12"], PASSWORD, cwd=workdir)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[1:] == ["atexit True", "del True"], done.stdout


_FORK_SCRIPT = r"""
import os, sys, time
from pathlib import Path
from taloma.Vorn import ca
pfx, pw = sys.argv[1:]
ca.init_ca(pfx, pw)
signer = ca.PyVornSign(pfx, pw, "A1", "1.1.1.1", 400)  # a big pool: its thread keeps signing
folder = Path(ca.__file__).parent

def child():
    inherited = set(signer.store_sign)
    assert signer.sign("x") not in inherited, "a parent's pooled signature handed out again"
    assert signer.threads[0].is_alive(), "no pool thread in the child"
    assert signer.gen_ca("y") and ca.get_sign("z")

def activations():
    for _ in range(30):
        assert signer.activate(Path(pfx), pw, folder)

def fork(body):
    pid = os.fork()
    if pid == 0:
        try:
            body()
            code = 0
        except BaseException as exc:
            print(repr(exc), flush=True)
            code = 1
        os._exit(code)
    return pid

def outcome(pid):
    deadline = time.monotonic() + 30
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return str(os.waitstatus_to_exitcode(status))
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            return "hung"
        time.sleep(0.01)

codes = []
for _ in range(10):
    codes.append(outcome(fork(child)))
    signer.gen_sign("parent goes on")
# Siblings activating at once in one folder.
codes += [outcome(pid) for pid in [fork(activations) for _ in range(8)]]
print(*codes)
"""


def test_fork_while_pool_fills(pki, workdir):
    done = run_python(_FORK_SCRIPT, pki["sign.p12"], PASSWORD, cwd=workdir, timeout=400)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split()[-18:] == ["0"] * 18, done.stdout
    assert leftover_props(workdir) == []


def test_threads_activate_one_signer(pki, signer, workdir):
    errors: list[BaseException] = []

    def work():
        try:
            for _ in range(8):
                assert signer.activate(Path(pki["sign.p12"]), PASSWORD, MODULE_DIR) is True
        except BaseException as exc:
            errors.append(exc)

    workers = [threading.Thread(target=work) for _ in range(6)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(120)
    assert errors == [] and leftover_props(workdir) == []


@pytest.mark.parametrize("name", ["id ", " id", "id\t", '"id"', "x" * 200 + ".p12"])
def test_paths_as_the_file_system_takes_them(pki, workdir, name, capsys):
    folder = workdir.joinpath(*["a" * 120 + " "] * 5)  # over 600 bytes, each part ending in a space
    folder.mkdir(parents=True)
    cert = folder / name
    cert.write_bytes(Path(pki["sign.p12"]).read_bytes())
    assert len(os.fsencode(cert)) > 511
    assert ca.PyVornSign(cert, PASSWORD, PID, IP).gen_sign("x")
    assert ca.init_ca(str(cert), PASSWORD) == 0 and ca.get_sign("x")


SECRET = "s3cr3t-Pw"


def password_free(exc: BaseException) -> bool:
    text = "".join(traceback.format_exception(exc)) + repr(exc.args)
    return SECRET not in text and SECRET.encode() not in text.encode("utf-8", "surrogateescape")


@pytest.mark.parametrize("password", [SECRET + "\U0001f600", SECRET + "\udcff", "\x00" + SECRET])
def test_password_never_in_exceptions(pki, signer, workdir, password):
    attempts = [
        lambda: ca.PyVornSign(pki["sign.p12"], password, PID, IP),
        lambda: ca.PyVornSign(ca_path=pki["sign.p12"], ca_passwd=password, person_id=PID, ip=IP),
        lambda: signer.activate(Path(pki["sign.p12"]), password, MODULE_DIR),
        lambda: ca.init_ca(pki["sign.p12"], password),
    ]
    for attempt in attempts:
        with pytest.raises((ValueError, ca.CaError)) as info:
            attempt()
        assert not isinstance(info.value, UnicodeError) and password_free(info.value), info.value
    with pytest.raises(TypeError) as info:
        ca.PyVornSign(pki["sign.p12"], SECRET, PID)
    assert password_free(info.value)
    with pytest.raises(ca.CaError) as info:
        ca.PyVornSign(pki["sign.p12"], SECRET, PID, IP)
    assert password_free(info.value)


def test_password_never_in_files_or_logs(pki, workdir):
    with pytest.raises(ca.CaError):
        ca.init_ca(pki["sign.p12"], SECRET)  # the DEBUG template: everything the library logs
    with pytest.raises(ca.CaError):
        ca.PyVornSign(pki["sign.p12"], SECRET, PID, IP)
    for path in workdir.rglob("*"):
        if path.is_file():
            data = path.read_bytes()
            assert SECRET.encode() not in data, path


@pytest.mark.parametrize("make", ["object", "module"])
def test_wrong_password_says_so(pki, make):
    with pytest.raises(ca.CaError) as info:
        if make == "object":
            ca.PyVornSign(pki["sign.p12"], "wrong", PID, IP)
        else:
            ca.init_ca(pki["sign.p12"], "wrong")
    code, _, text = info.value.args[0].partition("  ")
    assert code == "5208" and "密碼錯誤" in text and "(5208)" not in text
