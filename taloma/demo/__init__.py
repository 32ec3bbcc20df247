"""The demo: one session of the package against the bundled simulated broker.

Each section is a module of this package with ``run(ctx: Demo)`` and, when the broker needs
something of it before it starts, ``broker_options(ctx) -> dict``. Sections run in ``SECTIONS``
order and share what they find through ``ctx.data``; measured rates go to ``ctx.rate``.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import importlib
import os
import shutil
import sys
import tempfile
import threading
import time
import traceback
from collections.abc import Iterator
from pathlib import Path
from typing import Any

SECTIONS = ("login", "catalogue", "signing", "orders", "accounts", "market", "strategy", "fills", "rates")

TITLE_WIDTH = 58
# A live line is redrawn this often; a step shorter than the delay never shows one.
LIVE_PERIOD = 0.1
LIVE_DELAY = 0.3
# Off a terminal, progress lines are written only for steps that have run this long.
PLAIN_DELAY = 1.0


class StepFailed(Exception):
    pass


@contextlib.contextmanager
def working_folder(folder: str | os.PathLike[str]) -> Iterator[None]:
    """``contextlib.chdir`` for every supported Python (3.10 lacks it)."""
    previous = os.getcwd()
    os.chdir(folder)
    try:
        yield
    finally:
        os.chdir(previous)


def require(**needs: Any) -> None:
    """Fails the step, naming what earlier steps should have left and did not."""
    missing = [name.replace("_", " ") for name, value in needs.items() if value is None]
    if missing:
        raise StepFailed(f"nothing to work with: no {', no '.join(missing)} (an earlier step failed)")


@dataclasses.dataclass
class Rate:
    name: str
    count: int
    seconds: float
    what: str

    @property
    def per_second(self) -> float:
        return self.count / self.seconds if self.seconds > 0 else float("inf")


@dataclasses.dataclass
class _Step:
    number: int
    title: str
    start: float
    lines: list[str] = dataclasses.field(default_factory=list)
    done: int = 0
    total: int = 0
    unit: str = ""
    reported: int = 0  # quarters already written as plain progress lines


class Progress:
    """Counted progress of the running step: a live bar on a terminal, plain lines otherwise."""

    def __init__(self, demo: Demo, step: _Step | None, total: int, unit: str) -> None:
        self._demo, self._step = demo, step
        if step is not None:
            step.done, step.total, step.unit, step.reported = 0, max(total, 0), unit, 0

    def advance(self, n: int = 1) -> None:
        step = self._step
        if step is None or step.total <= 0:
            return
        step.done = min(step.total, step.done + n)
        if self._demo.live:
            return  # the ticker draws it
        quarter = step.done * 4 // step.total
        if quarter > step.reported and step.done < step.total and time.perf_counter() - step.start >= PLAIN_DELAY:
            step.reported = quarter
            self._demo._write(f"   .. {step.title}: {step.done}/{step.total} {step.unit}\n")


class Demo:
    """The demo's context: the broker, the client, what sections share, and the report.

    Within ``step`` the lines a section says are kept and written under the step's result
    line when it ends, so every step reads as one block whatever happens inside it.
    """

    def __init__(self, out: Any = None, live: bool | None = None) -> None:
        self.out = out or sys.stdout
        if live is None:
            isatty = getattr(self.out, "isatty", None)
            live = bool(isatty and isatty())
        self.live = live
        self.broker: Any = None
        self.client: Any = None
        self.data: dict[str, Any] = {}
        self.failures: list[str] = []
        self.passed = 0
        self.rates: list[Rate] = []
        self.folder: Path | None = None  # scratch folder of this run, removed at its end
        self._steps: list[_Step] = []
        self._count = 0
        self._write_lock = threading.Lock()
        self._live_shown = False

    # ---- output ------------------------------------------------------------------------------

    def _write(self, text: str) -> None:
        with self._write_lock:
            if self._live_shown:
                self.out.write("\r\033[K")
                self._live_shown = False
            self.out.write(text)
            self.out.flush()

    def say(self, text: str = "") -> None:
        if self._steps:
            self._steps[-1].lines.append(text)
        else:
            self._write(text + "\n")

    def rate(self, name: str, count: int, seconds: float, what: str) -> Rate:
        """Records a measured rate for the summary and returns it."""
        record = Rate(name, count, seconds, what)
        self.rates.append(record)
        return record

    def progress(self, total: int, unit: str = "") -> Progress:
        return Progress(self, self._steps[-1] if self._steps else None, total, unit)

    # ---- steps -------------------------------------------------------------------------------

    @contextlib.contextmanager
    def step(self, title: str) -> Iterator[None]:
        """One reported step; a failure is recorded and the demo goes on."""
        self._count += 1
        step = _Step(self._count, title, time.perf_counter())
        self._steps.append(step)
        ticker = _Ticker(self, step) if self.live and len(self._steps) == 1 else None
        failure: BaseException | None = None
        try:
            yield
        except Exception as exc:  # the report names the step that failed
            failure = exc
        finally:
            if ticker is not None:
                ticker.stop()
            self._steps.pop()
            elapsed = time.perf_counter() - step.start
        if failure is None:
            self.passed += 1
        else:
            self.failures.append(title)
            step.lines.append(f"   FAILED: {type(failure).__name__}: {failure}")
            if not isinstance(failure, StepFailed):
                traceback.print_exception(failure, file=sys.stderr)
        verdict = "ok" if failure is None else "FAILED"
        head = f"{step.number:>3}  {title:<{TITLE_WIDTH}} {verdict:<6} {elapsed:6.2f} s"
        block = "\n".join([head, *step.lines])
        if self._steps:  # a step within a step reports inside its parent's block
            self._steps[-1].lines.append(block)
        else:
            self._write(block + "\n")

    def _live_line(self, step: _Step) -> str:
        elapsed = time.perf_counter() - step.start
        text = f"{step.number:>3}  {step.title}"
        if step.total:
            filled = step.done * 20 // step.total
            text += f"  [{'#' * filled}{'.' * (20 - filled)}] {step.done}/{step.total} {step.unit}"
        width = shutil.get_terminal_size((100, 24)).columns - 10
        return f"{text[: max(width, 20)]}  {elapsed:5.1f} s"

    # ---- the summary -------------------------------------------------------------------------

    def summary(self, seconds: float) -> None:
        self._write("\n")
        total = self.passed + len(self.failures)
        state = "all ok" if not self.failures else f"{len(self.failures)} FAILED"
        self._write(f"summary: {total} step{'' if total == 1 else 's'}, {state}, {seconds:.1f} s\n")
        if self.rates:
            self._write("rates (the client and the simulated broker share this one process):\n")
            for r in self.rates:
                self._write(f"   {r.name:<12}{_grouped(r.per_second):>11} /s   {r.what}\n")


class _Ticker:
    """Redraws the live line of a step while it runs (terminals only)."""

    def __init__(self, demo: Demo, step: _Step) -> None:
        self._demo, self._step = demo, step
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="taloma-demo-progress", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        if self._stop.wait(LIVE_DELAY):
            return
        while not self._stop.is_set():
            line = self._demo._live_line(self._step)
            with self._demo._write_lock:
                if self._stop.is_set():
                    break
                self._demo.out.write("\r\033[K" + line)
                self._demo.out.flush()
                self._demo._live_shown = True
            self._stop.wait(LIVE_PERIOD)

    def stop(self) -> None:
        self._stop.set()
        self._thread.join()


def _grouped(value: float) -> str:
    return f"{value:,.0f}" if value >= 100 else f"{value:,.1f}"


def _sections() -> list[Any]:
    return [importlib.import_module(f"taloma.demo.{name}") for name in SECTIONS]


def _arguments(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        prog="python -m taloma.demo", description="One session of taloma against the bundled simulated broker."
    )
    p.add_argument(
        "--orders",
        type=int,
        default=300,
        metavar="N",
        help="signed orders placed and cancelled to measure the order rate (default 300)",
    )
    p.add_argument(
        "--messages",
        type=int,
        default=3000,
        metavar="N",
        help="market-data messages of each kind decoded to measure the decode rate (default 3000)",
    )
    args = p.parse_args(argv)
    if args.orders < 1 or args.messages < 1:
        p.error("--orders and --messages must be at least 1")
    return args


def main(argv: list[str] | None = None) -> int:
    args = _arguments(argv)
    demo = Demo()
    demo.data["options"] = vars(args)
    started = time.perf_counter()
    demo.say("taloma demo: log in, download the catalogue, sign and place orders, query the accounts and")
    demo.say("decode market data, against a simulated broker on 127.0.0.1 (no network, no file of yours)")
    try:
        sections = _sections()
        with tempfile.TemporaryDirectory(prefix="taloma-demo-") as folder:
            demo.folder = Path(folder)
            options: dict[str, Any] = {}
            # The PKI library writes its log relative to the current folder: keep it in the scratch folder.
            with working_folder(folder):
                for section in sections:
                    if hasattr(section, "broker_options"):
                        options.update(section.broker_options(demo) or {})
                run_sections(demo, sections, options)
    except KeyboardInterrupt:
        demo.say("demo interrupted")
        return 130
    except Exception as exc:  # anything outside a step is a failure of the demo itself
        traceback.print_exc(file=sys.stderr)
        demo.failures.append(f"the demo itself ({type(exc).__name__}: {exc})")
    demo.summary(time.perf_counter() - started)
    if demo.failures:
        demo.say(f"demo FAILED in {len(demo.failures)} step(s): {', '.join(demo.failures)}")
        return 1
    demo.say("demo finished: every step succeeded")
    return 0


def run_sections(demo: Demo, sections: list[Any], broker_options: dict[str, Any]) -> None:
    import taloma.backend.http as settings
    from taloma.simulator import BrokerSimulator

    with BrokerSimulator(seed=2026, **broker_options) as broker:
        demo.broker = broker
        settings.api_url_simulation = broker.base_url
        trust = "verifies every order's signature" if broker_options.get("trusted_ca") else "checks no signatures"
        demo.say(f"simulated broker at {broker.base_url}; it {trust}")
        for section in sections:
            demo.say()
            try:
                section.run(demo)
            except Exception as exc:  # outside its steps: the section stops, the demo goes on
                traceback.print_exc(file=sys.stderr)
                name = section.__name__.rpartition(".")[2]
                demo.failures.append(f"the {name} section ({type(exc).__name__}: {exc})")
