// taloma.backend.http.futureoption.order: futures and options orders over the
// broker's HTTP service, and the conversion of its replies into records.
//
// Companion names (foprops, Order, hash_orderid, ...) are looked up in the
// module's globals at call time, and the public functions reach their private
// twins the same way, so a program can rebind any of them on the module.
#include <nanobind/nanobind.h>

#include <Python.h>
#include <datetime.h>

#include <taloma/capi.hpp>

namespace nb = nanobind;
using namespace nb::literals;
using taloma::py::attr;
using taloma::py::call;
using taloma::py::call_kw;
using taloma::py::call_method;
using taloma::py::check;
using taloma::py::equals;
using taloma::py::put;
using taloma::py::raise;
using taloma::py::Ref;
using taloma::py::set_attr;
using taloma::py::steal;
using taloma::text::digits;
using taloma::py::truthy;

namespace {

// clang-format off
#define ORDER_NAMES(X)                                                                                             \
    /* module globals */                                                                                           \
    X(dt, "dt") X(log, "log") X(FutureAccount, "FutureAccount") X(Future, "Future") X(Contract, "Contract")       \
    X(Option, "Option") X(Order, "Order") X(Trade, "Trade") X(OrderStatus, "OrderStatus") X(Status, "Status")     \
    X(hash_orderid, "hash_orderid") X(decode_reply, "decode_reply") X(masked, "masked") X(foprops, "foprops")     \
    X(_place_futopt_order, "_place_futopt_order") X(_cancel_futopt_order, "_cancel_futopt_order")                 \
    X(_update_futopt_order_price, "_update_futopt_order_price")                                                  \
    X(_update_futopt_order_qty, "_update_futopt_order_qty") X(_query_futopt_order, "_query_futopt_order")         \
    /* attributes and methods */                                                                                   \
    X(get, "get") X(keys, "keys") X(strip, "strip") X(json, "json") X(timeout, "timeout") X(post, "post")         \
    X(content, "content") X(debug, "debug") X(error, "error") X(isEnabledFor, "isEnabledFor")                     \
    X(session, "session") X(_token, "_token") X(person_id, "person_id") X(_public_ip, "_public_ip")               \
    X(accounts, "accounts") X(code, "code") X(security_type, "security_type") X(option_right, "option_right")     \
    X(contract, "contract") X(order, "order") X(status, "status") X(datetime_cls, "datetime") X(date_cls, "date") \
    X(strptime, "strptime") X(today, "today") X(strftime, "strftime") X(PendingSubmit, "PendingSubmit")           \
    X(Failed, "Failed") X(status_code, "status_code") X(msg, "msg") X(deal_quantity, "deal_quantity")             \
    X(cancel_quantity, "cancel_quantity") X(modified_price, "modified_price") X(f_order_uri, "f_order_uri")       \
    X(f_order_cancel_uri, "f_order_cancel_uri") X(f_order_chqty_uri, "f_order_chqty_uri")                         \
    X(f_order_chprice_uri, "f_order_chprice_uri") X(f_query_order_uri, "f_query_order_uri")                       \
    /* keyword names of calls */                                                                                   \
    X(product_id, "product_id") X(product_type, "product_type") X(opt_type, "opt_type")                           \
    X(ca_content, "ca_content") X(client, "client") X(price, "price") X(qty, "qty") X(ord_type, "ord_type")       \
    X(exchange, "exchange") X(name, "name") X(order_id, "order_id") X(order_datetime, "order_datetime")           \
    X(id, "id")                                                                                                    \
    /* request and reply keys */                                                                                   \
    X(token, "token") X(ID, "ID") X(IP, "IP") X(broker_id, "broker_id") X(account, "account")                     \
    X(account_id, "account_id") X(fut_futopt, "fut_futopt") X(stock_id, "stock_id") X(fut_callput, "fut_callput") \
    X(ord_bs, "ord_bs") X(price_type, "price_type") X(quantity, "quantity") X(order_type, "order_type")           \
    X(octype, "octype") X(mttype, "mttype") X(composit, "composit") X(web_id, "web_id") X(ordno, "ordno")         \
    X(seqno, "seqno") X(action, "action") X(user_id, "user_id") X(start_date, "start_date")                       \
    X(end_date, "end_date") X(result, "result") X(ord_date, "ord_date") X(ord_time, "ord_time")                   \
    X(st_comno, "st_comno") X(st_seqno, "st_seqno") X(st_ordno, "st_ordno") X(st_orddt, "st_orddt")               \
    X(st_ordtm, "st_ordtm") X(st_comtype, "st_comtype") X(name_zh, "name_zh") X(st_ps, "st_ps")                   \
    X(st_ordknd, "st_ordknd") X(st_price1, "st_price1") X(st_ordqty, "st_ordqty") X(st_code, "st_code")           \
    X(st_errmsg, "st_errmsg") X(st_ord_match_qty, "st_ord_match_qty") X(st_cancel_qty, "st_cancel_qty")           \
    X(st_chg_price1, "st_chg_price1")                                                                              \
    /* values */                                                                                                   \
    X(empty, "") X(blank, " ") X(zero2, "00") X(Z, "Z") X(F, "F") X(O, "O") X(B, "B") X(IOC, "IOC")                \
    X(MKT, "MKT") X(LMT, "LMT") X(TAIFEX, "TAIFEX") X(FUT, "FUT") X(ymd, "%Y%m%d")                                \
    X(fmt_query, "%Y%m%d%H%M%S") X(fmt_placed, "%Y%m%d%H:%M:%S")
// clang-format on
TALOMA_NAMES(OrderNames, ORDER_NAMES);

struct OrderState : OrderNames {
    PyObject* globals = nullptr;  // the module's namespace: companions are read there at call time
    Ref datetime;                 // the real datetime module (fast date-time path)
    Ref missing;                  // sentinel for mapping lookups
    Ref zero;
    // keyword tuples of calls and record constructors
    Ref kw_post, kw_contract, kw_future, kw_order, kw_status_query, kw_status_placed, kw_trade;

    bool init(PyObject* module) {
        if (!OrderNames::init()) return false;
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) return false;
        using taloma::py::name_tuple;
        globals = Py_NewRef(PyModule_GetDict(module));
        datetime = Ref(PyImport_ImportModule("datetime"));
        missing = Ref(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
        zero = Ref(PyLong_FromLong(0));
        kw_post = Ref(name_tuple({json, timeout}));
        kw_contract = Ref(name_tuple({security_type, exchange, code, name}));
        kw_future = Ref(name_tuple({exchange, code, name}));
        kw_order = Ref(name_tuple({action, price_type, order_type, price, quantity, ordno, seqno}));
        kw_status_query = Ref(name_tuple({order_id, order_datetime, status}));
        kw_status_placed = Ref(name_tuple({id, order_datetime, status}));
        kw_trade = Ref(name_tuple({contract, order, status}));
        return datetime && missing && zero && kw_post && kw_contract && kw_future && kw_order && kw_status_query &&
               kw_status_placed && kw_trade;
    }
};

const OrderState& S() { return taloma::py::state<OrderState>(); }

// ---------------------------------------------------------------- helpers

nb::object global(PyObject* name) { return taloma::py::global(S().globals, name); }

// getattr(obj, name, None) that lets every error but AttributeError through;
// an invalid object means "absent".
nb::object optional_attr(nb::handle obj, nb::handle name) {
    PyObject* out = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    if (PyObject_GetOptionalAttr(obj.ptr(), name.ptr(), &out) < 0) raise();
#else
    if (_PyObject_LookupAttr(obj.ptr(), name.ptr(), &out) < 0) raise();
#endif
    return nb::steal(out);
}

// mapping.get(key); an invalid object when the key is absent.
nb::object lookup(nb::handle mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key);
        if (!v) {
            if (PyErr_Occurred()) raise();
            return {};
        }
        return nb::borrow(v);
    }
    const OrderState& s = S();
    nb::object v = call_method(mapping, s.get, {key, s.missing.get()});
    if (v.ptr() == s.missing.get()) return {};
    return v;
}

// mapping.get(key, default)
nb::object get(nb::handle mapping, PyObject* key, PyObject* dflt) {
    nb::object v = lookup(mapping, key);
    return v.is_valid() ? v : nb::borrow(dflt);
}

// getattr(converter, name) where name is a generic value or a service code.
nb::object convert(nb::handle converter, nb::handle name) {
    PyObject* n = name.ptr();
    if (!PyUnicode_Check(n)) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute %R", Py_TYPE(converter.ptr())->tp_name, n);
        raise();
    }
    if (PyUnicode_CheckExact(n)) return attr(converter, n);
    // A text enumeration member names the attribute by its text.
    nb::object exact = steal(PyUnicode_FromObject(n));
    return attr(converter, exact.ptr());
}

// ---------------------------------------------------------------- date-times

// The canonical, valid texts of the two formats, parsed without strptime;
// everything else (odd but accepted forms, and every error) is strptime's.
PyObject* fast_datetime(PyObject* text, bool colons) {
    if (!PyUnicode_IS_ASCII(text)) return nullptr;
    const Py_ssize_t len = PyUnicode_GET_LENGTH(text);
    const auto* s = static_cast<const Py_UCS1*>(PyUnicode_DATA(text));
    int y, mo, d, h, mi, se;
    if (colons) {
        if (len != 16 || s[10] != ':' || s[13] != ':') return nullptr;
        if (!digits(s, 4, y) || !digits(s + 4, 2, mo) || !digits(s + 6, 2, d) || !digits(s + 8, 2, h) ||
            !digits(s + 11, 2, mi) || !digits(s + 14, 2, se))
            return nullptr;
    } else {
        if (len != 14) return nullptr;
        if (!digits(s, 4, y) || !digits(s + 4, 2, mo) || !digits(s + 6, 2, d) || !digits(s + 8, 2, h) ||
            !digits(s + 10, 2, mi) || !digits(s + 12, 2, se))
            return nullptr;
    }
    if (!taloma::text::valid_datetime(y, mo, d, h, mi, se)) return nullptr;
    return PyDateTime_FromDateAndTime(y, mo, d, h, mi, se, 0);
}

// date + time parsed with fmt; none for an empty concatenation.
nb::object order_datetime(nb::handle date, nb::handle time, bool colons) {
    const OrderState& s = S();
    if (!PyUnicode_Check(date.ptr()) || !PyUnicode_Check(time.ptr())) {
        PyErr_Format(PyExc_TypeError, "order date and time must be texts, not '%.50s' and '%.50s'",
                     Py_TYPE(date.ptr())->tp_name, Py_TYPE(time.ptr())->tp_name);
        raise();
    }
    nb::object text = steal(PyUnicode_Concat(date.ptr(), time.ptr()));
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return nb::none();
    nb::object dt = global(s.dt);
    if (dt.ptr() == s.datetime.get()) {
        if (PyObject* fast = fast_datetime(text.ptr(), colons)) return nb::steal(fast);
        if (PyErr_Occurred()) raise();
    }
    nb::object cls = attr(dt, s.datetime_cls);
    return call_method(cls, s.strptime, {text.ptr(), colons ? s.fmt_placed : s.fmt_query});
}

// int(value) for an integer or an integer text; anything else (a fraction
// included: truncating a filled quantity would be a wrong number) is a
// ValueError.
nb::object whole_number(nb::handle value, PyObject* key) {
    PyObject* v = value.ptr();
    if (PyLong_CheckExact(v)) return nb::borrow(v);
    if (PyLong_Check(v)) return steal(PyNumber_Long(v));
    if (PyUnicode_Check(v)) return steal(PyLong_FromUnicodeObject(v, 10));
    PyObject* n = PyNumber_Long(v);
    if (n) {
        nb::object number = nb::steal(n);
        int same = PyObject_RichCompareBool(number.ptr(), v, Py_EQ);
        if (same < 0) raise();
        if (same) return number;
    } else if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
               !PyErr_ExceptionMatches(PyExc_OverflowError)) {
        raise();
    } else {
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ValueError, "%U is not a whole number: %R", key, v);
    raise();
}

// ---------------------------------------------------------------- HTTP

// Masking copies the value (a whole day's order query, as bytes): only for a log that will show it.
void log_masked(PyObject* level, nb::handle value) {
    const OrderState& s = S();
    nb::object log = global(s.log);
    Ref number(PyLong_FromLong(level == s.debug ? 10 : 40));  // logging.DEBUG, logging.ERROR
    if (!number || !truthy(call_method(log, s.isEnabledFor, {number.get()}))) {
        if (PyErr_Occurred()) raise();
        return;
    }
    nb::object shown = call(global(s.masked), {value.ptr()});
    call_method(log, level, {shown.ptr()});
}

// decode_reply(client.session.post(client.<uri>, json=request, timeout=client.timeout))
nb::object post(nb::handle client, PyObject* uri_name, nb::handle request, bool log_reply) {
    const OrderState& s = S();
    nb::object session = attr(client, s.session);
    nb::object method = attr(session, s.post);
    nb::object uri = attr(client, uri_name);
    nb::object timeout = attr(client, s.timeout);
    PyObject* stack[3] = {uri.ptr(), request.ptr(), timeout.ptr()};
    nb::object reply = steal(PyObject_Vectorcall(method.ptr(), stack, 1, s.kw_post.get()));
    if (log_reply) log_masked(s.debug, attr(reply, s.content));
    return call(global(s.decode_reply), {reply.ptr()});
}

// The five keys that open every order request.
nb::dict order_request(nb::handle client, nb::handle account) {
    const OrderState& s = S();
    nb::dict req;
    put(req, s.token, attr(client, s._token));
    put(req, s.ID, attr(client, s.person_id));
    put(req, s.IP, attr(client, s._public_ip));
    put(req, s.broker_id, call_method(account, s.get, {s.broker_id, s.empty}));
    put(req, s.account, call_method(account, s.get, {s.account_id, s.empty}));
    return req;
}

nb::str get_web_id() { return nb::borrow<nb::str>(S().Z); }

// ---------------------------------------------------------------- placement

nb::dict convert_order_props(nb::handle order) {
    const OrderState& s = S();
    nb::object props = global(s.foprops);
    nb::object keys = PyDict_Check(props.ptr()) ? steal(PyDict_Keys(props.ptr())) : call_method(props, s.keys, {});
    nb::dict out;
    nb::object it = steal(PyObject_GetIter(keys.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object k = nb::steal(raw);
        nb::object converter = optional_attr(props, k);
        if (!converter.is_valid() || !truthy(converter)) continue;
        nb::object generic = optional_attr(order, k);
        if (!generic.is_valid() || !truthy(generic)) continue;
        if (PyObject_SetItem(out.ptr(), k.ptr(), convert(converter, generic).ptr()) < 0) raise();
    }
    if (PyErr_Occurred()) raise();
    return out;
}

nb::dict order_fields(nb::handle order) {
    PyObject* d = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), order.ptr());
    if (!d && PyErr_ExceptionMatches(PyExc_ValueError)) {
        // dict() says ValueError for a sequence of wrong-length items; it is
        // still a record of the wrong type.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        PyErr_Format(PyExc_TypeError, "order record cannot be read as a mapping: %S", value);
        PyObject *t2, *v2, *tb2;
        PyErr_Fetch(&t2, &v2, &tb2);
        PyErr_NormalizeException(&t2, &v2, &tb2);
        PyException_SetCause(v2, value);  // steals value
        Py_XDECREF(type);
        Py_XDECREF(tb);
        PyErr_Restore(t2, v2, tb2);
    }
    return nb::steal<nb::dict>(check(d));
}

enum class Kind { Future, Option, Either };

nb::dict prepare_input(nb::handle contract, nb::handle order, nb::handle ca_content, Kind kind) {
    const OrderState& s = S();
    nb::dict input = order_fields(order);
    if (PyDict_Update(input.ptr(), convert_order_props(order).ptr()) < 0) raise();
    put(input, s.product_id, attr(contract, s.code));
    nb::object security_type = attr(contract, s.security_type);
    put(input, s.product_type, steal(PyObject_GetItem(security_type.ptr(), s.zero.get())));
    switch (kind) {
        case Kind::Future: put(input, s.opt_type, s.blank); break;
        case Kind::Option: put(input, s.opt_type, attr(contract, s.option_right)); break;
        case Kind::Either: {
            nb::object right = attr(contract, s.option_right);
            put(input, s.opt_type, truthy(right) ? right : nb::borrow(s.blank));
            break;
        }
    }
    put(input, s.ca_content, ca_content);
    return input;
}

nb::object place(nb::handle contract, nb::handle order, nb::handle ca_content, nb::handle client, Kind kind) {
    const OrderState& s = S();
    nb::dict input = prepare_input(contract, order, ca_content, kind);
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(input.ptr(), &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "_place_futopt_order() keywords must be strings, not %R", key);
            raise();
        }
    }
    int has = PyDict_Contains(input.ptr(), s.client);
    if (has < 0) raise();
    if (has) {
        PyErr_SetString(PyExc_TypeError, "_place_futopt_order() got multiple values for keyword argument 'client'");
        raise();
    }
    put(input, s.client, client);
    nb::object twin = global(s._place_futopt_order);
    nb::object args = steal(PyTuple_New(0));
    return steal(PyObject_Call(twin.ptr(), args.ptr(), input.ptr()));
}

nb::object place_private(nb::handle product_id, nb::handle product_type, nb::handle opt_type, nb::handle price,
                         nb::handle price_type, nb::handle action, nb::handle order_type, nb::handle octype,
                         nb::handle quantity, nb::handle account, nb::handle ca_content, nb::handle client,
                         const nb::kwargs&) {
    const OrderState& s = S();
    nb::object broker_id = call_method(account, s.get, {s.broker_id, s.empty});
    nb::object account_id = call_method(account, s.get, {s.account_id, s.empty});
    nb::dict req;
    put(req, s.token, attr(client, s._token));
    put(req, s.ID, attr(client, s.person_id));
    put(req, s.IP, attr(client, s._public_ip));
    put(req, s.broker_id, broker_id);
    put(req, s.account, account_id);
    put(req, s.fut_futopt, product_type);
    put(req, s.stock_id, product_id);
    put(req, s.fut_callput, opt_type);
    put(req, s.ord_bs, action);
    put(req, s.price, price);
    put(req, s.price_type, price_type);
    put(req, s.quantity, quantity);
    put(req, s.ord_type, order_type);
    put(req, s.octype, octype);
    put(req, s.mttype, s.blank);
    put(req, s.composit, s.zero2);
    put(req, s.web_id, get_web_id());
    put(req, s.ca_content, ca_content);
    return post(client, s.f_order_uri, req, false);
}

// ---------------------------------------------------------------- cancel and amend

nb::object first_char(nb::handle text) { return steal(PyObject_GetItem(text.ptr(), S().zero.get())); }

nb::object call_twin(PyObject* name, nb::handle kwargs) {
    nb::object twin = global(name);
    nb::object args = steal(PyTuple_New(0));
    return steal(PyObject_Call(twin.ptr(), args.ptr(), kwargs.ptr()));
}

using Fields = std::initializer_list<std::pair<PyObject*, nb::handle>>;

// twin(**keywords) for a cancel or amend of the trade's order. The keywords come in the order the
// twins list them, each read when its turn comes: the contract's code (and, when amending, its
// product type), `given`, the order's own `order_fields`, then its numbers, the signature, the
// account and the client.
nb::object amend(PyObject* twin, nb::handle trade, nb::handle ca_content, nb::handle client, bool product_type,
                 Fields given, std::initializer_list<std::pair<PyObject*, PyObject*>> order_fields) {
    const OrderState& s = S();
    nb::dict kw;
    nb::object contract = attr(trade, s.contract);
    put(kw, s.product_id, attr(contract, s.code));
    if (product_type) put(kw, s.product_type, first_char(attr(contract, s.security_type)));
    for (const auto& [key, value] : given) put(kw, key, value);
    nb::object order = attr(trade, s.order);
    for (const auto& [key, field] : order_fields) put(kw, key, attr(order, field));
    put(kw, s.ordno, attr(order, s.ordno));
    put(kw, s.seqno, attr(order, s.seqno));
    put(kw, s.ca_content, ca_content);
    put(kw, s.account, attr(order, s.account));
    put(kw, s.client, client);
    return call_twin(twin, kw);
}

// One cancel or amend request: the five opening keys, `fields`, the order's numbers, the channel
// and the signature.
nb::object send_amend(nb::handle client, nb::handle account, PyObject* uri_name, Fields fields, nb::handle ordno,
                      nb::handle seqno, nb::handle ca_content) {
    const OrderState& s = S();
    nb::dict req = order_request(client, account);
    for (const auto& [key, value] : fields) put(req, key, value);
    put(req, s.ordno, ordno);
    put(req, s.seqno, seqno);
    put(req, s.web_id, get_web_id());
    put(req, s.ca_content, ca_content);
    return post(client, uri_name, req, false);
}

nb::object cancel_public(nb::handle trade, nb::handle ca_content, nb::handle client) {
    return amend(S()._cancel_futopt_order, trade, ca_content, client, false, {}, {});
}

nb::object cancel_private(nb::handle product_id, nb::handle ordno, nb::handle seqno, nb::handle ca_content,
                          nb::handle account, nb::handle client, const nb::kwargs&) {
    const OrderState& s = S();
    return send_amend(client, account, s.f_order_cancel_uri, {{s.stock_id, product_id}}, ordno, seqno, ca_content);
}

nb::object update_price_public(nb::handle trade, nb::handle ca_content, nb::handle client, nb::handle price) {
    const OrderState& s = S();
    return amend(s._update_futopt_order_price, trade, ca_content, client, true, {{s.price, price}},
                 {{s.price_type, s.price_type}, {s.ord_type, s.order_type}});
}

nb::object update_price_private(nb::handle product_id, nb::handle product_type, nb::handle price, nb::handle price_type,
                                nb::handle ord_type, nb::handle ordno, nb::handle seqno, nb::handle ca_content,
                                nb::handle account, nb::handle client, const nb::kwargs&) {
    const OrderState& s = S();
    return send_amend(client, account, s.f_order_chprice_uri,
                      {{s.stock_id, product_id},
                       {s.fut_futopt, product_type},
                       {s.price, price},
                       {s.price_type, price_type},
                       {s.ord_type, ord_type}},
                      ordno, seqno, ca_content);
}

nb::object update_qty_public(nb::handle trade, nb::handle ca_content, nb::handle client, nb::handle qty) {
    const OrderState& s = S();
    return amend(s._update_futopt_order_qty, trade, ca_content, client, true, {{s.qty, qty}}, {});
}

nb::object update_qty_private(nb::handle product_id, nb::handle product_type, nb::handle qty, nb::handle ordno,
                              nb::handle seqno, nb::handle ca_content, nb::handle account, nb::handle client,
                              const nb::kwargs&) {
    const OrderState& s = S();
    return send_amend(client, account, s.f_order_chqty_uri,
                      {{s.stock_id, product_id}, {s.fut_futopt, product_type}, {s.quantity, qty}}, ordno, seqno,
                      ca_content);
}

// ---------------------------------------------------------------- query

nb::object query_private(nb::handle action, nb::handle account, nb::handle client, nb::handle start_date,
                         nb::handle end_date) {
    const OrderState& s = S();
    nb::dict req;
    put(req, s.token, attr(client, s._token));
    put(req, s.action, action);
    put(req, s.user_id, attr(client, s.person_id));
    put(req, s.broker_id, call_method(account, s.get, {s.broker_id, s.empty}));
    put(req, s.account, call_method(account, s.get, {s.account_id, s.empty}));
    nb::object today;  // once, so that both ends name the same day at midnight
    auto today_text = [&]() -> nb::object {
        if (!today.is_valid()) {
            nb::object day = call_method(attr(global(s.dt), s.date_cls), s.today, {});
            today = call_method(day, s.strftime, {s.ymd});
        }
        return today;
    };
    put(req, s.start_date, truthy(start_date) ? nb::borrow(start_date) : today_text());
    put(req, s.end_date, truthy(end_date) ? nb::borrow(end_date) : today_text());
    log_masked(s.debug, req);
    return post(client, s.f_query_order_uri, req, true);
}

nb::object hash_id(nb::handle mapping, PyObject* code_key, PyObject* seqno_key) {
    const OrderState& s = S();
    nb::object code = get(mapping, code_key, s.empty);
    nb::object seqno = get(mapping, seqno_key, s.empty);
    return call(global(s.hash_orderid), {code.ptr(), seqno.ptr()});
}

nb::dict query_public(nb::handle client) {
    const OrderState& s = S();
    nb::dict out;
    nb::object accounts = attr(client, s.accounts);
    nb::object it = steal(PyObject_GetIter(accounts.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object account = nb::steal(raw);
        int is_future = PyObject_IsInstance(account.ptr(), global(s.FutureAccount).ptr());
        if (is_future < 0) raise();
        if (!is_future) continue;
        nb::object reply = call(global(s._query_futopt_order), {s.account, account.ptr(), client.ptr()});
        bool ok = check(taloma::py::succeeded(reply.ptr())) != 0;
        nb::object entries = lookup(reply, s.result);
        if (!entries.is_valid()) {
            entries = steal(PyList_New(1));
            PyList_SET_ITEM(entries.ptr(), 0, PyDict_New());
            if (!PyList_GET_ITEM(entries.ptr(), 0)) raise();
        }
        if (!ok) {
            log_masked(s.error, reply);
            continue;
        }
        nb::object entry_it = steal(PyObject_GetIter(entries.ptr()));
        while (PyObject* raw_entry = PyIter_Next(entry_it.ptr())) {
            nb::object entry = nb::steal(raw_entry);
            nb::object key = hash_id(entry, s.st_comno, s.st_seqno);
            if (PyObject_SetItem(out.ptr(), key.ptr(), entry.ptr()) < 0) raise();
        }
        if (PyErr_Occurred()) raise();
    }
    if (PyErr_Occurred()) raise();
    return out;
}

// ---------------------------------------------------------------- conversions

nb::object queryresp2contract(nb::handle resp) {
    const OrderState& s = S();
    nb::object kind = get(resp, s.st_comtype, s.empty);
    nb::object code = get(resp, s.st_comno, s.empty);
    nb::object name = get(resp, s.name_zh, s.empty);
    if (equals(kind, s.F)) return call_kw(global(s.Future), 0, s.kw_future.get(), {s.TAIFEX, code.ptr(), name.ptr()});
    if (equals(kind, s.O)) return call_kw(global(s.Option), 0, s.kw_future.get(), {s.TAIFEX, code.ptr(), name.ptr()});
    return call_kw(global(s.Contract), 0, s.kw_contract.get(), {s.FUT, s.TAIFEX, code.ptr(), name.ptr()});
}

nb::object queryresp2order(nb::handle resp) {
    const OrderState& s = S();
    nb::object props = global(s.foprops);
    nb::object action = convert(attr(props, s.action), get(resp, s.st_ps, s.B));
    nb::object order_type = convert(attr(props, s.order_type), get(resp, s.st_ordknd, s.IOC));
    // The query carries no price type: IOC is taken for market, the rest limit.
    nb::object price_type = attr(attr(props, s.price_type), equals(order_type, s.IOC) ? s.MKT : s.LMT);
    nb::object price = get(resp, s.st_price1, s.zero.get());
    nb::object quantity = get(resp, s.st_ordqty, s.zero.get());
    nb::object ordno = get(resp, s.st_ordno, s.empty);
    nb::object seqno = get(resp, s.st_seqno, s.empty);
    return call_kw(
        global(s.Order), 0, s.kw_order.get(),
        {action.ptr(), price_type.ptr(), order_type.ptr(), price.ptr(), quantity.ptr(), ordno.ptr(), seqno.ptr()});
}

nb::object queryresp2orderstatus(nb::handle resp) {
    const OrderState& s = S();
    nb::object order_id = hash_id(resp, s.st_comno, s.st_seqno);
    nb::object when = order_datetime(get(resp, s.st_orddt, s.empty), get(resp, s.st_ordtm, s.empty), false);
    nb::object pending = attr(global(s.Status), s.PendingSubmit);
    return call_kw(global(s.OrderStatus), 0, s.kw_status_query.get(), {order_id.ptr(), when.ptr(), pending.ptr()});
}

nb::object res2order(nb::handle resp_result, nb::handle order) {
    const OrderState& s = S();
    set_attr(order, s.seqno, get(resp_result, s.seqno, s.empty));
    set_attr(order, s.ordno, get(resp_result, s.ordno, s.empty));
    return nb::borrow(order);
}

nb::object res2orderstatus(nb::handle resp_result, nb::handle successed) {
    const OrderState& s = S();
    nb::object order_id = hash_id(resp_result, s.stock_id, s.seqno);
    nb::object when = order_datetime(get(resp_result, s.ord_date, s.empty), get(resp_result, s.ord_time, s.empty),
                                     true);
    nb::object status = attr(global(s.Status), truthy(successed) ? s.PendingSubmit : s.Failed);
    return call_kw(global(s.OrderStatus), 0, s.kw_status_placed.get(), {order_id.ptr(), when.ptr(), status.ptr()});
}

nb::tuple futopt_resp2order_status(nb::handle resp, nb::handle order) {
    const OrderState& s = S();
    nb::object result = lookup(resp, s.result);
    // A failed reply may carry "result": null; it still means a failed order.
    if (!result.is_valid() || result.is_none()) result = nb::dict();
    bool ok = check(taloma::py::succeeded(resp.ptr())) != 0;
    nb::object updated = res2order(result, order);
    nb::object status = res2orderstatus(result, ok ? Py_True : Py_False);
    return nb::make_tuple(updated, status, nb::bool_(ok));
}

nb::object resp2trade(nb::handle resp, nb::handle trade_in) {
    const OrderState& s = S();
    nb::object trade = nb::borrow(trade_in);
    if (!truthy(trade)) {
        nb::object contract = queryresp2contract(resp);
        nb::object order = queryresp2order(resp);
        nb::object status = queryresp2orderstatus(resp);
        trade = call_kw(global(s.Trade), 0, s.kw_trade.get(), {contract.ptr(), order.ptr(), status.ptr()});
    }
    nb::object status = attr(trade, s.status);
    set_attr(attr(trade, s.order), s.ordno, get(resp, s.st_ordno, s.empty));
    set_attr(status, s.status_code, get(resp, s.st_code, s.empty));
    set_attr(status, s.msg, call_method(get(resp, s.st_errmsg, s.empty), s.strip, {s.blank}));
    set_attr(status, s.deal_quantity, whole_number(get(resp, s.st_ord_match_qty, s.zero.get()), s.st_ord_match_qty));
    set_attr(status, s.cancel_quantity, whole_number(get(resp, s.st_cancel_qty, s.zero.get()), s.st_cancel_qty));
    set_attr(status, s.modified_price, get(resp, s.st_chg_price1, s.zero.get()));
    return trade;
}

void import_companions(nb::module_& m) {
    struct Name {
        const char* as;
        const char* module;
        const char* name;  // null: the module itself
    };
    constexpr Name imports[] = {
        {"dt", "datetime", nullptr},
        {"log", "taloma.utils", "log"},
        {"FutureAccount", "taloma.account", "FutureAccount"},
        {"Future", "taloma.contracts", "Future"},
        {"Contract", "taloma.contracts", "Contract"},
        {"Option", "taloma.contracts", "Option"},
        {"Order", "taloma.order", "Order"},
        {"Trade", "taloma.order", "Trade"},
        {"OrderStatus", "taloma.order", "OrderStatus"},
        {"Status", "taloma.order", "Status"},
        {"hash_orderid", "taloma.backend.http.utils", "hash_orderid"},
        {"decode_reply", "taloma.backend.http.utils", "decode_reply"},
        {"masked", "taloma.backend.http.utils", "masked"},
        {"foprops", "taloma.backend.http.futureoption.constant", "oprops"},
    };
    for (const Name& n : imports) {
        nb::module_ mod = nb::module_::import_(n.module);
        if (!n.name) {
            m.attr(n.as) = mod;
            continue;
        }
        m.attr(n.as) = steal(taloma::py::import_attr(n.module, n.name));
    }
}

// Records of any shape are taken as they come (None included) and judged inside.
auto A(const char* name) { return nb::arg(name).none(); }

}  // namespace

NB_MODULE(order, m) {
    m.doc() = "Futures and options orders: placement, cancel and amend, query and reply conversion.";
    if (!taloma::py::make_state<OrderState>(m.ptr())) raise();
    import_companions(m);

    m.def("get_web_id", &get_web_id, "The channel identifier carried by every order request.");
    m.def("convert_order_props", &convert_order_props, A("order"),
          "The order's generic properties that have a converter, as service codes.");

    m.def(
        "prepare_future_input",
        [](nb::handle c, nb::handle o, nb::handle ca) { return prepare_input(c, o, ca, Kind::Future); }, A("contract"),
        A("order"), A("ca_content"), "Keyword input of _place_futopt_order for a future.");
    m.def(
        "prepare_option_input",
        [](nb::handle c, nb::handle o, nb::handle ca) { return prepare_input(c, o, ca, Kind::Option); }, A("contract"),
        A("order"), A("ca_content"), "Keyword input of _place_futopt_order for an option.");
    m.def(
        "prepare_futopt_input",
        [](nb::handle c, nb::handle o, nb::handle ca) { return prepare_input(c, o, ca, Kind::Either); }, A("contract"),
        A("order"), A("ca_content"), "Keyword input of _place_futopt_order for either kind.");

    m.def(
        "place_future_order",
        [](nb::handle c, nb::handle o, nb::handle ca, nb::handle cl) { return place(c, o, ca, cl, Kind::Future); },
        A("contract"), A("order"), A("ca_content"), A("client"), "Place a futures order; the decoded reply.");
    m.def(
        "place_option_order",
        [](nb::handle c, nb::handle o, nb::handle ca, nb::handle cl) { return place(c, o, ca, cl, Kind::Option); },
        A("contract"), A("order"), A("ca_content"), A("client"), "Place an options order; the decoded reply.");
    m.def(
        "place_futopt_order",
        [](nb::handle c, nb::handle o, nb::handle ca, nb::handle cl) { return place(c, o, ca, cl, Kind::Either); },
        A("contract"), A("order"), A("ca_content"), A("client"),
        "Place a futures or options order; the decoded reply.");
    m.def("_place_futopt_order", &place_private, A("product_id"), A("product_type"), A("opt_type"), A("price"),
          A("price_type"), A("action"), A("order_type"), A("octype"), A("quantity"), A("account"), A("ca_content"),
          A("client"), "kwargs"_a, "Send one placement request; further keywords are ignored.");

    m.def("cancel_futopt_order", &cancel_public, A("trade"), A("ca_content"), A("client"),
          "Cancel the trade's order; the decoded reply.");
    m.def("_cancel_futopt_order", &cancel_private, A("product_id"), A("ordno"), A("seqno"), A("ca_content"),
          A("account"), A("client"), "kwargs"_a, "Send one cancel request; further keywords are ignored.");
    m.def("update_futopt_order_price", &update_price_public, A("trade"), A("ca_content"), A("client"), A("price"),
          "Change the price of the trade's order; the decoded reply.");
    m.def("_update_futopt_order_price", &update_price_private, A("product_id"), A("product_type"), A("price"),
          A("price_type"), A("ord_type"), A("ordno"), A("seqno"), A("ca_content"), A("account"), A("client"),
          "kwargs"_a, "Send one price-change request; further keywords are ignored.");
    m.def("update_futopt_order_qty", &update_qty_public, A("trade"), A("ca_content"), A("client"), A("qty"),
          "Change the quantity of the trade's order; the decoded reply.");
    m.def("_update_futopt_order_qty", &update_qty_private, A("product_id"), A("product_type"), A("qty"), A("ordno"),
          A("seqno"), A("ca_content"), A("account"), A("client"), "kwargs"_a,
          "Send one quantity-change request; further keywords are ignored.");

    m.def("_query_futopt_order", &query_private, A("action"), A("account"), A("client"), A("start_date") = "",
          A("end_date") = "", "Send one order query (dates as YYYYMMDD, default today); the decoded reply.");
    m.def("query_futopt_order", &query_public, A("client"),
          "Order id to raw query entry, over every futures account of the client.");
    m.def("queryresp2contract", &queryresp2contract, A("resp"), "The contract record of one query entry.");
    m.def("queryresp2order", &queryresp2order, A("resp"), "The Order of one query entry.");
    m.def("queryresp2orderstatus", &queryresp2orderstatus, A("resp"), "The OrderStatus of one query entry.");
    m.def("res2order", &res2order, A("resp_result"), A("order"),
          "Store the service's sequence and order numbers of a placement result on the order.");
    m.def("res2orderstatus", &res2orderstatus, A("resp_result"), A("successed"),
          "The OrderStatus of a placement result.");
    m.def("futopt_resp2order_status", &futopt_resp2order_status, A("resp"), A("order"),
          "(order, status, success) for a whole placement reply.");
    m.def("resp2trade", &resp2trade, A("resp"), A("trade"),
          "The trade updated from one query entry, or a new one built from it when trade is none.");
}
