"""Contract records: the four conversions of the service's contract lists."""

from __future__ import annotations

import copy
import importlib.util
import json
import random
from collections.abc import Iterator, Mapping
from types import MappingProxyType
from typing import Any

import pytest

from support import SOURCE
from taloma.backend.http.contract import (
    future_dict_convert,
    option_dict_convert,
    stock_dict_convert,
    tw_index_dict_convert,
)

STOCK_FIELDS = ["symbol", "security_type", "currency", "exchange", "code", "name", "category"]
FUTOPT_FIELDS = [
    "symbol",
    "security_type",
    "currency",
    "exchange",
    "code",
    "name",
    "category",
    "delivery_month",
    "strike_price",
    "option_right",
    "underlying_kind",
    "underlying_code",
    "unit",
    "multiplier",
]
INDEX_FIELDS = ["symbol", "security_type", "currency", "exchange", "code", "name"]


class Entry(Mapping):
    """A read-only mapping that is not a dict."""

    def __init__(self, **fields: Any) -> None:
        self._fields = fields

    def __getitem__(self, key: str) -> Any:
        return self._fields[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._fields)

    def __len__(self) -> int:
        return len(self._fields)


def stock(code: str, exchange: str = "TSE", name: str = "台積電", industry: str = "24", **extra: Any) -> dict:
    return {"exchange": exchange, "code": code, "name": name, "industry": industry, **extra}


def future(code: str = "TXFL6", month: str = "202612", basic: Any = "200", **extra: Any) -> dict:
    return {
        "code": code,
        "ename": "TXF",
        "csname": "臺股期貨12",
        "category": "TXF",
        "deliverymonth": month,
        "prod_kind": "I",
        "ostock": "#001",
        "basic": basic,
        **extra,
    }


def option(eprice: Any = "10500.0", poc: str = "C", code: str = "TXO10500L6", **extra: Any) -> dict:
    return {
        "code": code,
        "csname": "臺指選擇權",
        "category": "TXO",
        "deliverymonth": "202612",
        "poc": poc,
        "eprice": eprice,
        "prod_kind": "I",
        "ostock": "#001",
        "basic": "50",
        **extra,
    }


class TestStocks:
    def test_record_fields_and_values(self) -> None:
        result = stock_dict_convert([stock("2330", extra_key="ignored")])
        record = result["TSE"][0]
        assert list(record) == STOCK_FIELDS
        assert record == {
            "symbol": "TSE2330",
            "security_type": "STK",
            "currency": "TWD",
            "exchange": "TSE",
            "code": "2330",
            "name": "台積電",
            "category": "24",
        }

    def test_groups_in_order_of_first_appearance(self) -> None:
        result = stock_dict_convert([stock("6488", "OTC"), stock("2330", "TSE"), stock("5347", "OTC")])
        assert list(result) == ["OTC", "TSE"]
        assert [r["code"] for r in result["OTC"]] == ["6488", "5347"]
        assert [r["code"] for r in result["TSE"]] == ["2330"]

    @pytest.mark.parametrize(
        ("name", "expected"),
        [("  台 積 電  ", "台 積 電"), ("\t台積電 ", "\t台積電"), ("台積電", "台積電"), ("    ", ""), ("", "")],
    )
    def test_name_loses_only_outer_spaces(self, name: str, expected: str) -> None:
        assert stock_dict_convert([stock("2330", name=name)])["TSE"][0]["name"] == expected

    def test_symbol_formats_values_that_are_not_text(self) -> None:
        record = stock_dict_convert([stock(2330)])["TSE"][0]  # type: ignore[arg-type]
        assert record["symbol"] == "TSE2330" and record["code"] == 2330

    def test_empty_list_and_iterables(self) -> None:
        assert stock_dict_convert([]) == {}
        rows = [stock("2330"), stock("2317")]
        assert stock_dict_convert(iter(rows)) == stock_dict_convert(tuple(rows)) == stock_dict_convert(rows)

    @pytest.mark.parametrize("missing", ["exchange", "code", "name", "industry"])
    def test_missing_key_stops_the_conversion(self, missing: str) -> None:
        bad = stock("2317")
        del bad[missing]
        with pytest.raises(KeyError, match=missing):
            stock_dict_convert([stock("2330"), bad])

    @pytest.mark.parametrize("entry", [None, 7, "2330", ["TSE", "2330"]])
    def test_entry_that_is_not_a_mapping(self, entry: Any) -> None:
        with pytest.raises(TypeError):
            stock_dict_convert([stock("2330"), entry])

    def test_none_list_is_a_type_error(self) -> None:
        with pytest.raises(TypeError):
            stock_dict_convert(None)


class TestFutures:
    def test_record_fields_and_values(self) -> None:
        result = future_dict_convert({"TXF": [future()]})
        record = result["TXF"][0]
        assert list(record) == FUTOPT_FIELDS
        assert record == {
            "symbol": "TXF202612",
            "security_type": "FUT",
            "currency": "TWD",
            "exchange": "TAIFEX",
            "code": "TXFL6",
            "name": "臺股期貨12",
            "category": "TXF",
            "delivery_month": "202612",
            "strike_price": 0,
            "option_right": "",
            "underlying_kind": "I",
            "underlying_code": "#001",
            "unit": 200.0,
            "multiplier": 0,
        }
        assert type(record["strike_price"]) is int and type(record["multiplier"]) is int

    @pytest.mark.parametrize(
        ("basic", "unit"), [("200", 200.0), (" 2000 ", 2000.0), ("0.5", 0.5), (50, 50.0), (12.5, 12.5), ("1e3", 1000.0)]
    )
    def test_unit_is_always_a_float(self, basic: Any, unit: float) -> None:
        value = future_dict_convert({"G": [future(basic=basic)]})["G"][0]["unit"]
        assert type(value) is float and value == unit

    def test_float_unit_is_taken_as_is(self) -> None:
        basic = 1234.5
        assert future_dict_convert({"G": [future(basic=basic)]})["G"][0]["unit"] is basic

    def test_repeated_unit_texts_keep_their_own_values(self) -> None:
        entries = [future(basic=b) for b in ("200", "200", "50", "200", "2000", "50")]
        units = [r["unit"] for r in future_dict_convert({"G": entries})["G"]]
        assert units == [200.0, 200.0, 50.0, 200.0, 2000.0, 50.0]

    @pytest.mark.parametrize("basic", ["abc", "", "2OO"])
    def test_unit_that_does_not_parse(self, basic: str) -> None:
        with pytest.raises(ValueError):
            future_dict_convert({"G": [future(), future(basic=basic)]})

    def test_groups_keep_input_order_and_empty_groups_are_absent(self) -> None:
        result = future_dict_convert({"MXF": [future("MXFL6")], "EMPTY": [], "TXF": [future("TXFL6"), future("TXFA7")]})
        assert list(result) == ["MXF", "TXF"]
        assert [r["code"] for r in result["TXF"]] == ["TXFL6", "TXFA7"]

    @pytest.mark.parametrize(
        "missing", ["ename", "deliverymonth", "code", "csname", "category", "prod_kind", "ostock", "basic"]
    )
    def test_missing_key_stops_the_conversion(self, missing: str) -> None:
        bad = future()
        del bad[missing]
        with pytest.raises(KeyError, match=missing):
            future_dict_convert({"A": [future()], "B": [bad]})

    def test_none_input_has_no_items(self) -> None:
        with pytest.raises(AttributeError):
            future_dict_convert(None)

    @pytest.mark.parametrize("contracts", [[future()], "TXF"])
    def test_input_that_is_not_a_mapping(self, contracts: Any) -> None:
        with pytest.raises(AttributeError):
            future_dict_convert(contracts)


class TestOptions:
    def test_record_fields_and_values(self) -> None:
        record = option_dict_convert({"TXO": [option()]})["TXO"][0]
        assert list(record) == FUTOPT_FIELDS
        assert record == {
            "symbol": "TXO202612C10500",
            "security_type": "OPT",
            "currency": "TWD",
            "exchange": "TAIFEX",
            "code": "TXO10500L6",
            "name": "臺指選擇權",
            "category": "TXO",
            "delivery_month": "202612",
            "strike_price": "10500.0",
            "option_right": "C",
            "underlying_kind": "I",
            "underlying_code": "#001",
            "unit": 50.0,
            "multiplier": 0,
        }

    @pytest.mark.parametrize(
        ("eprice", "shown"),
        [
            ("10500.0", "10500"),
            ("100.0", "100"),
            ("0.0", "0"),
            ("1000.0", "1000"),
            ("10.0", "10"),
            ("10500.5", "10500.5"),
            ("100.00", "100.00"),
            ("25.50", "25.50"),
            ("10500", "10500"),
            ("", ""),
            (".0", ""),
            ("7.0", "7"),
        ],
    )
    def test_trimmed_strike_only_in_the_symbol(self, eprice: str, shown: str) -> None:
        record = option_dict_convert({"G": [option(eprice=eprice)]})["G"][0]
        assert record["symbol"] == f"TXO202612C{shown}"
        assert record["strike_price"] == eprice

    def test_numeric_strike_is_shown_as_text(self) -> None:
        record = option_dict_convert({"G": [option(eprice=10500.0), option(eprice=25.5, poc="P")]})["G"]
        assert [r["symbol"] for r in record] == ["TXO202612C10500", "TXO202612P25.5"]
        assert record[0]["strike_price"] == 10500.0

    def test_wide_characters_in_the_symbol(self) -> None:
        entry = option(category="臺指", eprice="10500.0")
        assert option_dict_convert({"G": [entry]})["G"][0]["symbol"] == "臺指202612C10500"
        entry = option(category="TXO", deliverymonth="202612W2", poc="買", eprice="9.0")
        assert option_dict_convert({"G": [entry]})["G"][0]["symbol"] == "TXO202612W2買9"

    @pytest.mark.parametrize(
        "missing", ["deliverymonth", "code", "csname", "category", "prod_kind", "ostock", "basic", "poc", "eprice"]
    )
    def test_missing_key_stops_the_conversion(self, missing: str) -> None:
        bad = option()
        del bad[missing]
        with pytest.raises(KeyError, match=missing):
            option_dict_convert({"G": [option(), bad, option()]})

    def test_ename_is_not_needed(self) -> None:
        assert "ename" not in option()
        assert len(option_dict_convert(contracts={"G": [option()]})["G"]) == 1

    def test_none_input_has_no_items(self) -> None:
        with pytest.raises(AttributeError):
            option_dict_convert(None)


class TestEntryShapes:
    """Entries in any key order, with extra keys, and mappings that are not dicts."""

    def test_key_order_of_entries_does_not_matter(self) -> None:
        rnd = random.Random(5)
        entries = []
        for i in range(200):
            fields = list(option(eprice=f"{10000 + 50 * i}.0", code=f"C{i}", extra=i).items())
            rnd.shuffle(fields)
            if i % 7 == 0:
                fields = [*fields[:3], ("x" * (i % 5 + 1), 1), *fields[3:]]
            entries.append(dict(fields))
        records = option_dict_convert({"G": entries})["G"]
        assert [r["code"] for r in records] == [f"C{i}" for i in range(200)]
        assert [r["symbol"] for r in records] == [f"TXO202612C{10000 + 50 * i}" for i in range(200)]

    def test_decoded_json_with_one_key_missing_late(self) -> None:
        entries = [option(code=f"C{i}") for i in range(50)]
        del entries[40]["poc"]
        with pytest.raises(KeyError, match="poc"):
            option_dict_convert(json.loads(json.dumps({"G": entries})))

    def test_mapping_entries_and_mapping_groups(self) -> None:
        class Groups(Mapping):
            def __init__(self, groups: dict) -> None:
                self._groups = groups

            def __getitem__(self, key: str) -> Any:
                return self._groups[key]

            def __iter__(self) -> Iterator[str]:
                return iter(self._groups)

            def __len__(self) -> int:
                return len(self._groups)

        plain = {"TXO": [option(), option(eprice="10550.0", code="X")], "TEO": [option(code="Y")]}
        wrapped = Groups({k: [Entry(**e) for e in v] for k, v in plain.items()})
        assert option_dict_convert(wrapped) == option_dict_convert(plain)
        assert option_dict_convert(MappingProxyType(plain)) == option_dict_convert(plain)
        stocks = [stock("2330"), stock("6488", "OTC")]
        assert stock_dict_convert([Entry(**s) for s in stocks]) == stock_dict_convert(stocks)

    def test_mixed_dict_and_mapping_entries(self) -> None:
        entries = [future("A"), Entry(**future("B")), future("C"), MappingProxyType(future("D"))]
        assert [r["code"] for r in future_dict_convert({"G": entries})["G"]] == ["A", "B", "C", "D"]

    def test_input_is_not_changed(self) -> None:
        contracts = {"TXO": [option(), option(eprice="100.0")], "E": []}
        before = copy.deepcopy(contracts)
        option_dict_convert(contracts)
        assert contracts == before

    def test_results_are_new_objects(self) -> None:
        contracts = {"G": [future()]}
        first, second = future_dict_convert(contracts), future_dict_convert(contracts)
        first["G"][0]["code"] = "changed"
        assert second["G"][0]["code"] == "TXFL6"


class TestIndices:
    def test_always_tse_then_otc(self) -> None:
        assert tw_index_dict_convert({}) == {"TSE": [], "OTC": []}
        result = tw_index_dict_convert({"101": "櫃買指數", "001": "加權指數", "102": "櫃買電子"})
        assert list(result) == ["TSE", "OTC"]
        assert [r["code"] for r in result["OTC"]] == ["101", "102"]

    def test_record_fields_and_values(self) -> None:
        result = tw_index_dict_convert({"001": "加權指數", "101": "櫃買指數"})
        assert list(result["TSE"][0]) == INDEX_FIELDS
        assert result["TSE"][0] == {
            "symbol": "TSE001",
            "security_type": "IND",
            "currency": "TWD",
            "exchange": "TSE",
            "code": "001",
            "name": "加權指數",
        }
        assert result["OTC"][0]["symbol"] == "OTC101"

    @pytest.mark.parametrize(
        ("index_dict", "error"),
        [
            ({"001": "a", "": "b"}, IndexError),
            ({"001": "a", "201": "b"}, KeyError),
            ({"T01": "b"}, KeyError),
            ({1: "x"}, TypeError),
        ],
    )
    def test_codes_without_an_exchange(self, index_dict: dict, error: type) -> None:
        with pytest.raises(error):
            tw_index_dict_convert(index_dict)

    def test_mapping_input(self) -> None:
        assert tw_index_dict_convert(MappingProxyType({"001": "a"}))["TSE"][0]["name"] == "a"
        with pytest.raises(AttributeError):
            tw_index_dict_convert(["001"])


def _bench_module() -> Any:
    path = SOURCE / "bench" / "bench_catalogue.py"
    if not path.exists():
        pytest.skip("the benchmark is not beside the tests")
    spec = importlib.util.spec_from_file_location("bench_catalogue", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("kind", ["S", "F", "O", "I"])
def test_whole_catalogue_matches_the_plain_python_version(kind: str) -> None:
    """The benchmark's Python version does the same work, on the simulator's whole catalogue."""
    from taloma.simulator.catalogue import Catalogue

    bench = _bench_module()
    cat = Catalogue(3)
    raw = {"S": cat.stocks, "F": cat.futures, "O": cat.options, "I": cat.indices}[kind]()
    data = json.loads(json.dumps(raw))
    native = {"S": stock_dict_convert, "F": future_dict_convert, "O": option_dict_convert, "I": tw_index_dict_convert}[
        kind
    ]
    assert native(data) == bench.PLAIN[kind](data)
    if kind == "O":
        assert bench.tuned_option_dict_convert(data) == native(data)
