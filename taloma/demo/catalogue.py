"""Demo section: the four contract lists downloaded, counted per group, and one future and one option kept."""

from __future__ import annotations

import time
from typing import Any

from taloma.demo import Demo, StepFailed

KINDS = (("S", "stocks"), ("F", "futures"), ("O", "options"), ("I", "indices"))
# Groups listed one by one up to this many; beyond it, the largest ones and a tally.
LISTED = 6


def _summary(ctx: Demo, groups: dict[str, list[dict[str, Any]]]) -> None:
    total = sum(len(v) for v in groups.values())
    ctx.say(f"   {total} contracts in {len(groups)} groups")
    shown = groups.items() if len(groups) <= LISTED else sorted(groups.items(), key=lambda kv: -len(kv[1]))[:LISTED]
    for name, records in shown:
        ctx.say(f"     {name:<6} {len(records):>6}   e.g. {records[0]['symbol'] if records else '-'}")
    if len(groups) > LISTED:
        rest = total - sum(len(v) for _, v in shown)
        ctx.say(f"     ... {len(groups) - LISTED} more groups with {rest} contracts")


def _record_fields(record: dict[str, Any]) -> dict[str, Any]:
    # The contract records take every field of a catalogue record but the currency.
    return {k: v for k, v in record.items() if k != "currency"}


def _keep_future(ctx: Demo, futures: dict[str, list[dict[str, Any]]]) -> None:
    from taloma.contracts import Future

    near = futures.get("TXF") or next((v for v in futures.values() if v), None)
    if not near:
        raise StepFailed("the futures list is empty")
    ctx.data["future"] = Future(**_record_fields(near[0]))
    ctx.say(f"   kept for the orders: {ctx.data['future']}")


def _keep_option(ctx: Demo, options: dict[str, list[dict[str, Any]]]) -> None:
    from taloma.contracts import Option

    series = options.get("TXO") or next((v for v in options.values() if v), None)
    if not series:
        raise StepFailed("the options list is empty")
    month = series[0]["delivery_month"]
    calls = [r for r in series if r["delivery_month"] == month and r["option_right"] == "C"]
    at_the_money = calls[len(calls) // 2] if calls else series[0]
    ctx.data["option"] = Option(**_record_fields(at_the_money))
    ctx.say(f"   kept for the orders: {ctx.data['option']}")


def run(ctx: Demo) -> None:
    from taloma.backend.http.contract import fetch_available_product

    for product_type, title in KINDS:
        with ctx.step(f"download the {title} (product type {product_type!r})"):
            if ctx.client is None:
                raise StepFailed("no client")
            start = time.perf_counter()
            groups = fetch_available_product(ctx.client, product_type)
            ctx.say(f"   downloaded and converted in {time.perf_counter() - start:.2f} s")
            if not any(groups.values()):
                raise StepFailed(f"no {title} in the catalogue")
            _summary(ctx, groups)
            if product_type == "F":
                _keep_future(ctx, groups)
            elif product_type == "O":
                _keep_option(ctx, groups)
