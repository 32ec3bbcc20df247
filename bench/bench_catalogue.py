"""Contract catalogue: native conversions against plain Python, and the whole option download.

Runs the simulated broker, takes its catalogue as the service delivers it (decoded JSON) and
converts it with the native conversions and with the straightforward Python below, in the same
run; prints the best time of each and the ratio per product type. Then times the option list's
JSON decoding with the standard json module and with msgspec, and ``fetch_available_product(client, "O")``
end to end with replies decoded as requests' ``json()`` does (the package before msgspec) and as the
package does now, with the conversion's share of it.

    python bench/bench_catalogue.py [--repeat N]
"""

from __future__ import annotations

import argparse
import gc
import json
import sys
import time
from collections.abc import Callable
from typing import Any

import msgspec

# ---- the straightforward Python version of the four conversions ------------------------------


def plain_stock_dict_convert(contracts: Any) -> dict[Any, list[dict[str, Any]]]:
    ret: dict[Any, list[dict[str, Any]]] = {}
    for c in contracts:
        record = {
            "symbol": "{exchange}{code}".format(**c),
            "security_type": "STK",
            "currency": "TWD",
            "exchange": c["exchange"],
            "code": c["code"],
            "name": c["name"].strip(" "),
            "category": c["industry"],
        }
        group = ret.get(c["exchange"], [])
        group.append(record)
        ret[c["exchange"]] = group
    return ret


def _unit(basic: Any) -> float:
    return basic if isinstance(basic, float) else float(basic)


def plain_future_dict_convert(contracts: Any) -> dict[Any, list[dict[str, Any]]]:
    ret: dict[Any, list[dict[str, Any]]] = {}
    for group_name, entries in contracts.items():
        for c in entries:
            record = {
                "symbol": "{ename}{deliverymonth}".format(**c),
                "security_type": "FUT",
                "currency": "TWD",
                "exchange": "TAIFEX",
                "code": c["code"],
                "name": c["csname"],
                "category": c["category"],
                "delivery_month": c["deliverymonth"],
                "strike_price": 0,
                "option_right": "",
                "underlying_kind": c["prod_kind"],
                "underlying_code": c["ostock"],
                "unit": _unit(c["basic"]),
                "multiplier": 0,
            }
            group = ret.get(group_name, [])
            group.append(record)
            ret[group_name] = group
    return ret


def _trimmed(eprice: str) -> str:
    return eprice.rstrip("0").rstrip(".") if eprice.endswith(".0") else eprice


def plain_option_dict_convert(contracts: Any) -> dict[Any, list[dict[str, Any]]]:
    ret: dict[Any, list[dict[str, Any]]] = {}
    for group_name, entries in contracts.items():
        for c in entries:
            record = {
                "symbol": "{category}{deliverymonth}{poc}{eprice}".format(
                    **{**c, "eprice": _trimmed(c.get("eprice", ""))}
                ),
                "security_type": "OPT",
                "currency": "TWD",
                "exchange": "TAIFEX",
                "code": c["code"],
                "name": c["csname"],
                "category": c["category"],
                "delivery_month": c["deliverymonth"],
                "strike_price": c["eprice"],
                "option_right": c["poc"],
                "underlying_kind": c["prod_kind"],
                "underlying_code": c["ostock"],
                "unit": _unit(c["basic"]),
                "multiplier": 0,
            }
            group = ret.get(group_name, [])
            group.append(record)
            ret[group_name] = group
    return ret


def plain_tw_index_dict_convert(index_dict: Any) -> dict[str, list[dict[str, Any]]]:
    ret: dict[str, list[dict[str, Any]]] = {"TSE": [], "OTC": []}
    for code, name in index_dict.items():
        exchange = {"0": "TSE", "1": "OTC"}.get(code[0], "")
        ret[exchange].append(
            {
                "symbol": f"{exchange}{code}",
                "security_type": "IND",
                "currency": "TWD",
                "exchange": exchange,
                "code": code,
                "name": name,
            }
        )
    return ret


def tuned_option_dict_convert(contracts: Any) -> dict[Any, list[dict[str, Any]]]:
    """The option conversion as a Python programmer would tune it: f-strings, no copies, setdefault."""
    ret: dict[Any, list[dict[str, Any]]] = {}
    for group_name, entries in contracts.items():
        append = ret.setdefault(group_name, []).append if entries else None
        for c in entries:
            eprice = c["eprice"]
            basic = c["basic"]
            append(
                {
                    "symbol": f"{c['category']}{c['deliverymonth']}{c['poc']}{_trimmed(eprice)}",
                    "security_type": "OPT",
                    "currency": "TWD",
                    "exchange": "TAIFEX",
                    "code": c["code"],
                    "name": c["csname"],
                    "category": c["category"],
                    "delivery_month": c["deliverymonth"],
                    "strike_price": eprice,
                    "option_right": c["poc"],
                    "underlying_kind": c["prod_kind"],
                    "underlying_code": c["ostock"],
                    "unit": basic if basic.__class__ is float else float(basic),
                    "multiplier": 0,
                }
            )
    return ret


PLAIN = {
    "S": plain_stock_dict_convert,
    "F": plain_future_dict_convert,
    "O": plain_option_dict_convert,
    "I": plain_tw_index_dict_convert,
}

# ---- measuring -------------------------------------------------------------------------------


def best_of(fns: list[Callable[[Any], Any]], arg: Any, repeat: int) -> list[float]:
    """Best wall time of each function over `repeat` rounds.

    The functions take turns within each round, so a load that comes and goes on the machine
    falls on all of them alike; each result is freed outside the timed part.
    """
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            result = fn(arg)
            best[i] = min(best[i], time.perf_counter() - start)
            del result
    return best


def raw_lists(client: Any) -> dict[str, Any]:
    """The four contract lists as the download hands them to the conversions."""
    from taloma.backend.http import contract

    return {
        "S": contract._list_stock_code(client)["result"],
        "F": contract._list_futopt_code(product_type="F", detail=True, client=client)["result"]["content"],
        "O": contract._list_futopt_code(product_type="O", detail=True, client=client)["result"]["content"],
        "I": contract._list_tw_index_code(client)["result"],
    }


def size(kind: str, data: Any) -> int:
    return len(data) if kind in ("S", "I") else sum(len(v) for v in data.values())


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7, help="timed runs per measurement (best is kept)")
    args = parser.parse_args(argv)

    import taloma.backend.http as settings
    from taloma.backend.http import contract, utils
    from taloma.backend.http.client import Client
    from taloma.simulator import BrokerSimulator

    native = {
        "S": contract.stock_dict_convert,
        "F": contract.future_dict_convert,
        "O": contract.option_dict_convert,
        "I": contract.tw_index_dict_convert,
    }
    with BrokerSimulator(users=[("B100000001", "bench")], seed=42) as sim:
        settings.api_url_simulation = sim.base_url
        client = Client(simulation=True, proxies=None)
        client.login("B100000001", "bench")
        lists = raw_lists(client)

        print(f"catalogue of the simulated broker (seed 42), best of {args.repeat}")
        print(f"{'type':<5}{'entries':>9}{'plain Python':>15}{'native':>12}{'ratio':>9}")
        conversion_o = 0.0
        for kind in ("S", "F", "O", "I"):
            data = lists[kind]
            if native[kind](data) != PLAIN[kind](data):
                print(f"{kind}: native and plain conversions disagree", file=sys.stderr)
                return 1
            repeat = args.repeat if kind == "O" else args.repeat * 5
            t_plain, t_native = best_of([PLAIN[kind], native[kind]], data, repeat)
            if kind == "O":
                conversion_o = t_native
            print(
                f"{kind:<5}{size(kind, data):>9}{t_plain * 1e3:>12.2f} ms{t_native * 1e3:>9.2f} ms"
                f"{t_plain / t_native:>8.1f}x"
            )

        t_tuned, t_native = best_of([tuned_option_dict_convert, native["O"]], lists["O"], args.repeat)
        print(
            f"O against hand-tuned Python: {t_tuned * 1e3:.2f} ms / {t_native * 1e3:.2f} ms = {t_tuned / t_native:.1f}x"
        )

        # The option list as the service sends it, decoded by each decoder alone.
        body = client.session.post(client.f_list_code_uri, json={"code": "O", "type": "contract"}).content
        t_json, t_msgspec = best_of([json.loads, msgspec.json.decode], body, args.repeat)
        print(
            f"option list reply ({len(body) / 1e6:.1f} MB) decoded: json {t_json * 1e3:.0f} ms,"
            f" msgspec {t_msgspec * 1e3:.0f} ms = {t_json / t_msgspec:.1f}x"
        )

        del lists, body
        gc.collect()
        # The whole download with the replies decoded as before (requests' own json()) and as now,
        # taking turns.
        fast = utils.decode_reply

        def download(decode: Callable[[Any], Any]) -> Callable[[Any], Any]:
            def run(_: Any) -> Any:
                utils.decode_reply = decode
                try:
                    return contract.fetch_available_product(client, "O")
                finally:
                    utils.decode_reply = fast

            return run

        rounds = max(3, args.repeat // 2)
        t_before, t_after = best_of([download(lambda response: response.json()), download(fast)], None, rounds)
        print(
            f'fetch_available_product(client, "O"), best of {rounds}: stdlib json {t_before * 1e3:.0f} ms,'
            f" msgspec {t_after * 1e3:.0f} ms = {t_before / t_after:.2f}x;"
            f" conversion {conversion_o * 1e3:.1f} ms = {conversion_o / t_after:.1%} of it"
            " (the rest is the simulator's reply, HTTP transfer and JSON decoding)"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
