// taloma.backend.http.account: records that query and hold funds, margin, open
// positions and profit and loss.
//
// The records are plain Python classes (no base, state in the instance dict) whose
// methods are native. Each one delegates its request to a query function of the
// account companion modules, looked up in this module's namespace when it runs, so
// the functions imported at load can be replaced like any module global.
#include <nanobind/nanobind.h>

#include <taloma/capi.hpp>

#include <array>
#include <string>
#include <vector>

namespace nb = nanobind;
using taloma::py::check;
using taloma::py::for_each;
using taloma::py::for_each_item;
using taloma::py::raise;
using taloma::py::Ref;

namespace {

// clang-format off
#define ACCOUNT_NAMES(X)                                                                                   \
    X(result, "result") X(msg, "msg") X(body, "body") X(empty, "") X(format, "format") X(dict, "dict")     \
    X(summary, "summary") X(detail, "detail") X(accountid_format, "{broker_id}{account_id}")               \
    X(profit_sums, "profit_sums") X(profit_sum, "profit_sum") X(type_name, "__name__")                      \
    /* record attributes */                                                                                \
    X(_status, "_status") X(_msg, "_msg") X(_data, "_data") X(_account, "_account") X(_accountid, "_accountid")
// clang-format on
TALOMA_NAMES(AccountNames, ACCOUNT_NAMES);

using taloma::py::attr;
using taloma::py::get_or;
using taloma::py::set_attr;

Ref new_dict() { return Ref(check(PyDict_New())); }
Ref new_list() { return Ref(check(PyList_New(0))); }

int mapping(PyObject* obj) {
    int is = taloma::py::is_mapping(obj);
    if (is < 0) raise();
    return is;
}

// ---- module functions -----------------------------------------------------------------------

PyObject* rm_dict_key(PyObject* d, PyObject* const* keys, size_t count) {
    // dict(d): a mapping is copied, pairs are taken as pairs, None is a TypeError.
    Ref copy(check(PyDict_CheckExact(d) ? PyDict_Copy(d) : PyObject_CallOneArg((PyObject*)&PyDict_Type, d)));
    for (size_t i = 0; i < count; ++i) {
        if (PyDict_DelItem(copy.get(), keys[i]) < 0) raise();
    }
    return copy.release();
}

PyObject* assimilate_type(PyObject* details) {
    if (mapping(details)) {
        PyObject* one = check(PyList_New(1));
        PyList_SET_ITEM(one, 0, Py_NewRef(details));
        return one;
    }
    return Py_NewRef(details);
}

// ---- the records ----------------------------------------------------------------------------

enum class Shape {
    Funds,   // result -> profit_sums -> profit_sum, as delivered
    Margin,  // result -> body, an empty mapping when absent
    Split,   // summary rows and their detail rows, flattened
    Body,    // result -> body, [{}] when absent; keeps _accountid
};

// One record class: what it stores, what it asks and how it reads the reply.
struct Kind {
    const char* name;
    const char* doc;
    std::vector<const char*> params;  // constructor parameters, in order
    std::vector<const char*> stored;  // the order in which they are stored
    const char* query;                // companion function
    std::vector<const char*> args;    // its positional arguments; "" is the empty text
    Shape shape;
    const char* text_form;
    // Split only: the reply's keys for the rows and their details.
    const char *sums = nullptr, *sum = nullptr, *details = nullptr;
};

const std::array<Kind, 6> kinds{{
    {"AccountFunds",
     "Funds and profit-and-loss summary of a stock account.",
     {"tax", "account", "client"},
     {"tax", "client", "account"},
     "_query_funds_profitloss",
     {"account", "client", "tax"},
     Shape::Funds,
     "{}"},
    {"AccountMargin",
     "Margin of a futures account.",
     {"currency", "margin_type", "account", "client"},
     {"currency", "margin_type", "account", "client"},
     "_query_margin",
     {"currency", "margin_type", "account", "client"},
     Shape::Margin,
     "{}({})"},
    {"AccountOpenPosition",
     "Open positions of a futures account.",
     {"product_type", "query_type", "account", "client"},
     {"product_type", "query_type", "account", "client"},
     "_query_open_position",
     {"product_type", "query_type", "account", "client"},
     Shape::Body,
     "{}({})"},
    {"AccountSettleProfitLoss",
     "Settled profit and loss of a futures account.",
     {"product_type", "summary", "start_date", "end_date", "currency", "account", "client"},
     {"product_type", "summary", "start_date", "end_date", "currency", "account", "client"},
     "_query_settle_profitloss",
     {"product_type", "summary", "start_date", "end_date", "currency", "account", "client"},
     Shape::Body,
     "{}({})"},
    {"AccountUnRealProfitLoss",
     "Unrealised profit and loss of a stock account: summary rows and their detail rows.",
     {"stock_type", "currency", "action", "account", "client"},
     {"stock_type", "currency", "action", "account", "client"},
     "_query_unreal_profitloss",
     {"account", "client", "", "stock_type", "currency", "action"},
     Shape::Split,
     "{}\n{}",
     "unreal_sums",
     "unreal_sum",
     "unreal_details"},
    {"AccountRealProfitLoss",
     "Realised profit and loss of a stock account: summary rows and their detail rows.",
     {"stock_type", "start_date", "end_date", "currency", "action", "account", "client"},
     {"stock_type", "start_date", "end_date", "currency", "action", "account", "client"},
     "_query_real_profitloss",
     {"account", "client", "", "stock_type", "start_date", "end_date", "currency", "action"},
     Shape::Split,
     "{}\n{}",
     "profit_sums",
     "profit_sum",
     "profit_details"},
}};

// A kind's names, interned at load: the attributes ("_" + parameter) it stores and passes
// on, the reply keys it reads, its text form and the name of its query function.
struct KindNames {
    std::vector<Ref> param_attr, stored_attr, arg_attr;  // arg_attr: null for the empty text
    Ref sums_key, sum_key, details_key, text_format, query;

    bool init(const Kind& k, const AccountNames& n) {
        auto intern = [](const char* text) { return Ref(PyUnicode_InternFromString(text)); };
        auto attr_name = [&](const char* param) { return intern(("_" + std::string(param)).c_str()); };
        for (const char* p : k.params)
            if (!param_attr.emplace_back(attr_name(p))) return false;
        for (const char* p : k.stored)
            if (!stored_attr.emplace_back(attr_name(p))) return false;
        for (const char* a : k.args) {
            if (!*a) {
                arg_attr.emplace_back();
            } else if (!arg_attr.emplace_back(attr_name(a))) {
                return false;
            }
        }
        if (k.sums) {
            if (!(sums_key = intern(k.sums)) || !(sum_key = intern(k.sum))) return false;
            if (k.details && !(details_key = intern(k.details))) return false;
        }
        if (k.shape == Shape::Funds) {
            sums_key = Ref::borrow(n.profit_sums);
            sum_key = Ref::borrow(n.profit_sum);
        }
        return (text_format = intern(k.text_form)) && (query = intern(k.query));
    }
};

struct AccountState : AccountNames {
    PyObject* globals = nullptr;  // this module's namespace
    std::array<KindNames, 6> kind_names;

    bool init(PyObject* module) {
        if (!AccountNames::init()) return false;
        globals = Py_NewRef(PyModule_GetDict(module));
        for (size_t i = 0; i < kinds.size(); ++i)
            if (!kind_names[i].init(kinds[i], *this)) return false;
        return true;
    }
};

const AccountState& S() { return taloma::py::state<AccountState>(); }

// One record class and its names.
struct Record {
    const Kind& kind;
    const KindNames& names;
};

Record record(size_t which) { return {kinds[which], S().kind_names[which]}; }


nb::object global(PyObject* name) { return taloma::py::global(S().globals, name); }


// {"summary": rows that have details, without them; "detail": every detail row of those}.
Ref split(const KindNames& kind, PyObject* result) {
    const AccountState& s = S();
    Ref empty_sums = new_dict(), empty_rows = new_list();
    Ref sums = get_or(result, kind.sums_key.get(), empty_sums.get());
    Ref rows = get_or(sums.get(), kind.sum_key.get(), empty_rows.get());
    // A lone summary row may come bare, as detail rows do.
    rows = Ref(assimilate_type(rows.get()));
    Ref summary = new_list(), detail = new_list();
    for_each(rows.get(), [&](PyObject* row) {
        int has = PySequence_Contains(row, kind.details_key.get());
        if (has < 0) raise();
        if (!has) return;
        PyObject* details_key = kind.details_key.get();
        Ref reduced(rm_dict_key(row, &details_key, 1));
        if (PyList_Append(summary.get(), reduced.get()) < 0) raise();
        Ref details(check(PyObject_GetItem(row, details_key)));
        for_each_item(details.get(), [&](PyObject*, PyObject* entry) {
            Ref entries(assimilate_type(entry));
            for_each(entries.get(), [&](PyObject* one) {
                if (PyList_Append(detail.get(), one) < 0) raise();
            });
        });
    });
    Ref data = new_dict();
    if (PyDict_SetItem(data.get(), s.summary, summary.get()) < 0 ||
        PyDict_SetItem(data.get(), s.detail, detail.get()) < 0)
        raise();
    return data;
}

// "{broker_id}{account_id}".format(**account.dict())
Ref account_id(PyObject* self) {
    const AccountState& s = S();
    nb::object account = attr(self, s._account);
    Ref fields(check(PyObject_CallMethodNoArgs(account.ptr(), s.dict)));
    Ref kwargs = PyDict_CheckExact(fields.get()) ? fields : new_dict();
    if (kwargs.get() != fields.get() && PyDict_Merge(kwargs.get(), fields.get(), 1) < 0) raise();
    nb::object format = attr(s.accountid_format, s.format);
    Ref no_args(check(PyTuple_New(0)));
    return Ref(check(PyObject_Call(format.ptr(), no_args.get(), kwargs.get())));
}

void update(Record r, PyObject* self) {
    const AccountState& s = S();
    const KindNames& kind = r.names;
    const size_t n = kind.arg_attr.size();
    Ref args(check(PyTuple_New(Py_ssize_t(n))));
    for (size_t i = 0; i < n; ++i) {
        PyObject* value = kind.arg_attr[i] ? attr(self, kind.arg_attr[i].get()).release().ptr() : Py_NewRef(s.empty);
        PyTuple_SET_ITEM(args.get(), Py_ssize_t(i), value);
    }
    nb::object query = global(kind.query.get());
    Ref reply(check(PyObject_Call(query.ptr(), args.get(), nullptr)));

    int ok = taloma::py::succeeded(reply.get());
    if (ok < 0) raise();
    Ref empty_result = new_dict();
    Ref result = get_or(reply.get(), s.result, empty_result.get());
    Ref msg = get_or(result.get(), s.msg, s.empty);
    PyObject* status = ok ? Py_True : Py_False;

    Ref data;
    switch (r.kind.shape) {
        case Shape::Funds: {
            Ref empty_sums = new_dict(), empty_rows = new_list();
            Ref sums = get_or(result.get(), kind.sums_key.get(), empty_sums.get());
            data = get_or(sums.get(), kind.sum_key.get(), empty_rows.get());
            break;
        }
        case Shape::Margin: {
            Ref empty_body = new_dict();
            data = get_or(result.get(), s.body, empty_body.get());
            break;
        }
        case Shape::Split: data = split(kind, result.get()); break;
        case Shape::Body: {
            // The account id is formed after status and message are replaced and before
            // the data are, so an account without ids leaves the old data in place.
            set_attr(self, s._status, status);
            set_attr(self, s._msg, msg.get());
            Ref id = account_id(self);
            set_attr(self, s._accountid, id.get());
            Ref one_empty(check(PyList_New(1)));
            PyList_SET_ITEM(one_empty.get(), 0, new_dict().release());
            data = get_or(result.get(), s.body, one_empty.get());
            set_attr(self, s._data, data.get());
            return;
        }
    }
    // Everything was read before anything is replaced: status, message and data
    // always come from the same reply.
    set_attr(self, s._status, status);
    set_attr(self, s._msg, msg.get());
    set_attr(self, s._data, data.get());
}

void construct(Record r, PyObject* self, std::initializer_list<nb::handle> values) {
    const nb::handle* given = values.begin();
    for (const Ref& name : r.names.stored_attr) {
        for (size_t i = 0; i < r.kind.params.size(); ++i) {
            if (r.names.param_attr[i].get() == name.get()) set_attr(self, name.get(), given[i].ptr());
        }
    }
    update(r, self);
}

nb::object text_form(Record r, nb::handle self) {
    const AccountState& s = S();
    nb::object name = attr(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())), s.type_name);
    nb::object format = attr(r.names.text_format.get(), s.format);
    if (r.kind.shape == Shape::Funds) return taloma::py::call(format, {name.ptr()});
    nb::object account = attr(self, s._account);
    return taloma::py::call(format, {name.ptr(), account.ptr()});
}

// The constructor of each kind, with its own named parameters.
nb::object make_init(size_t which) {
    auto n = [](const char* name) { return nb::arg(name).none(); };
    const auto& p = kinds[which].params;
    switch (p.size()) {
        case 3:
            return nb::cpp_function(
                [which](nb::handle self, nb::handle a, nb::handle b, nb::handle c) {
                    construct(record(which), self.ptr(), {a, b, c});
                },
                nb::is_method(), n(p[0]), n(p[1]), n(p[2]));
        case 4:
            return nb::cpp_function(
                [which](nb::handle self, nb::handle a, nb::handle b, nb::handle c, nb::handle d) {
                    construct(record(which), self.ptr(), {a, b, c, d});
                },
                nb::is_method(), n(p[0]), n(p[1]), n(p[2]), n(p[3]));
        case 5:
            return nb::cpp_function(
                [which](nb::handle self, nb::handle a, nb::handle b, nb::handle c, nb::handle d, nb::handle e) {
                    construct(record(which), self.ptr(), {a, b, c, d, e});
                },
                nb::is_method(), n(p[0]), n(p[1]), n(p[2]), n(p[3]), n(p[4]));
        case 7:
            return nb::cpp_function(
                [which](nb::handle self, nb::handle a, nb::handle b, nb::handle c, nb::handle d, nb::handle e,
                        nb::handle f, nb::handle g) {
                    construct(record(which), self.ptr(), {a, b, c, d, e, f, g});
                },
                nb::is_method(), n(p[0]), n(p[1]), n(p[2]), n(p[3]), n(p[4]), n(p[5]), n(p[6]));
        default: throw std::logic_error("unsupported number of record parameters");
    }
}

nb::object make_class(size_t which, nb::handle module_name) {
    const Kind& k = kinds[which];
    nb::dict ns;
    ns["__doc__"] = k.doc;
    ns["__module__"] = module_name;
    ns["__qualname__"] = k.name;
    ns["__init__"] = make_init(which);
    ns["update"] = nb::cpp_function([which](nb::handle self) { update(record(which), self.ptr()); }, nb::is_method(),
                                    "Run the query again and replace status, message and data.");
    ns["__repr__"] = nb::cpp_function([which](nb::handle self) { return text_form(record(which), self); },
                                      nb::is_method());
    ns["data"] = nb::cpp_function([](nb::handle self) { return attr(self, S()._data); }, nb::is_method(),
                                  "The data of the last query.");
    nb::object type = nb::module_::import_("builtins").attr("type");
    return type(k.name, nb::make_tuple(nb::handle((PyObject*)&PyBaseObject_Type)), ns);
}

}  // namespace

NB_MODULE(account, m) {
    // A missing query function fails the import, in this order.
    constexpr std::pair<const char*, const char*> imports[] = {
        {"taloma.backend.http.futureoption.account", "_query_margin"},
        {"taloma.backend.http.futureoption.account", "_query_open_position"},
        {"taloma.backend.http.futureoption.account", "_query_settle_profitloss"},
        {"taloma.backend.http.stock.account", "_query_funds_profitloss"},
        {"taloma.backend.http.stock.account", "_query_real_profitloss"},
        {"taloma.backend.http.stock.account", "_query_unreal_profitloss"},
    };
    for (auto [module, name] : imports) m.attr(name) = taloma::py::steal(taloma::py::import_attr(module, name));
    if (!taloma::py::make_state<AccountState>(m.ptr())) raise();

    m.def(
        "rm_dict_key",
        [](nb::handle d, nb::args keys) {
            std::vector<PyObject*> k;
            for (nb::handle key : keys) k.push_back(key.ptr());
            return nb::steal(rm_dict_key(d.ptr(), k.data(), k.size()));
        },
        nb::arg("d").none(), nb::arg("args"), "A copy of d without the given keys (KeyError for an absent one).");
    m.def(
        "assimilate_type", [](nb::handle details) { return nb::steal(assimilate_type(details.ptr())); },
        nb::arg("details").none(), "A mapping as a one-row list; anything else unchanged.");

    nb::object module_name = m.attr("__name__");
    for (size_t i = 0; i < kinds.size(); ++i) m.attr(kinds[i].name) = make_class(i, module_name);
}
