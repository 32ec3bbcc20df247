"""Checks the ``ca_content`` of order requests with the PKI library's verifier.

``ca_content`` is "0000{:04d}{sig}0000{:04d}{id}{id}": the length and text of the percent-encoded
Base64 PKCS#7 signature, then the length of the user's identifier and the identifier twice. The
signature must verify and its signed content must start with the identifier.

The library has one verifier per process and reads its settings once, so every ``CaVerifier`` of a
process must ask for the same settings; a different request raises ``RuntimeError`` rather than
being silently ignored.
"""

from __future__ import annotations

import base64
import binascii
import ctypes
import hashlib
import os
import re
import shutil
import tempfile
import threading
from collections.abc import Iterable
from pathlib import Path
from urllib.parse import unquote

__all__ = ["CaContentError", "CaVerifier", "split_ca_content", "subject_key_id"]

_LIB_PATH = Path(__file__).resolve().with_name("libVornPKI.so")
# Unloaded verifier (VerifyPkcs7Bin's answer before VornVerifyInitial) and a null-argument refusal.
_ERR_NOT_LOADED = 5002
_ERR_MEMORY_NOT_ENOUGH = 5003

_lock = threading.Lock()  # the library's verifier object is shared by every thread
_lib: ctypes.CDLL | None = None
_configured: tuple[object, ...] | None = None


class CaContentError(ValueError):
    """A ``ca_content`` text that is not laid out as the service expects."""


def _library() -> ctypes.CDLL:
    global _lib
    if _lib is None:
        lib = ctypes.CDLL(str(_LIB_PATH))
        lib.VornVerifyInitial.argtypes = [ctypes.c_char_p]
        lib.VornVerifyInitial.restype = ctypes.c_int
        lib.VerifyPkcs7Bin.argtypes = [ctypes.c_char_p, ctypes.c_int]
        lib.VerifyPkcs7Bin.restype = ctypes.c_int
        lib.GetVerifyContentData.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_int)]
        lib.GetVerifyContentData.restype = ctypes.c_int
        lib.GetErrorMsg.argtypes = []
        lib.GetErrorMsg.restype = ctypes.c_char_p
        _lib = lib
    return _lib


# ---------------------------------------------------------------------------------------------
# ca_content layout

_HEAD = re.compile(r"0000([0-9]{4,})")
_QUOTED_B64 = re.compile(r"(?:[A-Za-z0-9]|%2[BbFf]|%3[Dd])+")


def split_ca_content(person_id: str, ca_content: str | bytes) -> bytes:
    """The DER signature inside ``ca_content``; ``CaContentError`` when the layout is wrong."""
    if isinstance(ca_content, bytes):
        try:
            ca_content = ca_content.decode("utf-8")
        except UnicodeDecodeError:
            raise CaContentError("ca_content is not UTF-8 text") from None
    if not isinstance(ca_content, str):
        raise CaContentError("ca_content must be text")
    head = _HEAD.match(ca_content)
    if head is None:
        raise CaContentError("ca_content does not start with 0000 and the signature length")
    digits = head.group(1)
    length = int(digits)
    if f"{length:04d}" != digits:
        raise CaContentError("ca_content has a malformed signature length")
    quoted = ca_content[head.end() : head.end() + length]
    if len(quoted) != length:
        raise CaContentError("ca_content is shorter than its signature length")
    tail = ca_content[head.end() + length :]
    if tail != f"0000{len(person_id):04d}{person_id}{person_id}":
        raise CaContentError("ca_content does not end with the user's identifier")
    if not _QUOTED_B64.fullmatch(quoted):
        raise CaContentError("ca_content signature is not percent-encoded Base64")
    text = unquote(quoted)
    if len(text) % 4:
        raise CaContentError("ca_content signature is not Base64")
    try:
        return base64.b64decode(text, validate=True)
    except binascii.Error:
        raise CaContentError("ca_content signature is not Base64") from None


# ---------------------------------------------------------------------------------------------
# Trusted certificates: a chain file the library can load, with each CA's key identifier.

_PEM_CERT = re.compile(rb"-----BEGIN CERTIFICATE-----(.+?)-----END CERTIFICATE-----", re.S)
_OID_SKI = bytes.fromhex("0603551d0e")
_OID_SIGNED_DATA = bytes.fromhex("06092a864886f70d010702")
_OID_DATA = bytes.fromhex("06092a864886f70d010701")


def _tlv(data: bytes, pos: int) -> tuple[int, int, int]:
    """(tag, value start, value end) of the DER element at pos."""
    if pos + 2 > len(data):
        raise ValueError("truncated DER")
    tag, first = data[pos], data[pos + 1]
    pos += 2
    if first < 0x80:
        length = first
    else:
        count = first & 0x7F
        if count == 0 or count > 4 or pos + count > len(data):
            raise ValueError("bad DER length")
        length = int.from_bytes(data[pos : pos + count], "big")
        pos += count
    if pos + length > len(data):
        raise ValueError("truncated DER")
    return tag, pos, pos + length


def _children(data: bytes, start: int, end: int) -> Iterable[tuple[int, int, int, int]]:
    """(element start, tag, value start, value end) of each element in data[start:end]."""
    pos = start
    while pos < end:
        tag, vs, ve = _tlv(data, pos)
        yield pos, tag, vs, ve
        pos = ve


def subject_key_id(der: bytes) -> str | None:
    """The subject key identifier of a DER certificate, as upper-case hexadecimal (None when absent)."""
    _, cs, _ = _tlv(der, 0)
    _, ts, te = _tlv(der, cs)  # tbsCertificate
    for _, tag, vs, _ in _children(der, ts, te):
        if tag != 0xA3:  # [3] extensions
            continue
        _, es, ee = _tlv(der, vs)
        for _, _, xs, xe in _children(der, es, ee):
            parts = list(_children(der, xs, xe))  # extnID, critical?, extnValue
            if der[parts[0][0] : parts[0][3]] != _OID_SKI:
                continue
            _, ks, ke = _tlv(der, parts[-1][2])  # the key identifier inside extnValue
            return der[ks:ke].hex().upper()
    return None


def _der(tag: int, body: bytes) -> bytes:
    n = len(body)
    if n < 0x80:
        head = bytes([tag, n])
    else:
        size = n.to_bytes((n.bit_length() + 7) // 8, "big")
        head = bytes([tag, 0x80 | len(size)]) + size
    return head + body


def _certs_only_p7b(certs: list[bytes]) -> bytes:
    signed = _der(
        0x30, _der(0x02, b"\x01") + b"\x31\x00" + _der(0x30, _OID_DATA) + _der(0xA0, b"".join(certs)) + b"\x31\x00"
    )
    return _der(0x30, _OID_SIGNED_DATA + _der(0xA0, signed))


def _read_certs(path: str | os.PathLike[str]) -> list[bytes]:
    raw = Path(path).read_bytes()
    blocks = _PEM_CERT.findall(raw)
    if blocks:
        return [base64.b64decode(b"".join(block.split())) for block in blocks]
    return [raw]


# ---------------------------------------------------------------------------------------------


class CaVerifier:
    """Verifies ``ca_content`` texts.

    ``trusted_ca``: CA certificate files (PEM, possibly several in one file, or DER); the signer's
    certificate must then chain up to them, and the root must be among them. ``property_file``:
    a verifier property file of the library's own format, used as it is. With neither, only the
    signature itself is checked.
    """

    def __init__(
        self,
        trusted_ca: str | os.PathLike[str] | Iterable[str | os.PathLike[str]] | None = None,
        *,
        property_file: str | os.PathLike[str] | None = None,
    ) -> None:
        if trusted_ca is not None and property_file is not None:
            raise ValueError("give trusted_ca or property_file, not both")
        if isinstance(trusted_ca, (str, os.PathLike)):
            trusted_ca = [trusted_ca]
        certs = [c for path in trusted_ca for c in _read_certs(path)] if trusted_ca is not None else []
        if trusted_ca is not None and not certs:
            raise ValueError("trusted_ca names no certificate")
        if property_file is not None:
            text = Path(property_file).read_bytes()
            key: tuple[object, ...] = ("file", hashlib.sha256(text).hexdigest())
        elif certs:
            key = ("chain", frozenset(hashlib.sha256(c).hexdigest() for c in certs))
        else:
            key = ("signature",)
        with _lock:
            _configure(key, certs, property_file)

    def verify_ca_content(self, person_id: str, ca_content: str | bytes) -> str | None:
        """None when ``ca_content`` is good for ``person_id``, else the reason it is not."""
        return self.verify_content(person_id, ca_content)[1]

    def verify_content(self, person_id: str, ca_content: str | bytes) -> tuple[str, str | None]:
        """(signed text, None) when ``ca_content`` is good for ``person_id``, else ("", the reason)."""
        try:
            der = split_ca_content(person_id, ca_content)
        except CaContentError as exc:
            return "", str(exc)
        content, problem = self.verify_signature(der)
        if problem is not None:
            return "", problem
        try:
            text = content.decode("big5")
        except UnicodeDecodeError:
            return "", "signed content is not BIG5 text"
        if not text.startswith(person_id):
            return "", "signed content does not start with the user's identifier"
        return text, None

    __call__ = verify_ca_content

    def verify_signature(self, der: bytes) -> tuple[bytes, str | None]:
        """(signed content, None) of a good DER PKCS#7, else (b"", the library's failure text)."""
        if not der or len(der) > 0x7FFFFFFF:
            return b"", "ca_content signature is empty or too large"
        lib = _library()
        with _lock:
            rc = lib.VerifyPkcs7Bin(der, len(der))
            if rc != 0:
                return b"", f"ca_content signature rejected: {_error_text(lib, rc)}"
            size = ctypes.c_int(len(der))
            buffer = ctypes.create_string_buffer(size.value)
            rc = lib.GetVerifyContentData(buffer, ctypes.byref(size))
            if rc == _ERR_MEMORY_NOT_ENOUGH:
                buffer = ctypes.create_string_buffer(size.value)
                rc = lib.GetVerifyContentData(buffer, ctypes.byref(size))
            if rc != 0:
                return b"", f"ca_content signature has no content: {_error_text(lib, rc)}"
            return buffer.raw[: size.value], None


def _error_text(lib: ctypes.CDLL, rc: int) -> str:
    msg = lib.GetErrorMsg()
    return msg.decode("utf-8", "replace") if msg else str(rc)


def _configure(key: tuple[object, ...], certs: list[bytes], property_file: str | os.PathLike[str] | None) -> None:
    """Loads the process-wide verifier once (caller holds _lock)."""
    global _configured
    if _configured is not None:
        if _configured != key:
            raise RuntimeError("the PKI library's verifier is process-wide and already has other settings")
        return
    lib = _library()
    if lib.VerifyPkcs7Bin(None, 0) != _ERR_NOT_LOADED:
        raise RuntimeError("the PKI library's verifier was configured elsewhere in this process")
    if property_file is not None:
        rc = lib.VornVerifyInitial(os.fsencode(property_file))
    else:
        rc = _load_generated(lib, certs)
    if rc != 0:
        raise RuntimeError(f"the PKI library's verifier did not load: {_error_text(lib, rc)}")
    _configured = key


def _load_generated(lib: ctypes.CDLL, certs: list[bytes]) -> int:
    folder = tempfile.mkdtemp(prefix="taloma-verify-")
    try:
        lines = ["VerifyCertChain = " + ("true" if certs else "false"), "VerifyCRL = false"]
        if certs:
            Path(folder, "trusted.p7b").write_bytes(_certs_only_p7b(certs))
            lines.append(f"P7B.path = {folder}")
            index = 0
            for cert in certs:
                ski = subject_key_id(cert)
                if ski is None:
                    continue
                lines += [f"P7B{index}.name = trusted.p7b", f"P7B{index}.SKI = {ski}"]
                index += 1
            if index == 0:
                raise ValueError("no trusted certificate carries a subject key identifier")
        props = Path(folder, "verify.properties")
        props.write_text("\n".join(lines) + "\n", encoding="utf-8")
        return int(lib.VornVerifyInitial(os.fsencode(props)))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
