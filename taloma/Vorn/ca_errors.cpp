// The error table read from cError.h, CaError, and the errors of passwords
// and files.
#include <cerrno>
#include <cstring>

#include <openssl/crypto.h>

#include "ca_internal.h"

namespace taloma::vorn_ca {

namespace {

constexpr const char kErrorRecordSource[] = R"PY(
class ErrorRecord(dict):
    """One entry of the error table: "error" (symbolic name) and "error_msg"."""

    __slots__ = ()

    @property
    def error(self):
        return self.get("error", "")

    @property
    def error_msg(self):
        return self.get("error_msg", "")
)PY";

}  // namespace

nb::object make_error_record_type() {
    nb::dict ns;
    ns["__name__"] = "taloma.Vorn.ca";
    ns["__builtins__"] = nb::borrow(PyEval_GetBuiltins());
    py::steal(PyRun_String(kErrorRecordSource, Py_file_input, ns.ptr(), ns.ptr()));
    return ns["ErrorRecord"];
}

nb::object read_error_code_dict(nb::handle folder_path) {
    nb::object file = py::steal(PyObject_CallMethod(to_path(folder_path).ptr(), "joinpath", "s", "cError.h"));
    nb::object raw = py::steal(PyObject_CallMethod(file.ptr(), "read_bytes", nullptr));
    nb::object text = py::steal(PyUnicode_FromEncodedObject(raw.ptr(), "utf-8", "strict"));
    nb::object lines = py::steal(PyUnicode_Split(text.ptr(), nb::str("\r\n").ptr(), -1));
    nb::object define = nb::str("#define"), space = nb::str(" "), marker = nb::str("// ");
    nb::dict table;
    const Py_ssize_t count = PyList_GET_SIZE(lines.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* line = PyList_GET_ITEM(lines.ptr(), i);
        const Py_ssize_t starts = PyUnicode_Tailmatch(line, define.ptr(), 0, PY_SSIZE_T_MAX, -1);
        if (starts < 0) py::raise();
        if (!starts) continue;
        nb::object fields = py::steal(PyUnicode_Split(line, space.ptr(), -1));
        if (PyList_GET_SIZE(fields.ptr()) < 3) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            py::raise();
        }
        nb::object code = py::steal(PyLong_FromUnicodeObject(PyList_GET_ITEM(fields.ptr(), 2), 10));
        nb::object parts = py::steal(PyUnicode_RSplit(line, marker.ptr(), 1));
        nb::object record = py::steal(PyObject_CallNoArgs(state().error_record));
        if (PyDict_SetItemString(record.ptr(), "error", PyList_GET_ITEM(fields.ptr(), 1)) ||
            PyDict_SetItemString(record.ptr(), "error_msg",
                                 PyList_GET_ITEM(parts.ptr(), PyList_GET_SIZE(parts.ptr()) - 1)) ||
            PyDict_SetItem(table.ptr(), code.ptr(), record.ptr()))
            py::raise();
    }
    return table;
}

[[noreturn]] void raise_error(nb::handle return_code, nb::handle error_code_dict) {
    nb::object code = return_code.is_valid() ? nb::borrow(return_code) : nb::none();
    nb::object record = py::steal(
        PyObject_CallMethod(error_code_dict.ptr(), "get", "OO", code.ptr(), nb::dict().ptr()));
    nb::object name = py::steal(PyObject_CallMethod(record.ptr(), "get", "ss", "error", ""));
    nb::object msg = py::steal(PyObject_CallMethod(record.ptr(), "get", "ss", "error_msg", ""));
    nb::object text = nb::str("{} {} {}").attr("format")(code, name, msg);
    PyErr_SetObject(state().ca_error, text.ptr());
    py::raise();
}

[[noreturn]] void raise_code(int rc, nb::handle error_code_dict, const std::string& detail) {
    nb::object code = nb::int_(rc);
    if (!detail.empty() && PyDict_Check(error_code_dict.ptr())) {
        const int known = PyDict_Contains(error_code_dict.ptr(), code.ptr());
        if (known < 0) py::raise();
        if (!known) {
            nb::object msg = py::steal(
                PyUnicode_DecodeUTF8(detail.data(), static_cast<Py_ssize_t>(detail.size()), "replace"));
            nb::object text = nb::str("{}  {}").attr("format")(code, msg);
            PyErr_SetObject(state().ca_error, text.ptr());
            py::raise();
        }
    }
    raise_error(code, error_code_dict);
}

std::string library_message(const char* msg, int rc) {
    std::string text = msg ? msg : "";
    const std::string tail = "(" + std::to_string(rc) + ")";
    if (text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
        text.resize(text.size() - tail.size());
    return text;
}

Password::Password(nb::handle text, const char* what, const char* encoding) {
    if (!PyUnicode_Check(text.ptr())) throw nb::type_error((std::string(what) + " must be text").c_str());
    PyObject* b = PyUnicode_AsEncodedString(text.ptr(), encoding, "strict");
    if (!b) {
        PyErr_Clear();
        throw nb::value_error(
            (std::string(what) + " cannot be encoded as " + encoding + " (a character outside it, or a lone surrogate)")
                .c_str());
    }
    bytes.assign(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
    OPENSSL_cleanse(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
    Py_DECREF(b);
    if (bytes.find('\0') != std::string::npos) {
        wipe();
        throw nb::value_error((std::string(what) + " must not contain a null character").c_str());
    }
}

void Password::wipe() noexcept {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
    bytes.clear();
}

[[noreturn]] void raise_os_error(int err, const std::string& path) {
    errno = err;
    nb::object name = py::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
    py::raise();
}

}  // namespace taloma::vorn_ca
