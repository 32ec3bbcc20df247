// taloma.backend.http.client: the service client (session, addresses, login state) and the login exchange.
//
// Client is a plain Python class whose state lives in the instance __dict__, so the other modules and
// user programs read and replace its attributes as they would on any Python object. The module's
// imports are module globals read at call time, as in Python code, so a program may swap them.
#include <nanobind/nanobind.h>

#include <taloma/pyref.hpp>

#include <utility>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// Attribute name and path after api_uri, in the order the attributes are set.
constexpr std::pair<const char*, const char*> kAddresses[] = {
    {"public_ip_uri", "getClientIP"},
    {"login_uri", "getToken"},
    {"index_list_code_uri", "codeList/sc_code"},
    {"s_list_code_uri", "codeList/stock_code"},
    {"s_order_uri", "Equity/order"},
    {"s_order_chqty_uri", "Equity/updateQty"},
    {"s_order_cancel_uri", "Equity/cancel"},
    {"s_query_order_uri", "Equity/OrderStatusQuery"},
    {"s_query_funds_profitloss_uri", "Equity/SummarisePrtlos"},
    {"s_query_unreal_profitloss_uri", "Equity/UnRealPrtlos"},
    {"s_query_real_profitloss_uri", "Equity/RealPrtlos"},
    {"f_order_uri", "Future/order"},
    {"f_order_cancel_uri", "Future/cancel"},
    {"f_order_chqty_uri", "Future/updateQty"},
    {"f_order_chprice_uri", "Future/updatePrice"},
    {"f_query_order_uri", "Future/FOrderStatusQuery"},
    {"f_list_code_uri", "codeList/stmb_code"},
    {"f_query_margin_uri", "Future/Margin"},
    {"f_query_open_position_uri", "Future/Position"},
    {"f_query_settle_pl_uri", "Future/SettleProfitLossDetail"},
};

[[noreturn]] void raise_pending() { throw nb::python_error(); }

nb::object checked(PyObject* result) {
    if (!result) raise_pending();
    return nb::steal(result);
}

nb::object checked(taloma::py::Ref result) { return checked(result.release()); }

bool truthy(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) raise_pending();
    return r != 0;
}

nb::object global(nb::handle globals, const char* name) {
    PyObject* value = PyDict_GetItemString(globals.ptr(), name);  // borrowed
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        raise_pending();
    }
    return nb::borrow(value);
}

nb::object item(nb::handle mapping, const char* key) {
    return checked(PyObject_GetItem(mapping.ptr(), nb::str(key).ptr()));
}

nb::object get(nb::handle mapping, const char* key, nb::handle fallback) {
    return mapping.attr("get")(key, fallback);
}

// Raised for a reply whose "success" is not text. It is both a TypeError (the value has the wrong type)
// and an AttributeError (what text-only code, calling .lower() on it, would meet).
nb::object make_not_text_error(nb::handle module_name) {
    nb::object type = nb::module_::import_("builtins").attr("type");
    nb::dict ns;
    ns["__module__"] = module_name;
    ns["__doc__"] = "A service reply holds a non-text value where text is required.";
    return type("ReplyTypeError", nb::make_tuple(nb::handle(PyExc_TypeError), nb::handle(PyExc_AttributeError)),
                ns);
}

// Deadlines of a new client: the given value, or the package's setting of that name when none is given;
// a timeout given without a catalogue timeout serves the catalogue too.
constexpr std::pair<const char*, bool> kDeadlines[] = {
    {"timeout", true}, {"catalogue_timeout", true}, {"catalogue_deadline", false}};

void client_init(nb::handle self, nb::handle simulation, nb::handle proxies, nb::handle globals,
                 const nb::handle (&given)[3]) {
    // Read at every construction so that a program can retarget new clients at run time.
    nb::object production = checked(taloma::py::import_attr("taloma.backend.http", "api_url_production"));
    nb::object simulated = checked(taloma::py::import_attr("taloma.backend.http", "api_url_simulation"));
    nb::object api_ver = checked(taloma::py::import_attr("taloma.backend.http", "api_ver"));
    nb::object deadlines[3];
    for (size_t i = 0; i < 3; ++i) {
        auto [name, pair] = kDeadlines[i];
        nb::handle chosen = i == 1 && given[1].is_none() ? given[0] : given[i];
        nb::object value =
            chosen.is_none() ? checked(taloma::py::import_attr("taloma.backend.http", name)) : nb::borrow(chosen);
        deadlines[i] = global(globals, "checked_timeout")(name, value, pair);
    }

    nb::object session = global(globals, "requests").attr("Session")();
    nb::setattr(self, "session", session);
    if (truthy(proxies)) nb::setattr(session, "proxies", proxies);
    nb::setattr(self, "_token", nb::str(""));

    nb::object api_url = truthy(simulation) ? simulated : production;
    nb::setattr(self, "api_url", api_url);
    nb::setattr(self, "api_ver", api_ver);
    nb::object api_uri = nb::str("{}/api/{}/").attr("format")(api_url, api_ver);
    nb::setattr(self, "api_uri", api_uri);

    nb::setattr(self, "accounts", nb::list());
    nb::setattr(self, "default_stock_account", nb::none());
    nb::setattr(self, "default_futopt_account", nb::none());
    nb::setattr(self, "activated_ca", nb::dict());

    for (const auto& [name, path] : kAddresses) {
        nb::setattr(self, name, checked(PyUnicode_Concat(api_uri.ptr(), nb::str(path).ptr())));
    }
    for (size_t i = 0; i < 3; ++i) nb::setattr(self, kDeadlines[i].first, deadlines[i]);
    nb::setattr(self, "_public_ip", nb::none());
}

nb::object client_get_public_ip(nb::handle self, nb::handle globals) {
    nb::object reply = global(globals, "exchange")(self.attr("session"), "GET", self.attr("public_ip_uri"),
                                                   "timeout"_a = self.attr("timeout"));
    nb::object result = get(reply, "result", nb::dict());
    return get(result, "client_ip", nb::str("127.0.0.1"));
}

nb::object login_exchange(nb::handle session, nb::str uri, nb::str person_id, nb::str passwd, nb::handle timeout,
                          nb::handle globals) {
    nb::dict body;
    body["user_id"] = person_id;
    body["password"] = passwd;
    body["domain"] = "python-api";
    nb::object limit =
        timeout.is_none() ? checked(taloma::py::import_attr("taloma.backend.http", "timeout")) : nb::borrow(timeout);
    return global(globals, "exchange")(session, "POST", uri, body, "timeout"_a = limit);
}

// Judges the reply before anything but the credentials has changed: a reply that cannot be judged
// must leave the previous login intact.
bool succeeded(nb::handle reply, nb::handle not_text_error) {
    nb::object success = item(reply, "success");
    if (!PyUnicode_Check(success.ptr())) {
        PyErr_Format(not_text_error.ptr(), "login reply 'success' is not text: %R", success.ptr());
        raise_pending();
    }
    nb::object lowered = nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)).attr("lower")(success);
    return PyUnicode_CompareWithASCIIString(lowered.ptr(), "true") == 0;
}

nb::list accounts_of(nb::handle result, nb::handle globals) {
    nb::object account_cls = global(globals, "Account");
    nb::list kinds;
    for (nb::handle kind : global(globals, "AccountType")) kinds.append(kind);

    nb::list accounts;
    for (nb::handle entry : get(result, "accounts", nb::list())) {
        nb::object type = item(entry, "accttype");
        bool known = false;
        for (nb::handle kind : kinds) {
            int eq = PyObject_RichCompareBool(type.ptr(), kind.ptr(), Py_EQ);
            if (eq < 0) raise_pending();
            if (eq) {
                known = true;
                break;
            }
        }
        if (!known) continue;  // account types this package does not trade
        nb::object account = account_cls("account_type"_a = type, "person_id"_a = item(entry, "idno"),
                                         "broker_id"_a = item(entry, "broker_id"),
                                         "account_id"_a = item(entry, "account"),
                                         "username"_a = item(entry, "username"));
        accounts.append(account.attr("astype")());
    }
    return accounts;
}

nb::object client_login(nb::handle self, nb::str person_id, nb::str passwd, nb::handle globals,
                        nb::handle not_text_error) {
    nb::setattr(self, "_public_ip", self.attr("get_public_ip")());
    nb::setattr(self, "person_id", person_id);
    nb::object digest = global(globals, "hashlib").attr("md5")(passwd.attr("encode")("utf-8")).attr("hexdigest")();
    nb::setattr(self, "hashpasswd", digest);

    nb::object reply = global(globals, "_login")(self.attr("session"), self.attr("login_uri"), person_id, digest,
                                                 "timeout"_a = self.attr("timeout"));
    nb::object log = global(globals, "log");
    nb::object masked = global(globals, "masked");
    if (succeeded(reply, not_text_error)) {
        log.attr("debug")(masked(reply));
        nb::object result = get(reply, "result", nb::dict());
        nb::list accounts = accounts_of(result, globals);
        nb::object token = get(result, "token", nb::str(""));
        nb::setattr(self, "accounts", accounts);
        nb::setattr(self, "_token", token);
    } else {
        log.attr("error")(masked(reply));
    }

    nb::object stock_cls = global(globals, "StockAccount");
    nb::object future_cls = global(globals, "FutureAccount");
    nb::list stock, futures;
    for (nb::handle account : self.attr("accounts")) {
        if (nb::isinstance(account, stock_cls)) stock.append(account);
        if (nb::isinstance(account, future_cls)) futures.append(account);
    }
    nb::setattr(self, "default_stock_account", stock.size() ? nb::object(stock[0]) : nb::none());
    nb::setattr(self, "default_futopt_account", futures.size() ? nb::object(futures[0]) : nb::none());
    return nb::make_tuple(stock, futures);
}

}  // namespace

NB_MODULE(client, m) {
    m.doc() = "The broker's service client: HTTP session, service addresses, login and accounts.";
    nb::dict globals = nb::borrow<nb::dict>(PyModule_GetDict(m.ptr()));

    m.attr("requests") = nb::module_::import_("requests");
    m.attr("hashlib") = nb::module_::import_("hashlib");
    m.attr("log") = checked(taloma::py::import_attr("taloma.utils", "log"));
    for (const char* name : {"Account", "AccountType", "StockAccount", "FutureAccount"}) {
        m.attr(name) = checked(taloma::py::import_attr("taloma.account", name));
    }
    for (const char* name : {"exchange", "masked", "checked_timeout"}) {
        m.attr(name) = checked(taloma::py::import_attr("taloma.backend.http.utils", name));
    }
    nb::object not_text_error = make_not_text_error(m.attr("__name__"));
    m.attr("ReplyTypeError") = not_text_error;

    m.def(
        "_login",
        [globals](nb::handle session, nb::str uri, nb::str person_id, nb::str passwd, nb::handle timeout) {
            return login_exchange(session, std::move(uri), std::move(person_id), std::move(passwd), timeout, globals);
        },
        "session"_a.none(), "uri"_a, "person_id"_a, "passwd"_a, nb::kw_only(), "timeout"_a.none() = nb::none(),
        "POST the login request (passwd already digested) and return the decoded reply; timeout defaults to\n"
        "the package's setting taloma.backend.http.timeout.");

    nb::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__doc__"] =
        "Client(simulation, proxies, *, timeout=None, catalogue_timeout=None, catalogue_deadline=None): one\n"
        "connection to the broker's production or simulation service.\n\n"
        "timeout: (connect, read) seconds, or one number for both, of the login, orders, order and account\n"
        "queries; catalogue_timeout: the same for the contract lists (timeout when only that is given);\n"
        "catalogue_deadline: seconds for a whole contract list. None takes the package's setting of the same\n"
        "name (taloma.backend.http). Each is kept as the client's attribute of that name, read at every request.";
    ns["__init__"] = nb::cpp_function(
        [globals](nb::handle self, nb::handle simulation, nb::handle proxies, nb::handle timeout,
                  nb::handle catalogue_timeout, nb::handle catalogue_deadline) {
            client_init(self, simulation, proxies, globals, {timeout, catalogue_timeout, catalogue_deadline});
        },
        nb::is_method(), nb::name("__init__"), "simulation"_a.none(), "proxies"_a.none(), nb::kw_only(),
        "timeout"_a.none() = nb::none(), "catalogue_timeout"_a.none() = nb::none(),
        "catalogue_deadline"_a.none() = nb::none());
    ns["get_public_ip"] = nb::cpp_function(
        [globals](nb::handle self) { return client_get_public_ip(self, globals); }, nb::is_method(),
        nb::name("get_public_ip"), "The machine's public IP address as the service sees it.");
    ns["login"] = nb::cpp_function(
        [globals, not_text_error](nb::handle self, nb::str person_id, nb::str passwd) {
            return client_login(self, std::move(person_id), std::move(passwd), globals, not_text_error);
        },
        nb::is_method(), nb::name("login"), "person_id"_a, "passwd"_a,
        "Log in; return (stock accounts, futures accounts).");

    nb::object type = nb::module_::import_("builtins").attr("type");
    m.attr("Client") = type("Client", nb::make_tuple(), ns);
}
