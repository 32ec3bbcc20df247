// The property files handed to the library, and their templates.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <openssl/crypto.h>

#include "ca_internal.h"

using namespace nanobind::literals;

namespace taloma::vorn_ca {

// Chains a deployment drops into the P7B folder beside this module; a listed
// file that is absent is skipped by the library, so the folder may be empty.
// The key identifiers are placeholders until the broker's chains are shipped
// (a chain whose SKI differs is not used).
#define TALOMA_CHAIN_LINES \
    "P7B0.name = TalomaRootCA_G1.p7b\n" \
    "P7B0.SKI = 3CCE1B85FD4F943CF529E5674AB0FDA1008F4F66\n" \
    "P7B1.name = TalomaRootCA_G2.p7b\n" \
    "P7B1.SKI = AEA364793E2314187FEF00BBEB7BC106103148BA\n" \
    "P7B2.name = TalomaRootCA_G3.p7b\n" \
    "P7B2.SKI = 52784347A5850ECB80C226ED9836883ACEAE8A5AD17B315DFB039ACD6AAB200D\n" \
    "P7B3.name = TalomaUserCA_G3.p7b\n" \
    "P7B3.SKI = 9CA420FD62412385CBFC3295321C0A5DEE047CF94706FE7DD89E15F9D6E22EB6\n"

#define TALOMA_PROPS(level) \
    "LOG.path = logs\n" \
    "LOG.file = ca.log\n" \
    "LOG.level = " level \
    "\n" \
    "PFX.path = {ca_path_folder}\n" \
    "PFX.file = {ca_name}\n" \
    "PFX.checkValid = true\n" \
    "PKCS7.digest = SHA256\n" \
    "PKCS7.addCert = 1\n" \
    "PKCS7.addPlainText = true\n" \
    "PKCS7.addTimestamp = false\n" \
    "P7B.path = {p7b_path}\n" TALOMA_CHAIN_LINES

const char kP7SignProps[] = TALOMA_PROPS("WARN");
const char kInitCaProps[] = TALOMA_PROPS("DEBUG") "    ";

namespace {

// A path as a property value: the reader trims both ends of a value, so one
// that starts or ends with a space or control character (or is itself in
// quotes) is written in double quotes, which the reader takes literally.
nb::object prop_value(nb::handle path) {
    nb::object text = py::steal(PyObject_Str(path.ptr()));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    if (n == 0) return text;
    auto trimmed = [](Py_UCS4 c) { return c <= 0x20 || c == 0x7F; };
    const Py_UCS4 first = PyUnicode_READ_CHAR(text.ptr(), 0), last = PyUnicode_READ_CHAR(text.ptr(), n - 1);
    if (trimmed(first) || trimmed(last) || (n >= 2 && first == '"' && last == '"'))
        return nb::str("\"{}\"").attr("format")(text);
    return text;
}

}  // namespace

PropsFile::~PropsFile() {
    remove();
    if (dirfd >= 0) ::close(dirfd);
}

void PropsFile::remove() noexcept {
    if (created) ::unlinkat(dirfd, name.c_str(), 0);
    created = false;
}

int PropsFile::create(const std::string& data) {
    const int fd = ::openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    created = true;
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            ::close(fd);
            return err;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0 ? 0 : errno;
}

Wiped::~Wiped() { OPENSSL_cleanse(buf, sizeof buf); }

std::string formatted_props(PyObject* template_name, nb::handle ca_path, nb::handle folder_path, const char* encoding) {
    nb::object tmpl = module_global(template_name);
    nb::object ca = to_path(ca_path);
    nb::object p7b = py::steal(PyObject_CallMethod(to_path(folder_path).ptr(), "joinpath", "s", "P7B"));
    nb::object text = tmpl.attr("format")("ca_path_folder"_a = prop_value(ca.attr("parent")),
                                          "ca_name"_a = prop_value(ca.attr("name")), "p7b_path"_a = prop_value(p7b));
    if (!PyUnicode_Check(text.ptr())) throw nb::type_error("the property template must format to text");
    nb::object raw = py::steal(encoding ? PyUnicode_AsEncodedString(text.ptr(), encoding, "strict")
                                        : PyUnicode_EncodeFSDefault(text.ptr()));
    std::string out(bytes_of(raw));
    reject_nul(out);
    return out;
}

void check_path_text(nb::handle ca_path) {
    const std::string text = fs_bytes(ca_path);
    if (text.find_first_of("\r\n") != std::string::npos)
        throw nb::value_error("the certificate path must not contain a line break");
    reject_nul(text);
}

}  // namespace taloma::vorn_ca
