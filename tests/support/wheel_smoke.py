"""Smoke run of an installed taloma, as tests/test_wheel.py runs it inside a fresh virtual environment.

Usage: python -I wheel_smoke.py WORKDIR. Prints one line per stage; any failure raises.
"""

from __future__ import annotations

import importlib
import os
import pkgutil
import sys
from pathlib import Path

PERSON_ID, PASSWORD = "A123456789", "smoke-pass"


def import_everything() -> None:
    import taloma

    package = Path(taloma.__file__).resolve().parent
    assert Path(sys.prefix).resolve() in package.parents, f"taloma from {package}, not from {sys.prefix}"
    # lib*.so beside the modules are shared libraries, not modules.
    names = [
        m.name
        for m in pkgutil.walk_packages([str(package)], "taloma.")
        if not m.name.endswith(".__main__") and not m.name.rpartition(".")[2].startswith("lib")
    ]
    modules = {name: importlib.import_module(name) for name in names}
    # Every native module has a stub beside it, and every stub describes a native module.
    stubbed = {".".join(p.relative_to(package.parent).with_suffix("").parts) for p in package.rglob("*.pyi")}
    native = {name for name, module in modules.items() if str(module.__file__).endswith(".so")}
    assert stubbed and native == stubbed, f"native {sorted(native)} != stubbed {sorted(stubbed)}"
    print(f"imported {len(modules)} modules, {len(native)} native")


def decode_each_kind() -> None:
    from taloma.demo.market import KINDS, factories, stream

    decoders = factories()
    for kind in KINDS:
        (fields,) = stream(kind, 1)
        record = decoders[kind](**fields)
        assert record["code"] == fields["code"] and record.to_dict(raw=True)["code"] == fields["code"], kind
    print(f"decoded {', '.join(KINDS)}")


def receive_through_the_feed() -> None:
    import threading

    import msgpack

    from taloma.constant import QuoteType
    from taloma.contracts import Future
    from taloma.demo.market import stream
    from taloma.feed import Feed, connect_client
    from taloma.simulator.bus import Mosquitto

    (fields,) = stream("tick_fop", 1)
    got: list = []
    arrived = threading.Event()
    with Mosquitto() as bus, Feed(bus.url) as feed:
        topic = feed.subscribe(
            Future(code=fields["code"], exchange="TAIFEX"),
            QuoteType.Tick,
            lambda topic, record: (got.append(record), arrived.set()),
        )
        sender = connect_client(bus.url, "smoke-publisher")
        try:
            # Until the subscription is in place at the bus, a message may find nobody.
            while not arrived.wait(0.2):
                sender.publish(topic.replace("*", "0"), msgpack.packb(fields), qos=1).wait_for_publish(10)
        finally:
            sender.disconnect()
            sender.loop_stop()
    assert got[0].code == fields["code"], got
    print("received a tick through the feed")


def sign_verify_and_order(workdir: Path) -> None:
    import taloma.backend.http as settings
    import taloma.backend.http.futureoption.order as fo
    from taloma.backend.http.client import Client
    from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType
    from taloma.contracts import Future
    from taloma.order import Order, Status
    from taloma.signing import order_text
    from taloma.simulator import BrokerSimulator
    from taloma.Vorn.ca import PyVornSign
    from taloma.Vorn.testca import make_demo_identity
    from taloma.Vorn.verify import CaVerifier, split_ca_content

    pfx, password, ca_pem = make_demo_identity(workdir / "identity")
    verifier = CaVerifier([ca_pem])
    # The broker checks each order's signature with the same verifier (one per process).
    with BrokerSimulator(users=[(PERSON_ID, PASSWORD)], ca_verifier=verifier) as sim:
        settings.api_url_simulation = sim.base_url
        client = Client(simulation=True, proxies=None)
        client.login(PERSON_ID, PASSWORD)
        assert client._token and client.default_futopt_account is not None, "login failed"

        os.chdir(workdir)  # the signer writes its property file and log in the current folder
        signer = PyVornSign(str(pfx), password, client.person_id, client._public_ip)
        assert signer.is_activate(), "the signer did not activate"
        text = order_text(
            "place",
            person_id=client.person_id,
            account=client.default_futopt_account,
            code="TXFL6",
            action=Action.Buy,
            price=18000,
            quantity=1,
        )
        ca_content = signer.gen_ca(text).decode("ascii")
        assert verifier.verify_ca_content(client.person_id, ca_content) is None
        der = bytearray(split_ca_content(client.person_id, ca_content))
        der[-8] ^= 0xFF  # inside the RSA signature value
        assert verifier.verify_signature(bytes(der))[1] is not None, "a damaged signature verified"
        print("signed and verified")

        order = Order(
            action=Action.Buy,
            price_type=FuturesPriceType.LMT,
            order_type=OrderType.ROD,
            price=18000,
            quantity=1,
            octype=FuturesOCType.Auto,
            account=client.default_futopt_account,
        )
        reply = fo.place_futopt_order(Future(code="TXFL6", exchange="TAIFEX"), order, ca_content, client)
        order, status, ok = fo.futopt_resp2order_status(reply, order)
        assert ok and status.status == Status.PendingSubmit and order.seqno, reply
        print(f"logged in and placed order {order.seqno}")


def main() -> None:
    workdir = Path(sys.argv[1]).resolve()
    import_everything()
    decode_each_kind()
    receive_through_the_feed()
    sign_verify_and_order(workdir)
    print("smoke ok")


if __name__ == "__main__":
    main()
