"""Exit with a busy feed, many times: counts the runs that crash or hang.

One private Mosquitto and one publisher process sending futures ticks without pause serve every
run. Each run is a fresh interpreter that opens a Feed, subscribes the ticks (some runs twice,
with a callback that sleeps or raises as well), waits a random few milliseconds while records
arrive and callbacks run, and exits without closing the feed; some runs drop the feed first, some
close it from a callback. A run passes when it exits with code 0 before the guard time. Usage:

    python bench/stress_feed_exit.py [RUNS] [PARALLEL]     (defaults 2000 and 2)
"""

from __future__ import annotations

import collections
import multiprocessing
import os
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "tests"))

from support.marketdata import FOP_TICK  # noqa: E402
from taloma.simulator.bus import Mosquitto  # noqa: E402

TOPIC = "TIC/v1/FOP/0/TFE/TXFL6"
TICK = FOP_TICK

CHILD = r"""
import gc, random, sys, threading, time
from taloma.constant import QuoteType
from taloma.contracts import Future
from taloma.feed import Feed

url, seed = sys.argv[1], int(sys.argv[2])
random.seed(seed)
future = Future(code="TXFL6", exchange="TAIFEX")
mode = seed % 4
feed = Feed(url)
seen = threading.Event()

def count(topic, record):
    seen.set()

def slow(topic, record):
    time.sleep(0.001)

def broken(topic, record):
    raise RuntimeError("a callback that raises")

def closing(topic, record):
    feed.close()

feed.subscribe(future, QuoteType.Tick, count)
if mode == 1:
    feed.subscribe(future, QuoteType.Tick, slow)
    feed.subscribe(future, QuoteType.Tick, broken)
elif mode == 3:
    feed.subscribe(future, QuoteType.Tick, closing)
seen.wait(5)
time.sleep(random.uniform(0.0, 0.03))
if mode == 2:
    del feed
    gc.collect()
"""

GUARD = 60.0


def publish(url: str, stop: Any) -> None:
    import logging

    import msgpack

    from taloma.feed import connect_client

    logging.disable(logging.CRITICAL)
    client = connect_client(url, "stress-feed-exit-publisher")
    payload = msgpack.packb(TICK)
    while not stop.is_set():
        for _ in range(200):
            client.publish(TOPIC, payload)
        time.sleep(0.002)  # about 100,000 a second at most, without starving the broker
    client.disconnect()
    client.loop_stop()


def one(url: str, seed: int) -> str:
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    try:
        done = subprocess.run(
            [sys.executable, "-c", CHILD, url, str(seed)], env=env, capture_output=True, timeout=GUARD, cwd="/"
        )
    except subprocess.TimeoutExpired:
        return "hang"
    if done.returncode == 0:
        return "ok"
    sys.stderr.write(f"run {seed}: {done.stderr.decode(errors='replace')[-2000:]}\n")
    return f"signal {-done.returncode}" if done.returncode < 0 else f"exit {done.returncode}"


def main() -> int:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    parallel = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    with Mosquitto() as broker:
        stop = multiprocessing.Event()
        publisher = multiprocessing.Process(target=publish, args=(broker.url, stop))
        publisher.start()
        try:
            start = time.monotonic()
            with ThreadPoolExecutor(parallel) as pool:
                outcomes = collections.Counter(pool.map(lambda i: one(broker.url, i), range(runs)))
        finally:
            stop.set()
            publisher.join(10)
            if publisher.is_alive():
                publisher.kill()
    bad = runs - outcomes["ok"]
    print(
        f"{runs} runs in {time.monotonic() - start:.0f} s: "
        + ", ".join(f"{k} {v}" for k, v in sorted(outcomes.items()))
        + f"; failures {bad}"
    )
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
