// taloma.Vorn.ca: signing with the user's PKCS#12 certificate, over libVornPKI.
//
// Two styles: PyVornSign owns one signer (with an optional pool of ready
// signatures kept by a daemon thread); the module functions use the library's
// process-wide signer. This file defines the module and its state; the parts
// live beside it (see ca_internal.h).
#include <stdexcept>

#include "ca_internal.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace taloma::vorn_ca {

bool CaState::init(PyObject* m) {
    module = m;
    globals = PyModule_GetDict(m);
    if (!names.init()) return false;
    if (!(time_module = PyImport_ImportModule("time"))) return false;
    if (!(threading_module = PyImport_ImportModule("threading"))) return false;
    if (!(path_type = taloma::py::import_attr("pathlib", "Path").release())) return false;
    if (!(pool_threads = PyList_New(0))) return false;
    ca_error = PyErr_NewExceptionWithDoc("taloma.Vorn.ca.CaError", "Ca Error", PyExc_Exception, nullptr);
    if (!ca_error) return false;
    try {
        error_record = make_error_record_type().release().ptr();
    } catch (nb::python_error& e) {
        e.restore();
        return false;
    }
    return true;
}

int CaState::traverse(visitproc visit, void* arg) {
    Py_VISIT(time_module);
    Py_VISIT(threading_module);
    Py_VISIT(path_type);
    Py_VISIT(pool_threads);
    Py_VISIT(ca_error);
    Py_VISIT(error_record);
    return names.traverse(visit, arg);
}

void CaState::clear() {
    Py_CLEAR(time_module);
    Py_CLEAR(threading_module);
    Py_CLEAR(path_type);
    Py_CLEAR(pool_threads);
    Py_CLEAR(ca_error);
    Py_CLEAR(error_record);
    names.clear();
}

}  // namespace taloma::vorn_ca

NB_MODULE(ca, m) {
    using namespace taloma::vorn_ca;
    if (!taloma::py::make_state<CaState>(m.ptr())) taloma::py::raise();
    m.attr("CaError") = nb::handle(state().ca_error);
    m.attr("ErrorRecord") = nb::handle(state().error_record);
    m.attr("P7SIGN_PROPS") = nb::str(kP7SignProps);
    m.attr("INIT_CA_PROPS") = nb::str(kInitCaProps);

    m.def("read_error_code_dict", &read_error_code_dict, "folder_path"_a.none(),
          "The error table of the file cError.h in folder_path: code -> {error, error_msg}.");
    m.def(
        "raise_error", [](nb::handle code, nb::handle table) { raise_error(code, table); }, "return_code"_a.none(),
        "error_code_dict"_a.none(), "Raises CaError(\"{code} {error} {error_msg}\").");
    m.def("init_ca", &init_ca, "ca_path"_a.none() = "Brevant.pfx", "ca_pwd"_a.none() = "",
          "Activates the process-wide signer with a PKCS#12 file and its password.");
    m.def("get_sign", &module_get_sign, "plaintext"_a.none() = "",
          "Base64 PKCS#7 of the text by the process-wide signer (empty after a failed signing).");
    m.def(
        "get_quote_sign", [](nb::handle plain) { return ascii_str(module_quoted(plain)); }, "plain"_a.none(),
        "get_sign of the text, percent-encoded with no safe characters.");
    m.def("gen_ca", &module_gen_ca, "user_id"_a.none(), "plain"_a.none(),
          "The ca_content text of an order request, as bytes.");
    m.def("_pool_loop", &pool_loop, "ref"_a, "Body of a pool thread over a weak reference to its signer.");

    define_signer(m);

    nb::module_::import_("atexit").attr("register")(nb::cpp_function([] { close_gate(); }));
    if (!install_fork_handlers()) throw std::runtime_error("pthread_atfork failed");
}
