"""Demo section: a simulation client logs in and lists the user's accounts."""

from __future__ import annotations

from typing import Any

from taloma.demo import Demo, StepFailed

# The simulated broker's default user.
PERSON_ID = "A123456789"
PASSWORD = "taloma-demo"


def _show(ctx: Demo, title: str, accounts: Any) -> None:
    ctx.say(f"   {title}:")
    for account in accounts or ["(none)"]:
        ctx.say(f"     {account}")


def run(ctx: Demo) -> None:
    from taloma.backend.http.client import Client

    with ctx.step("create a simulation client"):
        ctx.client = Client(simulation=True, proxies=None)
        ctx.say(f"   service {ctx.client.api_uri}")

    with ctx.step(f"log in as {PERSON_ID}"):
        if ctx.client is None:
            raise StepFailed("no client to log in with")
        stock, futures = ctx.client.login(PERSON_ID, PASSWORD)
        if not ctx.client._token:
            raise StepFailed("the service refused the login")
        ctx.say(f"   public IP {ctx.client._public_ip}, token {ctx.client._token[:8]}...")
        _show(ctx, f"accounts ({len(stock)} stock, {len(futures)} futures/options)", ctx.client.accounts)
        ctx.say(f"   default stock account:  {ctx.client.default_stock_account}")
        ctx.say(f"   default futopt account: {ctx.client.default_futopt_account}")
