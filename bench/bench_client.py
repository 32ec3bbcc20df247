"""Client construction and login against the simulated broker on loopback.

The login is two HTTP exchanges (public IP, then token); its cost is compared with the same two
exchanges made directly through a requests session, so the ratio is what the client adds.
"""

from __future__ import annotations

import hashlib

import requests

import taloma.backend.http as settings
from bench_order import best_of
from taloma.backend.http.client import Client
from taloma.simulator import BrokerSimulator

PERSON_ID, PASSWORD = "A123456789", "taloma-demo"


def main() -> None:
    with BrokerSimulator() as broker:
        settings.api_url_simulation = broker.base_url
        construct = best_of(5, 2000, lambda: Client(True, None))

        client = Client(True, None)
        login = best_of(5, 100, lambda: client.login(PERSON_ID, PASSWORD))

        session = requests.Session()
        body = {"user_id": PERSON_ID, "password": hashlib.md5(PASSWORD.encode()).hexdigest(), "domain": "python-api"}

        def raw() -> None:
            session.get(client.public_ip_uri, timeout=client.timeout).json()
            session.post(client.login_uri, json=body, timeout=client.timeout).json()

        bare = best_of(5, 100, raw)
    print(f"Client(True, None)        {construct * 1e6:8.1f} us")
    print(f"login (2 exchanges)       {login * 1e6:8.1f} us")
    print(f"same exchanges, requests  {bare * 1e6:8.1f} us")
    print(f"login / bare exchanges    {login / bare:8.3f}")


if __name__ == "__main__":
    main()
