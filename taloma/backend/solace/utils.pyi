"""Date-time parsing of market-data messages."""

import datetime as _dt

__all__ = ["datetime_parser"]

def datetime_parser(date: str | None, time: str | None) -> _dt.datetime:
    """ "YYYY/MM/DD" or "YYYY-MM-DD" and "HH:MM:SS[.f{1,6}]" to a naive datetime.

    An empty or None time is midnight; an empty or None date is today's local date;
    any other text raises ValueError.
    """
