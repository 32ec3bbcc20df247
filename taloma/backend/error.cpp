// taloma.backend.error: ServerError, the exception for error replies of the service.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(error, m) {
    nb::handle base(PyExc_Exception);

    nb::dict ns;
    ns["__doc__"] = "Raise when server responses with an error.";
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "ServerError";
    ns["__init__"] = nb::cpp_function(
        [base](nb::handle self, nb::object code, nb::object message) {
            nb::object text = nb::str("{} : {}").attr("format")(code, message);
            base.attr("__init__")(self, text);
            nb::setattr(self, "code", code);
            nb::setattr(self, "message", message);
        },
        // Any value is allowed, None included: the raiser's code and message are kept as given.
        nb::is_method(), nb::name("__init__"), nb::arg("code").none(), nb::arg("message").none());
    // The base rebuilds from args, which hold only the formatted text.
    ns["__reduce__"] = nb::cpp_function(
        [](nb::handle self) {
            return nb::make_tuple(self.type(), nb::make_tuple(self.attr("code"), self.attr("message")));
        },
        nb::is_method(), nb::name("__reduce__"));

    nb::object type = nb::module_::import_("builtins").attr("type");
    m.attr("ServerError") = type("ServerError", nb::make_tuple(base), ns);
    m.attr("__all__") = nb::make_tuple("ServerError");
}
