"""Fixtures shared by every test folder: the simulated broker, clients pointed at it, the test PKI.

Test folders are not packages: pytest puts this folder on sys.path (helpers import as ``support.xxx``)
and every test file's name is unique across the folders.
"""

from __future__ import annotations

import pytest

import taloma.backend.http as settings
from support.broker import PASSWORD, PERSON_ID
from support.pki_certs import make_certs
from taloma.simulator import BrokerSimulator


@pytest.fixture(scope="session")
def broker():
    """One simulated broker for the whole run (state persists between tests)."""
    with BrokerSimulator(users=[(PERSON_ID, PASSWORD), ("B987654321", "other-pass")], seed=7) as sim:
        yield sim


@pytest.fixture
def fresh_broker():
    """A simulated broker of the test's own, for tests that change or inspect its state."""
    with BrokerSimulator(users=[(PERSON_ID, PASSWORD)], seed=11) as sim:
        yield sim


@pytest.fixture
def sim_settings(broker, monkeypatch):
    """Point the simulation address at the shared broker for one test."""
    monkeypatch.setattr(settings, "api_url_simulation", broker.base_url)
    return broker


@pytest.fixture
def client(sim_settings):
    """A logged-in simulation client."""
    from taloma.backend.http.client import Client

    c = Client(simulation=True, proxies=None)
    c.login(PERSON_ID, PASSWORD)
    assert c._token
    return c


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    """The test PKI (support/pki/make_certs.sh): file name -> path, password 1234."""
    return make_certs(tmp_path_factory.mktemp("pki"))
