"""Stock order codes and their converter set."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

from support import PACKAGE_ROOT
from taloma.backend.http import constant as companion
from taloma.backend.http.stock import constant as sc
from taloma.constant import Action, StockFirstSell, StockOrderCond, StockOrderType, StockPriceType
from taloma.orderprops import OrderProps

CODES = {
    "Action": [("Buy", "B"), ("Sell", "S")],
    "OrderType": [("Common", "0"), ("BlockTrade", "1"), ("Fixing", "P"), ("Odd", "2")],
    "PriceType": [("LimitPrice", " "), ("Close", "1"), ("LimitUp", "2"), ("LimitDown", "3")],
    "OrderCond": [("Cash", "0"), ("Netting", "1"), ("MarginTrading", "3"), ("ShortSelling", "4")],
    "FirstSell": [("Yes", "Y"), ("No", "N")],
    "MarketID": [("TSE", "S"), ("OTC", "O"), ("OES", "R")],
}
# converter attribute, code class, generic enumeration
CONVERTERS = [
    ("action", "Action", Action),
    ("price_type", "PriceType", StockPriceType),
    ("order_type", "OrderType", StockOrderType),
    ("order_cond", "OrderCond", StockOrderCond),
    ("first_sell", "FirstSell", StockFirstSell),
]


@pytest.mark.parametrize("name", CODES)
def test_code_classes(name) -> None:
    cls = getattr(sc, name)
    assert issubclass(cls, companion.Constant) and cls.__module__ == sc.__name__
    assert cls.members() == CODES[name]


def test_codes_that_are_easy_to_get_wrong() -> None:
    assert sc.PriceType.LimitPrice == " " and sc.PriceType.Close == "1"
    assert "2" not in {code for _, code in sc.OrderCond.members()}
    assert (sc.MarketID.OES, sc._market_id.OES) == ("R", "OES")
    assert not issubclass(sc._market_id, companion.Constant)


def test_module_names_in_creation_order() -> None:
    names = [n for n in vars(sc) if not n.startswith("__") or n == "__all__"]
    assert names == [
        "OrderProps",
        "Constant",
        "BaseProps",
        "__all__",
        "share_ops",
        "Action",
        "OrderType",
        "PriceType",
        "OrderCond",
        "FirstSell",
        "oprops",
        "_market_id",
        "MarketID",
        "market_id",
    ]
    assert list(sc.__all__) == ["oprops"]
    assert sc.share_ops is OrderProps.Stock
    assert (sc.Constant, sc.BaseProps) == (companion.Constant, companion.BaseProps)


@pytest.mark.parametrize("attribute,code_class,generic", CONVERTERS)
def test_converters(attribute, code_class, generic) -> None:
    converter = getattr(sc.oprops, attribute)
    assert type(converter) is getattr(sc, code_class)
    for member, code in CODES[code_class]:
        assert getattr(converter, member) == code
        assert getattr(converter, code) is generic[member]


def test_converter_set() -> None:
    assert issubclass(sc.oprops, companion.BaseProps)
    assert sc.oprops.keys() == [attribute for attribute, _, _ in CONVERTERS]


def test_market_id_converts_both_ways() -> None:
    for name, code in CODES["MarketID"]:
        assert (getattr(sc.market_id, name), getattr(sc.market_id, code)) == (code, name)


def run_import(prelude: str, tmp_path: Path) -> subprocess.CompletedProcess[str]:
    # A fresh interpreter, so the module loads again; it must be this same installed package.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, os.environ.get("PYTHONPATH", "")]))
    code = (
        prelude + "\nimport sys\ntry:\n    import taloma.backend.http.stock.constant\nexcept Exception as e:\n"
        "    print(type(e).__name__, e)\n    print('taloma.backend.http.stock.constant' in sys.modules)\n"
    )
    return subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60, check=True
    )


@pytest.mark.parametrize(
    "prelude,expected",
    [
        ("import taloma.orderprops as o\ndel o.OrderProps", "ImportError cannot import name 'OrderProps'"),
        ("import taloma.backend.http.constant as c\ndel c.BaseProps", "ImportError cannot import name 'BaseProps'"),
        (
            "import taloma.backend.http.constant as c\n"
            "def no(cls, **kw):\n    raise ValueError('rejected ' + cls.__name__)\n"
            "c.Constant.__init_subclass__ = classmethod(no)",
            "ValueError rejected Action",
        ),
    ],
)
def test_failed_load_leaves_no_module(tmp_path, prelude, expected) -> None:
    out = run_import(prelude, tmp_path).stdout.splitlines()
    assert out[0].startswith(expected) and out[1] == "False"
