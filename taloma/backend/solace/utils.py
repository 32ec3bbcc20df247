"""Date-time parsing of market-data messages."""

from __future__ import annotations

import datetime as _dt

__all__ = ["datetime_parser"]


def datetime_parser(date: str | None, time: str | None) -> _dt.datetime:
    """"YYYY/MM/DD" or "YYYY-MM-DD" and "HH:MM:SS[.f{1,6}]" to a naive datetime.

    An empty or none time is midnight; an empty or none date is today's local date.
    """
    if date:
        if len(date) != 10 or date[4] != date[7] or date[4] not in "/-" or not _digits(date[:4] + date[5:7] + date[8:]):
            raise ValueError(f"invalid date: {date!r}")
        day = _dt.date(int(date[:4]), int(date[5:7]), int(date[8:]))
    else:
        day = _dt.date.today()
    if not time:
        return _dt.datetime(day.year, day.month, day.day)
    if len(time) < 8 or time[2] != ":" or time[5] != ":" or not _digits(time[:2] + time[3:5] + time[6:8]):
        raise ValueError(f"invalid time: {time!r}")
    micro = 0
    if len(time) > 8:
        frac = time[9:]
        if time[8] != "." or not 1 <= len(frac) <= 6 or not _digits(frac):
            raise ValueError(f"invalid time: {time!r}")
        micro = int(frac.ljust(6, "0"))
    return _dt.datetime(day.year, day.month, day.day, int(time[:2]), int(time[3:5]), int(time[6:8]), micro)


def _digits(text: str) -> bool:
    return text.isascii() and text.isdigit()
