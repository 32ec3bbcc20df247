// Conversions between Python objects and the library's C strings, and the
// layouts of the signature texts.
#include <cstdio>
#include <cstring>

#include "ca_internal.h"

namespace taloma::vorn_ca {

nb::object formatted(nb::handle value) { return py::steal(PyObject_Format(value.ptr(), state().names.empty)); }

std::string_view utf8_of(nb::handle text) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
    if (!p) py::raise();
    return {p, static_cast<std::size_t>(n)};
}

std::string_view bytes_of(nb::handle b) {
    return {PyBytes_AS_STRING(b.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr()))};
}

void reject_nul(std::string_view s) {
    if (s.find('\0') != std::string_view::npos) throw nb::value_error("embedded null character");
}

nb::object to_path(nb::handle p) { return py::steal(PyObject_CallOneArg(state().path_type, p.ptr())); }

std::string fs_bytes(nb::handle path) {
    nb::object fs = py::steal(PyOS_FSPath(path.ptr()));
    if (PyBytes_Check(fs.ptr())) return std::string(bytes_of(fs));
    nb::object b = py::steal(PyUnicode_EncodeFSDefault(fs.ptr()));
    return std::string(bytes_of(b));
}

nb::object folder_of_module() {
    nb::object file = module_global(state().names.file);
    return to_path(file).attr("parent");
}

void percent_encode(std::string_view in, std::string& out) {
    static constexpr char hex[] = "0123456789ABCDEF";
    out.clear();
    out.reserve(in.size() + in.size() / 8 + 16);
    for (unsigned char c : in) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
            c == '-' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
}

nb::object ascii_str(std::string_view s) {
    PyObject* u = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
    if (!u) py::raise();
    std::memcpy(PyUnicode_1BYTE_DATA(u), s.data(), s.size());
    return nb::steal(u);
}

nb::object bytes_obj(std::string_view s) {
    return py::steal(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

namespace {

void append_len4(std::string& out, Py_ssize_t n) {
    char buf[32];
    const int k = std::snprintf(buf, sizeof buf, "0000%04zd", n);
    out.append(buf, static_cast<std::size_t>(k));
}

}  // namespace

std::string ca_layout(std::string_view quoted, Py_ssize_t id_len, std::string_view id) {
    std::string out;
    out.reserve(quoted.size() + 2 * id.size() + 24);
    append_len4(out, static_cast<Py_ssize_t>(quoted.size()));
    out.append(quoted);
    append_len4(out, id_len);
    out.append(id);
    out.append(id);
    return out;
}

}  // namespace taloma::vorn_ca
