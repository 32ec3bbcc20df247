"""The demo: one run of the package against the bundled simulated broker.

Each section is a module of this package with ``run(ctx: Demo)``; sections run
in ``SECTIONS`` order and share what they find through ``ctx.data``.
"""

from __future__ import annotations

import contextlib
import importlib
import sys
import time
import traceback
from typing import Any, Iterator

SECTIONS = ("login", "catalogue", "accounts", "orders", "market", "signing")


class StepFailed(Exception):
    pass


class Demo:
    def __init__(self, out: Any = None) -> None:
        self.out = out or sys.stdout
        self.broker: Any = None
        self.client: Any = None
        self.data: dict[str, Any] = {}
        self.failures: list[str] = []

    def say(self, text: str = "") -> None:
        print(text, file=self.out, flush=True)

    @contextlib.contextmanager
    def step(self, title: str) -> Iterator[None]:
        """One reported step; a failure is recorded and the demo goes on."""
        self.say(f"== {title}")
        start = time.perf_counter()
        try:
            yield
        except Exception as exc:  # the report names the step that failed
            self.failures.append(title)
            self.say(f"   FAILED: {type(exc).__name__}: {exc}")
            traceback.print_exc(file=sys.stderr)
        else:
            self.say(f"   ok ({time.perf_counter() - start:.2f} s)")


def main(argv: list[str] | None = None) -> int:
    from taloma.simulator import BrokerSimulator
    import taloma.backend.http as settings

    demo = Demo()
    with BrokerSimulator(seed=2026) as broker:
        demo.broker = broker
        settings.api_url_simulation = broker.base_url
        demo.say(f"simulated broker at {broker.base_url}")
        for name in SECTIONS:
            try:
                section = importlib.import_module(f"taloma.demo.{name}")
            except ModuleNotFoundError as exc:
                if exc.name != f"taloma.demo.{name}":
                    raise
                continue
            section.run(demo)
    if demo.failures:
        demo.say(f"demo FAILED in {len(demo.failures)} step(s): {', '.join(demo.failures)}")
        return 1
    demo.say("demo finished: every step succeeded")
    return 0
