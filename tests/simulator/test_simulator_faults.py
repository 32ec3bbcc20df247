"""Fault injection of the simulated broker: failing and delayed replies."""

from __future__ import annotations

import pytest
import requests

import taloma.simulator.server as server
from taloma.simulator import BrokerSimulator


@pytest.fixture
def sleeps(monkeypatch):
    """Records the server's sleeps instead of sleeping."""
    calls: list[float] = []
    monkeypatch.setattr(server.time, "sleep", calls.append)
    return calls


def _ip_replies(sim: BrokerSimulator, n: int) -> list[dict]:
    with requests.Session() as session:
        return [session.get(sim.api_uri + "getClientIP").json() for _ in range(n)]


@pytest.mark.parametrize(
    "options, expected_sleeps",
    [
        ({}, []),
        ({"latency": 0.25}, [0.25] * 5),
        ({"delay_share": 1.0, "delay": 0.5}, [0.5] * 5),
        ({"latency": 0.1, "delay_share": 1.0, "delay": 0.5}, [0.1, 0.5] * 5),
        ({"delay_share": 0.0, "delay": 0.5}, []),
    ],
)
def test_delays(sleeps, options, expected_sleeps):
    with BrokerSimulator(seed=1, **options) as sim:
        replies = _ip_replies(sim, 5)
    assert all(r["success"] == "True" for r in replies)
    assert sleeps == expected_sleeps


def test_delay_share_picks_some_replies(sleeps):
    with BrokerSimulator(seed=3, delay_share=0.5, delay=2.0) as sim:
        _ip_replies(sim, 200)
    assert set(sleeps) == {2.0}
    assert 50 < len(sleeps) < 150


@pytest.mark.parametrize("share, failures", [(0.0, 0), (1.0, 20)])
def test_failure_rate(share, failures):
    with BrokerSimulator(seed=5, failure_rate=share) as sim:
        replies = _ip_replies(sim, 20)
    failed = [r for r in replies if r["success"] != "True"]
    assert len(failed) == failures
    assert all(r["msg"] == "simulated failure" for r in failed)


@pytest.mark.parametrize(
    "options",
    [{"failure_rate": 1.5}, {"failure_rate": -0.1}, {"delay_share": 2.0}, {"latency": -1.0}, {"delay": -0.5}],
)
def test_bad_options_are_refused(options):
    with pytest.raises(ValueError):
        BrokerSimulator(**options)
