"""python -m taloma.simulator: serve the simulated broker until interrupted."""

from __future__ import annotations

import argparse
import sys

from taloma.simulator.server import BrokerSimulator


def _user(text: str) -> tuple[str, str]:
    person_id, sep, password = text.partition(":")
    if not sep or not person_id or not password:
        raise argparse.ArgumentTypeError("expected PERSON_ID:PASSWORD")
    return person_id, password


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m taloma.simulator", description=__doc__)
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: a free one)")
    parser.add_argument("--user", dest="users", action="append", type=_user, metavar="ID:PASSWORD",
                        help="a user that may log in (repeatable; default A123456789:taloma-demo)")
    parser.add_argument("--api-ver", default=None, help="API version segment of the paths")
    parser.add_argument("--latency", type=float, default=0.0, help="seconds to delay every reply")
    parser.add_argument("--failure-rate", type=float, default=0.0, help="share of replies that fail (0..1)")
    parser.add_argument("--seed", type=int, default=None, help="seed of the failure injection and catalogue")
    parser.add_argument("--verbose", action="store_true", help="log every request")
    parser.add_argument("--trusted-ca", action="append", default=None, metavar="PEM",
                        help="verify the ca_content of orders against this CA certificate (repeatable)")
    args = parser.parse_args(argv)
    sim = BrokerSimulator(port=args.port, users=args.users, api_ver=args.api_ver, latency=args.latency,
                          failure_rate=args.failure_rate, seed=args.seed, verbose=args.verbose,
                          trusted_ca=args.trusted_ca)
    print(f"simulated broker at {sim.base_url} (api {sim.api_uri})", flush=True)
    print(f"export TALOMA_API_URL_SIMULATION={sim.base_url}", flush=True)
    try:
        sim.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        sim.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
