// taloma.backend.error: ServerError, the exception for error replies of the service.
#include <nanobind/nanobind.h>

#include <taloma/capi.hpp>

namespace nb = nanobind;
using taloma::py::attr;
using taloma::py::call;
using taloma::py::call_method;
using taloma::py::set_attr;

namespace {

#define ERROR_NAMES(X) \
    X(dunder_init, "__init__") X(format, "format") X(form, "{} : {}") X(code, "code") X(message, "message")
TALOMA_NAMES(ErrorNames, ERROR_NAMES);

struct ErrorState : ErrorNames {
    bool init(PyObject*) { return ErrorNames::init(); }
};

const ErrorState& S() { return taloma::py::state<ErrorState>(); }

void error_init(nb::handle self, nb::object code, nb::object message) {
    const ErrorState& s = S();
    nb::object text = call_method(s.form, s.format, {code.ptr(), message.ptr()});
    call(attr(PyExc_Exception, s.dunder_init), {self.ptr(), text.ptr()});
    set_attr(self, s.code, code);
    set_attr(self, s.message, message);
}

// The base rebuilds from args, which hold only the formatted text.
nb::tuple error_reduce(nb::handle self) {
    const ErrorState& s = S();
    return nb::make_tuple(self.type(), nb::make_tuple(attr(self, s.code), attr(self, s.message)));
}

}  // namespace

NB_MODULE(error, m) {
    if (!taloma::py::make_state<ErrorState>(m.ptr())) taloma::py::raise();
    nb::handle base(PyExc_Exception);

    nb::dict ns;
    ns["__doc__"] = "Raise when server responses with an error.";
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "ServerError";
    // Any value is allowed, None included: the raiser's code and message are kept as given.
    ns["__init__"] = nb::cpp_function(&error_init, nb::is_method(), nb::name("__init__"), nb::arg("code").none(),
                                      nb::arg("message").none());
    ns["__reduce__"] = nb::cpp_function(&error_reduce, nb::is_method(), nb::name("__reduce__"));

    nb::object type = nb::module_::import_("builtins").attr("type");
    m.attr("ServerError") = type("ServerError", nb::make_tuple(base), ns);
    m.attr("__all__") = nb::make_tuple("ServerError");
}
