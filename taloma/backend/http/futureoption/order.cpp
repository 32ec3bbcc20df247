// taloma.backend.http.futureoption.order: futures and options orders over the
// broker's HTTP service, and the conversion of its replies into records.
//
// Companion names (foprops, Order, hash_orderid, ...) are looked up in the
// module's globals at call time, and the public functions reach their private
// twins the same way, so a program can rebind any of them on the module.
#include <nanobind/nanobind.h>

#include <Python.h>
#include <datetime.h>

#include <cstring>
#include <string_view>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

PyObject* g_globals = nullptr;   // the module's __dict__, kept for the process
PyObject* g_datetime = nullptr;  // the real datetime module (fast date-time path)
PyObject* g_missing = nullptr;   // sentinel for mapping lookups

// Interned texts, alive for the process (never released: they outlive the
// interpreter's module teardown).
struct Texts {
    // globals
    PyObject *dt, *log, *FutureAccount, *Future, *Contract, *Option, *Order, *Trade, *OrderStatus, *Status,
        *hash_orderid, *decode_reply, *masked, *foprops, *_place_futopt_order, *_cancel_futopt_order, *_update_futopt_order_price,
        *_update_futopt_order_qty, *_query_futopt_order;
    // attributes and methods
    PyObject *get, *keys, *lower, *strip, *json, *timeout, *post, *content, *debug, *error, *session, *_token, *person_id,
        *_public_ip, *accounts, *code, *security_type, *option_right, *contract, *order, *status, *ordno_attr,
        *seqno_attr, *account_attr, *price_type_attr, *order_type_attr, *action_attr, *datetime_cls, *date_cls,
        *strptime, *today, *strftime, *PendingSubmit, *Failed, *status_code, *msg, *deal_quantity,
        *cancel_quantity, *modified_price, *f_order_uri, *f_order_cancel_uri, *f_order_chqty_uri,
        *f_order_chprice_uri, *f_query_order_uri;
    // keyword names of calls
    PyObject *product_id, *product_type, *opt_type, *ca_content, *client, *price, *qty, *ord_type;
    // request and reply keys
    PyObject *token, *ID, *IP, *broker_id, *account, *account_id, *fut_futopt, *stock_id, *fut_callput, *ord_bs,
        *price_type, *quantity, *order_type, *octype, *mttype, *composit, *web_id, *ordno, *seqno, *action, *user_id,
        *start_date, *end_date, *success, *result, *ord_date, *ord_time, *st_comno, *st_seqno, *st_ordno, *st_orddt,
        *st_ordtm, *st_comtype, *name_zh, *st_ps, *st_ordknd, *st_price1, *st_ordqty, *st_code, *st_errmsg,
        *st_ord_match_qty, *st_cancel_qty, *st_chg_price1;
    // values
    PyObject *empty, *blank, *zero2, *Z, *F, *O, *B, *IOC, *MKT, *LMT, *TAIFEX, *FUT, *true_, *account_action,
        *ymd, *fmt_query, *fmt_placed, *zero;
    // keyword tuples of record constructors
    PyObject *kw_contract, *kw_future, *kw_order, *kw_status_query, *kw_status_placed, *kw_trade;
} T;

PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw nb::python_error();
    return s;
}

PyObject* names(std::initializer_list<PyObject*> items) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (!t) throw nb::python_error();
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        Py_INCREF(item);
        PyTuple_SET_ITEM(t, i++, item);
    }
    return t;
}

void init_texts() {
#define TX(field, text) T.field = intern(text)
    TX(dt, "dt"); TX(log, "log"); TX(FutureAccount, "FutureAccount"); TX(Future, "Future");
    TX(Contract, "Contract"); TX(Option, "Option"); TX(Order, "Order"); TX(Trade, "Trade");
    TX(OrderStatus, "OrderStatus"); TX(Status, "Status"); TX(hash_orderid, "hash_orderid"); TX(foprops, "foprops");
    TX(decode_reply, "decode_reply"); TX(masked, "masked");
    TX(_place_futopt_order, "_place_futopt_order"); TX(_cancel_futopt_order, "_cancel_futopt_order");
    TX(_update_futopt_order_price, "_update_futopt_order_price");
    TX(_update_futopt_order_qty, "_update_futopt_order_qty"); TX(_query_futopt_order, "_query_futopt_order");

    TX(get, "get"); TX(keys, "keys"); TX(lower, "lower"); TX(strip, "strip"); TX(json, "json"); TX(post, "post");
    TX(timeout, "timeout");
    TX(content, "content"); TX(debug, "debug"); TX(error, "error"); TX(session, "session"); TX(_token, "_token");
    TX(person_id, "person_id"); TX(_public_ip, "_public_ip"); TX(accounts, "accounts"); TX(code, "code");
    TX(security_type, "security_type"); TX(option_right, "option_right"); TX(contract, "contract");
    TX(order, "order"); TX(status, "status"); TX(datetime_cls, "datetime"); TX(date_cls, "date");
    TX(strptime, "strptime"); TX(today, "today"); TX(strftime, "strftime"); TX(PendingSubmit, "PendingSubmit");
    TX(Failed, "Failed"); TX(status_code, "status_code"); TX(msg, "msg"); TX(deal_quantity, "deal_quantity");
    TX(cancel_quantity, "cancel_quantity"); TX(modified_price, "modified_price"); TX(f_order_uri, "f_order_uri");
    TX(f_order_cancel_uri, "f_order_cancel_uri"); TX(f_order_chqty_uri, "f_order_chqty_uri");
    TX(f_order_chprice_uri, "f_order_chprice_uri"); TX(f_query_order_uri, "f_query_order_uri");

    TX(product_id, "product_id"); TX(product_type, "product_type"); TX(opt_type, "opt_type");
    TX(ca_content, "ca_content"); TX(client, "client"); TX(price, "price"); TX(qty, "qty"); TX(ord_type, "ord_type");

    TX(token, "token"); TX(ID, "ID"); TX(IP, "IP"); TX(broker_id, "broker_id"); TX(account, "account");
    TX(account_id, "account_id"); TX(fut_futopt, "fut_futopt"); TX(stock_id, "stock_id");
    TX(fut_callput, "fut_callput"); TX(ord_bs, "ord_bs"); TX(price_type, "price_type"); TX(quantity, "quantity");
    TX(order_type, "order_type"); TX(octype, "octype"); TX(mttype, "mttype"); TX(composit, "composit");
    TX(web_id, "web_id"); TX(ordno, "ordno"); TX(seqno, "seqno"); TX(action, "action"); TX(user_id, "user_id");
    TX(start_date, "start_date"); TX(end_date, "end_date"); TX(success, "success"); TX(result, "result");
    TX(ord_date, "ord_date"); TX(ord_time, "ord_time"); TX(st_comno, "st_comno"); TX(st_seqno, "st_seqno");
    TX(st_ordno, "st_ordno"); TX(st_orddt, "st_orddt"); TX(st_ordtm, "st_ordtm"); TX(st_comtype, "st_comtype");
    TX(name_zh, "name_zh"); TX(st_ps, "st_ps"); TX(st_ordknd, "st_ordknd"); TX(st_price1, "st_price1");
    TX(st_ordqty, "st_ordqty"); TX(st_code, "st_code"); TX(st_errmsg, "st_errmsg");
    TX(st_ord_match_qty, "st_ord_match_qty"); TX(st_cancel_qty, "st_cancel_qty");
    TX(st_chg_price1, "st_chg_price1");

    TX(empty, ""); TX(blank, " "); TX(zero2, "00"); TX(Z, "Z"); TX(F, "F"); TX(O, "O"); TX(B, "B");
    TX(IOC, "IOC"); TX(MKT, "MKT"); TX(LMT, "LMT"); TX(TAIFEX, "TAIFEX"); TX(FUT, "FUT"); TX(true_, "true");
    TX(account_action, "account"); TX(ymd, "%Y%m%d"); TX(fmt_query, "%Y%m%d%H%M%S");
    TX(fmt_placed, "%Y%m%d%H:%M:%S");
#undef TX
    T.ordno_attr = T.ordno;
    T.seqno_attr = T.seqno;
    T.account_attr = T.account;
    T.price_type_attr = T.price_type;
    T.order_type_attr = T.order_type;
    T.action_attr = T.action;
    T.zero = PyLong_FromLong(0);
    if (!T.zero) throw nb::python_error();

    T.kw_contract = names({T.security_type, intern("exchange"), T.code, intern("name")});
    T.kw_future = names({intern("exchange"), T.code, intern("name")});
    T.kw_order = names({T.action, T.price_type, T.order_type, T.price, T.quantity, T.ordno, T.seqno});
    T.kw_status_query = names({intern("order_id"), intern("order_datetime"), T.status});
    T.kw_status_placed = names({intern("id"), intern("order_datetime"), T.status});
    T.kw_trade = names({T.contract, T.order, T.status});
}

// ---------------------------------------------------------------- helpers

[[noreturn]] void raise() { throw nb::python_error(); }

nb::object check(PyObject* owned) {
    if (!owned) raise();
    return nb::steal(owned);
}

nb::object global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(g_globals, name);
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        raise();
    }
    return nb::borrow(v);
}

nb::object attr(nb::handle obj, PyObject* name) { return check(PyObject_GetAttr(obj.ptr(), name)); }

void set_attr(nb::handle obj, PyObject* name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) raise();
}

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

bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) raise();
    return r != 0;
}

bool equals(nb::handle a, PyObject* b) {
    int r = PyObject_RichCompareBool(a.ptr(), b, Py_EQ);
    if (r < 0) raise();
    return r != 0;
}

nb::object call_method(nb::handle obj, PyObject* name, std::initializer_list<PyObject*> args) {
    // slot 0 is free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET); self goes in slot 1
    PyObject* stack[5] = {nullptr, obj.ptr(), nullptr, nullptr, nullptr};
    size_t n = 1;
    for (PyObject* a : args) stack[1 + n++] = a;
    return check(PyObject_VectorcallMethod(name, stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
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
    nb::object v = call_method(mapping, T.get, {key, g_missing});
    if (v.ptr() == g_missing) return {};
    return v;
}

// mapping.get(key, default)
nb::object get(nb::handle mapping, PyObject* key, PyObject* dflt) {
    nb::object v = lookup(mapping, key);
    return v.is_valid() ? v : nb::borrow(dflt);
}

void put(nb::handle dict, PyObject* key, nb::handle value) {
    if (PyDict_SetItem(dict.ptr(), key, value.ptr()) < 0) raise();
}

nb::object call_kw(nb::handle callable, PyObject* kwnames, std::initializer_list<PyObject*> values) {
    PyObject* stack[8];
    size_t n = 0;
    for (PyObject* v : values) stack[n++] = v;
    return check(PyObject_Vectorcall(callable.ptr(), stack, 0, kwnames));
}

nb::object call(nb::handle callable, std::initializer_list<PyObject*> args) {
    PyObject* stack[4];
    size_t n = 0;
    for (PyObject* a : args) stack[n++] = a;
    return check(PyObject_Vectorcall(callable.ptr(), stack, n, nullptr));
}

// The service's truth: "success" lower-cased equals "true"; a non-text value
// fails the way str methods would on it.
bool reply_succeeded(nb::handle reply) {
    nb::object s = get(reply, T.success, T.empty);
    PyObject* p = s.ptr();
    if (PyUnicode_CheckExact(p) && PyUnicode_IS_ASCII(p)) {
        if (PyUnicode_GET_LENGTH(p) != 4) return false;
        const char* c = static_cast<const char*>(PyUnicode_DATA(p));
        static constexpr char want[] = "true";
        for (int i = 0; i < 4; ++i) {
            char ch = c[i];
            if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
            if (ch != want[i]) return false;
        }
        return true;
    }
    return equals(call_method(s, T.lower, {}), T.true_);
}

// getattr(converter, name) where name is a generic value or a service code.
nb::object convert(nb::handle converter, nb::handle name) {
    PyObject* n = name.ptr();
    if (!PyUnicode_Check(n)) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute %R", Py_TYPE(converter.ptr())->tp_name,
                     n);
        raise();
    }
    if (PyUnicode_CheckExact(n)) return attr(converter, n);
    // A text enumeration member names the attribute by its text.
    nb::object exact = check(PyUnicode_FromObject(n));
    return attr(converter, exact.ptr());
}

// ---------------------------------------------------------------- date-times

bool digits(const Py_UCS1* s, int n, int& out) {
    int v = 0;
    for (int i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    out = v;
    return true;
}

int days_in_month(int y, int m) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0))) return 29;
    return days[m - 1];
}

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
    if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, mo) || h > 23 || mi > 59 || se > 59)
        return nullptr;
    return PyDateTime_FromDateAndTime(y, mo, d, h, mi, se, 0);
}

// date + time parsed with fmt; none for an empty concatenation.
nb::object order_datetime(nb::handle date, nb::handle time, bool colons) {
    if (!PyUnicode_Check(date.ptr()) || !PyUnicode_Check(time.ptr())) {
        PyErr_Format(PyExc_TypeError, "order date and time must be texts, not '%.50s' and '%.50s'",
                     Py_TYPE(date.ptr())->tp_name, Py_TYPE(time.ptr())->tp_name);
        raise();
    }
    nb::object text = check(PyUnicode_Concat(date.ptr(), time.ptr()));
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return nb::none();
    nb::object dt = global(T.dt);
    if (dt.ptr() == g_datetime) {
        if (PyObject* fast = fast_datetime(text.ptr(), colons)) return nb::steal(fast);
        if (PyErr_Occurred()) raise();
    }
    nb::object cls = attr(dt, T.datetime_cls);
    return call_method(cls, T.strptime, {text.ptr(), colons ? T.fmt_placed : T.fmt_query});
}

// int(value) for an integer or an integer text; anything else (a fraction
// included: truncating a filled quantity would be a wrong number) is a
// ValueError.
nb::object whole_number(nb::handle value, PyObject* key) {
    PyObject* v = value.ptr();
    if (PyLong_CheckExact(v)) return nb::borrow(v);
    if (PyLong_Check(v)) return check(PyNumber_Long(v));
    if (PyUnicode_Check(v)) return check(PyLong_FromUnicodeObject(v, 10));
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
    nb::object log = global(T.log);
    nb::object on = nb::steal(PyObject_CallMethod(log.ptr(), "isEnabledFor", "i", level == T.debug ? 10 : 40));
    if (!on.is_valid()) throw nb::python_error();
    int shows = PyObject_IsTrue(on.ptr());
    if (shows < 0) throw nb::python_error();
    if (!shows) return;
    nb::object shown = call(global(T.masked), {value.ptr()});
    call_method(log, level, {shown.ptr()});
}

// decode_reply(client.session.post(client.<uri>, json=request, timeout=client.timeout))
nb::object post(nb::handle client, PyObject* uri_name, nb::handle request, bool log_reply) {
    nb::object session = attr(client, T.session);
    nb::object method = attr(session, T.post);
    nb::object uri = attr(client, uri_name);
    nb::object timeout = attr(client, T.timeout);
    PyObject* stack[3] = {uri.ptr(), request.ptr(), timeout.ptr()};
    static PyObject* kw_json = names({T.json, T.timeout});
    nb::object reply = check(PyObject_Vectorcall(method.ptr(), stack, 1, kw_json));
    if (log_reply) log_masked(T.debug, attr(reply, T.content));
    return call(global(T.decode_reply), {reply.ptr()});
}

// The five keys that open every order request.
nb::dict order_request(nb::handle client, nb::handle account) {
    nb::dict req;
    put(req, T.token, attr(client, T._token));
    put(req, T.ID, attr(client, T.person_id));
    put(req, T.IP, attr(client, T._public_ip));
    put(req, T.broker_id, call_method(account, T.get, {T.broker_id, T.empty}));
    put(req, T.account, call_method(account, T.get, {T.account_id, T.empty}));
    return req;
}

nb::str get_web_id() { return nb::borrow<nb::str>(T.Z); }

// ---------------------------------------------------------------- placement

nb::dict convert_order_props(nb::handle order) {
    nb::object props = global(T.foprops);
    nb::object keys = PyDict_Check(props.ptr()) ? check(PyDict_Keys(props.ptr())) : call_method(props, T.keys, {});
    nb::dict out;
    nb::object it = check(PyObject_GetIter(keys.ptr()));
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
    return nb::steal<nb::dict>(check(d).release());
}

enum class Kind { Future, Option, Either };

nb::dict prepare_input(nb::handle contract, nb::handle order, nb::handle ca_content, Kind kind) {
    nb::dict input = order_fields(order);
    if (PyDict_Update(input.ptr(), convert_order_props(order).ptr()) < 0) raise();
    put(input, T.product_id, attr(contract, T.code));
    nb::object security_type = attr(contract, T.security_type);
    put(input, T.product_type, check(PyObject_GetItem(security_type.ptr(), T.zero)));
    switch (kind) {
        case Kind::Future:
            put(input, T.opt_type, T.blank);
            break;
        case Kind::Option:
            put(input, T.opt_type, attr(contract, T.option_right));
            break;
        case Kind::Either: {
            nb::object right = attr(contract, T.option_right);
            put(input, T.opt_type, truthy(right) ? right : nb::borrow(T.blank));
            break;
        }
    }
    put(input, T.ca_content, ca_content);
    return input;
}

nb::object place(nb::handle contract, nb::handle order, nb::handle ca_content, nb::handle client, Kind kind) {
    nb::dict input = prepare_input(contract, order, ca_content, kind);
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(input.ptr(), &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "_place_futopt_order() keywords must be strings, not %R", key);
            raise();
        }
    }
    int has = PyDict_Contains(input.ptr(), T.client);
    if (has < 0) raise();
    if (has) {
        PyErr_SetString(PyExc_TypeError, "_place_futopt_order() got multiple values for keyword argument 'client'");
        raise();
    }
    put(input, T.client, client);
    nb::object twin = global(T._place_futopt_order);
    nb::object args = check(PyTuple_New(0));
    return check(PyObject_Call(twin.ptr(), args.ptr(), input.ptr()));
}

nb::object place_private(nb::handle product_id, nb::handle product_type, nb::handle opt_type, nb::handle price,
                         nb::handle price_type, nb::handle action, nb::handle order_type, nb::handle octype,
                         nb::handle quantity, nb::handle account, nb::handle ca_content, nb::handle client,
                         const nb::kwargs&) {
    nb::object broker_id = call_method(account, T.get, {T.broker_id, T.empty});
    nb::object account_id = call_method(account, T.get, {T.account_id, T.empty});
    nb::dict req;
    put(req, T.token, attr(client, T._token));
    put(req, T.ID, attr(client, T.person_id));
    put(req, T.IP, attr(client, T._public_ip));
    put(req, T.broker_id, broker_id);
    put(req, T.account, account_id);
    put(req, T.fut_futopt, product_type);
    put(req, T.stock_id, product_id);
    put(req, T.fut_callput, opt_type);
    put(req, T.ord_bs, action);
    put(req, T.price, price);
    put(req, T.price_type, price_type);
    put(req, T.quantity, quantity);
    put(req, T.ord_type, order_type);
    put(req, T.octype, octype);
    put(req, T.mttype, T.blank);
    put(req, T.composit, T.zero2);
    put(req, T.web_id, get_web_id());
    put(req, T.ca_content, ca_content);
    return post(client, T.f_order_uri, req, false);
}

// ---------------------------------------------------------------- cancel and amend

nb::object first_char(nb::handle text) { return check(PyObject_GetItem(text.ptr(), T.zero)); }

nb::object call_twin(PyObject* name, nb::handle kwargs) {
    nb::object twin = global(name);
    nb::object args = check(PyTuple_New(0));
    return check(PyObject_Call(twin.ptr(), args.ptr(), kwargs.ptr()));
}

nb::object cancel_public(nb::handle trade, nb::handle ca_content, nb::handle client) {
    nb::dict kw;
    nb::object contract = attr(trade, T.contract);
    put(kw, T.product_id, attr(contract, T.code));
    nb::object order = attr(trade, T.order);
    put(kw, T.ordno, attr(order, T.ordno_attr));
    put(kw, T.seqno, attr(order, T.seqno_attr));
    put(kw, T.ca_content, ca_content);
    put(kw, T.account, attr(order, T.account_attr));
    put(kw, T.client, client);
    return call_twin(T._cancel_futopt_order, kw);
}

nb::object cancel_private(nb::handle product_id, nb::handle ordno, nb::handle seqno, nb::handle ca_content,
                          nb::handle account, nb::handle client, const nb::kwargs&) {
    nb::dict req = order_request(client, account);
    put(req, T.stock_id, product_id);
    put(req, T.ordno, ordno);
    put(req, T.seqno, seqno);
    put(req, T.web_id, get_web_id());
    put(req, T.ca_content, ca_content);
    return post(client, T.f_order_cancel_uri, req, false);
}

nb::object update_price_public(nb::handle trade, nb::handle ca_content, nb::handle client, nb::handle price) {
    nb::dict kw;
    nb::object contract = attr(trade, T.contract);
    put(kw, T.product_id, attr(contract, T.code));
    put(kw, T.product_type, first_char(attr(contract, T.security_type)));
    put(kw, T.price, price);
    nb::object order = attr(trade, T.order);
    put(kw, T.price_type, attr(order, T.price_type_attr));
    put(kw, T.ord_type, attr(order, T.order_type_attr));
    put(kw, T.ordno, attr(order, T.ordno_attr));
    put(kw, T.seqno, attr(order, T.seqno_attr));
    put(kw, T.ca_content, ca_content);
    put(kw, T.account, attr(order, T.account_attr));
    put(kw, T.client, client);
    return call_twin(T._update_futopt_order_price, kw);
}

nb::object update_price_private(nb::handle product_id, nb::handle product_type, nb::handle price,
                                nb::handle price_type, nb::handle ord_type, nb::handle ordno, nb::handle seqno,
                                nb::handle ca_content, nb::handle account, nb::handle client, const nb::kwargs&) {
    nb::dict req = order_request(client, account);
    put(req, T.stock_id, product_id);
    put(req, T.fut_futopt, product_type);
    put(req, T.price, price);
    put(req, T.price_type, price_type);
    put(req, T.ord_type, ord_type);
    put(req, T.ordno, ordno);
    put(req, T.seqno, seqno);
    put(req, T.web_id, get_web_id());
    put(req, T.ca_content, ca_content);
    return post(client, T.f_order_chprice_uri, req, false);
}

nb::object update_qty_public(nb::handle trade, nb::handle ca_content, nb::handle client, nb::handle qty) {
    nb::dict kw;
    nb::object contract = attr(trade, T.contract);
    put(kw, T.product_id, attr(contract, T.code));
    put(kw, T.product_type, first_char(attr(contract, T.security_type)));
    put(kw, T.qty, qty);
    nb::object order = attr(trade, T.order);
    put(kw, T.ordno, attr(order, T.ordno_attr));
    put(kw, T.seqno, attr(order, T.seqno_attr));
    put(kw, T.ca_content, ca_content);
    put(kw, T.account, attr(order, T.account_attr));
    put(kw, T.client, client);
    return call_twin(T._update_futopt_order_qty, kw);
}

nb::object update_qty_private(nb::handle product_id, nb::handle product_type, nb::handle qty, nb::handle ordno,
                              nb::handle seqno, nb::handle ca_content, nb::handle account, nb::handle client,
                              const nb::kwargs&) {
    nb::dict req = order_request(client, account);
    put(req, T.stock_id, product_id);
    put(req, T.fut_futopt, product_type);
    put(req, T.quantity, qty);
    put(req, T.ordno, ordno);
    put(req, T.seqno, seqno);
    put(req, T.web_id, get_web_id());
    put(req, T.ca_content, ca_content);
    return post(client, T.f_order_chqty_uri, req, false);
}

// ---------------------------------------------------------------- query

nb::object query_private(nb::handle action, nb::handle account, nb::handle client, nb::handle start_date,
                         nb::handle end_date) {
    nb::dict req;
    put(req, T.token, attr(client, T._token));
    put(req, T.action, action);
    put(req, T.user_id, attr(client, T.person_id));
    put(req, T.broker_id, call_method(account, T.get, {T.broker_id, T.empty}));
    put(req, T.account, call_method(account, T.get, {T.account_id, T.empty}));
    nb::object today;  // once, so that both ends name the same day at midnight
    auto today_text = [&]() -> nb::object {
        if (!today.is_valid()) {
            nb::object day = call_method(attr(global(T.dt), T.date_cls), T.today, {});
            today = call_method(day, T.strftime, {T.ymd});
        }
        return today;
    };
    put(req, T.start_date, truthy(start_date) ? nb::borrow(start_date) : today_text());
    put(req, T.end_date, truthy(end_date) ? nb::borrow(end_date) : today_text());
    log_masked(T.debug, req);
    return post(client, T.f_query_order_uri, req, true);
}

nb::object hash_id(nb::handle mapping, PyObject* code_key, PyObject* seqno_key) {
    nb::object code = get(mapping, code_key, T.empty);
    nb::object seqno = get(mapping, seqno_key, T.empty);
    return call(global(T.hash_orderid), {code.ptr(), seqno.ptr()});
}

nb::dict query_public(nb::handle client) {
    nb::dict out;
    nb::object accounts = attr(client, T.accounts);
    nb::object it = check(PyObject_GetIter(accounts.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object account = nb::steal(raw);
        int is_future = PyObject_IsInstance(account.ptr(), global(T.FutureAccount).ptr());
        if (is_future < 0) raise();
        if (!is_future) continue;
        nb::object reply = call(global(T._query_futopt_order), {T.account_action, account.ptr(), client.ptr()});
        bool ok = reply_succeeded(reply);
        nb::object entries = lookup(reply, T.result);
        if (!entries.is_valid()) {
            entries = check(PyList_New(1));
            PyList_SET_ITEM(entries.ptr(), 0, PyDict_New());
            if (!PyList_GET_ITEM(entries.ptr(), 0)) raise();
        }
        if (!ok) {
            log_masked(T.error, reply);
            continue;
        }
        nb::object entry_it = check(PyObject_GetIter(entries.ptr()));
        while (PyObject* raw_entry = PyIter_Next(entry_it.ptr())) {
            nb::object entry = nb::steal(raw_entry);
            nb::object key = hash_id(entry, T.st_comno, T.st_seqno);
            if (PyObject_SetItem(out.ptr(), key.ptr(), entry.ptr()) < 0) raise();
        }
        if (PyErr_Occurred()) raise();
    }
    if (PyErr_Occurred()) raise();
    return out;
}

// ---------------------------------------------------------------- conversions

nb::object queryresp2contract(nb::handle resp) {
    nb::object kind = get(resp, T.st_comtype, T.empty);
    nb::object code = get(resp, T.st_comno, T.empty);
    nb::object name = get(resp, T.name_zh, T.empty);
    if (equals(kind, T.F)) return call_kw(global(T.Future), T.kw_future, {T.TAIFEX, code.ptr(), name.ptr()});
    if (equals(kind, T.O)) return call_kw(global(T.Option), T.kw_future, {T.TAIFEX, code.ptr(), name.ptr()});
    return call_kw(global(T.Contract), T.kw_contract, {T.FUT, T.TAIFEX, code.ptr(), name.ptr()});
}

nb::object queryresp2order(nb::handle resp) {
    nb::object props = global(T.foprops);
    nb::object action = convert(attr(props, T.action_attr), get(resp, T.st_ps, T.B));
    nb::object order_type = convert(attr(props, T.order_type_attr), get(resp, T.st_ordknd, T.IOC));
    // The query carries no price type: IOC is taken for market, the rest limit.
    nb::object price_type = attr(attr(props, T.price_type_attr), equals(order_type, T.IOC) ? T.MKT : T.LMT);
    nb::object price = get(resp, T.st_price1, T.zero);
    nb::object quantity = get(resp, T.st_ordqty, T.zero);
    nb::object ordno = get(resp, T.st_ordno, T.empty);
    nb::object seqno = get(resp, T.st_seqno, T.empty);
    return call_kw(global(T.Order), T.kw_order,
                   {action.ptr(), price_type.ptr(), order_type.ptr(), price.ptr(), quantity.ptr(), ordno.ptr(),
                    seqno.ptr()});
}

nb::object queryresp2orderstatus(nb::handle resp) {
    nb::object order_id = hash_id(resp, T.st_comno, T.st_seqno);
    nb::object when = order_datetime(get(resp, T.st_orddt, T.empty), get(resp, T.st_ordtm, T.empty), false);
    nb::object pending = attr(global(T.Status), T.PendingSubmit);
    return call_kw(global(T.OrderStatus), T.kw_status_query, {order_id.ptr(), when.ptr(), pending.ptr()});
}

nb::object res2order(nb::handle resp_result, nb::handle order) {
    set_attr(order, T.seqno_attr, get(resp_result, T.seqno, T.empty));
    set_attr(order, T.ordno_attr, get(resp_result, T.ordno, T.empty));
    return nb::borrow(order);
}

nb::object res2orderstatus(nb::handle resp_result, nb::handle successed) {
    nb::object order_id = hash_id(resp_result, T.stock_id, T.seqno);
    nb::object when =
        order_datetime(get(resp_result, T.ord_date, T.empty), get(resp_result, T.ord_time, T.empty), true);
    nb::object status = attr(global(T.Status), truthy(successed) ? T.PendingSubmit : T.Failed);
    return call_kw(global(T.OrderStatus), T.kw_status_placed, {order_id.ptr(), when.ptr(), status.ptr()});
}

nb::tuple futopt_resp2order_status(nb::handle resp, nb::handle order) {
    nb::object result = lookup(resp, T.result);
    // A failed reply may carry "result": null; it still means a failed order.
    if (!result.is_valid() || result.is_none()) result = nb::dict();
    bool ok = reply_succeeded(resp);
    nb::object updated = res2order(result, order);
    nb::object status = res2orderstatus(result, ok ? Py_True : Py_False);
    return nb::make_tuple(updated, status, nb::bool_(ok));
}

nb::object resp2trade(nb::handle resp, nb::handle trade_in) {
    nb::object trade = nb::borrow(trade_in);
    if (!truthy(trade)) {
        nb::object contract = queryresp2contract(resp);
        nb::object order = queryresp2order(resp);
        nb::object status = queryresp2orderstatus(resp);
        trade = call_kw(global(T.Trade), T.kw_trade, {contract.ptr(), order.ptr(), status.ptr()});
    }
    nb::object status = attr(trade, T.status);
    set_attr(attr(trade, T.order), T.ordno_attr, get(resp, T.st_ordno, T.empty));
    set_attr(status, T.status_code, get(resp, T.st_code, T.empty));
    set_attr(status, T.msg, call_method(get(resp, T.st_errmsg, T.empty), T.strip, {T.blank}));
    set_attr(status, T.deal_quantity, whole_number(get(resp, T.st_ord_match_qty, T.zero), T.st_ord_match_qty));
    set_attr(status, T.cancel_quantity, whole_number(get(resp, T.st_cancel_qty, T.zero), T.st_cancel_qty));
    set_attr(status, T.modified_price, get(resp, T.st_chg_price1, T.zero));
    return trade;
}

void import_companions(nb::module_& m) {
    struct Name {
        const char* as;
        const char* module;
        const char* name;  // null: the module itself
    };
    static constexpr Name imports[] = {
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
        PyObject* v = PyObject_GetAttrString(mod.ptr(), n.name);
        if (!v) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", n.name, n.module);
            }
            raise();
        }
        m.attr(n.as) = nb::steal(v);
    }
}

// Records of any shape are taken as they come (None included) and judged inside.
auto A(const char* name) { return nb::arg(name).none(); }

}  // namespace

NB_MODULE(order, m) {
    m.doc() = "Futures and options orders: placement, cancel and amend, query and reply conversion.";
    init_texts();
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) raise();
    g_datetime = PyImport_ImportModule("datetime");
    if (!g_datetime) raise();
    g_missing = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    if (!g_missing) raise();
    import_companions(m);
    g_globals = PyModule_GetDict(m.ptr());
    Py_INCREF(g_globals);

    m.def("get_web_id", &get_web_id, "The channel identifier carried by every order request.");
    m.def("convert_order_props", &convert_order_props, A("order"),
          "The order's generic properties that have a converter, as service codes.");

    m.def(
        "prepare_future_input",
        [](nb::handle c, nb::handle o, nb::handle ca) { return prepare_input(c, o, ca, Kind::Future); },
        A("contract"), A("order"), A("ca_content"), "Keyword input of _place_futopt_order for a future.");
    m.def(
        "prepare_option_input",
        [](nb::handle c, nb::handle o, nb::handle ca) { return prepare_input(c, o, ca, Kind::Option); },
        A("contract"), A("order"), A("ca_content"), "Keyword input of _place_futopt_order for an option.");
    m.def(
        "prepare_futopt_input",
        [](nb::handle c, nb::handle o, nb::handle ca) { return prepare_input(c, o, ca, Kind::Either); },
        A("contract"), A("order"), A("ca_content"), "Keyword input of _place_futopt_order for either kind.");

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
        A("contract"), A("order"), A("ca_content"), A("client"), "Place a futures or options order; the decoded reply.");
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
          A("price_type"), A("ord_type"), A("ordno"), A("seqno"), A("ca_content"), A("account"), A("client"), "kwargs"_a,
          "Send one price-change request; further keywords are ignored.");
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
