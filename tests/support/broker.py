"""The simulated broker's login, and a logged-in HTTP conversation with it as the order tests hold one."""

from __future__ import annotations

import datetime as dt
import hashlib

import requests

from taloma.simulator import BrokerSimulator

# The user of the shared simulated broker (conftest.py) and its futures account.
PERSON_ID, PASSWORD = "A123456789", "correct-horse"
BROKER_ID, ACCOUNT = "F002000", "7654321"


class Broker:
    """A logged-in conversation with one simulator."""

    def __init__(
        self, sim: BrokerSimulator, person_id: str = PERSON_ID, password: str = PASSWORD, account: str = ACCOUNT
    ) -> None:
        self.sim, self.person_id, self.account = sim, person_id, account
        self.http = requests.Session()
        reply = self.post(
            "getToken",
            {"user_id": person_id, "password": hashlib.md5(password.encode()).hexdigest(), "domain": "python-api"},
        )
        self.token = reply["result"]["token"]

    def post(self, path, body):
        return self.http.post(self.sim.api_uri + path, json=body, timeout=10).json()

    def place(self, **change):
        return self.post("Future/order", self.order_body(**change))

    def order_body(self, **change):
        body = {
            "token": self.token,
            "ID": self.person_id,
            "IP": "127.0.0.1",
            "broker_id": BROKER_ID,
            "account": self.account,
            "fut_futopt": "F",
            "stock_id": "TXFA4",
            "fut_callput": " ",
            "ord_bs": "B",
            "price": 17000,
            "price_type": "LMT",
            "quantity": 3,
            "ord_type": "ROD",
            "octype": " ",
            "mttype": " ",
            "composit": "00",
            "web_id": "Z",
            "ca_content": "CA",
        }
        return body | change

    def amend(self, path, placed, **change):
        result = placed["result"]
        body = {
            "token": self.token,
            "ID": self.person_id,
            "IP": "127.0.0.1",
            "broker_id": BROKER_ID,
            "account": self.account,
            "stock_id": result["stock_id"],
            "ordno": result["ordno"],
            "seqno": result["seqno"],
            "web_id": "Z",
            "ca_content": "CA",
        }
        if path != "Future/cancel":
            body["fut_futopt"] = "F"
        return self.post(path, body | change)

    def query(self, **change):
        today = dt.date.today().strftime("%Y%m%d")
        body = {
            "token": self.token,
            "action": "account",
            "user_id": self.person_id,
            "broker_id": BROKER_ID,
            "account": self.account,
            "start_date": today,
            "end_date": today,
        }
        return self.post("Future/FOrderStatusQuery", body | change)

    def entry(self, placed, **query):
        seqno = placed["result"]["seqno"]
        reply = self.query(**query)
        assert reply["success"] == "True", reply
        found = [e for e in reply["result"] if e["st_seqno"] == seqno]
        assert len(found) == 1
        return found[0]
