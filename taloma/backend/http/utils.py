"""Helpers shared by the HTTP modules: order identifiers, deadlines, reply decoding, masked logging."""

from __future__ import annotations

import math
import re
import time
from collections.abc import Iterator
from typing import Any

import msgspec
import requests
import urllib3

__all__ = ["checked_timeout", "decode_reply", "exchange", "hash_orderid", "masked", "post_account_query", "succeeded"]


def hash_orderid(code: str, seqno: str) -> str:
    """The package's identifier of an order: contract code and service sequence number.

    "CODE-SEQNO"; a "-" or "\\" inside the code is escaped with "\\", so the first unescaped "-"
    always ends the code and distinct pairs never share an identifier.
    """
    code = f"{code}"
    if "-" in code or "\\" in code:
        code = code.replace("\\", "\\\\").replace("-", "\\-")
    return f"{code}-{seqno}"


def succeeded(reply: Any) -> bool:
    """The service's verdict on a decoded reply: its "success" text, in any case, is "true"."""
    return str(reply.get("success", "")).lower() == "true"


def post_account_query(client: Any, uri: str, account: Any, params: dict[str, Any]) -> Any:
    """One account query: the client's token and the account's broker and account IDs, then ``params``,
    posted to ``uri`` under the client's deadlines; the decoded reply, judged by the caller."""
    body = {
        "token": client._token,
        "broker_id": account.get("broker_id", ""),
        "account_id": account.get("account_id", ""),
    }
    body.update(params)
    return exchange(client.session, "POST", uri, body, timeout=client.timeout)


# ---- deadlines ------------------------------------------------------------------------------


def checked_timeout(name: str, value: Any, pair: bool = True) -> Any:
    """``value`` as requests takes it: seconds, or (with ``pair``) a (connect, read) pair of seconds;
    None waits without limit."""

    def seconds(v: Any) -> Any:
        if v is None:
            return None
        if isinstance(v, bool) or not isinstance(v, (int, float)):
            raise TypeError(f"{name} must be {'seconds or a (connect, read) pair' if pair else 'seconds'}, not {v!r}")
        if not (v > 0 and math.isfinite(v)):
            raise ValueError(f"{name} must be a positive, finite number of seconds, not {v!r}")
        return v

    if pair and isinstance(value, (tuple, list)):
        if len(value) != 2:
            raise ValueError(f"{name} must be a (connect, read) pair, not {value!r}")
        return (seconds(value[0]), seconds(value[1]))
    return seconds(value)


_CHUNK = 256 * 1024


def _arriving(response: requests.Response) -> Iterator[bytes]:
    """The body of a streamed reply as it arrives. Where urllib3 offers it (2.x), each piece costs at most
    one read of the socket: a fixed-size read waits for its whole size however slowly bytes come."""
    read1 = getattr(response.raw, "read1", None)
    if read1 is None:
        yield from response.iter_content(chunk_size=_CHUNK)
        return
    # Errors as Response.iter_content reports them.
    try:
        while piece := read1(_CHUNK, decode_content=True):
            yield piece
    except urllib3.exceptions.ProtocolError as exc:
        raise requests.exceptions.ChunkedEncodingError(exc) from exc
    except urllib3.exceptions.DecodeError as exc:
        raise requests.exceptions.ContentDecodingError(exc) from exc
    except urllib3.exceptions.ReadTimeoutError as exc:
        raise requests.exceptions.ConnectionError(exc) from exc
    except urllib3.exceptions.SSLError as exc:
        raise requests.exceptions.SSLError(exc) from exc


def _read_within(response: requests.Response, started: float, deadline: float) -> None:
    """Reads the body of a streamed reply, giving up once ``deadline`` seconds have passed since
    ``started``: the read timeout bounds each wait for data, not a body that keeps trickling in.
    The deadline is checked as data arrives, so a reply can overrun it by one read timeout at most."""
    chunks = []
    try:
        for chunk in _arriving(response):
            chunks.append(chunk)
            if time.monotonic() - started > deadline:
                raise requests.exceptions.ReadTimeout(
                    f"{response.url}: reply not complete within {deadline:g} s", response=response
                )
    except BaseException:
        response.close()
        raise
    # As Response.content keeps it, so that json() and content read the body already there.
    response._content = b"".join(chunks)
    response._content_consumed = True  # type: ignore[attr-defined]  # private, so not in the stubs


def exchange(
    session: Any, method: str, url: str, body: Any = None, *, timeout: Any, deadline: float | None = None
) -> Any:
    """One request to the service through ``session``; the decoded reply.

    GET without a body or POST with ``body`` as its JSON, each read under ``timeout``; with a
    ``deadline`` (seconds) the whole exchange must also end within it.
    """
    kwargs: dict[str, Any] = {"timeout": timeout}
    if body is not None:
        kwargs["json"] = body
    send = session.post if method == "POST" else session.get
    if deadline is None:
        return decode_reply(send(url, **kwargs))
    started = time.monotonic()
    response = send(url, stream=True, **kwargs)
    if isinstance(response, requests.Response):
        _read_within(response, started, deadline)
    return decode_reply(response)


# ---- reply decoding -------------------------------------------------------------------------

_decoder = msgspec.json.Decoder()


def decode_reply(response: Any) -> Any:
    """``response.json()``, faster: a UTF-8 body goes through msgspec, which gives the same values
    as json; whatever it refuses (NaN, overflowing floats, lone surrogates, non-UTF-8 bodies, not
    JSON at all) is left to ``response.json()``, so results and errors are those of requests."""
    if isinstance(response, requests.Response) and (response.encoding or "utf-8").lower() in ("utf-8", "utf8"):
        content = response.content
        if content:
            try:
                return _decoder.decode(content)
            except (msgspec.DecodeError, RecursionError):
                pass
    return response.json()


# ---- masked logging -------------------------------------------------------------------------

MASK = "***"
_SECRET_KEYS = frozenset(
    {
        "token",
        "password",
        "passwd",
        "hashpasswd",
        "ca_content",
        "ca_passwd",
        "cert_password",
        "pfx_password",
        "secret",
        "api_key",
        "apikey",
        "secret_key",
        "authorization",
        "access_token",
        "refresh_token",
        "private_key",
    }
)
_SECRET_IN_BYTES = re.compile(
    rb'("(?:' + b"|".join(re.escape(k.encode()) for k in sorted(_SECRET_KEYS)) + rb')"\s*:\s*)'
    rb'("(?:[^"\\]|\\.)*"|[^\s,}\]]+)',
    re.IGNORECASE,
)


def _secret(key: Any) -> bool:
    return isinstance(key, str) and key.lower() in _SECRET_KEYS


def masked(value: Any) -> Any:
    """``value`` for the log: a copy whose secrets (session token, password digest, ca_content...)
    read "***" under their own keys, in mappings and lists at any depth and in raw JSON bytes."""
    if isinstance(value, dict):
        return {k: (MASK if _secret(k) else masked(v)) for k, v in value.items()}
    if isinstance(value, list):
        return [masked(v) for v in value]
    if isinstance(value, tuple):
        return tuple(masked(v) for v in value)
    if isinstance(value, (bytes, bytearray)):
        return _SECRET_IN_BYTES.sub(rb'\1"***"', bytes(value))
    return value
