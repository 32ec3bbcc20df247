"""Order signatures bound to their requests.

With a verifier configured (option ``ca_verifier``) every order operation must carry a
"ca_content" whose signed text (:func:`taloma.signing.order_text`) names this operation and this
request's values, is at most a minute old and has not been seen before.

The verifier is either an object with ``verify_content(person_id, ca_content) -> (text, problem)``
(a :class:`taloma.Vorn.verify.CaVerifier`, or its bound ``verify_ca_content``), which gets the full
check; or a plain ``verifier(person_id, ca_content) -> problem | None``, which cannot give the
signed text back and so only checks that a signature is there and verifies.
"""

from __future__ import annotations

import hashlib
import heapq
import threading
import time
from collections.abc import Callable
from typing import Any

from taloma.signing import OrderText, parse_order_text, price_text

# The operation each order endpoint performs; other endpoints carry no signature.
OPERATION_OF_PATH = {
    "Future/order": "place",
    "Future/updatePrice": "update_price",
    "Future/updateQty": "update_qty",
    "Future/cancel": "cancel",
}
MAX_AGE = 60.0
# Clocks of signer and broker differ a little; a text dated further ahead is refused.
MAX_AHEAD = 5.0

ContentVerifier = Callable[[str, Any], tuple[str, str | None]]


class SeenTexts:
    """Digests of the signed texts accepted lately; a text stays until it is too old to pass anyway."""

    def __init__(self, keep: float = MAX_AGE + MAX_AHEAD) -> None:
        self._keep = keep
        self._lock = threading.Lock()
        self._seen: set[bytes] = set()
        self._expiry: list[tuple[float, bytes]] = []

    def __len__(self) -> int:
        return len(self._seen)

    def first_use(self, text: str, at: float, now: float) -> bool:
        """Records the text signed at ``at``; False when it was recorded before."""
        digest = hashlib.sha256(text.encode("utf-8")).digest()
        with self._lock:
            while self._expiry and self._expiry[0][0] < now - self._keep:
                self._seen.discard(heapq.heappop(self._expiry)[1])
            if digest in self._seen:
                return False
            self._seen.add(digest)
            heapq.heappush(self._expiry, (at, digest))
            return True


def content_verifier(verifier: Any) -> ContentVerifier | None:
    """The verifier's ``verify_content``, or None for a verifier of the plain shape."""
    for candidate in (verifier, getattr(verifier, "__self__", None)):
        method = getattr(candidate, "verify_content", None)
        if callable(method):
            return method  # type: ignore[no-any-return]
    return None


def _text(value: Any) -> str:
    return "" if value is None else value if isinstance(value, str) else repr(value)


def _canonical(value: Any, canonicalise: Callable[[Any], str]) -> str:
    """The request's value as an order text writes it, or its repr when no order text could."""
    try:
        return canonicalise(value)
    except ValueError:
        return repr(value)


def _quantity(value: Any) -> str:
    if isinstance(value, int) and not isinstance(value, bool):
        return str(value)
    raise ValueError(value)


def _requested(operation: str, body: dict[str, Any]) -> dict[str, str]:
    """What the signed text must say, field by field, for this request."""
    want = {
        "operation": operation,
        "person_id": _text(body.get("ID")),
        "broker_id": _text(body.get("broker_id")),
        "account_id": _text(body.get("account")),
        "code": _text(body.get("stock_id")),
        "action": "",
        "price": "",
        "quantity": "",
        "ordno": "",
        "seqno": "",
    }
    if operation == "place":
        action = _text(body.get("ord_bs"))
        want["action"] = {"B": "Buy", "S": "Sell"}.get(action, action)
    if operation in ("place", "update_price"):
        want["price"] = _canonical(body.get("price"), price_text)
    if operation in ("place", "update_qty"):
        want["quantity"] = _canonical(body.get("quantity"), _quantity)
    if operation != "place":
        want["ordno"], want["seqno"] = _text(body.get("ordno")), _text(body.get("seqno"))
    return want


def _mismatch(signed: OrderText, want: dict[str, str]) -> str | None:
    for name, value in want.items():
        got = getattr(signed, name)
        if got != value:
            return f"signed text does not match the request: {name} {got or '(empty)'} != {value or '(empty)'}"
    return None


def check(verifier: Any, path: str, person_id: str, body: dict[str, Any], seen: SeenTexts) -> str | None:
    """None when the request may go ahead, else the reason it may not."""
    operation = OPERATION_OF_PATH.get(path)
    if operation is None:
        return None
    ca_content = body.get("ca_content")
    if ca_content is None or ca_content == "":
        return "ca_content is required"
    verify = content_verifier(verifier)
    if verify is None:
        problem = verifier(person_id, ca_content)
        return None if problem is None else str(problem)
    text, problem = verify(person_id, ca_content)
    if problem is not None:
        return str(problem)
    try:
        signed = parse_order_text(text)
    except ValueError as exc:
        return f"signed text is not an order text: {exc}"
    mismatch = _mismatch(signed, _requested(operation, body))
    if mismatch is not None:
        return mismatch
    now = time.time()
    if signed.at < now - MAX_AGE:
        return "signature is older than a minute"
    if signed.at > now + MAX_AHEAD:
        return "signature is dated in the future"
    if not seen.first_use(text, signed.at, now):
        return "signature already used"
    return None
