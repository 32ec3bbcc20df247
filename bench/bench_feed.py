"""taloma.feed.Feed on a private Mosquitto broker on loopback.

Throughput: the same backlog of simulated-market messages (ticks, books and quotes of every kind)
is drained, in the same run, by ``mosquitto_sub`` (the C client, printing each payload's length),
by a bare paho-mqtt client whose callback only counts, and by a Feed that decodes every message
into its record and hands it to a counting callback. Each receiver is held while the backlog is
published (mosquitto_sub stopped by SIGSTOP, the others blocked in their first callback), so the
broker holds all of it and the drain measures the receiver alone. Rates are given per wall-clock
second and per CPU second of the receiving process (every thread of it: the Feed reads on one
and decodes on another), which a busy shared machine disturbs less; the Feed must reach 0.6 of
mosquitto_sub's rate by either.

Latency: a publisher process sends futures ticks at a steady 10,000 (then 1,000) messages a
second, each stamped with the system-wide monotonic clock; the Feed's callback reads the clock
again, and so does a paho client alone (decoding with msgpack) for comparison; the medians of the p99
of alternating runs at 10,000 a second are compared.

Instructions: with ``--callgrind``, valgrind counts the instructions of decoding one message
(payload to record, as the Feed does and as the factories did from a msgpack dict).

    python bench/bench_feed.py [--messages N] [--seconds S] [--runs R] [--callgrind]
"""

from __future__ import annotations

import argparse
import contextlib
import datetime as dt
import multiprocessing
import os
import pickle
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from typing import Any

import msgpack
import paho.mqtt.client as mqtt
from paho.mqtt.enums import CallbackAPIVersion

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

from support.marketdata import FOP_TICK
from taloma.constant import QuoteType
from taloma.contracts import Future
from taloma.feed import Feed, connect_client, market_decoder, parse_bus_url
from taloma.simulator.bus import Mosquitto
from taloma.simulator.catalogue import Catalogue
from taloma.simulator.market import Market

BAR = 0.6
RATE = 10_000


def market_messages(count: int) -> list[tuple[str, bytes, Any, QuoteType, bool]]:
    """(topic, payload, contract, quote type, odd) of a simulated trading day, v1 topics."""
    market = Market(Catalogue(1, dt.date(2026, 12, 8), stocks=200), seed=1, start=dt.datetime(2026, 12, 8, 9))
    out: list[tuple[str, bytes, Any, QuoteType, bool]] = []
    while len(out) < count:
        for event in market.step():
            contract = market.instrument(event.code).contract
            for message in event.messages:
                out.append(
                    (message.topics[0], msgpack.packb(message.content), contract, message.quote_type, message.odd)
                )
    return out[:count]


class Gate:
    """Counts arrivals; holds the receiving thread at the first one until opened."""

    def __init__(self, expected: int) -> None:
        self.expected = expected
        self.count = 0
        self.first = threading.Event()
        self.open = threading.Event()
        self.done = threading.Event()
        self.start = self.end = 0.0
        self.cpu_start = self.cpu_end = 0.0

    def arrive(self) -> None:
        self.count += 1
        if self.count == 1:
            self.first.set()
            self.open.wait()
            self.start, self.cpu_start = time.perf_counter(), time.process_time()
        elif self.count == self.expected:
            self.end, self.cpu_end = time.perf_counter(), time.process_time()
            self.done.set()


def publish_backlog(
    url: str, messages: list[tuple[str, bytes, Any, QuoteType, bool]], gate: Gate
) -> tuple[float, float]:
    """Publishes probes and the backlog, opens the gate; returns the drain rate (messages a second)
    in wall-clock time and in this process's CPU time."""
    sender = connect_client(url, "bench-feed-publisher")
    topic, payload = messages[0][0], messages[0][1]
    probes = 0
    while not gate.first.wait(0.05):
        sender.publish(topic, payload)  # until the receiver is held at its first message
        probes += 1
    for topic, payload, *_ in messages:
        sender.publish(topic, payload)
    # A QoS 1 message is acknowledged after the broker took every message before it.
    sender.publish("bench/flush", b"", qos=1).wait_for_publish(60)
    sender.disconnect()
    sender.loop_stop()
    gate.expected = probes + len(messages)
    gate.open.set()
    if not gate.done.wait(120):
        raise SystemExit(f"only {gate.count - probes} of {len(messages)} messages arrived")
    drained = gate.expected - 1
    return drained / (gate.end - gate.start), drained / (gate.cpu_end - gate.cpu_start)


def _cpu_seconds(pid: int) -> float:
    """User and system CPU time of a running process."""
    with open(f"/proc/{pid}/stat", encoding="ascii") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def sub_rate(url: str, messages: list[tuple[str, bytes, Any, QuoteType, bool]]) -> tuple[float, float]:
    """mosquitto_sub draining the backlog: stopped (SIGSTOP) once subscribed, continued once the
    backlog is at the broker, timed until it exits after the last message (-C)."""
    binary = shutil.which("mosquitto_sub")
    if binary is None:
        raise SystemExit("mosquitto_sub is not installed: install the Debian package mosquitto-clients")
    host, port = parse_bus_url(url)
    sender = connect_client(url, "bench-sub-publisher")
    # A retained message tells when the subscriptions are in place: it is printed first.
    sender.publish("bench/ready", b"ready", qos=1, retain=True).wait_for_publish(60)
    topics = sorted({topic for topic, *_ in messages})
    command = [
        binary,
        "-h",
        host,
        "-p",
        str(port),
        "-i",
        "bench-sub",
        "-F",
        "%l",
        "-C",
        str(len(messages) + 1),
        "-t",
        "bench/ready",
    ]
    for topic in topics:
        command += ["-t", topic]
    with tempfile.TemporaryFile() as out:
        receiver = subprocess.Popen(command, stdout=out, stderr=subprocess.PIPE)
        try:
            deadline = time.monotonic() + 30
            while os.fstat(out.fileno()).st_size == 0:
                if receiver.poll() is not None or time.monotonic() > deadline:
                    raise SystemExit(f"mosquitto_sub did not subscribe: {receiver.stderr.read().decode()}")
                time.sleep(0.01)
            receiver.send_signal(signal.SIGSTOP)
            for topic, payload, *_ in messages:
                sender.publish(topic, payload)
            sender.publish("bench/flush", b"", qos=1).wait_for_publish(60)
            cpu_start = _cpu_seconds(receiver.pid)
            start = time.perf_counter()
            receiver.send_signal(signal.SIGCONT)
            _, status, usage = os.wait4(receiver.pid, 0)
            end = time.perf_counter()
            receiver.returncode = os.waitstatus_to_exitcode(status)
        finally:
            if receiver.returncode is None:
                receiver.kill()
                receiver.wait()
            sender.publish("bench/ready", b"", qos=1, retain=True).wait_for_publish(60)
            sender.disconnect()
            sender.loop_stop()
        if receiver.returncode != 0:
            raise SystemExit(f"mosquitto_sub failed ({receiver.returncode}): {receiver.stderr.read().decode()}")
        out.seek(0)
        printed = out.read().count(b"\n")
    if printed != len(messages) + 1:
        raise SystemExit(f"mosquitto_sub printed {printed - 1} of {len(messages)} messages")
    drained = len(messages)
    return drained / (end - start), drained / (usage.ru_utime + usage.ru_stime - cpu_start)


def raw_rate(url: str, messages: list[tuple[str, bytes, Any, QuoteType, bool]]) -> tuple[float, float]:
    gate = Gate(0)
    # The library as it comes: its own Client, its own network thread.
    received = mqtt.Client(CallbackAPIVersion.VERSION2, client_id="bench-raw", protocol=mqtt.MQTTv311)
    received.on_message = lambda c, u, m: gate.arrive()
    host, port = parse_bus_url(url)
    received.connect(host, port)
    received.subscribe([(topic, 0) for topic in {topic for topic, *_ in messages}])
    received.loop_start()
    try:
        return publish_backlog(url, messages, gate)
    finally:
        received.disconnect()
        received.loop_stop()


def feed_rate(
    url: str, messages: list[tuple[str, bytes, Any, QuoteType, bool]]
) -> tuple[tuple[float, float], dict[str, int]]:
    gate = Gate(0)
    with Feed(url) as feed:
        seen = set()
        for _, _, contract, quote_type, odd in messages:
            if (contract.code, quote_type, odd) not in seen:
                seen.add((contract.code, quote_type, odd))
                feed.subscribe(contract, quote_type, lambda topic, record: gate.arrive(), intraday_odd=odd)
        rate = publish_backlog(url, messages, gate)
        stats = dict(feed.stats)
    if stats["refused"]:
        raise SystemExit(f"the feed refused {stats['refused']} simulated-market messages")
    return rate, stats


def _steady_publisher(url: str, rate: int, seconds: float, ready: Any, stamps: Any, achieved: Any) -> None:
    """Futures ticks at ``rate`` a second, message n carrying n as its volume; its send time
    (monotonic ns) goes to ``stamps[n]``. The payloads are packed beforehand, so that the sender
    keeps the pace."""
    sender = connect_client(url, "bench-latency-publisher")
    total = len(stamps)
    payloads = [msgpack.packb(FOP_TICK | {"volume": n}) for n in range(total)]
    publish, clock = sender.publish, time.monotonic_ns
    ready.wait()
    start = time.monotonic()
    # Sleeping between due messages, not spinning: a spinning sender holds its own GIL and starves
    # its network thread, which then writes in bursts and the delay measured is the sender's.
    for n, payload in enumerate(payloads):
        wait = start + n / rate - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        stamps[n] = clock()
        publish("TIC/v1/FOP/0/TFE/TXFL6", payload)
    achieved.value = total / (time.monotonic() - start)
    sender.publish("bench/flush", b"", qos=1).wait_for_publish(60)
    sender.disconnect()
    sender.loop_stop()


def latency(url: str, rate: int, seconds: float, raw: bool = False) -> tuple[list[float], int, float]:
    total = int(seconds * rate)
    stamps = multiprocessing.RawArray("q", total)
    delays: list[float] = []

    def on_tick(topic: str, record: Any) -> None:
        delays.append((time.monotonic_ns() - stamps[record.volume]) / 1e3)

    ready = multiprocessing.Event()
    achieved = multiprocessing.Value("d", 0.0)

    def on_message(client: Any, userdata: Any, message: Any) -> None:  # the baseline: paho and msgpack alone
        delays.append((time.monotonic_ns() - stamps[msgpack.unpackb(message.payload)["volume"]]) / 1e3)

    publisher = multiprocessing.Process(target=_steady_publisher, args=(url, rate, seconds, ready, stamps, achieved))
    with contextlib.ExitStack() as stack:
        if raw:
            client = connect_client(
                url,
                "bench-latency-raw",
                on_message=on_message,
                on_connect=lambda c: c.subscribe("TIC/v1/FOP/+/TFE/TXFL6"),
            )
            stack.callback(client.loop_stop)
            stack.callback(client.disconnect)
        else:
            feed = stack.enter_context(Feed(url))
            feed.subscribe(Future(code="TXFL6", exchange="TAIFEX"), QuoteType.Tick, on_tick)
        publisher.start()
        time.sleep(0.5)  # the publisher packs its messages and connects
        ready.set()
        publisher.join()
        # The backlog, if any, drains; a message still missing after a quiet second is lost.
        seen = -1
        while len(delays) < total and len(delays) != seen:
            seen = len(delays)
            time.sleep(1.0)
    return delays, total, achieved.value


def _decoders(messages: list[tuple[str, bytes, Any, QuoteType, bool]]) -> list[tuple[bytes, str, str, str]]:
    """(payload, record module, record class, factory) of each message."""
    out = []
    for _, payload, contract, quote_type, odd in messages:
        decode = market_decoder(contract, quote_type, odd)
        cls = decode.__self__
        out.append((payload, cls.__module__, cls.__name__, decode.__name__))
    return out


def decode_only(path: str, count: int, native: bool) -> None:
    """Decodes the first ``count`` of the messages saved in ``path``: the step callgrind counts.
    Every run loads all of them, so that loading cancels out between two counts."""
    import importlib

    from taloma.backend.solace.receiver import decode_payload

    with open(path, "rb") as f:
        saved = pickle.load(f)
    factories = {}
    for _, module, name, factory in saved:
        cls = getattr(importlib.import_module(module), name)
        factories[module, name, factory] = (getattr(cls, factory), cls._content[factory])
    work = [(payload, *factories[module, name, factory]) for payload, module, name, factory in saved[:count]]
    if native:
        # As a receiver's route does: one layout per decoder, then payload after payload.
        groups: dict[Any, list[bytes]] = {}
        for payload, decode, content in work:
            groups.setdefault(decode, [content]).append(payload)
        for decode, (content, *payloads) in groups.items():
            decode_payload(payloads, decode, content)
    else:
        for payload, decode, _ in work:
            decode(**msgpack.unpackb(payload))


def callgrind(messages: list[tuple[str, bytes, Any, QuoteType, bool]], count: int) -> None:
    """Instructions per message of the decode step, from two callgrind runs of count and 2 x count
    messages (what the interpreter costs to start and load cancels out)."""
    if shutil.which("valgrind") is None:
        print("callgrind: valgrind is not installed (Debian package valgrind)")
        return
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "messages.pickle")
        with open(path, "wb") as f:
            pickle.dump(_decoders(messages[: 2 * count]), f)
        for native, name in (
            (True, "native receiver: payload to record"),
            (False, "msgpack.unpackb + from_content(**fields)"),
        ):
            totals = []
            for n in (count, 2 * count):
                out = os.path.join(tmp, f"callgrind.{native}.{n}")
                subprocess.run(
                    [
                        "valgrind",
                        "--tool=callgrind",
                        f"--callgrind-out-file={out}",
                        sys.executable,
                        __file__,
                        "--decode-only",
                        path,
                        str(n),
                        "native" if native else "python",
                    ],
                    check=True,
                    capture_output=True,
                )
                with open(out, encoding="ascii", errors="replace") as f:
                    totals.append(int(re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M).group(1)))
            print(f"callgrind, decode step, {name}: {(totals[1] - totals[0]) / count:,.0f} instructions a message")


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--messages", type=int, default=100_000)
    p.add_argument("--seconds", type=float, default=5.0)
    p.add_argument("--runs", type=int, default=3)
    p.add_argument(
        "--callgrind",
        type=int,
        nargs="?",
        const=2_000,
        default=0,
        metavar="N",
        help="count instructions of decoding N messages (default 2,000)",
    )
    p.add_argument("--decode-only", nargs=3, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.decode_only:
        path, count, how = args.decode_only
        decode_only(path, int(count), how == "native")
        return 0

    messages = market_messages(args.messages)
    ratios = [0.0, 0.0]
    kinds = sorted({f"{qt}{'/odd' if odd else ''}" for *_, qt, odd in messages})
    print(
        f"{len(messages):,} messages of a simulated day ({', '.join(kinds)}), "
        f"{statistics.mean(len(m[1]) for m in messages):.0f} bytes each on average"
    )
    if args.callgrind:
        callgrind(messages, args.callgrind)
    latencies: dict[tuple[int, str], float] = {}
    # The broker holds the whole backlog for a receiver that is held.
    with Mosquitto(max_queued=len(messages) + 10_000) as broker:
        subs, raws, feeds = [], [], []
        for _ in range(args.runs):  # interleaved, so all see the same machine
            subs.append(sub_rate(broker.url, messages))
            raws.append(raw_rate(broker.url, messages))
            rates, stats = feed_rate(broker.url, messages)
            feeds.append(rates)
        for unit, at in (("wall-clock second", 0), ("CPU second of the receiving process", 1)):
            sub, raw, feed = (max(r[at] for r in runs) for runs in (subs, raws, feeds))
            ratios[at] = feed / sub
            print(f"per {unit}:")
            for name, best, runs, what in (
                ("mosquitto_sub (C), printing lengths", sub, subs, "msg/s"),
                ("paho-mqtt receive, counting only  ", raw, raws, "msg/s"),
                ("Feed: receive, decode, callback   ", feed, feeds, "rec/s"),
            ):
                print(f"  {name} {best:10,.0f} {what}  (runs: {', '.join(f'{r[at]:,.0f}' for r in runs)})")
            print(f"  Feed / mosquitto_sub                {feed / sub:10.2f}        (bar {BAR})")
            print(f"  Feed / paho-mqtt                    {feed / raw:10.2f}")
        print(f"last feed stats {stats}")
        # Alternating runs at the main rate: the p99 of one run swings with what the machine's other
        # processes do (the publisher and the broker share its cores), so the medians are compared.
        for rate, runs in ((RATE, args.runs), (RATE // 10, 1)):
            p99s: dict[str, list[float]] = {"paho-mqtt alone": [], "Feed": []}
            for _ in range(runs):
                for name, raw_client in (("paho-mqtt alone", True), ("Feed", False)):
                    delays, sent, achieved = latency(broker.url, rate, args.seconds, raw_client)
                    delays.sort()
                    p50, p99 = delays[len(delays) // 2], delays[int(len(delays) * 0.99)]
                    p99s[name].append(p99)
                    print(
                        f"latency at {rate:,} msg/s, {name} (sent at {achieved:,.0f}/s) for {args.seconds:g} s: "
                        f"{len(delays):,} of {sent:,} delivered, p50 {p50:,.0f} us, p99 {p99:,.0f} us, "
                        f"max {delays[-1]:,.0f} us"
                    )
            for name, values in p99s.items():
                latencies[rate, name] = statistics.median(values)
            if runs > 1:
                print(
                    f"median p99 at {rate:,} msg/s: paho-mqtt alone {latencies[rate, 'paho-mqtt alone']:,.0f} us, "
                    f"Feed {latencies[rate, 'Feed']:,.0f} us"
                )
    failed = False
    if max(ratios) < BAR:
        print(f"FAILED: the Feed delivers {max(ratios):.2f} of mosquitto_sub's rate, under the bar {BAR}")
        failed = True
    if latencies[RATE, "Feed"] > latencies[RATE, "paho-mqtt alone"]:
        print(f"FAILED: at {RATE:,} msg/s the Feed's median p99 latency is above paho-mqtt's alone")
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
