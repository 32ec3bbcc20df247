"""Demo section: a throwaway certificate, the broker trusting it, and the signer the orders use.

Before the broker starts, ``broker_options`` makes a CA and a user PKCS#12 file in the demo's
scratch folder and asks the broker to verify order signatures against that CA. ``run`` opens
the PKCS#12 file with the signing module and leaves ``ctx.data["sign"]``: an ``OrderSigner``
turning an order request into its ``ca_content`` text, signed afresh each time.
"""

from __future__ import annotations

import contextlib
import time
from typing import TYPE_CHECKING, Any

from taloma.demo import Demo, StepFailed, require, working_folder

if TYPE_CHECKING:
    from taloma.Vorn.ca import PyVornSign

# Signatures made to measure the rate; a few hundred keep the step well under a second.
SIGNATURES = 300


class OrderSigner:
    """``ca_content`` of order requests, from one ``PyVornSign``.

    ``sign(operation, contract, order, price=..., quantity=...)`` signs the order text
    (:func:`taloma.signing.order_text`) of one request: a placement of ``order``, or a change
    (the new ``price``, the ``quantity`` taken off) or cancel of the placed ``order``.
    """

    def __init__(self, signer: PyVornSign) -> None:
        self._signer = signer

    @property
    def person_id(self) -> str:
        return self._signer.person_id

    def text(self, text: str) -> str:
        return self._signer.gen_ca(text).decode("ascii")

    def __call__(self, operation: str, contract: Any, order: Any, *, price: Any = None, quantity: Any = None) -> str:
        from taloma.signing import order_text

        common = {"person_id": self.person_id, "account": order.account, "code": contract.code}
        if operation == "place":
            text = order_text(operation, action=order.action, price=order.price, quantity=order.quantity, **common)
        else:
            text = order_text(operation, price=price, quantity=quantity, ordno=order.ordno, seqno=order.seqno, **common)
        return self.text(text)


def split(ca_content: str) -> tuple[str, str, str]:
    """(signature length, signature, identifier tail) of a ``ca_content`` text, for display."""
    length = int(ca_content[4:8])
    return ca_content[4:8], ca_content[8 : 8 + length], ca_content[8 + length :]


def broker_options(ctx: Demo) -> dict[str, Any]:
    from taloma.Vorn.testca import make_demo_identity

    with ctx.step("make a throwaway CA and a user certificate (PKCS#12)"):
        if ctx.folder is None:
            raise StepFailed("no scratch folder for the certificate")
        pfx, password, ca_pem = make_demo_identity(ctx.folder / "identity", common_name="Demo Trader")
        ctx.data["identity"] = (pfx, password, ca_pem)
        ctx.say("   CA 'Taloma Demo CA' -> user 'Demo Trader', RSA-2048, valid one year, random password")
        ctx.say(f"   {pfx}")
        return {"trusted_ca": [ca_pem]}
    return {}


def run(ctx: Demo) -> None:
    from taloma.Vorn.ca import PyVornSign

    with ctx.step("open the user certificate with the signing module"):
        identity = ctx.data.get("identity")
        require(certificate=identity)
        assert identity is not None  # require() raised otherwise
        client = ctx.client
        if client is None or not client._token:
            raise StepFailed("no logged-in client: the signer signs as the logged-in user from its IP")
        pfx, password, _ = identity
        # The signer writes its property file and log folder in the current folder.
        with working_folder(ctx.folder) if ctx.folder else contextlib.nullcontext():
            signer = PyVornSign(pfx, password, client.person_id, client._public_ip)
        if not signer.is_activate():
            raise StepFailed("the signer did not activate")
        ctx.data["sign"] = OrderSigner(signer)
        ctx.say(f"   signing as {signer.person_id} from {signer.ip}")

    with ctx.step(f"sign {SIGNATURES} order texts (PKCS#7, SHA-256)"):
        from taloma.signing import order_text

        sign = ctx.data.get("sign")
        require(signer=sign)
        assert sign is not None  # require() raised otherwise
        account = ctx.client.default_futopt_account if ctx.client else None
        require(futures_account=account)
        progress = ctx.progress(SIGNATURES, "signatures")
        start = time.perf_counter()
        texts = []
        for n in range(SIGNATURES):
            texts.append(
                sign.text(
                    order_text(
                        "cancel",
                        person_id=sign.person_id,
                        account=account,
                        code="TXFL6",
                        ordno="k0001",
                        seqno=f"{n + 1:06d}",
                    )
                )
            )
            progress.advance()
        elapsed = time.perf_counter() - start
        if len(set(texts)) != len(texts):
            raise StepFailed("two signatures came out the same")
        rate = ctx.rate("signatures", SIGNATURES, elapsed, f"{SIGNATURES} PKCS#7 signatures of order texts")
        length, signature, tail = split(texts[-1])
        ctx.say(f"   {rate.per_second:,.0f} signatures/s; ca_content = '0000' + length {length} + signature + {tail!r}")
        ctx.say(f"   signature (percent-encoded Base64): {signature[:48]}...{signature[-12:]}")

    with ctx.step("the broker refuses an order whose signature was altered"):
        _refuse_altered(ctx)


def _altered(ca_content: str) -> str:
    """The same text with one Base64 character of the signature value changed."""
    _, signature, _ = split(ca_content)
    # The signature value lies at the end of the PKCS#7 structure; stay clear of the "%3D" padding.
    at = 8 + len(signature) - 40
    while not ca_content[at].isalnum() or "%" in ca_content[at - 2 : at]:
        at -= 1
    swapped = "B" if ca_content[at] != "B" else "C"
    return ca_content[:at] + swapped + ca_content[at + 1 :]


def _refuse_altered(ctx: Demo) -> None:
    import taloma.backend.http.futureoption.order as fo
    from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType
    from taloma.order import Order

    sign, client, contract = ctx.data.get("sign"), ctx.client, ctx.data.get("future")
    require(signer=sign, client=client, future_from_the_catalogue=contract)
    assert sign is not None and contract is not None  # require() raised otherwise
    order = Order(
        action=Action.Buy,
        price_type=FuturesPriceType.LMT,
        order_type=OrderType.ROD,
        price=1,
        quantity=1,
        octype=FuturesOCType.Auto,
        account=client.default_futopt_account,
    )
    reply = fo.place_futopt_order(contract, order, _altered(sign("place", contract, order)), client)
    _, status, accepted = fo.futopt_resp2order_status(reply, order)
    if accepted:
        raise StepFailed(f"the broker accepted it as order {order.seqno!r}")
    ctx.say(f"   refused: {reply.get('msg')!r}; status {status.status}")
