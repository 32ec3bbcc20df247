"""datetime_parser: the formats it accepts, the defaults, and what it rejects."""

from __future__ import annotations

import datetime as dt
import random

import pytest

from taloma.backend.solace.utils import datetime_parser


@pytest.mark.parametrize(
    "date, time, expected",
    [
        ("2024/01/02", "09:00:01", dt.datetime(2024, 1, 2, 9, 0, 1)),
        ("2024-01-02", "13:30:00", dt.datetime(2024, 1, 2, 13, 30)),
        ("2024/12/31", "23:59:59.999999", dt.datetime(2024, 12, 31, 23, 59, 59, 999999)),
        ("2024/02/29", "00:00:00.5", dt.datetime(2024, 2, 29, 0, 0, 0, 500000)),
        ("2024/03/15", "09:00:00.12", dt.datetime(2024, 3, 15, 9, 0, 0, 120000)),
        ("2024/03/15", "09:00:00.000001", dt.datetime(2024, 3, 15, 9, 0, 0, 1)),
        ("0001/01/01", "00:00:00", dt.datetime(1, 1, 1)),
        ("2024/03/15", None, dt.datetime(2024, 3, 15)),
        ("2024/03/15", "", dt.datetime(2024, 3, 15)),
    ],
)
def test_accepted_formats(date, time, expected):
    got = datetime_parser(date, time)
    assert got == expected
    assert type(got) is dt.datetime and got.tzinfo is None


@pytest.mark.parametrize("date", [None, ""])
@pytest.mark.parametrize(
    "time, clock", [("10:11:12.5", (10, 11, 12, 500000)), (None, (0, 0, 0, 0)), ("", (0, 0, 0, 0))]
)
def test_missing_date_is_today(date, time, clock):
    before = dt.date.today()
    got = datetime_parser(date, time)
    after = dt.date.today()
    assert got.date() in (before, after)
    assert (got.hour, got.minute, got.second, got.microsecond) == clock


@pytest.mark.parametrize(
    "date",
    [
        "2024/01-02",
        "2024-01/02",
        "2024.01.02",
        "20240102",
        "2024/1/02",
        "24/01/02",
        " 2024/01/02",
        "2024/01/02 ",
        "2024/0a/02",
        "２０２４/01/02",
        "2024/01/02T09:00:00",
    ],
)
def test_bad_date_text(date):
    with pytest.raises(ValueError, match="invalid date"):
        datetime_parser(date, "09:00:00")


@pytest.mark.parametrize(
    "time",
    [
        "9:00:00",
        "09:00",
        "09-00-00",
        "09:00:00.",
        "09:00:00.1234567",
        "09:00:00,5",
        "09:00:00 ",
        "09:00:00.12a",
        "0９:00:00",
        "09:00:00Z",
        "09:00:00+08:00",
    ],
)
def test_bad_time_text(time):
    with pytest.raises(ValueError, match="invalid time"):
        datetime_parser("2024/01/02", time)


@pytest.mark.parametrize(
    "date, time",
    [
        ("2024/13/01", "09:00:00"),
        ("2023/02/29", "09:00:00"),
        ("0000/01/01", "09:00:00"),
        ("2024/01/02", "24:00:00"),
        ("2024/01/02", "09:60:00"),
        ("2024/01/02", "09:00:60"),
    ],
)
def test_out_of_range_fields(date, time):
    with pytest.raises(ValueError):
        datetime_parser(date, time)


@pytest.mark.parametrize("bad", [20240102, b"2024/01/02", 1.5, ["2024/01/02"]])
def test_non_text_is_a_type_error(bad):
    with pytest.raises(TypeError):
        datetime_parser(bad, "09:00:00")
    with pytest.raises(TypeError):
        datetime_parser("2024/01/02", bad)


def test_text_subclasses_and_keywords():
    class Text(str):
        pass

    assert datetime_parser(Text("2024/01/02"), Text("09:00:00.25")) == dt.datetime(2024, 1, 2, 9, 0, 0, 250000)
    assert datetime_parser(time="09:00:00", date="2024-01-02") == dt.datetime(2024, 1, 2, 9)


@pytest.mark.parametrize(
    "args, kwargs", [((), {}), (("2024/01/02",), {}), (("a", "b", "c"), {}), (("2024/01/02",), {"tim": "09:00:00"})]
)
def test_argument_errors(args, kwargs):
    with pytest.raises(TypeError, match="datetime_parser"):
        datetime_parser(*args, **kwargs)


def test_agrees_with_the_datetime_constructor():
    rng = random.Random(5)
    for _ in range(3000):
        d = dt.datetime(
            rng.randint(1, 9999),
            rng.randint(1, 12),
            rng.randint(1, 28),
            rng.randint(0, 23),
            rng.randint(0, 59),
            rng.randint(0, 59),
        )
        digits = rng.randint(0, 6)
        frac = "".join(rng.choice("0123456789") for _ in range(digits))
        expected = d.replace(microsecond=int(frac.ljust(6, "0")) if frac else 0)
        sep = rng.choice("/-")
        date = f"{d.year:04d}{sep}{d.month:02d}{sep}{d.day:02d}"
        time = f"{d.hour:02d}:{d.minute:02d}:{d.second:02d}" + (f".{frac}" if frac else "")
        assert datetime_parser(date, time) == expected, (date, time)
