"""Subscribe and unsubscribe of one topic racing on two threads, many rounds: counts the rounds
that leave the feed listing the topic while the bus delivers nothing for it.

Each round starts with the topic subscribed and live, releases an unsubscribe and a subscribe of
it together, and then, if the feed lists the topic, publishes probe ticks (numbered by round, so a
late probe of an earlier round proves nothing) until one arrives or ``GIVE_UP`` seconds pass. A
round that gives up is lost; the run exits 1 if any was. Usage:

    python bench/stress_feed_subscriptions.py [ROUNDS]     (default 300)
"""

from __future__ import annotations

import sys
import threading
import time
from pathlib import Path
from typing import Any

import msgpack

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from support.marketdata import FOP_TICK
from taloma.backend.solace.quote import contract2topic
from taloma.constant import QuoteType, QuoteVersion
from taloma.contracts import Future
from taloma.feed import Feed, connect_client
from taloma.simulator.bus import Mosquitto

GIVE_UP = 3.0
FUTURE = Future(code="TXFL6", exchange="TAIFEX")
TOPIC = contract2topic(FUTURE, QuoteType.Tick, False, QuoteVersion.v1)
TICK = FOP_TICK


class Probe:
    """The feed's callback: notes the arrival of a probe of the current round."""

    def __init__(self) -> None:
        self.round = 0
        self.arrived = threading.Event()

    def __call__(self, topic: str, tick: Any) -> None:
        if tick.total_volume == self.round:
            self.arrived.set()


def live(sender: Any, probe: Probe, round_: int) -> bool:
    """Whether a probe of this round reaches the feed within GIVE_UP seconds."""
    probe.round = round_
    probe.arrived.clear()
    payload = msgpack.packb(TICK | {"vol_sum": round_})
    deadline = time.monotonic() + GIVE_UP
    while time.monotonic() < deadline:
        sender.publish(TOPIC.replace("*", "7"), payload)
        if probe.arrived.wait(0.01):
            return True
    return False


def together(start: threading.Barrier, call: Any, *args: Any) -> None:
    start.wait()
    call(*args)


def main(rounds: int) -> int:
    sys.setswitchinterval(1e-6)  # threads trade the interpreter often: more interleavings a round
    probe = Probe()
    lost = 0
    with Mosquitto() as bus, Feed(bus.url) as feed:
        sender = connect_client(bus.url, "stress-feed-sender")
        try:
            feed.subscribe(FUTURE, QuoteType.Tick, probe)
            if not live(sender, probe, 1):
                print("the subscription never went live", file=sys.stderr)
                return 2
            for round_ in range(2, rounds + 2):
                start = threading.Barrier(2)
                calls = [(feed.subscribe, FUTURE, QuoteType.Tick, probe), (feed.unsubscribe, FUTURE, QuoteType.Tick)]
                threads = [threading.Thread(target=together, args=(start, *call)) for call in calls]
                for thread in threads:
                    thread.start()
                for thread in threads:
                    thread.join()
                if TOPIC in feed.topics:
                    if live(sender, probe, 2 * round_):
                        continue
                    lost += 1
                    print(f"round {round_ - 1}: the feed lists {TOPIC} but the bus delivers nothing for it")
                    feed.unsubscribe(FUTURE, QuoteType.Tick)  # start the next round afresh
                feed.subscribe(FUTURE, QuoteType.Tick, probe)
                if not live(sender, probe, 2 * round_ + 1):
                    print(f"round {round_ - 1}: the subscription did not come back", file=sys.stderr)
                    return 2
        finally:
            sender.disconnect()
            sender.loop_stop()
    print(f"{rounds} rounds, {lost} lost")
    return 1 if lost else 0


if __name__ == "__main__":
    sys.exit(main(int(sys.argv[1]) if len(sys.argv) > 1 else 300))
