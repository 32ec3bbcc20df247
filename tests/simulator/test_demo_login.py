"""The demo's login section against the simulated broker."""

from __future__ import annotations

import io

import pytest

from taloma.demo import Demo, login
from taloma.simulator import BrokerSimulator


@pytest.mark.parametrize("password,logged_in", [(login.PASSWORD, True), ("not-the-demo-password", False)])
def test_login_section(monkeypatch, password, logged_in) -> None:
    import taloma.backend.http as settings

    out = io.StringIO()
    ctx = Demo(out=out)
    with BrokerSimulator(users=[(login.PERSON_ID, password)]) as broker:
        monkeypatch.setattr(settings, "api_url_simulation", broker.base_url)
        login.run(ctx)
    text = out.getvalue()
    assert ctx.client is not None and bool(ctx.client._token) is logged_in
    if logged_in:
        assert ctx.failures == [] and "account_id='1234567'" in text and "default futopt account: Future" in text
    else:
        assert ctx.failures == [f"log in as {login.PERSON_ID}"] and "refused" in text
