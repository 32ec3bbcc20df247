"""python -m taloma.simulator: a simulated broker on 127.0.0.1 for developing trading programs offline.

Point the package at it with the printed TALOMA_API_URL_SIMULATION and use Client(simulation=True).
It serves until interrupted (Ctrl-C or SIGTERM).
"""

from __future__ import annotations

import argparse
import signal
import sys
from collections.abc import Callable
from typing import Any

from taloma.simulator.catalogue import DEFAULT_STOCKS, STOCK_CODES
from taloma.simulator.server import IDLE_TIMEOUT, BrokerSimulator

DEFAULT_USER = ("A123456789", "taloma-demo")


def _user(text: str) -> tuple[str, str]:
    person_id, sep, password = text.partition(":")
    if not sep or not person_id or not password:
        raise argparse.ArgumentTypeError("expected PERSON_ID:PASSWORD")
    return person_id, password


def _codes(text: str) -> list[str]:
    codes = [code.strip() for code in text.split(",") if code.strip()]
    if not codes:
        raise argparse.ArgumentTypeError("expected CODE,CODE,...")
    return codes


def _bounded(kind: Callable[[str], Any], low: float, high: float) -> Callable[[str], Any]:
    def parse(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{text} is outside {low:g}..{high:g}")
        return value

    return parse


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m taloma.simulator", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    p.add_argument(
        "--port",
        type=_bounded(int, 0, 65535),
        default=0,
        help="port on 127.0.0.1 (default: a free one, printed at start)",
    )
    p.add_argument(
        "--user",
        dest="users",
        action="append",
        type=_user,
        metavar="ID:PASSWORD",
        help=f"a user that may log in (repeatable; default {':'.join(DEFAULT_USER)}); "
        "each gets a stock and a futures account",
    )
    p.add_argument(
        "--stocks",
        type=_bounded(int, 1, len(STOCK_CODES)),
        default=DEFAULT_STOCKS,
        metavar="N",
        help=f"catalogue size: N stocks, one in eight with futures and options "
        f"(default {DEFAULT_STOCKS}: about 100,000 options)",
    )
    p.add_argument(
        "--latency", type=_bounded(float, 0, 60), default=0.0, metavar="SECONDS", help="delay every reply by this much"
    )
    p.add_argument(
        "--delay-share",
        type=_bounded(float, 0, 1),
        default=0.0,
        metavar="SHARE",
        help="share of replies (0..1) delayed by --delay seconds more",
    )
    p.add_argument(
        "--delay",
        type=_bounded(float, 0, 60),
        default=1.0,
        metavar="SECONDS",
        help="the extra delay of the replies picked by --delay-share (default 1)",
    )
    p.add_argument(
        "--failure-rate",
        type=_bounded(float, 0, 1),
        default=0.0,
        metavar="SHARE",
        help='share of replies (0..1) that fail with "simulated failure" before they are handled',
    )
    p.add_argument(
        "--seed", type=int, default=None, help="seed of the failure injection and the generated catalogue and accounts"
    )
    p.add_argument(
        "--trusted-ca",
        action="append",
        default=None,
        metavar="PEM",
        help="verify the ca_content signature of every order request against this CA (repeatable)",
    )
    p.add_argument("--api-ver", default=None, help="API version segment of the paths (default: the package's)")
    p.add_argument(
        "--market",
        action="store_true",
        help="run a simulated market (published on the bus given by --bus); futures and options "
        "orders fill against it, their fills published on the bus too",
    )
    p.add_argument(
        "--bus",
        default=None,
        metavar="auto|mqtt://HOST:PORT",
        help="message bus of the market data: auto starts a private Mosquitto broker on 127.0.0.1",
    )
    p.add_argument(
        "--contracts",
        type=_codes,
        default=None,
        metavar="CODE,...",
        help="contracts of the market (default: the front-month index future, near-the-money "
        "index options and a few large stocks); every contract that receives an order joins",
    )
    p.add_argument(
        "--speed",
        type=_bounded(float, 0.001, 10000),
        default=1.0,
        metavar="FACTOR",
        help="market seconds per real second (default 1)",
    )
    p.add_argument(
        "--idle-timeout",
        type=_bounded(float, 0.1, 3600),
        default=IDLE_TIMEOUT,
        metavar="SECONDS",
        help=f"close a connection that waits this long for its next request (default {IDLE_TIMEOUT:g})",
    )
    p.add_argument("--verbose", action="store_true", help="log every request")
    return p


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    users = args.users or [DEFAULT_USER]
    try:
        sim = BrokerSimulator(
            port=args.port,
            users=users,
            api_ver=args.api_ver,
            latency=args.latency,
            failure_rate=args.failure_rate,
            delay_share=args.delay_share,
            delay=args.delay,
            seed=args.seed,
            verbose=args.verbose,
            trusted_ca=args.trusted_ca,
            catalogue_stocks=args.stocks,
            market=args.market,
            bus=args.bus,
            speed=args.speed,
            contracts=args.contracts,
            idle_timeout=args.idle_timeout,
        )
    except (KeyError, ValueError, OSError) as exc:  # an unknown contract, an unreachable bus
        print(f"python -m taloma.simulator: {exc.args[0] if isinstance(exc, KeyError) else exc}", file=sys.stderr)
        return 2
    print(f"simulated broker at {sim.base_url} (api {sim.api_uri})", flush=True)
    print(f"users: {', '.join(person_id for person_id, _ in users)}", flush=True)
    if args.trusted_ca:
        print(f"orders must be signed by a certificate of: {', '.join(args.trusted_ca)}", flush=True)
    print(f"export TALOMA_API_URL_SIMULATION={sim.base_url}", flush=True)
    if sim.market is not None:
        print(f"market: {', '.join(sim.market.codes())} at speed {args.speed:g}", flush=True)
    if sim.bus_url is not None:
        print(f"bus_url: {sim.bus_url}", flush=True)
        print(f"export TALOMA_BUS_URL={sim.bus_url}", flush=True)
    # SIGTERM ends the serving loop like Ctrl-C, so the socket is closed either way.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        sim.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        sim.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
