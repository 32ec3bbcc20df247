"""Order requests: property conversion, input preparation, placement, cancel and amend bodies."""

from __future__ import annotations

from types import SimpleNamespace

import pytest

import taloma.backend.http.futureoption.order as fo
from support.orderfakes import FUTURE_ACCOUNT, BrokenReply, StandInClient, future_order
from taloma.backend.http.constant import BaseProps
from taloma.backend.http.futureoption.constant import oprops
from taloma.constant import Action, FuturesOCType, FuturesPriceType, OrderType
from taloma.contracts import Future, Option
from taloma.order import Order, OrderStatus, Trade

PLACE_KEYS = [
    "token",
    "ID",
    "IP",
    "broker_id",
    "account",
    "fut_futopt",
    "stock_id",
    "fut_callput",
    "ord_bs",
    "price",
    "price_type",
    "quantity",
    "ord_type",
    "octype",
    "mttype",
    "composit",
    "web_id",
    "ca_content",
]
PLACE_PARAMS = [
    "product_id",
    "product_type",
    "opt_type",
    "price",
    "price_type",
    "action",
    "order_type",
    "octype",
    "quantity",
    "account",
    "ca_content",
    "client",
]
TXF = Future(code="TXFA4", exchange="TAIFEX")
TXO_CALL = Option(code="TXO17000A4", exchange="TAIFEX", option_right="C")


class TestConvertOrderProps:
    @pytest.mark.parametrize(
        "fields, codes",
        [
            (
                dict(
                    action=Action.Buy,
                    price_type=FuturesPriceType.LMT,
                    order_type=OrderType.ROD,
                    octype=FuturesOCType.Auto,
                ),
                dict(action="B", price_type="LMT", order_type="ROD", octype=" "),
            ),
            (
                dict(
                    action=Action.Sell,
                    price_type=FuturesPriceType.MKT,
                    order_type=OrderType.IOC,
                    octype=FuturesOCType.New,
                ),
                dict(action="S", price_type="MKT", order_type="IOC", octype="0"),
            ),
            (
                dict(action="Sell", price_type="MKP", order_type="FOK", octype="Cover"),
                dict(action="S", price_type="MKP", order_type="FOK", octype="1"),
            ),
            (dict(action="Buy", octype=FuturesOCType.DayTrade), dict(action="B", octype="6")),
        ],
    )
    def test_generic_values_become_service_codes(self, fields, codes):
        got = fo.convert_order_props(Order(**fields))
        assert got == codes
        assert list(got) == [k for k in oprops.keys() if k in codes]  # noqa: SIM118 - a class, not a dict

    @pytest.mark.parametrize("empty", [None, "", 0])
    def test_falsy_values_are_left_out(self, empty):
        order = future_order(action=empty, octype=empty)
        assert fo.convert_order_props(order) == {"price_type": "LMT", "order_type": "ROD"}

    @pytest.mark.parametrize(
        "field, value", [("action", "Hold"), ("octype", Action.Buy), ("order_type", "rod"), ("price_type", 5)]
    )
    def test_an_unknown_generic_value_is_an_attribute_error(self, field, value):
        with pytest.raises(AttributeError):
            fo.convert_order_props(future_order(**{field: value}))

    def test_missing_order_attributes_count_as_false(self):
        assert fo.convert_order_props(SimpleNamespace(action="Sell")) == {"action": "S"}
        # A mapping has no attributes at all: its generic values pass unconverted.
        assert fo.convert_order_props({"action": "Buy", "octype": "Auto"}) == {}

    def test_the_names_listed_by_the_converter_set_decide(self, monkeypatch):
        class OnlyAction(BaseProps):
            action = oprops.action
            octype = None  # listed by nobody: not a converter

        monkeypatch.setattr(fo, "foprops", OnlyAction)
        assert fo.convert_order_props(future_order()) == {"action": "B"}

    def test_a_plain_mapping_converter_set_lists_its_keys(self, monkeypatch):
        # Converters are still looked up as attributes, which a dict lacks.
        monkeypatch.setattr(fo, "foprops", {"action": oprops.action})
        assert fo.convert_order_props(future_order()) == {}


class TestPrepareInput:
    def test_mapping_holds_order_fields_codes_and_contract(self):
        order = future_order(ordno="old", seqno="000009")
        got = fo.prepare_future_input(TXF, order, "CA")
        assert got == {
            "action": "B",
            "price_type": "LMT",
            "order_type": "ROD",
            "price": 17000,
            "quantity": 2,
            "octype": " ",
            "account": FUTURE_ACCOUNT,
            "ordno": "old",
            "seqno": "000009",
            "product_id": "TXFA4",
            "product_type": "F",
            "opt_type": " ",
            "ca_content": "CA",
        }
        assert order.action is Action.Buy and order.octype is FuturesOCType.Auto  # read, never modified

    @pytest.mark.parametrize(
        "prepare, right, opt_type",
        [
            (fo.prepare_future_input, "C", " "),
            (fo.prepare_option_input, "C", "C"),
            (fo.prepare_option_input, "", ""),
            (fo.prepare_futopt_input, "P", "P"),
            (fo.prepare_futopt_input, "", " "),
            (fo.prepare_futopt_input, None, " "),
        ],
    )
    def test_call_put_code(self, prepare, right, opt_type):
        contract = Option(code="TXO", option_right=right)
        got = prepare(contract, future_order(), "CA")
        assert got["opt_type"] == opt_type
        assert got["product_type"] == "O"

    def test_contract_values_replace_order_fields_of_the_same_name(self):
        order = {"product_id": "WRONG", "opt_type": "X", "product_type": "Z", "ca_content": "old", "price": 1}
        got = fo.prepare_option_input(TXO_CALL, order, "CA")
        assert (got["product_id"], got["opt_type"], got["product_type"], got["ca_content"]) == (
            "TXO17000A4",
            "C",
            "O",
            "CA",
        )
        assert order["product_id"] == "WRONG"  # copied, not changed

    @pytest.mark.parametrize("order", [None, 5, ["abc"], [1, 2]])
    def test_an_order_that_is_not_a_record_is_a_type_error(self, order):
        for prepare in (fo.prepare_future_input, fo.prepare_option_input, fo.prepare_futopt_input):
            with pytest.raises(TypeError):
                prepare(TXF, order, "CA")

    @pytest.mark.parametrize(
        "prepare, contract, error",
        [
            (fo.prepare_future_input, SimpleNamespace(security_type="FUT"), AttributeError),
            (fo.prepare_future_input, SimpleNamespace(code="TXF"), AttributeError),
            (fo.prepare_future_input, SimpleNamespace(code="TXF", security_type=""), IndexError),
            (fo.prepare_option_input, SimpleNamespace(code="TXO", security_type="OPT"), AttributeError),
            (fo.prepare_futopt_input, SimpleNamespace(code="TXF", security_type="FUT"), AttributeError),
        ],
    )
    def test_an_incomplete_contract_stops_preparation(self, prepare, contract, error):
        with pytest.raises(error):
            prepare(contract, future_order(), "CA")

    def test_a_future_needs_no_option_right(self):
        got = fo.prepare_future_input(SimpleNamespace(code="TXF", security_type="FUT"), future_order(), "CA")
        assert (got["product_type"], got["opt_type"]) == ("F", " ")


class TestPlacement:
    @pytest.mark.parametrize(
        "place, contract, futopt, callput",
        [
            (fo.place_future_order, TXF, "F", " "),
            (fo.place_option_order, TXO_CALL, "O", "C"),
            (fo.place_futopt_order, TXF, "F", " "),
            (fo.place_futopt_order, TXO_CALL, "O", "C"),
        ],
    )
    def test_one_request_with_the_eighteen_keys_in_order(self, place, contract, futopt, callput):
        client = StandInClient({"success": "True", "result": {"seqno": "1"}})
        reply = place(contract, future_order(), "CA-TEXT", client)
        assert reply == {"success": "True", "result": {"seqno": "1"}}
        assert len(client.session.posts) == 1
        assert client.session.timeouts == [client.timeout]
        uri, body = client.session.posts[0]
        assert uri == client.f_order_uri
        assert list(body) == PLACE_KEYS
        assert body == {
            "token": "tok-123",
            "ID": "A123456789",
            "IP": "203.0.113.7",
            "broker_id": "F002000",
            "account": "7654321",
            "fut_futopt": futopt,
            "stock_id": contract.code,
            "fut_callput": callput,
            "ord_bs": "B",
            "price": 17000,
            "price_type": "LMT",
            "quantity": 2,
            "ord_type": "ROD",
            "octype": " ",
            "mttype": " ",
            "composit": "00",
            "web_id": "Z",
            "ca_content": "CA-TEXT",
        }

    def test_extra_order_fields_never_reach_the_request(self):
        client = StandInClient()
        order = dict(future_order(ordno="k0001", seqno="000001"))
        order.update(mttype="X", composit="99", web_id="Q", combo_leg="TXFB4", IP="6.6.6.6")
        fo.place_futopt_order(TXF, order, "CA", client)
        body = client.session.last
        assert list(body) == PLACE_KEYS
        assert (body["mttype"], body["composit"], body["web_id"], body["IP"]) == (" ", "00", "Z", "203.0.113.7")

    def test_values_are_sent_as_they_arrive(self):
        client = StandInClient()
        fo.place_future_order(TXF, future_order(price=17000.5, quantity=3, action=""), "CA", client)
        body = client.session.last
        assert (body["price"], body["quantity"], body["ord_bs"]) == (17000.5, 3, "")

    @pytest.mark.parametrize(
        "account, broker_id, account_id",
        [
            ({}, "", ""),
            ({"broker_id": "F1"}, "F1", ""),
            ({"account_id": "99"}, "", "99"),
            (FUTURE_ACCOUNT, "F002000", "7654321"),
        ],
    )
    def test_missing_account_entries_are_empty(self, account, broker_id, account_id):
        client = StandInClient()
        fo.place_future_order(TXF, future_order(account=account), "CA", client)
        assert (client.session.last["broker_id"], client.session.last["account"]) == (broker_id, account_id)

    def test_a_failed_reply_is_returned_undecided(self):
        failed = {"success": "False", "msg": "no margin", "result": {}}
        assert fo.place_future_order(TXF, future_order(), "CA", StandInClient(failed)) == failed

    @pytest.mark.parametrize(
        "missing", ["price", "price_type", "action", "order_type", "octype", "quantity", "account"]
    )
    def test_an_order_without_a_needed_field_sends_nothing(self, missing):
        client = StandInClient()
        order = dict(future_order())
        del order[missing]
        with pytest.raises(TypeError):
            fo.place_futopt_order(TXF, order, "CA", client)
        assert client.session.posts == []

    @pytest.mark.parametrize("extra", [{"client": "other"}, {1: "not a keyword"}])
    def test_an_order_that_cannot_be_spread_sends_nothing(self, extra):
        client = StandInClient()
        order = dict(future_order()) | extra
        for place in (fo.place_future_order, fo.place_option_order, fo.place_futopt_order):
            with pytest.raises(TypeError):
                place(TXO_CALL, order, "CA", client)
        assert client.session.posts == []

    def test_placement_goes_through_the_module_twin_by_keyword(self, monkeypatch):
        seen = []
        monkeypatch.setattr(fo, "_place_futopt_order", lambda **kw: seen.append(kw) or {"success": "True"})
        client = StandInClient()
        order = future_order(seqno="7")
        assert fo.place_option_order(TXO_CALL, order, "CA", client) == {"success": "True"}
        assert seen == [fo.prepare_option_input(TXO_CALL, order, "CA") | {"client": client}]

    def test_a_reply_that_is_not_json_propagates(self):
        with pytest.raises(ValueError):
            fo.place_future_order(TXF, future_order(), "CA", StandInClient(BrokenReply()))

    def test_network_errors_propagate(self):
        client = StandInClient()

        def down(uri, json=None, timeout=None):
            raise ConnectionError("unreachable")

        client.session.post = down
        with pytest.raises(ConnectionError):
            fo.place_future_order(TXF, future_order(), "CA", client)


class TestPrivatePlacement:
    def args(self, client):
        return dict(
            product_id="TXFA4",
            product_type="F",
            opt_type=" ",
            price=1,
            price_type="LMT",
            action="B",
            order_type="ROD",
            octype=" ",
            quantity=1,
            account=FUTURE_ACCOUNT,
            ca_content="CA",
            client=client,
        )

    def test_positional_and_keyword_calls_agree_and_extras_are_ignored(self):
        a, b = StandInClient(), StandInClient()
        kw = self.args(a)
        fo._place_futopt_order(*kw.values())
        fo._place_futopt_order(**self.args(b), ordno="x", seqno="y", combo=[1, 2])
        assert a.session.last == b.session.last
        assert list(b.session.last) == PLACE_KEYS

    @pytest.mark.parametrize("missing", PLACE_PARAMS)
    def test_each_named_parameter_is_required(self, missing):
        client = StandInClient()
        kw = self.args(client)
        del kw[missing]
        with pytest.raises(TypeError):
            fo._place_futopt_order(**kw)
        assert client.session.posts == []


def make_trade(contract=TXF, **order_fields):
    order = future_order(ordno="k0001", seqno="000001", **order_fields)
    return Trade(contract=contract, order=order, status=OrderStatus(id="TXFA4-000001"))


CANCEL_KEYS = ["token", "ID", "IP", "broker_id", "account", "stock_id", "ordno", "seqno", "web_id", "ca_content"]
PRICE_KEYS = [
    "token",
    "ID",
    "IP",
    "broker_id",
    "account",
    "stock_id",
    "fut_futopt",
    "price",
    "price_type",
    "ord_type",
    "ordno",
    "seqno",
    "web_id",
    "ca_content",
]
QTY_KEYS = [
    "token",
    "ID",
    "IP",
    "broker_id",
    "account",
    "stock_id",
    "fut_futopt",
    "quantity",
    "ordno",
    "seqno",
    "web_id",
    "ca_content",
]
COMMON = {"token": "tok-123", "ID": "A123456789", "IP": "203.0.113.7", "broker_id": "F002000", "account": "7654321"}


class TestCancelAndAmend:
    def test_cancel_request(self):
        client = StandInClient()
        fo.cancel_futopt_order(make_trade(), "CA", client)
        uri, body = client.session.posts[0]
        assert uri == client.f_order_cancel_uri
        assert list(body) == CANCEL_KEYS
        assert body == COMMON | {
            "stock_id": "TXFA4",
            "ordno": "k0001",
            "seqno": "000001",
            "web_id": "Z",
            "ca_content": "CA",
        }

    @pytest.mark.parametrize("contract, futopt", [(TXF, "F"), (TXO_CALL, "O")])
    def test_price_change_request(self, contract, futopt):
        client = StandInClient()
        trade = make_trade(contract, price_type=FuturesPriceType.MKP, order_type="whatever")
        fo.update_futopt_order_price(trade, "CA", client, 17050.5)
        uri, body = client.session.posts[0]
        assert uri == client.f_order_chprice_uri
        assert list(body) == PRICE_KEYS
        # Price and order type go out as the order holds them: no conversion.
        assert body == COMMON | {
            "stock_id": contract.code,
            "fut_futopt": futopt,
            "price": 17050.5,
            "price_type": FuturesPriceType.MKP,
            "ord_type": "whatever",
            "ordno": "k0001",
            "seqno": "000001",
            "web_id": "Z",
            "ca_content": "CA",
        }

    @pytest.mark.parametrize("contract, futopt", [(TXF, "F"), (TXO_CALL, "O")])
    def test_quantity_change_request(self, contract, futopt):
        client = StandInClient()
        fo.update_futopt_order_qty(make_trade(contract), "CA", client, 1)
        uri, body = client.session.posts[0]
        assert uri == client.f_order_chqty_uri
        assert list(body) == QTY_KEYS
        assert body == COMMON | {
            "stock_id": contract.code,
            "fut_futopt": futopt,
            "quantity": 1,
            "ordno": "k0001",
            "seqno": "000001",
            "web_id": "Z",
            "ca_content": "CA",
        }

    @pytest.mark.parametrize(
        "call",
        [
            lambda t, c: fo.cancel_futopt_order(t, "CA", c),
            lambda t, c: fo.update_futopt_order_price(t, "CA", c, 1),
            lambda t, c: fo.update_futopt_order_qty(t, "CA", c, 1),
        ],
        ids=["cancel", "price", "qty"],
    )
    def test_an_account_without_broker_id_sends_empty(self, call):
        client = StandInClient()
        call(make_trade(account={"account_id": "7654321"}), client)
        assert (client.session.last["broker_id"], client.session.last["account"]) == ("", "7654321")

    @pytest.mark.parametrize(
        "call, broken",
        [
            (lambda t, c: fo.cancel_futopt_order(t, "CA", c), "contract"),
            (lambda t, c: fo.cancel_futopt_order(t, "CA", c), "order"),
            (lambda t, c: fo.cancel_futopt_order(t, "CA", c), "order.ordno"),
            (lambda t, c: fo.cancel_futopt_order(t, "CA", c), "order.seqno"),
            (lambda t, c: fo.cancel_futopt_order(t, "CA", c), "order.account"),
            (lambda t, c: fo.update_futopt_order_price(t, "CA", c, 1), "order.price_type"),
            (lambda t, c: fo.update_futopt_order_price(t, "CA", c, 1), "order.order_type"),
            (lambda t, c: fo.update_futopt_order_price(t, "CA", c, 1), "contract.security_type"),
            (lambda t, c: fo.update_futopt_order_qty(t, "CA", c, 1), "order.seqno"),
            (lambda t, c: fo.update_futopt_order_qty(t, "CA", c, 1), "contract.code"),
        ],
    )
    def test_a_trade_missing_a_field_sends_nothing(self, call, broken):
        client = StandInClient()
        contract = SimpleNamespace(code="TXFA4", security_type="FUT")
        order = SimpleNamespace(ordno="k1", seqno="1", account={}, price_type="LMT", order_type="ROD")
        trade = SimpleNamespace(contract=contract, order=order)
        owner, _, name = broken.rpartition(".")
        delattr(getattr(trade, owner) if owner else trade, name)
        with pytest.raises(AttributeError):
            call(trade, client)
        assert client.session.posts == []

    @pytest.mark.parametrize(
        "public, private, extra, expected",
        [
            (
                fo.cancel_futopt_order,
                "_cancel_futopt_order",
                (),
                dict(product_id="TXFA4", ordno="k0001", seqno="000001", ca_content="CA", account=FUTURE_ACCOUNT),
            ),
            (
                fo.update_futopt_order_price,
                "_update_futopt_order_price",
                (99,),
                dict(
                    product_id="TXFA4",
                    product_type="F",
                    price=99,
                    price_type=FuturesPriceType.LMT,
                    ord_type=OrderType.ROD,
                    ordno="k0001",
                    seqno="000001",
                    ca_content="CA",
                    account=FUTURE_ACCOUNT,
                ),
            ),
            (
                fo.update_futopt_order_qty,
                "_update_futopt_order_qty",
                (1,),
                dict(
                    product_id="TXFA4",
                    product_type="F",
                    qty=1,
                    ordno="k0001",
                    seqno="000001",
                    ca_content="CA",
                    account=FUTURE_ACCOUNT,
                ),
            ),
        ],
        ids=["cancel", "price", "qty"],
    )
    def test_public_functions_call_their_twin_by_keyword(self, monkeypatch, public, private, extra, expected):
        seen = []
        monkeypatch.setattr(fo, private, lambda **kw: seen.append(kw) or "reply")
        client = StandInClient()
        assert public(make_trade(), "CA", client, *extra) == "reply"
        assert seen == [expected | {"client": client}]
        assert list(seen[0]) == [*expected, "client"]

    @pytest.mark.parametrize(
        "private, params",
        [
            (fo._cancel_futopt_order, ["product_id", "ordno", "seqno", "ca_content", "account", "client"]),
            (
                fo._update_futopt_order_price,
                [
                    "product_id",
                    "product_type",
                    "price",
                    "price_type",
                    "ord_type",
                    "ordno",
                    "seqno",
                    "ca_content",
                    "account",
                    "client",
                ],
            ),
            (
                fo._update_futopt_order_qty,
                ["product_id", "product_type", "qty", "ordno", "seqno", "ca_content", "account", "client"],
            ),
        ],
        ids=["cancel", "price", "qty"],
    )
    def test_private_twins_require_their_parameters_and_ignore_extras(self, private, params):
        client = StandInClient()
        values = {p: (client if p == "client" else {} if p == "account" else p.upper()) for p in params}
        private(*values.values())
        private(**values, octype="1", combo="x")
        assert client.session.posts[0] == client.session.posts[1]
        for missing in params:
            with pytest.raises(TypeError):
                private(**{k: v for k, v in values.items() if k != missing})
        assert len(client.session.posts) == 2
