"""What every market-data record does, whichever message it decodes: its field list, item access by
name, to_dict (raw or not), repr, construction, subclassing, argument handling of its factories,
price lists (quotes and books) and memory. Decoding of each message's own fields is tested beside its
module (test_quote, test_tick, test_ladder)."""

from __future__ import annotations

import copy
import datetime as dt
import decimal
import gc
import inspect
import pickle
import sys
from decimal import Decimal, InvalidOperation

import pytest

from support.marketdata import DECODERS, FIELDS, MODULES, REPR_NAME, SAMPLE, Decoder

RECORDS = list(FIELDS)
# Quote and ladder records pass _transform_raw the field's name and value, ticks the value alone.
TRANSFORM_TAKES_KEY = {cls: not cls.__name__.startswith("Tick") for cls in RECORDS}

by_class = pytest.mark.parametrize("cls", RECORDS, ids=lambda cls: cls.__name__)
by_decoder = pytest.mark.parametrize("decoder", DECODERS, ids=str)
by_priced_decoder = pytest.mark.parametrize("decoder", [d for d in DECODERS if d.price_lists()], ids=str)


def sample(cls):
    return SAMPLE[cls]()


def fresh(text):
    """A text object of the test's own, so that its reference count means something."""
    return "".join(list(text))


def poisoned(decoder: Decoder) -> dict:
    """Changes that make every conversion after the text-type checks fail."""
    return {k: "not a number" for k in decoder.decimal_texts()} | {k: ["x"] for k in decoder.price_lists()}


def raw_form(value):
    if isinstance(value, Decimal):
        return str(value)
    if isinstance(value, dt.datetime):
        return value.isoformat()
    if isinstance(value, list) and value and all(isinstance(x, Decimal) for x in value):
        return [str(x) for x in value]
    return value


def test_every_record_class_of_the_market_data_modules_is_covered():
    defined = {
        obj
        for module in MODULES
        for _, obj in inspect.getmembers(module, inspect.isclass)
        if obj.__module__ == module.__name__ and hasattr(obj, "from_content")
    }
    assert defined == set(RECORDS) == {d.cls for d in DECODERS}
    assert {(d.cls, d.factory) for d in DECODERS} == {
        (cls, name) for cls in RECORDS for name in dir(cls) if name.startswith("from_content")
    }


# ---- fields and item access ------------------------------------------------------------------------


@by_class
def test_keys_is_the_class_field_list_itself(cls):
    a, b = sample(cls), cls.__new__(cls)
    assert a.keys() is b.keys() is cls.__slots__
    assert type(cls.__slots__) is list and cls.__slots__ == FIELDS[cls]


@by_class
def test_no_instance_dict_and_fields_reassignable(cls):
    rec = sample(cls)
    assert not hasattr(rec, "__dict__")
    with pytest.raises(AttributeError):
        rec.colour = "red"
    rec.datetime = "anything"
    assert rec["datetime"] == "anything"


@by_class
def test_item_access_by_name(cls):
    rec = sample(cls)
    assert all(rec[k] is getattr(rec, k) for k in FIELDS[cls])
    assert rec["".join(["co", "de"])] is rec.code
    longest = max(FIELDS[cls], key=len)
    assert rec["no_such_field"] is None and rec[longest[:-1]] is None
    del rec.datetime
    assert rec["datetime"] is None
    assert cls.__new__(cls)["code"] is None


@by_class
@pytest.mark.parametrize("key", [0, 1.5, b"code", ["code"]], ids=repr)
def test_item_access_takes_text_only(cls, key):
    with pytest.raises(TypeError) as err:
        sample(cls)[key]
    assert str(err.value) == f"Argument 'key' has incorrect type (expected str, got {type(key).__name__})"


@by_class
def test_item_access_with_none_is_a_type_error(cls):
    with pytest.raises(TypeError):
        sample(cls)[None]


# ---- to_dict and repr ------------------------------------------------------------------------------


@by_class
def test_to_dict_is_fresh_and_holds_the_records_objects(cls):
    rec = sample(cls)
    d = rec.to_dict()
    assert type(d) is dict and list(d) == FIELDS[cls] and d is not rec.to_dict()
    assert all(d[k] is getattr(rec, k) for k in FIELDS[cls])
    assert all(rec.to_dict(raw=off)[k] is getattr(rec, k) for off in (False, 0, "") for k in FIELDS[cls])


@by_class
@pytest.mark.parametrize("raw", [True, 1, "yes"])
def test_to_dict_raw_gives_texts_for_decimals_and_times(cls, raw):
    rec = sample(cls)
    d = rec.to_dict(raw=raw)
    assert list(d) == FIELDS[cls] and rec.to_dict(raw) == d
    for k in FIELDS[cls]:
        value, expected = getattr(rec, k), raw_form(getattr(rec, k))
        if expected is value:
            assert d[k] is value, k
        else:
            assert d[k] == expected and type(d[k]) is type(expected), k


@by_class
def test_to_dict_raw_truth_errors_propagate(cls):
    class Unsure:
        def __bool__(self):
            raise RuntimeError("no idea")

    with pytest.raises(RuntimeError):
        sample(cls).to_dict(raw=Unsure())


@by_class
def test_transform_raw_is_static(cls):
    aware = dt.datetime(2024, 1, 2, tzinfo=dt.timezone(dt.timedelta(hours=8)))
    cases = [
        (Decimal("1.10"), "1.10"),
        (dt.datetime(2024, 1, 2, 3, 4, 5, 6), "2024-01-02T03:04:05.000006"),
        (aware, "2024-01-02T00:00:00+08:00"),
    ]
    key = ("open",) if TRANSFORM_TAKES_KEY[cls] else ()
    for value, text in cases:
        assert cls._transform_raw(*key, value) == text
        assert cls.__base__._transform_raw(*key, value) == text
        assert cls._transform_raw(**dict(zip(("k", "v") if key else ("v",), (*key, value), strict=True))) == text
    for value in ([1, 2], [Decimal(1)], dt.date(2024, 1, 2), 7, None):
        assert cls._transform_raw(*key, value) is value
    with pytest.raises(TypeError):
        cls._transform_raw(*key, Decimal(1), "surplus")
    if key:  # price lists are known by name
        assert cls._transform_raw("bid_price", (Decimal("1.10"), Decimal("2"))) == ["1.10", "2"]
        assert cls._transform_raw("ask_price", []) == []
        marker = [1, 2]
        assert cls._transform_raw("bid_volume", marker) is marker
        with pytest.raises(TypeError):
            cls._transform_raw("bid_price", None)


@by_class
def test_repr_lists_every_field_in_order(cls):
    rec = sample(cls)
    assert repr(rec) == f"{REPR_NAME[cls]}(" + ", ".join(f"{k}={getattr(rec, k)!r}" for k in FIELDS[cls]) + ")"
    del rec.datetime
    with pytest.raises(AttributeError):
        repr(rec)


# ---- construction ----------------------------------------------------------------------------------


@by_class
def test_constructor_stores_anything_but_checks_code(cls):
    n = len(FIELDS[cls])
    rec = cls("c", *range(n - 1))
    assert [getattr(rec, k) for k in FIELDS[cls]] == ["c", *range(n - 1)]
    rec = cls(None, *range(n - 1))
    assert rec.code is None and getattr(rec, FIELDS[cls][-1]) == n - 2
    rec = cls(**{k: k for k in FIELDS[cls]})
    assert all(getattr(rec, k) == k for k in FIELDS[cls])
    for code in (1, b"x", 1.5):
        with pytest.raises(TypeError) as err:
            cls(code, *range(n - 1))
        assert str(err.value) == f"Argument 'code' has incorrect type (expected str, got {type(code).__name__})"


@by_class
def test_init_again_replaces_every_field(cls):
    rec = sample(cls)
    cls.__init__(rec, *(["x"] * len(FIELDS[cls])))
    assert all(getattr(rec, k) == "x" for k in FIELDS[cls])


def constructors():
    """(call, its name, the field names it takes in order) for every factory and __init__."""
    for d in DECODERS:
        yield pytest.param(d.on(d.cls), d.factory, list(d.content()), id=str(d))
    for cls in RECORDS:
        yield pytest.param(cls, "__init__", FIELDS[cls], id=f"{cls.__name__}.__init__")


@pytest.mark.parametrize("call, name, names", list(constructors()))
def test_argument_counts_and_names(call, name, names):
    def fails(*args, mentioning=None, **kwargs):
        with pytest.raises(TypeError, match=rf"^{name}\(\) takes exactly {len(names) + 1} positional arguments") as err:
            call(*args, **kwargs)
        if mentioning is not None:
            assert f"'{mentioning}'" in str(err.value)

    values = {k: k for k in names}
    fails()
    fails(*range(len(names) - 1))
    fails(*range(len(names) + 1))
    fails(**values, nope=1, mentioning="nope")
    for missing in names:
        fails(**{k: v for k, v in values.items() if k != missing}, mentioning=missing)
    fails(names[0], **values, mentioning=names[0])


@by_decoder
def test_positional_shuffled_and_run_time_keyword_names_decode_alike(decoder):
    c = decoder.content()
    factory = decoder.on(decoder.cls)
    by_name = factory(**c).to_dict()
    assert factory(*c.values()).to_dict() == by_name
    assert factory(**dict(reversed(list(c.items())))).to_dict() == by_name
    fresh_names = {fresh(k): v for k, v in c.items()}
    assert all(a is not b for a, b in zip(fresh_names, c, strict=True)) or sys.implementation.name != "cpython"
    assert factory(**fresh_names).to_dict() == by_name
    half = list(c.items())
    assert factory(*[v for _, v in half[:5]], **dict(half[5:])).to_dict() == by_name


@by_decoder
def test_text_fields_reject_other_types_by_name_before_any_conversion(decoder):
    for field in decoder.text_fields():
        for bad in (5, 1.5, b"580", ["580"]):
            with pytest.raises(TypeError) as err:
                decoder(**poisoned(decoder) | {field: bad})
            assert str(err.value) == (
                f"Argument '{field}' has incorrect type (expected str, got {type(bad).__name__})"
            ), field


@by_decoder
@pytest.mark.parametrize("text", ["", "abc", "x", "1.2.3", "1..2", "--1", ".", "1,5", "n/a"])
def test_malformed_decimal_text_raises_the_decimal_error(decoder, text):
    for field in decoder.decimal_texts():
        with pytest.raises(InvalidOperation):
            decoder(**{field: text})
            pytest.fail(field)


def with_decimal_texts(decoder: Decoder, text: str) -> tuple[dict, list[str], list[str]]:
    """The message with text in every decimal field the record names alike and in each price list."""
    fields = [k for k in decoder.decimal_texts() if k in FIELDS[decoder.cls]]
    return {k: text for k in fields} | {k: [text] for k in decoder.price_lists()}, fields, decoder.price_lists()


@by_decoder
@pytest.mark.parametrize(
    "text",
    [
        "12.50",
        "0.10",
        "100",
        "1.000",
        "-0.50",
        "+1.5",
        "007.10",
        "0",
        "-0",
        ".5",
        "5.",
        "12345678901234567890.12",
        "000000000000000000000000001.5",
        # other syntax is left to Decimal
        "1E+2",
        "1e-3",
        " 12.5 ",
        "1_000.5",
        "NaN",
        "-Infinity",
        "１２.５",
    ],
)
def test_decimal_texts_keep_their_digits_and_exponent(decoder, text):
    changes, fields, lists = with_decimal_texts(decoder, text)
    rec = decoder(**changes)
    raw, expected = rec.to_dict(raw=True), Decimal(text)
    for k in fields:
        assert repr(rec[k]) == repr(expected) and raw[k] == str(expected), k
    for k in lists:
        assert repr(rec[k][0]) == repr(expected) and raw[k] == [str(expected)], k


@by_decoder
@pytest.mark.parametrize("text", ["12345.678", "987654321987654321", "0.0001234"])
def test_decimal_texts_ignore_the_current_context(decoder, text):
    changes, fields, lists = with_decimal_texts(decoder, text)
    with decimal.localcontext() as ctx:
        ctx.prec = 2
        ctx.traps[decimal.Inexact] = ctx.traps[decimal.Rounded] = True
        rec = decoder(**changes)
    assert [str(rec[k]) for k in fields] + [str(rec[k][0]) for k in lists] == [text] * (len(fields) + len(lists))


@by_decoder
def test_none_where_a_decimal_is_built_raises(decoder):
    for field in decoder.decimal_texts():
        with pytest.raises(TypeError, match="NoneType"):
            decoder(**{field: None})
            pytest.fail(field)


@by_decoder
def test_text_subclasses_are_accepted(decoder):
    class Text(str):
        pass

    def subclassed(value):
        if isinstance(value, str):
            return Text(value)
        return [Text(x) for x in value] if isinstance(value, list) and value and isinstance(value[0], str) else value

    c = {k: subclassed(v) for k, v in decoder.content().items()}
    rec = decoder.on(decoder.cls)(**c)
    assert rec.code is c["code"] and rec.to_dict() == decoder().to_dict()


# ---- price lists -----------------------------------------------------------------------------------


@by_priced_decoder
def test_volume_lists_are_the_callers_and_price_lists_new(decoder):
    c = decoder.content()
    rec = decoder.on(decoder.cls)(**c)
    for k in ("bid_volume", "diff_bid_vol", "ask_volume", "diff_ask_vol"):
        assert rec[k] is c[k]
    for k in ("bid_price", "ask_price"):
        assert rec[k] is not c[k] and type(rec[k]) is list and [str(p) for p in rec[k]] == c[k]
        assert all(type(p) is Decimal for p in rec[k])


@by_priced_decoder
def test_price_lists_empty_unequal_and_any_iterable(decoder):
    rec = decoder(bid_price=[], ask_price=[], bid_volume=[], ask_volume=[1, 2])
    assert rec.bid_price == [] == rec.ask_price == rec.bid_volume and rec.ask_volume == [1, 2]
    rec = decoder(bid_price=("1.5", "1.4"), ask_price=(p for p in ["1.6"]))
    assert rec.bid_price == [Decimal("1.5"), Decimal("1.4")] and type(rec.bid_price) is list
    assert rec.ask_price == [Decimal("1.6")] and type(rec.ask_price) is list


@by_priced_decoder
@pytest.mark.parametrize("side", ["bid_price", "ask_price"])
@pytest.mark.parametrize(
    "bad, error",
    [
        (5, TypeError),
        (None, TypeError),
        (["1.5", None], TypeError),
        (["1.5", ""], InvalidOperation),
        (["x"], InvalidOperation),
        (["1.5", "x"], InvalidOperation),
    ],
)
def test_bad_price_lists(decoder, side, bad, error):
    with pytest.raises(error):
        decoder(**{side: bad})


@by_priced_decoder
def test_price_entries_of_other_kinds_follow_decimal(decoder):
    entries = ["1.5", 2, 2.5, Decimal("3.25"), (1, (4, 5), -1), "NaN", "1e3"]
    got = decoder(bid_price=entries).bid_price
    assert [repr(x) for x in got] == [repr(Decimal(x)) for x in entries]


@by_priced_decoder
def test_huge_price_lists(decoder):
    prices = [f"{i}.{i % 100:02d}" for i in range(200_000)]
    rec = decoder(bid_price=prices, ask_price=prices[::-1] + prices[:1] * 50_000)
    assert len(rec.bid_price) == 200_000 and str(rec.bid_price[123_456]) == "123456.56"
    assert len(rec.ask_price) == 250_000 and str(rec.ask_price[0]) == "199999.99"
    assert all(p == Decimal("0.00") for p in rec.ask_price[-50_001:])


# ---- subclasses ------------------------------------------------------------------------------------


@by_decoder
def test_factory_builds_through_the_class_it_is_called_on(decoder):
    class Mine(decoder.cls):
        pass

    rec = decoder.on(Mine)(**decoder.content())
    assert type(rec) is Mine and rec.to_dict() == decoder().to_dict()
    rec.note = "subclasses may add a dict"
    assert rec.keys() is decoder.cls.__slots__


@by_decoder
def test_subclass_init_receives_the_values_in_field_order(decoder):
    seen = []

    class Logged(decoder.cls):
        def __init__(self, *values):
            seen.append(values)
            super().__init__(*values)

    rec = decoder.on(Logged)(**decoder.content())
    assert type(rec) is Logged and seen == [tuple(decoder().to_dict().values())]


@by_class
def test_subclass_overrides_are_honoured_by_the_protocol(cls):
    class Custom(cls):
        __slots__ = ("extra",)

        def keys(self):
            return ["code", "extra"]

        @staticmethod
        def _transform_raw(*args):
            return ("raw", *args)

    rec = SAMPLE[cls].on(Custom)(**SAMPLE[cls].content())
    rec.extra = 1
    assert rec.to_dict() == {"code": rec.code, "extra": 1}
    key = TRANSFORM_TAKES_KEY[cls]
    assert rec.to_dict(raw=True) == {
        "code": ("raw", *(["code"] * key), rec.code),
        "extra": ("raw", *(["extra"] * key), 1),
    }
    assert Custom.__new__(Custom)["code"] is None


# ---- memory ----------------------------------------------------------------------------------------


@by_class
def test_no_larger_than_a_slots_twin(cls):
    rec = sample(cls)
    twin = type("Twin", (), {"__slots__": list(FIELDS[cls])})()
    for k in FIELDS[cls]:
        setattr(twin, k, getattr(rec, k))
    assert sys.getsizeof(rec) <= sys.getsizeof(twin)


def watched_content(decoder: Decoder, **changes):
    """The sample with texts and lists of the test's own, and the objects whose references are counted."""
    c = {
        k: fresh(v)
        if isinstance(v, str)
        else [fresh(x) if isinstance(x, str) else x for x in v]
        if isinstance(v, list)
        else v
        for k, v in decoder.content().items()
    } | changes
    # Texts of one character or none are shared singletons: their counts move with anything.
    watched = [v for v in c.values() if isinstance(v, list) or (isinstance(v, str) and len(v) > 1)]
    watched += [x for v in c.values() if isinstance(v, list) for x in v if isinstance(x, str) and len(x) > 1]
    return c, watched


def failures(decoder: Decoder):
    last_text = decoder.text_fields()[-1]
    yield {last_text: 1}
    yield {"date": "bad"}
    yield {"extra": 1}
    for k in decoder.price_lists():
        yield {k: ["1", None]}
    for k, v in poisoned(decoder).items():
        yield {k: v}
    for k in decoder.decimal_texts():
        yield {k: ""}


@by_decoder
def test_decoding_leaks_no_references(decoder):
    c, watched = watched_content(decoder)
    before = [sys.getrefcount(x) for x in watched]
    factory = decoder.on(decoder.cls)
    for _ in range(1000):
        factory(**c)
        factory(*c.values()).to_dict(raw=True)
    assert [sys.getrefcount(x) for x in watched] == before


@by_decoder
def test_failed_decodes_leak_no_references(decoder):
    factory = decoder.on(decoder.cls)
    for changes in failures(decoder):
        c, watched = watched_content(decoder, **changes)
        before = [sys.getrefcount(x) for x in watched]
        for _ in range(200):
            with pytest.raises((TypeError, ValueError, ArithmeticError)):
                factory(**c)
        assert [sys.getrefcount(x) for x in watched] == before, changes


@by_class
def test_records_in_cycles_are_collected(cls):
    freed = []

    class Witness:
        def __del__(self):
            freed.append(True)

    rec = sample(cls)
    rec.datetime = [rec]
    setattr(rec, FIELDS[cls][-1], Witness())
    del rec
    gc.collect()
    assert freed == [True]


@by_class
def test_copy_and_pickle_keep_every_field(cls):
    rec = sample(cls)
    assert copy.copy(rec).to_dict() == rec.to_dict()
    back = pickle.loads(pickle.dumps(rec))
    assert type(back) is cls and back.to_dict() == rec.to_dict()
