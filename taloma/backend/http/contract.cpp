// taloma.backend.http.contract: downloads the service's contract lists and turns them
// into grouped contract field records.
//
// The option list runs to six figures of entries, so the conversions work on the
// C API directly: keys are interned once, exact dicts are read without method
// calls, records are presized dicts, and the delivered texts are shared, not copied.
#include <nanobind/nanobind.h>

#include <taloma/iterate.hpp>
#include <taloma/capi.hpp>
#include <taloma/pyref.hpp>

#include <array>
#include <cstring>
#include <utility>

namespace nb = nanobind;
using taloma::py::Ref;

namespace {

// Everything interned at load and kept for the life of the process.
struct Names {
    // keys of the service's entries
    PyObject *exchange, *code, *name, *industry, *ename, *deliverymonth, *csname, *category, *prod_kind,
        *ostock, *basic, *poc, *eprice;
    // keys of the records (exchange, code, name, category are shared with the above)
    PyObject *symbol, *security_type, *currency, *delivery_month, *strike_price, *option_right,
        *underlying_kind, *underlying_code, *unit, *multiplier;
    // values
    PyObject *STK, *FUT, *OPT, *IND, *TWD, *TAIFEX, *TSE, *OTC, *empty, *blank, *zero, *index_exchange;
    // reply handling
    PyObject *result, *content, *msg, *no_data, *strip, *type_, *contract_,
        *delivery, *session, *s_list_code_uri, *f_list_code_uri, *index_list_code_uri;
} N;

PyObject* g_globals;  // the module's namespace: helpers are looked up there at call time

using taloma::py::check;
using taloma::py::for_each;
using taloma::py::for_each_item;
using taloma::py::raise;

inline void set(PyObject* dict, PyObject* key, PyObject* value) {
    if (PyDict_SetItem(dict, key, value) < 0) raise();
}

// entry[key], as `entry[key]` would read it: KeyError when absent, TypeError for a non-mapping.
Ref item(PyObject* entry, PyObject* key) {
    if (PyDict_CheckExact(entry)) {
        PyObject* value = PyDict_GetItemWithError(entry, key);
        if (value) return Ref::borrow(value);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
        raise();
    }
    Ref value(PyObject_GetItem(entry, key));
    if (!value) raise();
    return value;
}

// The value as str.format would show it with an empty format spec.
Ref text(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref(check(PyObject_Format(value, N.empty)));
}

// Concatenation of texts, each possibly cut to its first `len` characters.
struct Piece {
    PyObject* str;
    Py_ssize_t len;
};

template <size_t Count>
PyObject* join(const Piece (&pieces)[Count]) {
    Py_ssize_t total = 0;
    bool ascii = true;
    for (const Piece& p : pieces) {
        total += p.len;
        ascii = ascii && PyUnicode_IS_ASCII(p.str);
    }
    if (ascii) {
        PyObject* out = check(PyUnicode_New(total, 127));
        Py_UCS1* dst = PyUnicode_1BYTE_DATA(out);
        for (const Piece& p : pieces) {
            std::memcpy(dst, PyUnicode_1BYTE_DATA(p.str), size_t(p.len));
            dst += p.len;
        }
        return out;
    }
    // Wider texts are rare here; let the interpreter pick the representation.
    Ref out = Ref::borrow(N.empty);
    for (const Piece& p : pieces) {
        Ref part = p.len == PyUnicode_GET_LENGTH(p.str) ? Ref::borrow(p.str)
                                                          : Ref(check(PyUnicode_Substring(p.str, 0, p.len)));
        out = Ref(check(PyUnicode_Concat(out.get(), part.get())));
    }
    return out.release();
}

inline Piece whole(PyObject* str) { return {str, PyUnicode_GET_LENGTH(str)}; }

// Length of the strike as shown in an option symbol: "10500.0" -> "10500", "0.0" -> "0";
// anything not ending in ".0" ("10500.5", "100.00") is kept whole.
Py_ssize_t trimmed_strike(PyObject* str) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    if (n < 2 || PyUnicode_READ(kind, data, n - 1) != '0' || PyUnicode_READ(kind, data, n - 2) != '.') return n;
    while (n > 0 && PyUnicode_READ(kind, data, n - 1) == '0') --n;
    while (n > 0 && PyUnicode_READ(kind, data, n - 1) == '.') --n;
    return n;
}

bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), size_t(n) * PyUnicode_KIND(a)) == 0;
}

// "basic" as a float. A catalogue repeats a handful of unit texts, so the last
// text and its value are remembered (floats are immutable; sharing is safe).
class UnitParser {
public:
    PyObject* operator()(PyObject* basic) {
        if (PyFloat_Check(basic)) return Py_NewRef(basic);
        if (!PyUnicode_CheckExact(basic)) return check(PyNumber_Float(basic));
        if (last_text_ && same_text(basic, last_text_.get())) return Py_NewRef(last_value_.get());
        PyObject* value = check(PyFloat_FromString(basic));
        last_text_ = Ref::borrow(basic);
        last_value_ = Ref::borrow(value);
        return value;
    }

private:
    Ref last_text_, last_value_;
};

// name.strip(" "): only space characters, and the same object when nothing goes.
PyObject* strip_blanks(PyObject* name) {
    if (!PyUnicode_Check(name)) return check(PyObject_CallMethodOneArg(name, N.strip, N.blank));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    const int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    Py_ssize_t begin = 0, end = n;
    while (begin < end && PyUnicode_READ(kind, data, begin) == ' ') ++begin;
    while (end > begin && PyUnicode_READ(kind, data, end - 1) == ' ') --end;
    if (begin == 0 && end == n && PyUnicode_CheckExact(name)) return Py_NewRef(name);
    return check(PyUnicode_Substring(name, begin, end));
}

// Groups records by key in order of first appearance. Remembers the last group,
// since entries of one group usually arrive together.
class Groups {
public:
    Groups() : result_(check(PyDict_New())) {}

    void add(PyObject* key, PyObject* record) {
        if (!last_key_ || (last_key_.get() != key && !same_key(key))) {
            PyObject* found = PyDict_GetItemWithError(result_.get(), key);
            if (found) {
                last_list_ = Ref::borrow(found);
            } else {
                if (PyErr_Occurred()) raise();
                last_list_ = Ref(check(PyList_New(0)));
                set(result_.get(), key, last_list_.get());
            }
            last_key_ = Ref::borrow(key);
        }
        if (PyList_Append(last_list_.get(), record) < 0) raise();
    }

    PyObject* release() { return result_.release(); }

private:
    bool same_key(PyObject* key) const {
        // Only texts are compared here: anything else runs its own __eq__ through the dict.
        return PyUnicode_CheckExact(key) && PyUnicode_CheckExact(last_key_.get()) &&
               same_text(key, last_key_.get());
    }

    Ref result_, last_key_, last_list_;
};

// Reads a fixed list of keys from many entries. Entries decoded by one json.loads
// share their key objects and, as a rule, their key order, so each key is first
// looked for at its position in the entry read before; any mismatch falls back to
// an ordinary lookup and relearns the positions.
template <size_t Count>
class Reader {
public:
    explicit Reader(const std::array<PyObject*, Count>& names) : names_(names) {}

    // out[i] = entry[names[i]]; the first key missing raises KeyError.
    void read(PyObject* entry, std::array<Ref, Count>& out) {
        if (!PyDict_CheckExact(entry)) {
            for (size_t i = 0; i < Count; ++i) out[i] = item(entry, names_[i]);
            return;
        }
        bool missed = false;
        for (size_t i = 0; i < Count; ++i) {
            Py_ssize_t pos = pos_[i];
            PyObject *key, *value;
            if (seen_[i] && PyDict_Next(entry, &pos, &key, &value) && key == seen_[i].get()) {
                out[i] = Ref::borrow(value);
            } else {
                out[i] = item(entry, names_[i]);
                missed = true;
            }
        }
        if (missed) learn(entry);
    }

private:
    void learn(PyObject* entry) {
        for (Ref& key : seen_) key = Ref();
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(entry, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) continue;
            for (size_t i = 0; i < Count; ++i) {
                if (!seen_[i] && same_text(key, names_[i])) {
                    seen_[i] = Ref::borrow(key);
                    pos_[i] = pos - 1;
                    break;
                }
            }
        }
    }

    const std::array<PyObject*, Count>& names_;
    std::array<Ref, Count> seen_{};
    std::array<Py_ssize_t, Count> pos_{};
};

// A record: a dict sized for its fields up front (cheaper than growing it, and than
// copying a template and replacing values), filled in field order.
template <size_t Count>
PyObject* make_record(const std::array<PyObject*, Count>& keys, const std::array<PyObject*, Count>& values) {
    Ref record(check(_PyDict_NewPresized(Py_ssize_t(Count))));
    for (size_t i = 0; i < Count; ++i) set(record.get(), keys[i], values[i]);
    return record.release();
}

const std::array<PyObject*, 4>& stock_keys() {
    static const std::array<PyObject*, 4> keys{N.exchange, N.code, N.name, N.industry};
    return keys;
}

PyObject* stock_dict_convert(PyObject* contracts) {
    Groups groups;
    Reader<4> reader(stock_keys());
    std::array<Ref, 4> v;
    for_each(contracts, [&](PyObject* entry) {
        reader.read(entry, v);
        auto& [exchange, code, name, industry] = v;
        Ref exchange_text = text(exchange.get()), code_text = text(code.get());
        Ref symbol(join({whole(exchange_text.get()), whole(code_text.get())}));
        Ref stripped(strip_blanks(name.get()));
        Ref record(make_record<7>({N.symbol, N.security_type, N.currency, N.exchange, N.code, N.name, N.category},
                                  {symbol.get(), N.STK, N.TWD, exchange.get(), code.get(), stripped.get(),
                                   industry.get()}));
        groups.add(exchange.get(), record.get());
    });
    return groups.release();
}

// Keys in the order the symbol needs them, so that a missing key is reported as a
// plain reading of the entry would report it.
const std::array<PyObject*, 8>& future_keys() {
    static const std::array<PyObject*, 8> keys{N.ename,    N.deliverymonth, N.code,   N.csname,
                                               N.category, N.prod_kind,     N.ostock, N.basic};
    return keys;
}

const std::array<PyObject*, 9>& option_keys() {
    static const std::array<PyObject*, 9> keys{N.category, N.deliverymonth, N.poc,    N.eprice, N.code,
                                               N.csname,   N.prod_kind,     N.ostock, N.basic};
    return keys;
}

// The fourteen fields of futures and option records, in order.
const std::array<PyObject*, 14>& futopt_fields() {
    static const std::array<PyObject*, 14> keys{
        N.symbol,       N.security_type, N.currency,     N.exchange,        N.code,
        N.name,         N.category,      N.delivery_month, N.strike_price,  N.option_right,
        N.underlying_kind, N.underlying_code, N.unit,    N.multiplier};
    return keys;
}

PyObject* future_dict_convert(PyObject* contracts) {
    Groups groups;
    UnitParser unit;
    Reader<8> reader(future_keys());
    std::array<Ref, 8> v;
    for_each_item(contracts, [&](PyObject* group, PyObject* entries) {
        for_each(entries, [&](PyObject* entry) {
            reader.read(entry, v);
            auto& [ename, month, code, name, category, kind, underlying, basic] = v;
            Ref ename_text = text(ename.get()), month_text = text(month.get());
            Ref symbol(join({whole(ename_text.get()), whole(month_text.get())}));
            Ref unit_value(unit(basic.get()));
            Ref record(make_record(futopt_fields(),
                                   {symbol.get(), N.FUT, N.TWD, N.TAIFEX, code.get(), name.get(), category.get(),
                                    month.get(), N.zero, N.empty, kind.get(), underlying.get(), unit_value.get(),
                                    N.zero}));
            groups.add(group, record.get());
        });
    });
    return groups.release();
}

PyObject* option_dict_convert(PyObject* contracts) {
    Groups groups;
    UnitParser unit;
    Reader<9> reader(option_keys());
    std::array<Ref, 9> v;
    for_each_item(contracts, [&](PyObject* group, PyObject* entries) {
        for_each(entries, [&](PyObject* entry) {
            reader.read(entry, v);
            auto& [category, month, right, strike, code, name, kind, underlying, basic] = v;
            Ref category_text = text(category.get()), month_text = text(month.get());
            Ref right_text = text(right.get()), strike_text = text(strike.get());
            Ref symbol(join({whole(category_text.get()), whole(month_text.get()), whole(right_text.get()),
                             {strike_text.get(), trimmed_strike(strike_text.get())}}));
            Ref unit_value(unit(basic.get()));
            Ref record(make_record(futopt_fields(),
                                   {symbol.get(), N.OPT, N.TWD, N.TAIFEX, code.get(), name.get(), category.get(),
                                    month.get(), strike.get(), right.get(), kind.get(), underlying.get(),
                                    unit_value.get(), N.zero}));
            groups.add(group, record.get());
        });
    });
    return groups.release();
}

PyObject* tw_index_dict_convert(PyObject* index_dict) {
    Ref result(check(PyDict_New()));
    Ref tse(check(PyList_New(0))), otc(check(PyList_New(0)));
    set(result.get(), N.TSE, tse.get());
    set(result.get(), N.OTC, otc.get());
    for_each_item(index_dict, [&](PyObject* code, PyObject* name) {
        Ref first;
        if (PyUnicode_Check(code)) {
            if (PyUnicode_GET_LENGTH(code) == 0) {
                PyErr_SetString(PyExc_IndexError, "string index out of range");
                raise();
            }
            first = Ref(check(PyUnicode_Substring(code, 0, 1)));
        } else {
            Ref zero(check(PyLong_FromLong(0)));
            first = Ref(check(PyObject_GetItem(code, zero.get())));
        }
        PyObject* exchange = PyDict_GetItemWithError(N.index_exchange, first.get());
        if (!exchange) {
            if (PyErr_Occurred()) raise();
            exchange = N.empty;
        }
        // Only "TSE" and "OTC" have groups; any other first character has none.
        PyObject* group = PyDict_GetItemWithError(result.get(), exchange);
        if (!group) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, exchange);
            raise();
        }
        Ref code_text = text(code);
        Ref symbol(join({whole(exchange), whole(code_text.get())}));
        Ref record(make_record<6>({N.symbol, N.security_type, N.currency, N.exchange, N.code, N.name},
                                  {symbol.get(), N.IND, N.TWD, exchange, code, name}));
        if (PyList_Append(group, record.get()) < 0) raise();
    });
    return result.release();
}

// ---- the download ---------------------------------------------------------------------------

nb::object steal(PyObject* p) { return nb::steal(check(p)); }

// A module-level name looked up when used, as Python code would, so that it can be replaced.
nb::object global(const char* name) {
    PyObject* value = PyDict_GetItemString(g_globals, name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        raise();
    }
    return nb::borrow(value);
}

// One contract list from the service, under the client's catalogue deadlines.
nb::object catalogue_exchange(nb::handle client, const char* method, PyObject* uri_name, nb::handle body) {
    return global("exchange")(client.attr(N.session), method, client.attr(uri_name), body,
                              nb::arg("timeout") = client.attr("catalogue_timeout"),
                              nb::arg("deadline") = client.attr("catalogue_deadline"));
}

nb::object list_stock_code(nb::handle client) {
    return catalogue_exchange(client, "GET", N.s_list_code_uri, nb::none());
}

nb::object list_tw_index_code(nb::handle client) {
    return catalogue_exchange(client, "GET", N.index_list_code_uri, nb::none());
}

nb::object list_futopt_code(nb::handle product_type, nb::handle detail, nb::handle client) {
    int wants_contracts = PyObject_IsTrue(detail.ptr());
    if (wants_contracts < 0) raise();
    nb::dict body;
    body[N.code] = product_type;
    body[N.type_] = nb::handle(wants_contracts ? N.contract_ : N.delivery);
    return catalogue_exchange(client, "POST", N.f_list_code_uri, body);
}

bool equals(nb::handle a, const char* b) {
    int eq = PyObject_RichCompareBool(a.ptr(), nb::str(b).ptr(), Py_EQ);
    if (eq < 0) raise();
    return eq == 1;
}

Ref lookup(PyObject* obj, PyObject* key, PyObject* dflt) {
    Ref value = taloma::py::get(obj, key, dflt);
    if (!value) raise();
    return value;
}

nb::object fetch_available_product(nb::handle client, nb::handle product_type) {
    const char* convert = nullptr;
    nb::object reply, contracts;
    if (equals(product_type, "S")) {
        reply = global("_list_stock_code")(client);
        convert = "stock_dict_convert";
    } else if (equals(product_type, "F") || equals(product_type, "O")) {
        reply = global("_list_futopt_code")(nb::arg("product_type") = product_type, nb::arg("detail") = true,
                                             nb::arg("client") = client);
        convert = equals(product_type, "F") ? "future_dict_convert" : "option_dict_convert";
    } else if (equals(product_type, "I")) {
        reply = global("_list_tw_index_code")(client);
        convert = "tw_index_dict_convert";
    } else {
        reply = nb::dict();
    }
    // The verdict comes first: a failed reply's payload is never read, only logged.
    int ok = taloma::py::succeeded(reply.ptr());
    if (ok < 0) raise();
    if (!ok) {
        global("log").attr("error")(global("masked")(reply));
        return nb::dict();
    }
    if (equals(product_type, "S")) {
        Ref empty_list(check(PyList_New(0)));
        Ref list = lookup(reply.ptr(), N.result, empty_list.get());
        int mapping = taloma::py::is_mapping(list.get());
        if (mapping < 0) raise();
        if (mapping) {
            Ref msg = lookup(list.get(), N.msg, Py_None);
            int none_found = PyObject_RichCompareBool(msg.get(), N.no_data, Py_EQ);
            if (none_found < 0) raise();
            if (none_found) list = empty_list;
        }
        contracts = nb::steal(list.release());
    } else if (equals(product_type, "I")) {
        Ref empty(check(PyDict_New()));
        contracts = nb::steal(lookup(reply.ptr(), N.result, empty.get()).release());
    } else {
        Ref empty(check(PyDict_New()));
        Ref result = lookup(reply.ptr(), N.result, empty.get());
        Ref empty_content(check(PyDict_New()));
        contracts = nb::steal(lookup(result.get(), N.content, empty_content.get()).release());
    }
    return global(convert)(contracts);
}

void init_names() {
    struct {
        PyObject*& slot;
        const char* text;
    } texts[] = {
        {N.exchange, "exchange"},
        {N.code, "code"},
        {N.name, "name"},
        {N.industry, "industry"},
        {N.ename, "ename"},
        {N.deliverymonth, "deliverymonth"},
        {N.csname, "csname"},
        {N.category, "category"},
        {N.prod_kind, "prod_kind"},
        {N.ostock, "ostock"},
        {N.basic, "basic"},
        {N.poc, "poc"},
        {N.eprice, "eprice"},
        {N.symbol, "symbol"},
        {N.security_type, "security_type"},
        {N.currency, "currency"},
        {N.delivery_month, "delivery_month"},
        {N.strike_price, "strike_price"},
        {N.option_right, "option_right"},
        {N.underlying_kind, "underlying_kind"},
        {N.underlying_code, "underlying_code"},
        {N.unit, "unit"},
        {N.multiplier, "multiplier"},
        {N.STK, "STK"},
        {N.FUT, "FUT"},
        {N.OPT, "OPT"},
        {N.IND, "IND"},
        {N.TWD, "TWD"},
        {N.TAIFEX, "TAIFEX"},
        {N.TSE, "TSE"},
        {N.OTC, "OTC"},
        {N.empty, ""},
        {N.blank, " "},
        {N.result, "result"},
        {N.content, "content"},
        {N.msg, "msg"},
        {N.no_data, "查無資料"},
        {N.strip, "strip"},
        {N.type_, "type"},
        {N.contract_, "contract"},
        {N.delivery, "delivery"},
        {N.session, "session"},
        {N.s_list_code_uri, "s_list_code_uri"},
        {N.f_list_code_uri, "f_list_code_uri"},
        {N.index_list_code_uri, "index_list_code_uri"},
    };
    for (auto& t : texts)
        if (!t.slot) t.slot = check(PyUnicode_InternFromString(t.text));
    if (!N.zero) N.zero = check(PyLong_FromLong(0));
    if (!N.index_exchange) {
        N.index_exchange = check(PyDict_New());
        Ref zero(check(PyUnicode_FromString("0"))), one(check(PyUnicode_FromString("1")));
        set(N.index_exchange, zero.get(), N.TSE);
        set(N.index_exchange, one.get(), N.OTC);
    }
}

}  // namespace

NB_MODULE(contract, m) {
    init_names();
    m.attr("log") = nb::steal(check(taloma::py::import_attr("taloma.utils", "log").release()));
    for (const char* name : {"exchange", "masked"})
        m.attr(name) = nb::steal(check(taloma::py::import_attr("taloma.backend.http.utils", name).release()));
    Py_XDECREF(g_globals);
    g_globals = Py_NewRef(PyModule_GetDict(m.ptr()));

    m.def("fetch_available_product", &fetch_available_product, nb::arg("client").none(),
          nb::arg("product_type").none(),
          "Download the contracts of one product type (\"S\", \"F\", \"O\" or \"I\") as grouped records.");
    m.def("_list_stock_code", &list_stock_code, nb::arg("client").none());
    m.def("_list_futopt_code", &list_futopt_code, nb::arg("product_type").none(), nb::arg("detail").none(),
          nb::arg("client").none());
    m.def("_list_tw_index_code", &list_tw_index_code, nb::arg("client").none());
    m.def(
        "stock_dict_convert", [](nb::handle contracts) { return steal(stock_dict_convert(contracts.ptr())); },
        nb::arg("contracts").none(), "Stock entries grouped by exchange.");
    m.def(
        "future_dict_convert",
        [](nb::handle contracts) { return steal(future_dict_convert(contracts.ptr())); },
        nb::arg("contracts").none(), "Futures entries of each service group.");
    m.def(
        "option_dict_convert",
        [](nb::handle contracts) { return steal(option_dict_convert(contracts.ptr())); },
        nb::arg("contracts").none(), "Option entries of each service group.");
    m.def(
        "tw_index_dict_convert",
        [](nb::handle index_dict) { return steal(tw_index_dict_convert(index_dict.ptr())); },
        nb::arg("index_dict").none(), "Index codes and names grouped by exchange, \"TSE\" then \"OTC\".");
}
