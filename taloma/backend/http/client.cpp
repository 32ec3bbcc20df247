// taloma.backend.http.client: the service client (session, addresses, login state) and the login exchange.
//
// Client is a plain Python class whose state lives in the instance __dict__, so the other modules and
// user programs read and replace its attributes as they would on any Python object. The module's
// imports are module globals read at call time, as in Python code, so a program may swap them.
#include <nanobind/nanobind.h>

#include <taloma/capi.hpp>

namespace nb = nanobind;
using namespace nb::literals;
using taloma::py::attr;
using taloma::py::call;
using taloma::py::call_kw;
using taloma::py::raise;
using taloma::py::Ref;
using taloma::py::set_attr;
using taloma::py::steal;
using taloma::py::truthy;

namespace {

// Service address attributes and their paths after api_uri, in the order they are set.
#define CLIENT_ADDRESSES(A, X) \
    A(X, public_ip_uri, "getClientIP") \
    A(X, login_uri, "getToken") \
    A(X, index_list_code_uri, "codeList/sc_code") \
    A(X, s_list_code_uri, "codeList/stock_code") \
    A(X, s_order_uri, "Equity/order") \
    A(X, s_order_chqty_uri, "Equity/updateQty") \
    A(X, s_order_cancel_uri, "Equity/cancel") \
    A(X, s_query_order_uri, "Equity/OrderStatusQuery") \
    A(X, s_query_funds_profitloss_uri, "Equity/SummarisePrtlos") \
    A(X, s_query_unreal_profitloss_uri, "Equity/UnRealPrtlos") \
    A(X, s_query_real_profitloss_uri, "Equity/RealPrtlos") \
    A(X, f_order_uri, "Future/order") \
    A(X, f_order_cancel_uri, "Future/cancel") \
    A(X, f_order_chqty_uri, "Future/updateQty") \
    A(X, f_order_chprice_uri, "Future/updatePrice") \
    A(X, f_query_order_uri, "Future/FOrderStatusQuery") \
    A(X, f_list_code_uri, "codeList/stmb_code") \
    A(X, f_query_margin_uri, "Future/Margin") \
    A(X, f_query_open_position_uri, "Future/Position") \
    A(X, f_query_settle_pl_uri, "Future/SettleProfitLossDetail")
#define CLIENT_ADDRESS_ATTR_(X, id, path) X(id, #id)
#define CLIENT_ADDRESS_PATH_(X, id, path) X(id##_path, path)

// clang-format off
#define CLIENT_NAMES(X)                                                                                  \
    CLIENT_ADDRESSES(CLIENT_ADDRESS_ATTR_, X)                                                            \
    CLIENT_ADDRESSES(CLIENT_ADDRESS_PATH_, X)                                                            \
    /* module globals */                                                                                 \
    X(requests, "requests") X(hashlib, "hashlib") X(log, "log") X(Account, "Account")                    \
    X(AccountType, "AccountType") X(StockAccount, "StockAccount") X(FutureAccount, "FutureAccount")      \
    X(exchange, "exchange") X(masked, "masked") X(checked_timeout, "checked_timeout") X(_login, "_login") \
    /* package settings */                                                                               \
    X(api_url_production, "api_url_production") X(api_url_simulation, "api_url_simulation")              \
    X(api_ver, "api_ver") X(timeout, "timeout") X(catalogue_timeout, "catalogue_timeout")                \
    X(catalogue_deadline, "catalogue_deadline")                                                          \
    /* client attributes and methods */                                                                  \
    X(session, "session") X(proxies, "proxies") X(_token, "_token") X(api_url, "api_url")                \
    X(api_uri, "api_uri") X(accounts, "accounts") X(default_stock_account, "default_stock_account")      \
    X(default_futopt_account, "default_futopt_account") X(activated_ca, "activated_ca")                  \
    X(_public_ip, "_public_ip") X(person_id, "person_id") X(hashpasswd, "hashpasswd")                    \
    X(get_public_ip, "get_public_ip")                                                                    \
    /* calls */                                                                                          \
    X(Session, "Session") X(format, "format") X(md5, "md5") X(encode, "encode") X(hexdigest, "hexdigest") \
    X(debug, "debug") X(error, "error") X(astype, "astype")                                              \
    /* request, reply and account keys */                                                                \
    X(user_id, "user_id") X(password, "password") X(domain, "domain") X(result, "result")                \
    X(client_ip, "client_ip") X(token, "token") X(success, "success") X(accttype, "accttype")            \
    X(idno, "idno") X(broker_id, "broker_id") X(account, "account") X(username, "username")              \
    X(account_type, "account_type") X(account_id, "account_id")                                          \
    /* values */                                                                                         \
    X(python_api, "python-api") X(GET, "GET") X(POST, "POST") X(api_uri_form, "{}/api/{}/")             \
    X(utf_8, "utf-8") X(empty, "") X(loopback, "127.0.0.1")
// clang-format on
TALOMA_NAMES(ClientNames, CLIENT_NAMES);

// Raised for a reply whose "success" is not text. It is both a TypeError (the value has the wrong type)
// and an AttributeError (what text-only code, calling .lower() on it, would meet).
nb::object make_not_text_error(nb::handle module_name) {
    nb::object type = nb::module_::import_("builtins").attr("type");
    nb::dict ns;
    ns["__module__"] = module_name;
    ns["__doc__"] = "A service reply holds a non-text value where text is required.";
    return type("ReplyTypeError", nb::make_tuple(nb::handle(PyExc_TypeError), nb::handle(PyExc_AttributeError)), ns);
}

struct ClientState : ClientNames {
    PyObject* globals = nullptr;  // the module's namespace: its imports are read there at call time
    Ref package;                  // taloma.backend.http, whose settings new clients read
    Ref not_text_error;           // ReplyTypeError
    Ref kw_timeout, kw_account;   // keyword names of calls

    bool init(PyObject* module) {
        if (!ClientNames::init()) return false;
        globals = Py_NewRef(PyModule_GetDict(module));
        package = Ref(PyImport_ImportModule("taloma.backend.http"));
        kw_timeout = Ref(taloma::py::name_tuple({timeout}));
        kw_account = Ref(taloma::py::name_tuple({account_type, person_id, broker_id, account_id, username}));
        if (!package || !kw_timeout || !kw_account) return false;
        try {
            not_text_error = Ref(make_not_text_error(nb::handle(module).attr("__name__")).release().ptr());
        } catch (nb::python_error& e) {
            e.restore();
            return false;
        }
        return true;
    }
};

ClientState& S() { return taloma::py::state<ClientState>(); }

nb::object global(PyObject* name) { return taloma::py::global(S().globals, name); }

// The package's setting `name`, read now so that a program can retarget new clients at run time.
nb::object setting(PyObject* name) {
    PyObject* value = PyObject_GetAttr(S().package.get(), name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%U' from 'taloma.backend.http'", name);
    }
    return steal(value);
}

// mapping.get(key, fallback)
nb::object get(nb::handle mapping, PyObject* key, nb::handle fallback) {
    return steal(taloma::py::get(mapping.ptr(), key, fallback.ptr()));
}

nb::object item(nb::handle mapping, PyObject* key) { return steal(PyObject_GetItem(mapping.ptr(), key)); }

// Deadlines of a new client: the given value, or the package's setting of that name when none is given;
// a timeout given without a catalogue timeout serves the catalogue too.
void client_init(nb::handle self, nb::handle simulation, nb::handle proxies, nb::handle timeout,
                 nb::handle catalogue_timeout, nb::handle catalogue_deadline) {
    const ClientState& s = S();
    nb::object production = setting(s.api_url_production);
    nb::object simulated = setting(s.api_url_simulation);
    nb::object api_ver = setting(s.api_ver);
    const nb::handle given[3] = {timeout, catalogue_timeout.is_none() ? timeout : catalogue_timeout,
                                 catalogue_deadline};
    PyObject* const names[3] = {s.timeout, s.catalogue_timeout, s.catalogue_deadline};
    nb::object deadlines[3];
    for (size_t i = 0; i < 3; ++i) {
        nb::object value = given[i].is_none() ? setting(names[i]) : nb::borrow(given[i]);
        deadlines[i] = call(global(s.checked_timeout), {names[i], value.ptr(), i < 2 ? Py_True : Py_False});
    }

    nb::object session = call(attr(global(s.requests), s.Session), {});
    set_attr(self, s.session, session);
    if (truthy(proxies)) set_attr(session, s.proxies, proxies);
    set_attr(self, s._token, s.empty);

    nb::object api_url = truthy(simulation) ? simulated : production;
    set_attr(self, s.api_url, api_url);
    set_attr(self, s.api_ver, api_ver);
    nb::object api_uri = taloma::py::call_method(s.api_uri_form, s.format, {api_url.ptr(), api_ver.ptr()});
    set_attr(self, s.api_uri, api_uri);

    set_attr(self, s.accounts, nb::list());
    set_attr(self, s.default_stock_account, nb::none());
    set_attr(self, s.default_futopt_account, nb::none());
    set_attr(self, s.activated_ca, nb::dict());

#define CLIENT_ADDRESS_SET_(X, id, path) set_attr(self, s.id, steal(PyUnicode_Concat(api_uri.ptr(), s.id##_path)));
    CLIENT_ADDRESSES(CLIENT_ADDRESS_SET_, _)
#undef CLIENT_ADDRESS_SET_
    for (size_t i = 0; i < 3; ++i) set_attr(self, names[i], deadlines[i]);
    set_attr(self, s._public_ip, nb::none());
}

nb::object client_get_public_ip(nb::handle self) {
    const ClientState& s = S();
    nb::object exchange = global(s.exchange);
    nb::object session = attr(self, s.session), uri = attr(self, s.public_ip_uri), limit = attr(self, s.timeout);
    nb::object reply = call_kw(exchange, 3, s.kw_timeout.get(), {session.ptr(), s.GET, uri.ptr(), limit.ptr()});
    nb::object result = get(reply, s.result, nb::dict());
    return get(result, s.client_ip, s.loopback);
}

nb::object login_exchange(nb::handle session, nb::str uri, nb::str person_id, nb::str passwd, nb::handle timeout) {
    const ClientState& s = S();
    nb::dict body;
    taloma::py::put(body, s.user_id, person_id);
    taloma::py::put(body, s.password, passwd);
    taloma::py::put(body, s.domain, s.python_api);
    nb::object limit = timeout.is_none() ? setting(s.timeout) : nb::borrow(timeout);
    return call_kw(global(s.exchange), 4, s.kw_timeout.get(),
                   {session.ptr(), s.POST, uri.ptr(), body.ptr(), limit.ptr()});
}

// Judges the reply before anything but the credentials has changed: a reply that cannot be judged
// must leave the previous login intact.
bool login_succeeded(nb::handle reply) {
    const ClientState& s = S();
    nb::object success = item(reply, s.success);
    if (!PyUnicode_Check(success.ptr())) {
        PyErr_Format(s.not_text_error.get(), "login reply 'success' is not text: %R", success.ptr());
        raise();
    }
    return taloma::py::check(taloma::py::says_true(success.ptr())) != 0;
}

nb::list accounts_of(nb::handle result) {
    const ClientState& s = S();
    nb::object account_cls = global(s.Account);
    nb::list kinds;
    for (nb::handle kind : global(s.AccountType)) kinds.append(kind);

    nb::list accounts;
    for (nb::handle entry : get(result, s.accounts, nb::list())) {
        nb::object type = item(entry, s.accttype);
        bool known = false;
        for (nb::handle kind : kinds) {
            if (taloma::py::equals(type, kind.ptr())) {
                known = true;
                break;
            }
        }
        if (!known) continue;  // account types this package does not trade
        nb::object idno = item(entry, s.idno), broker = item(entry, s.broker_id);
        nb::object number = item(entry, s.account), username = item(entry, s.username);
        nb::object account = call_kw(account_cls, 0, s.kw_account.get(),
                                     {type.ptr(), idno.ptr(), broker.ptr(), number.ptr(), username.ptr()});
        accounts.append(taloma::py::call_method(account, s.astype, {}));
    }
    return accounts;
}

nb::object client_login(nb::handle self, nb::str person_id, nb::str passwd) {
    const ClientState& s = S();
    set_attr(self, s._public_ip, taloma::py::call_method(self, s.get_public_ip, {}));
    set_attr(self, s.person_id, person_id);
    nb::object md5 = attr(global(s.hashlib), s.md5);
    nb::object encoded = taloma::py::call_method(passwd, s.encode, {s.utf_8});
    nb::object hashed = call(md5, {encoded.ptr()});
    nb::object digest = taloma::py::call_method(hashed, s.hexdigest, {});
    set_attr(self, s.hashpasswd, digest);

    nb::object login = global(s._login);
    nb::object session = attr(self, s.session), uri = attr(self, s.login_uri), limit = attr(self, s.timeout);
    nb::object reply = call_kw(login, 4, s.kw_timeout.get(),
                               {session.ptr(), uri.ptr(), person_id.ptr(), digest.ptr(), limit.ptr()});
    nb::object log = global(s.log);
    nb::object masked = global(s.masked);
    if (login_succeeded(reply)) {
        taloma::py::call_method(log, s.debug, {call(masked, {reply.ptr()}).ptr()});
        nb::object result = get(reply, s.result, nb::dict());
        nb::list accounts = accounts_of(result);
        nb::object token = get(result, s.token, s.empty);
        set_attr(self, s.accounts, accounts);
        set_attr(self, s._token, token);
    } else {
        taloma::py::call_method(log, s.error, {call(masked, {reply.ptr()}).ptr()});
    }

    nb::object stock_cls = global(s.StockAccount);
    nb::object future_cls = global(s.FutureAccount);
    nb::list stock, futures;
    for (nb::handle account : attr(self, s.accounts)) {
        if (nb::isinstance(account, stock_cls)) stock.append(account);
        if (nb::isinstance(account, future_cls)) futures.append(account);
    }
    set_attr(self, s.default_stock_account, stock.size() ? nb::object(stock[0]) : nb::none());
    set_attr(self, s.default_futopt_account, futures.size() ? nb::object(futures[0]) : nb::none());
    return nb::make_tuple(stock, futures);
}

}  // namespace

NB_MODULE(client, m) {
    m.doc() = "The broker's service client: HTTP session, service addresses, login and accounts.";
    if (!taloma::py::make_state<ClientState>(m.ptr())) raise();
    const ClientState& s = S();

    m.attr("requests") = nb::module_::import_("requests");
    m.attr("hashlib") = nb::module_::import_("hashlib");
    m.attr("log") = steal(taloma::py::import_attr("taloma.utils", "log"));
    for (const char* name : {"Account", "AccountType", "StockAccount", "FutureAccount"}) {
        m.attr(name) = steal(taloma::py::import_attr("taloma.account", name));
    }
    for (const char* name : {"exchange", "masked", "checked_timeout"}) {
        m.attr(name) = steal(taloma::py::import_attr("taloma.backend.http.utils", name));
    }
    m.attr("ReplyTypeError") = nb::borrow(s.not_text_error.get());

    m.def("_login", &login_exchange, "session"_a.none(), "uri"_a, "person_id"_a, "passwd"_a, nb::kw_only(),
          "timeout"_a.none() = nb::none(),
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
    ns["__init__"] = nb::cpp_function(&client_init, nb::is_method(), nb::name("__init__"), "simulation"_a.none(),
                                      "proxies"_a.none(), nb::kw_only(), "timeout"_a.none() = nb::none(),
                                      "catalogue_timeout"_a.none() = nb::none(),
                                      "catalogue_deadline"_a.none() = nb::none());
    ns["get_public_ip"] = nb::cpp_function(&client_get_public_ip, nb::is_method(), nb::name("get_public_ip"),
                                           "The machine's public IP address as the service sees it.");
    ns["login"] = nb::cpp_function(&client_login, nb::is_method(), nb::name("login"), "person_id"_a, "passwd"_a,
                                   "Log in; return (stock accounts, futures accounts).");

    nb::object type = nb::module_::import_("builtins").attr("type");
    m.attr("Client") = type("Client", nb::make_tuple(), ns);
}
