"""The market clock: the simulated market's time, running at a multiple of real time."""

from __future__ import annotations

import datetime as dt
import time

MAX_SPEED = 10_000.0
"""The fastest market clock, market seconds per real second (a near-standing clock is fine: tests
freeze the market that way)."""


class MarketClock:
    """Market time: ``start`` plus real time elapsed times ``speed``."""

    def __init__(self, speed: float = 1.0, start: dt.datetime | None = None) -> None:
        if isinstance(speed, bool) or not isinstance(speed, (int, float)) or not 0 < speed <= MAX_SPEED:
            raise ValueError(f"speed must be a number above 0 and at most {MAX_SPEED:,.0f}, not {speed!r}")
        self.speed = float(speed)
        self.start = start or dt.datetime.now()
        self._t0 = time.monotonic()

    def elapsed(self) -> float:
        """Market seconds since the start."""
        return (time.monotonic() - self._t0) * self.speed

    def at(self, elapsed: float) -> dt.datetime:
        try:
            return self.start + dt.timedelta(seconds=elapsed)
        except OverflowError:
            # The calendar's end: a clock left running for centuries stops there.
            return dt.datetime.max

    def now(self) -> dt.datetime:
        return self.at(self.elapsed())


__all__ = ["MAX_SPEED", "MarketClock"]
