// taloma.backend.http.contract: downloads the service's contract lists and turns them
// into grouped contract field records.
//
// The option list runs to six figures of entries, so the conversions work on the
// C API directly: keys are interned once, exact dicts are read without method
// calls, records are presized dicts, and the delivered texts are shared, not copied.
#include <nanobind/nanobind.h>

#include <taloma/capi.hpp>

#include <array>
#include <cstring>
#include <utility>

namespace nb = nanobind;
using taloma::py::Ref;

namespace {

// clang-format off
#define CONTRACT_NAMES(X)                                                                                         \
    /* keys of the service's entries */                                                                           \
    X(exchange, "exchange") X(code, "code") X(name, "name") X(industry, "industry") X(ename, "ename")             \
    X(deliverymonth, "deliverymonth") X(csname, "csname") X(category, "category") X(prod_kind, "prod_kind")      \
    X(ostock, "ostock") X(basic, "basic") X(poc, "poc") X(eprice, "eprice")                                       \
    /* keys of the records (exchange, code, name, category are shared with the above) */                         \
    X(symbol, "symbol") X(security_type, "security_type") X(currency, "currency")                                \
    X(delivery_month, "delivery_month") X(strike_price, "strike_price") X(option_right, "option_right")          \
    X(underlying_kind, "underlying_kind") X(underlying_code, "underlying_code") X(unit, "unit")                   \
    X(multiplier, "multiplier")                                                                                   \
    /* values */                                                                                                  \
    X(STK, "STK") X(FUT, "FUT") X(OPT, "OPT") X(IND, "IND") X(TWD, "TWD") X(TAIFEX, "TAIFEX") X(TSE, "TSE")       \
    X(OTC, "OTC") X(empty, "") X(blank, " ") X(digit0, "0") X(digit1, "1")                                        \
    /* product types and request methods */                                                                      \
    X(S, "S") X(F, "F") X(O, "O") X(I, "I") X(GET, "GET") X(POST, "POST")                                         \
    /* reply handling */                                                                                          \
    X(result, "result") X(content, "content") X(msg, "msg") X(no_data, "查無資料") X(strip, "strip")            \
    X(type_, "type") X(contract_, "contract") X(delivery, "delivery") X(error, "error")                          \
    /* client attributes */                                                                                       \
    X(session, "session") X(s_list_code_uri, "s_list_code_uri") X(f_list_code_uri, "f_list_code_uri")            \
    X(index_list_code_uri, "index_list_code_uri") X(catalogue_timeout, "catalogue_timeout")                      \
    X(catalogue_deadline, "catalogue_deadline") X(timeout, "timeout") X(deadline, "deadline")                    \
    /* module globals and keywords of their calls */                                                              \
    X(log, "log") X(masked, "masked") X(_list_stock_code, "_list_stock_code")                                     \
    X(_list_futopt_code, "_list_futopt_code") X(_list_tw_index_code, "_list_tw_index_code")                      \
    X(stock_dict_convert, "stock_dict_convert") X(future_dict_convert, "future_dict_convert")                    \
    X(option_dict_convert, "option_dict_convert") X(tw_index_dict_convert, "tw_index_dict_convert")              \
    X(product_type, "product_type") X(detail, "detail") X(client, "client")
// clang-format on
TALOMA_NAMES(ContractNames, CONTRACT_NAMES);

struct ContractState : ContractNames {
    PyObject* globals = nullptr;  // the module's namespace: helpers are looked up there at call time
    Ref zero;
    Ref index_exchange;  // first character of an index code -> its exchange
    Ref kw_deadlines, kw_futopt;
    // Keys read from the service's entries, in the order the symbol needs them, so that a
    // missing key is reported as a plain reading of the entry would report it.
    std::array<PyObject*, 4> stock_keys{};
    std::array<PyObject*, 8> future_keys{};
    std::array<PyObject*, 9> option_keys{};
    // The fourteen fields of futures and option records, in order.
    std::array<PyObject*, 14> futopt_fields{};

    bool init(PyObject* module) {
        if (!ContractNames::init()) return false;
        globals = Py_NewRef(PyModule_GetDict(module));
        zero = Ref(PyLong_FromLong(0));
        index_exchange = Ref(PyDict_New());
        kw_deadlines = Ref(taloma::py::name_tuple({timeout, deadline}));
        kw_futopt = Ref(taloma::py::name_tuple({product_type, detail, client}));
        if (!zero || !index_exchange || !kw_deadlines || !kw_futopt ||
            PyDict_SetItem(index_exchange.get(), digit0, TSE) < 0 ||
            PyDict_SetItem(index_exchange.get(), digit1, OTC) < 0)
            return false;
        stock_keys = {exchange, code, name, industry};
        future_keys = {ename, deliverymonth, code, csname, category, prod_kind, ostock, basic};
        option_keys = {category, deliverymonth, poc, eprice, code, csname, prod_kind, ostock, basic};
        futopt_fields = {
            symbol,       security_type, currency,        exchange,        code, name,      category, delivery_month,
            strike_price, option_right,  underlying_kind, underlying_code, unit, multiplier};
        return true;
    }
};

const ContractState& S() { return taloma::py::state<ContractState>(); }

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
    return Ref(check(PyObject_Format(value, S().empty)));
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
    Ref out = Ref::borrow(S().empty);
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

// "basic" as a float. A catalogue repeats a handful of unit texts, so the last
// text and its value are remembered (floats are immutable; sharing is safe).
class UnitParser {
public:
    PyObject* operator()(PyObject* basic) {
        if (PyFloat_Check(basic)) return Py_NewRef(basic);
        if (!PyUnicode_CheckExact(basic)) return check(PyNumber_Float(basic));
        if (last_text_ && taloma::text::same_text(basic, last_text_.get())) return Py_NewRef(last_value_.get());
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
    if (!PyUnicode_Check(name)) return check(PyObject_CallMethodOneArg(name, S().strip, S().blank));
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
               taloma::text::same_text(key, last_key_.get());
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
                if (!seen_[i] && taloma::text::same_text(key, names_[i])) {
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

PyObject* stock_dict_convert(PyObject* contracts) {
    const ContractState& s = S();
    Groups groups;
    Reader<4> reader(s.stock_keys);
    std::array<Ref, 4> v;
    for_each(contracts, [&](PyObject* entry) {
        reader.read(entry, v);
        auto& [exchange, code, name, industry] = v;
        Ref exchange_text = text(exchange.get()), code_text = text(code.get());
        Ref symbol(join({whole(exchange_text.get()), whole(code_text.get())}));
        Ref stripped(strip_blanks(name.get()));
        Ref record(
            make_record<7>({s.symbol, s.security_type, s.currency, s.exchange, s.code, s.name, s.category},
                           {symbol.get(), s.STK, s.TWD, exchange.get(), code.get(), stripped.get(), industry.get()}));
        groups.add(exchange.get(), record.get());
    });
    return groups.release();
}

PyObject* future_dict_convert(PyObject* contracts) {
    const ContractState& s = S();
    Groups groups;
    UnitParser unit;
    Reader<8> reader(s.future_keys);
    std::array<Ref, 8> v;
    for_each_item(contracts, [&](PyObject* group, PyObject* entries) {
        for_each(entries, [&](PyObject* entry) {
            reader.read(entry, v);
            auto& [ename, month, code, name, category, kind, underlying, basic] = v;
            Ref ename_text = text(ename.get()), month_text = text(month.get());
            Ref symbol(join({whole(ename_text.get()), whole(month_text.get())}));
            Ref unit_value(unit(basic.get()));
            Ref record(make_record(s.futopt_fields, {symbol.get(), s.FUT, s.TWD, s.TAIFEX, code.get(), name.get(),
                                                     category.get(), month.get(), s.zero.get(), s.empty, kind.get(),
                                                     underlying.get(), unit_value.get(), s.zero.get()}));
            groups.add(group, record.get());
        });
    });
    return groups.release();
}

PyObject* option_dict_convert(PyObject* contracts) {
    const ContractState& s = S();
    Groups groups;
    UnitParser unit;
    Reader<9> reader(s.option_keys);
    std::array<Ref, 9> v;
    for_each_item(contracts, [&](PyObject* group, PyObject* entries) {
        for_each(entries, [&](PyObject* entry) {
            reader.read(entry, v);
            auto& [category, month, right, strike, code, name, kind, underlying, basic] = v;
            Ref category_text = text(category.get()), month_text = text(month.get());
            Ref right_text = text(right.get()), strike_text = text(strike.get());
            Ref symbol(join({whole(category_text.get()),
                             whole(month_text.get()),
                             whole(right_text.get()),
                             {strike_text.get(), trimmed_strike(strike_text.get())}}));
            Ref unit_value(unit(basic.get()));
            Ref record(make_record(s.futopt_fields, {symbol.get(), s.OPT, s.TWD, s.TAIFEX, code.get(), name.get(),
                                                     category.get(), month.get(), strike.get(), right.get(), kind.get(),
                                                     underlying.get(), unit_value.get(), s.zero.get()}));
            groups.add(group, record.get());
        });
    });
    return groups.release();
}

PyObject* tw_index_dict_convert(PyObject* index_dict) {
    const ContractState& s = S();
    Ref result(check(PyDict_New()));
    Ref tse(check(PyList_New(0))), otc(check(PyList_New(0)));
    set(result.get(), s.TSE, tse.get());
    set(result.get(), s.OTC, otc.get());
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
        PyObject* exchange = PyDict_GetItemWithError(s.index_exchange.get(), first.get());
        if (!exchange) {
            if (PyErr_Occurred()) raise();
            exchange = s.empty;
        }
        // Only "TSE" and "OTC" have groups; any other first character has none.
        PyObject* group = PyDict_GetItemWithError(result.get(), exchange);
        if (!group) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, exchange);
            raise();
        }
        Ref code_text = text(code);
        Ref symbol(join({whole(exchange), whole(code_text.get())}));
        Ref record(make_record<6>({s.symbol, s.security_type, s.currency, s.exchange, s.code, s.name},
                                  {symbol.get(), s.IND, s.TWD, exchange, code, name}));
        if (PyList_Append(group, record.get()) < 0) raise();
    });
    return result.release();
}

// ---- the download ---------------------------------------------------------------------------

using taloma::py::steal;

// A module-level name looked up when used, as Python code would, so that it can be replaced.
nb::object global(PyObject* name) { return taloma::py::global(S().globals, name); }

// One contract list from the service, under the client's catalogue deadlines.
nb::object catalogue_exchange(nb::handle client, PyObject* method, PyObject* uri_name, nb::handle body) {
    const ContractState& s = S();
    using taloma::py::attr;
    nb::object exchange = global(s.exchange);
    nb::object session = attr(client, s.session), uri = attr(client, uri_name);
    nb::object limit = attr(client, s.catalogue_timeout), deadline = attr(client, s.catalogue_deadline);
    return taloma::py::call_kw(exchange, 4, s.kw_deadlines.get(),
                               {session.ptr(), method, uri.ptr(), body.ptr(), limit.ptr(), deadline.ptr()});
}

nb::object list_stock_code(nb::handle client) {
    return catalogue_exchange(client, S().GET, S().s_list_code_uri, nb::none());
}

nb::object list_tw_index_code(nb::handle client) {
    return catalogue_exchange(client, S().GET, S().index_list_code_uri, nb::none());
}

nb::object list_futopt_code(nb::handle product_type, nb::handle detail, nb::handle client) {
    const ContractState& s = S();
    bool wants_contracts = taloma::py::truthy(detail);
    nb::dict body;
    set(body.ptr(), s.code, product_type.ptr());
    set(body.ptr(), s.type_, wants_contracts ? s.contract_ : s.delivery);
    return catalogue_exchange(client, s.POST, s.f_list_code_uri, body);
}

nb::object fetch_available_product(nb::handle client, nb::handle product_type) {
    const ContractState& s = S();
    using taloma::py::call;
    using taloma::py::equals;
    using taloma::py::get_or;
    PyObject* convert = nullptr;
    nb::object reply, contracts;
    if (equals(product_type, s.S)) {
        reply = call(global(s._list_stock_code), {client.ptr()});
        convert = s.stock_dict_convert;
    } else if (equals(product_type, s.F) || equals(product_type, s.O)) {
        reply = taloma::py::call_kw(global(s._list_futopt_code), 0, s.kw_futopt.get(),
                                    {product_type.ptr(), Py_True, client.ptr()});
        convert = equals(product_type, s.F) ? s.future_dict_convert : s.option_dict_convert;
    } else if (equals(product_type, s.I)) {
        reply = call(global(s._list_tw_index_code), {client.ptr()});
        convert = s.tw_index_dict_convert;
    } else {
        reply = nb::dict();
    }
    // The verdict comes first: a failed reply's payload is never read, only logged.
    if (!check(taloma::py::succeeded(reply.ptr()))) {
        nb::object log = global(s.log);
        nb::object shown = call(global(s.masked), {reply.ptr()});
        taloma::py::call_method(log, s.error, {shown.ptr()});
        return nb::dict();
    }
    if (equals(product_type, s.S)) {
        Ref empty_list(check(PyList_New(0)));
        Ref list = get_or(reply.ptr(), s.result, empty_list.get());
        if (check(taloma::py::is_mapping(list.get()))) {
            Ref msg = get_or(list.get(), s.msg, Py_None);
            if (check(PyObject_RichCompareBool(msg.get(), s.no_data, Py_EQ))) list = empty_list;
        }
        contracts = steal(list);
    } else if (equals(product_type, s.I)) {
        Ref empty(check(PyDict_New()));
        contracts = steal(get_or(reply.ptr(), s.result, empty.get()));
    } else {
        Ref empty(check(PyDict_New()));
        Ref result = get_or(reply.ptr(), s.result, empty.get());
        Ref empty_content(check(PyDict_New()));
        contracts = steal(get_or(result.get(), s.content, empty_content.get()));
    }
    return call(global(convert), {contracts.ptr()});
}

}  // namespace

NB_MODULE(contract, m) {
    if (!taloma::py::make_state<ContractState>(m.ptr())) raise();
    m.attr("log") = steal(taloma::py::import_attr("taloma.utils", "log"));
    for (const char* name : {"exchange", "masked"})
        m.attr(name) = steal(taloma::py::import_attr("taloma.backend.http.utils", name));

    m.def("fetch_available_product", &fetch_available_product, nb::arg("client").none(), nb::arg("product_type").none(),
          "Download the contracts of one product type (\"S\", \"F\", \"O\" or \"I\") as grouped records.");
    m.def("_list_stock_code", &list_stock_code, nb::arg("client").none());
    m.def("_list_futopt_code", &list_futopt_code, nb::arg("product_type").none(), nb::arg("detail").none(),
          nb::arg("client").none());
    m.def("_list_tw_index_code", &list_tw_index_code, nb::arg("client").none());
    m.def(
        "stock_dict_convert", [](nb::handle contracts) { return nb::steal(stock_dict_convert(contracts.ptr())); },
        nb::arg("contracts").none(), "Stock entries grouped by exchange.");
    m.def(
        "future_dict_convert", [](nb::handle contracts) { return nb::steal(future_dict_convert(contracts.ptr())); },
        nb::arg("contracts").none(), "Futures entries of each service group.");
    m.def(
        "option_dict_convert", [](nb::handle contracts) { return nb::steal(option_dict_convert(contracts.ptr())); },
        nb::arg("contracts").none(), "Option entries of each service group.");
    m.def(
        "tw_index_dict_convert",
        [](nb::handle index_dict) { return nb::steal(tw_index_dict_convert(index_dict.ptr())); },
        nb::arg("index_dict").none(), "Index codes and names grouped by exchange, \"TSE\" then \"OTC\".");
}
