"""An order placed through the session against the native functions the session calls, same run.

The simulated broker runs in a process of its own (``python -m taloma.simulator``, no market, no
signature checks), so its work does not share this interpreter. Both roads place the same limit
order for the front-month index future and read the reply into an order status: the native one
builds the ``Order`` and calls ``place_futopt_order`` and ``futopt_resp2order_status``; the session
also checks every argument against the exchange's rules, converts the price exactly and keeps
the trade. The rounds alternate, so a load on the machine falls on both alike. The bar: the
session costs at most 10 % more.
"""

from __future__ import annotations

import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable

import taloma
import taloma.backend.http.futureoption.order as fo
from taloma import Session
from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType
from taloma.order import Order

PERSON_ID, PASSWORD = "A123456789", "taloma-demo"
BAR = 1.10
ROUNDS, PER_ROUND = 60, 20


def alternating(fns: list[Callable[[], object]], rounds: int, count: int) -> tuple[list[float], float]:
    """(best mean seconds per call of each function, median ratio of the second to the first per round).

    The functions take turns in short batches, so a load that comes and goes on the machine falls on
    both alike; the best rounds are the ones it spared.
    """
    best = [float("inf")] * len(fns)
    ratios = []
    for _ in range(rounds):
        took = []
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            for _ in range(count):
                fn()
            took.append((time.perf_counter() - start) / count)
            best[i] = min(best[i], took[-1])
        ratios.append(took[1] / took[0])
    return best, statistics.median(ratios)


def main() -> int:
    folder = tempfile.mkdtemp(prefix="bench-session-")
    # The broker imports the same taloma as this script.
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(taloma.__file__))))
    server = subprocess.Popen(
        [sys.executable, "-m", "taloma.simulator", "--stocks", "80"],
        cwd=folder,
        env=env,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert server.stdout is not None
        found = re.match(r"simulated broker at (\S+) ", server.stdout.readline())
        assert found, "the simulated broker did not start"
        with Session(url=found.group(1), cache_dir=folder) as session:
            session.login(PERSON_ID, PASSWORD)
            future = session.contracts.front_month("TXF")
            client, account = session._client, session.futopt_account

            def native() -> object:
                order = Order(
                    action=Action.Buy,
                    price_type=FuturesPriceType.LMT,
                    order_type=OrderType.ROD,
                    price=17000,
                    quantity=1,
                    octype=FuturesOCType.Auto,
                    account=account,
                )
                return fo.futopt_resp2order_status(fo.place_futopt_order(future, order, "", client), order)

            def through_session() -> object:
                return session.place_order(future, "Buy", 1, 17000)

            assert native()[2] and through_session().status.msg == ""  # both accepted
            (raw, ours), median = alternating([native, through_session], ROUNDS, PER_ROUND)
    finally:
        server.send_signal(signal.SIGINT)
        server.wait(10)
    print(f"native place + reply        {raw * 1e6:8.1f} us/order (best round)")
    print(f"session.place_order         {ours * 1e6:8.1f} us/order (best round)")
    ratio = ours / raw
    print(f"session / native            {ratio:8.3f}   (best rounds; bar {BAR:.2f})")
    print(f"                            {median:8.3f}   (median of the {ROUNDS} rounds' ratios, moved most by load)")
    return 0 if ratio <= BAR else 1


if __name__ == "__main__":
    sys.exit(main())
