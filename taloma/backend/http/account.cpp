// taloma.backend.http.account: records that query and hold funds, margin, open
// positions and profit and loss.
//
// The records are plain Python classes (no base, state in the instance dict) whose
// methods are native. Each one delegates its request to a query function of the
// account companion modules, looked up in this module's namespace when it runs, so
// the functions imported at load can be replaced like any module global.
#include <nanobind/nanobind.h>

#include <taloma/iterate.hpp>
#include <taloma/capi.hpp>
#include <taloma/pyref.hpp>

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

PyObject* g_globals;  // this module's namespace

PyObject *s_result, *s_msg, *s_body, *s_empty, *s_format, *s_dict, *s_summary, *s_detail, *s_accountid_format;
PyObject *a_status, *a_msg, *a_data, *a_account, *a_accountid;

PyObject* intern(const char* text) { return check(PyUnicode_InternFromString(text)); }

Ref lookup(PyObject* obj, PyObject* key, PyObject* dflt) {
    Ref value = taloma::py::get(obj, key, dflt);
    if (!value) raise();
    return value;
}

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

    // filled at load
    std::vector<PyObject*> param_attr{}, stored_attr{}, arg_attr{};
    PyObject *sums_key = nullptr, *sum_key = nullptr, *details_key = nullptr, *text_format = nullptr;
};

std::array<Kind, 6> kinds{{
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

nb::object global(const char* name) {
    PyObject* value = PyDict_GetItemString(g_globals, name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        raise();
    }
    return nb::borrow(value);
}

Ref attr(PyObject* self, PyObject* name) { return Ref(check(PyObject_GetAttr(self, name))); }

void set_attr(PyObject* self, PyObject* name, PyObject* value) {
    if (PyObject_SetAttr(self, name, value) < 0) raise();
}

// {"summary": rows that have details, without them; "detail": every detail row of those}.
Ref split(const Kind& kind, PyObject* result) {
    Ref empty_sums = new_dict(), empty_rows = new_list();
    Ref sums = lookup(result, kind.sums_key, empty_sums.get());
    Ref rows = lookup(sums.get(), kind.sum_key, empty_rows.get());
    // A lone summary row may come bare, as detail rows do.
    rows = Ref(assimilate_type(rows.get()));
    Ref summary = new_list(), detail = new_list();
    for_each(rows.get(), [&](PyObject* row) {
        int has = PySequence_Contains(row, kind.details_key);
        if (has < 0) raise();
        if (!has) return;
        Ref reduced(rm_dict_key(row, &kind.details_key, 1));
        if (PyList_Append(summary.get(), reduced.get()) < 0) raise();
        Ref details(check(PyObject_GetItem(row, kind.details_key)));
        for_each_item(details.get(), [&](PyObject*, PyObject* entry) {
            Ref entries(assimilate_type(entry));
            for_each(entries.get(), [&](PyObject* one) {
                if (PyList_Append(detail.get(), one) < 0) raise();
            });
        });
    });
    Ref data = new_dict();
    if (PyDict_SetItem(data.get(), s_summary, summary.get()) < 0 ||
        PyDict_SetItem(data.get(), s_detail, detail.get()) < 0)
        raise();
    return data;
}

// "{broker_id}{account_id}".format(**account.dict())
Ref account_id(PyObject* self) {
    Ref account = attr(self, a_account);
    Ref fields(check(PyObject_CallMethodNoArgs(account.get(), s_dict)));
    Ref kwargs = PyDict_CheckExact(fields.get()) ? fields : new_dict();
    if (kwargs.get() != fields.get() && PyDict_Merge(kwargs.get(), fields.get(), 1) < 0) raise();
    Ref format = attr(s_accountid_format, s_format);
    Ref no_args(check(PyTuple_New(0)));
    return Ref(check(PyObject_Call(format.get(), no_args.get(), kwargs.get())));
}

void update(const Kind& kind, PyObject* self) {
    const size_t n = kind.arg_attr.size();
    Ref args(check(PyTuple_New(Py_ssize_t(n))));
    for (size_t i = 0; i < n; ++i) {
        PyObject* value = kind.arg_attr[i] ? attr(self, kind.arg_attr[i]).release() : Py_NewRef(s_empty);
        PyTuple_SET_ITEM(args.get(), Py_ssize_t(i), value);
    }
    nb::object query = global(kind.query);
    Ref reply(check(PyObject_Call(query.ptr(), args.get(), nullptr)));

    int ok = taloma::py::succeeded(reply.get());
    if (ok < 0) raise();
    Ref empty_result = new_dict();
    Ref result = lookup(reply.get(), s_result, empty_result.get());
    Ref msg = lookup(result.get(), s_msg, s_empty);
    PyObject* status = ok ? Py_True : Py_False;

    Ref data;
    switch (kind.shape) {
        case Shape::Funds: {
            Ref empty_sums = new_dict(), empty_rows = new_list();
            Ref sums = lookup(result.get(), kind.sums_key, empty_sums.get());
            data = lookup(sums.get(), kind.sum_key, empty_rows.get());
            break;
        }
        case Shape::Margin: {
            Ref empty_body = new_dict();
            data = lookup(result.get(), s_body, empty_body.get());
            break;
        }
        case Shape::Split:
            data = split(kind, result.get());
            break;
        case Shape::Body: {
            // The account id is formed after status and message are replaced and before
            // the data are, so an account without ids leaves the old data in place.
            set_attr(self, a_status, status);
            set_attr(self, a_msg, msg.get());
            Ref id = account_id(self);
            set_attr(self, a_accountid, id.get());
            Ref one_empty(check(PyList_New(1)));
            PyList_SET_ITEM(one_empty.get(), 0, new_dict().release());
            data = lookup(result.get(), s_body, one_empty.get());
            set_attr(self, a_data, data.get());
            return;
        }
    }
    // Everything was read before anything is replaced: status, message and data
    // always come from the same reply.
    set_attr(self, a_status, status);
    set_attr(self, a_msg, msg.get());
    set_attr(self, a_data, data.get());
}

void construct(const Kind& kind, PyObject* self, std::initializer_list<nb::handle> values) {
    const nb::handle* given = values.begin();
    for (PyObject* name : kind.stored_attr) {
        for (size_t i = 0; i < kind.params.size(); ++i) {
            if (kind.param_attr[i] == name) set_attr(self, name, given[i].ptr());
        }
    }
    update(kind, self);
}

nb::object text_form(const Kind& kind, nb::handle self) {
    nb::object name = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()))).attr("__name__");
    nb::object format = nb::borrow(kind.text_format).attr(s_format);
    if (kind.shape == Shape::Funds) return format(name);
    return format(name, nb::steal(attr(self.ptr(), a_account).release()));
}

// The constructor of each kind, with its own named parameters.
nb::object make_init(const Kind& k) {
    auto n = [](const char* name) { return nb::arg(name).none(); };
    const auto& p = k.params;
    switch (p.size()) {
        case 3:
            return nb::cpp_function(
                [&k](nb::handle self, nb::handle a, nb::handle b, nb::handle c) {
                    construct(k, self.ptr(), {a, b, c});
                },
                nb::is_method(), n(p[0]), n(p[1]), n(p[2]));
        case 4:
            return nb::cpp_function(
                [&k](nb::handle self, nb::handle a, nb::handle b, nb::handle c, nb::handle d) {
                    construct(k, self.ptr(), {a, b, c, d});
                },
                nb::is_method(), n(p[0]), n(p[1]), n(p[2]), n(p[3]));
        case 5:
            return nb::cpp_function(
                [&k](nb::handle self, nb::handle a, nb::handle b, nb::handle c, nb::handle d, nb::handle e) {
                    construct(k, self.ptr(), {a, b, c, d, e});
                },
                nb::is_method(), n(p[0]), n(p[1]), n(p[2]), n(p[3]), n(p[4]));
        case 7:
            return nb::cpp_function(
                [&k](nb::handle self, nb::handle a, nb::handle b, nb::handle c, nb::handle d, nb::handle e,
                     nb::handle f, nb::handle g) { construct(k, self.ptr(), {a, b, c, d, e, f, g}); },
                nb::is_method(), n(p[0]), n(p[1]), n(p[2]), n(p[3]), n(p[4]), n(p[5]), n(p[6]));
        default:
            throw std::logic_error("unsupported number of record parameters");
    }
}

PyObject* attr_name(const char* param) { return intern(("_" + std::string(param)).c_str()); }

nb::object make_class(Kind& k, nb::handle module_name) {
    for (const char* p : k.params) k.param_attr.push_back(attr_name(p));
    for (const char* p : k.stored) k.stored_attr.push_back(attr_name(p));
    for (const char* a : k.args) k.arg_attr.push_back(*a ? attr_name(a) : nullptr);
    if (k.sums) {
        k.sums_key = intern(k.sums);
        k.sum_key = intern(k.sum);
        if (k.details) k.details_key = intern(k.details);
    }
    if (k.shape == Shape::Funds) {
        k.sums_key = intern("profit_sums");
        k.sum_key = intern("profit_sum");
    }
    k.text_format = intern(k.text_form);

    nb::dict ns;
    ns["__doc__"] = k.doc;
    ns["__module__"] = module_name;
    ns["__qualname__"] = k.name;
    ns["__init__"] = make_init(k);
    ns["update"] = nb::cpp_function([&k](nb::handle self) { update(k, self.ptr()); }, nb::is_method(),
                                    "Run the query again and replace status, message and data.");
    ns["__repr__"] = nb::cpp_function([&k](nb::handle self) { return text_form(k, self); }, nb::is_method());
    ns["data"] = nb::cpp_function([](nb::handle self) { return nb::steal(attr(self.ptr(), a_data).release()); },
                                  nb::is_method(), "The data of the last query.");
    nb::object type = nb::module_::import_("builtins").attr("type");
    return type(k.name, nb::make_tuple(nb::handle((PyObject*)&PyBaseObject_Type)), ns);
}

}  // namespace

NB_MODULE(account, m) {
    // A missing query function fails the import, in this order.
    static const std::pair<const char*, const char*> imports[] = {
        {"taloma.backend.http.futureoption.account", "_query_margin"},
        {"taloma.backend.http.futureoption.account", "_query_open_position"},
        {"taloma.backend.http.futureoption.account", "_query_settle_profitloss"},
        {"taloma.backend.http.stock.account", "_query_funds_profitloss"},
        {"taloma.backend.http.stock.account", "_query_real_profitloss"},
        {"taloma.backend.http.stock.account", "_query_unreal_profitloss"},
    };
    for (auto [module, name] : imports)
        m.attr(name) = nb::steal(check(taloma::py::import_attr(module, name).release()));
    Py_XDECREF(g_globals);
    g_globals = Py_NewRef(PyModule_GetDict(m.ptr()));

    if (!s_result) {
        s_result = intern("result");
        s_msg = intern("msg");
        s_body = intern("body");
        s_empty = intern("");
        s_format = intern("format");
        s_dict = intern("dict");
        s_summary = intern("summary");
        s_detail = intern("detail");
        s_accountid_format = intern("{broker_id}{account_id}");
        a_status = intern("_status");
        a_msg = intern("_msg");
        a_data = intern("_data");
        a_account = intern("_account");
        a_accountid = intern("_accountid");
    }

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
    for (Kind& k : kinds) {
        if (!k.param_attr.empty()) {
            // Loaded again (a fresh import): the kinds are already prepared.
            k.param_attr.clear();
            k.stored_attr.clear();
            k.arg_attr.clear();
        }
        m.attr(k.name) = make_class(k, module_name);
    }
}
