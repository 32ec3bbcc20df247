"""Fault injection of the simulated broker (failing and delayed replies), its options and sessions."""

from __future__ import annotations

import pytest
import requests

import taloma.simulator.server as server
from support.broker import Broker
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


@pytest.mark.parametrize(
    "options, error, named",
    [
        ({"sped": 2.0}, TypeError, "sped"),
        ({"trusted_cas": ["ca.pem"]}, TypeError, "trusted_cas"),
        ({"speed": 1e11}, ValueError, "speed"),
        ({"speed": 0.0}, ValueError, "speed"),
        ({"speed": float("inf")}, ValueError, "speed"),
        ({"speed": float("nan")}, ValueError, "speed"),
        ({"speed": "fast"}, TypeError, "speed"),
        ({"port": 70000}, ValueError, "port"),
        ({"port": -1}, ValueError, "port"),
        ({"latency": float("nan")}, ValueError, "latency"),
        ({"idle_timeout": 0}, ValueError, "idle_timeout"),
        ({"catalogue_stocks": 0}, ValueError, "catalogue_stocks"),
        ({"clock": "2026-01-05"}, TypeError, "clock"),
    ],
)
def test_unknown_keywords_and_values_out_of_range_are_refused(options, error, named):
    with pytest.raises(error, match=named) as caught:
        BrokerSimulator(**options)
    if error is TypeError and named not in ("speed", "clock"):
        assert "valid:" in str(caught.value) and "catalogue_stocks" in str(caught.value)


def test_expired_sessions_must_log_in_again(fresh_broker):
    broker = Broker(fresh_broker)
    assert broker.query()["success"] == "True"
    fresh_broker.expire_sessions()
    assert broker.query()["msg"] == "invalid or expired token"
    assert Broker(fresh_broker).query()["success"] == "True"
