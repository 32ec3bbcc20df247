// taloma.Vorn.ca: signing with the user's PKCS#12 certificate, over libVornPKI.
//
// Two styles: PyVornSign owns one signer (with an optional pool of ready
// signatures kept by a daemon thread); the module functions use the library's
// process-wide signer. Each signer is guarded by its own mutex, taken only
// with the GIL released, and nothing that needs the GIL runs while a mutex is
// held, so the two locks can never deadlock.
#include <nanobind/nanobind.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <openssl/crypto.h>

#include "VornSign.h"
#include "cLog.h"
#include "pkiGlobal_C.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

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

#define TALOMA_PROPS(level)               \
    "LOG.path = logs\n"                   \
    "LOG.file = ca.log\n"                 \
    "LOG.level = " level "\n"             \
    "PFX.path = {ca_path_folder}\n"       \
    "PFX.file = {ca_name}\n"              \
    "PFX.checkValid = true\n"             \
    "PKCS7.digest = SHA256\n"             \
    "PKCS7.addCert = 1\n"                 \
    "PKCS7.addPlainText = true\n"         \
    "PKCS7.addTimestamp = false\n"        \
    "P7B.path = {p7b_path}\n" TALOMA_CHAIN_LINES

constexpr const char kP7SignProps[] = TALOMA_PROPS("WARN");
constexpr const char kInitCaProps[] = TALOMA_PROPS("DEBUG") "    ";

constexpr int kPasswdLen = 512;
constexpr const char kNoPickle[] = "no default __reduce__ due to non-trivial __cinit__";

// ---------------------------------------------------------------------------
// Module state (the module is never unloaded).

PyObject* g_module = nullptr;       // borrowed: lives as long as the interpreter
PyObject* g_ca_error = nullptr;     // CaError
PyObject* g_error_record = nullptr; // dict subclass with .error / .error_msg
PyObject* g_time_module = nullptr;
PyObject* g_path_type = nullptr;    // pathlib.Path

// The library's process-wide signer, and the process-wide parts every
// LoadProperty touches (logger settings, the chain store).
std::mutex& global_sign_mutex() {
    static std::mutex& m = *new std::mutex();
    return m;
}
std::mutex& load_mutex() {
    static std::mutex& m = *new std::mutex();
    return m;
}

// Daemon threads that come back for the GIL once the interpreter finalises
// are ended by pthread_exit, whose unwinding cannot cross the binding layer.
// An atexit hook (run before finalisation) closes the gate and lets through
// the threads already on their way back; those still inside park on their way
// out, and calls made after it keep the GIL (see without_gil).
std::atomic<bool> g_exiting{false};
std::atomic<int> g_returning{0};

// Pool threads are stopped at exit before the gate closes: they end cleanly
// and release their objects instead of parking with them.
std::atomic<bool> g_stop_pools{false};
std::mutex& pool_sleep_mutex() {
    static std::mutex& m = *new std::mutex();
    return m;
}
std::condition_variable& pool_sleep_cv() {
    static std::condition_variable& cv = *new std::condition_variable();
    return cv;
}
PyObject* g_pool_threads = nullptr;  // list of the pool threads started

[[noreturn]] void park_forever() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

void reacquire(PyThreadState* ts) {
    g_returning.fetch_add(1);
    if (g_exiting.load()) {
        g_returning.fetch_sub(1);
        park_forever();
    }
    PyEval_RestoreThread(ts);
    g_returning.fetch_sub(1);
}

// Threads between releasing the GIL and having it back.
std::atomic<int> g_inside{0};

// Runs fn with the GIL released; fn must not touch Python objects.
template <typename Fn>
void without_gil(Fn&& fn) {
    // After the exit hook a thread that lets the GIL go may never get it back
    // (an atexit handler or a __del__ that signs): the work is short, keep it.
    if (g_exiting.load()) {
        fn();
        return;
    }
    g_inside.fetch_add(1);
    std::exception_ptr failure;
    PyThreadState* ts = PyEval_SaveThread();
    try {
        fn();
    } catch (...) {
        failure = std::current_exception();
    }
    reacquire(ts);
    g_inside.fetch_sub(1);
    if (failure) std::rethrow_exception(failure);
}

// Bumped (under pool_sleep_mutex) when a pool thread should look at its
// signer again: one was closed or dropped.
std::uint64_t g_pool_wake = 0;

void wake_pools() {
    {
        std::lock_guard guard(pool_sleep_mutex());
        ++g_pool_wake;
    }
    pool_sleep_cv().notify_all();
}

void close_gate() {
    {
        std::lock_guard guard(pool_sleep_mutex());
        g_stop_pools.store(true);
    }
    pool_sleep_cv().notify_all();
    nb::list threads = nb::borrow<nb::list>(g_pool_threads);
    for (nb::handle t : threads)
        if (nb::bool_(t.attr("is_alive")())) t.attr("join")(2.0);
    g_exiting.store(true);
    Py_BEGIN_ALLOW_THREADS
    while (g_returning.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Py_END_ALLOW_THREADS
    if (g_inside.load() != 0) nb::set_leak_warnings(false);
}

[[noreturn]] void raise_pending() { throw nb::python_error(); }

nb::object checked(PyObject* p) {
    if (!p) raise_pending();
    return nb::steal(p);
}

nb::object module_attr(const char* name) { return checked(PyObject_GetAttrString(g_module, name)); }

// "{}".format(value)
nb::object formatted(nb::handle value) {
    static PyObject* empty = PyUnicode_InternFromString("");
    return checked(PyObject_Format(value.ptr(), empty));
}

std::string_view utf8_of(nb::handle text) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
    if (!p) raise_pending();
    return {p, static_cast<std::size_t>(n)};
}

std::string_view bytes_of(nb::handle b) {
    return {PyBytes_AS_STRING(b.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr()))};
}

// The library takes C strings: a NUL inside would silently cut the text.
void reject_nul(std::string_view s) {
    if (s.find('\0') != std::string_view::npos) throw nb::value_error("embedded null character");
}

nb::object to_path(nb::handle p) { return checked(PyObject_CallOneArg(g_path_type, p.ptr())); }

// The file-system bytes of a path-like object.
std::string fs_bytes(nb::handle path) {
    nb::object fs = checked(PyOS_FSPath(path.ptr()));
    if (PyBytes_Check(fs.ptr())) return std::string(bytes_of(fs));
    nb::object b = checked(PyUnicode_EncodeFSDefault(fs.ptr()));
    return std::string(bytes_of(b));
}

nb::object folder_of_module() {
    nb::object file = module_attr("__file__");
    return to_path(file).attr("parent");
}

// urllib.parse.quote(s, safe=""): everything but letters, digits and "_.-~".
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
    if (!u) raise_pending();
    std::memcpy(PyUnicode_1BYTE_DATA(u), s.data(), s.size());
    return nb::steal(u);
}

nb::object bytes_obj(std::string_view s) {
    return checked(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

void append_len4(std::string& out, Py_ssize_t n) {
    char buf[32];
    const int k = std::snprintf(buf, sizeof buf, "0000%04zd", n);
    out.append(buf, static_cast<std::size_t>(k));
}

// "0000{:04d}{}0000{:04d}{}{}" of (len(sig), sig, len(id), id, id)
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

// ---------------------------------------------------------------------------
// Error table and CaError.

nb::object read_error_code_dict(nb::handle folder_path) {
    nb::object file = checked(PyObject_CallMethod(to_path(folder_path).ptr(), "joinpath", "s", "cError.h"));
    nb::object raw = checked(PyObject_CallMethod(file.ptr(), "read_bytes", nullptr));
    nb::object text = checked(PyUnicode_FromEncodedObject(raw.ptr(), "utf-8", "strict"));
    nb::object lines = checked(PyUnicode_Split(text.ptr(), nb::str("\r\n").ptr(), -1));
    nb::object define = nb::str("#define"), space = nb::str(" "), marker = nb::str("// ");
    nb::dict table;
    const Py_ssize_t count = PyList_GET_SIZE(lines.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* line = PyList_GET_ITEM(lines.ptr(), i);
        const Py_ssize_t starts = PyUnicode_Tailmatch(line, define.ptr(), 0, PY_SSIZE_T_MAX, -1);
        if (starts < 0) raise_pending();
        if (!starts) continue;
        nb::object fields = checked(PyUnicode_Split(line, space.ptr(), -1));
        if (PyList_GET_SIZE(fields.ptr()) < 3) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            raise_pending();
        }
        nb::object code = checked(PyLong_FromUnicodeObject(PyList_GET_ITEM(fields.ptr(), 2), 10));
        nb::object parts = checked(PyUnicode_RSplit(line, marker.ptr(), 1));
        nb::object record = checked(PyObject_CallNoArgs(g_error_record));
        if (PyDict_SetItemString(record.ptr(), "error", PyList_GET_ITEM(fields.ptr(), 1)) ||
            PyDict_SetItemString(record.ptr(), "error_msg",
                                 PyList_GET_ITEM(parts.ptr(), PyList_GET_SIZE(parts.ptr()) - 1)) ||
            PyDict_SetItem(table.ptr(), code.ptr(), record.ptr()))
            raise_pending();
    }
    return table;
}

[[noreturn]] void raise_error(nb::handle return_code, nb::handle error_code_dict) {
    nb::object code = return_code.is_valid() ? nb::borrow(return_code) : nb::none();
    nb::object record = checked(PyObject_CallMethod(error_code_dict.ptr(), "get", "OO", code.ptr(), nb::dict().ptr()));
    nb::object name = checked(PyObject_CallMethod(record.ptr(), "get", "ss", "error", ""));
    nb::object msg = checked(PyObject_CallMethod(record.ptr(), "get", "ss", "error_msg", ""));
    nb::object text = nb::str("{} {} {}").attr("format")(code, name, msg);
    PyErr_SetObject(g_ca_error, text.ptr());
    raise_pending();
}

// A code the table has no text for is told by the library's own message
// (detail: what the library logged last for this failure).
[[noreturn]] void raise_code(int rc, nb::handle error_code_dict, const std::string& detail = {}) {
    nb::object code = nb::int_(rc);
    if (!detail.empty() && PyDict_Check(error_code_dict.ptr())) {
        const int known = PyDict_Contains(error_code_dict.ptr(), code.ptr());
        if (known < 0) raise_pending();
        if (!known) {
            nb::object msg = checked(PyUnicode_DecodeUTF8(detail.data(), static_cast<Py_ssize_t>(detail.size()), "replace"));
            nb::object text = nb::str("{}  {}").attr("format")(code, msg);
            PyErr_SetObject(g_ca_error, text.ptr());
            raise_pending();
        }
    }
    raise_error(code, error_code_dict);
}

// The library's message without its "(code)" tail.
std::string library_message(const char* msg, int rc) {
    std::string text = msg ? msg : "";
    const std::string tail = "(" + std::to_string(rc) + ")";
    if (text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
        text.resize(text.size() - tail.size());
    return text;
}

// A password in bytes. The encoder's own error would carry the whole password
// in its text and arguments, so it is replaced by one that names the problem.
struct Password {
    std::string bytes;
    Password(nb::handle text, const char* what, const char* encoding) {
        if (!PyUnicode_Check(text.ptr())) throw nb::type_error((std::string(what) + " must be text").c_str());
        PyObject* b = PyUnicode_AsEncodedString(text.ptr(), encoding, "strict");
        if (!b) {
            PyErr_Clear();
            throw nb::value_error(
                (std::string(what) + " cannot be encoded as " + encoding +
                 " (a character outside it, or a lone surrogate)").c_str());
        }
        bytes.assign(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
        OPENSSL_cleanse(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
        Py_DECREF(b);
        if (bytes.find('\0') != std::string::npos) {
            wipe();
            throw nb::value_error((std::string(what) + " must not contain a null character").c_str());
        }
    }
    Password(const Password&) = delete;
    Password& operator=(const Password&) = delete;
    ~Password() { wipe(); }
    void wipe() noexcept {
        if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
        bytes.clear();
    }
};

[[noreturn]] void raise_os_error(int err, const std::string& path) {
    errno = err;
    nb::object name = checked(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
    raise_pending();
}

// ---------------------------------------------------------------------------
// Property files: they hold the wrapped password, so they are private to the
// user, never written through a link, and gone once the signer has read them.

struct PropsFile {
    int dirfd = AT_FDCWD;
    std::string name;
    bool created = false;

    PropsFile() = default;
    PropsFile(const PropsFile&) = delete;
    PropsFile& operator=(const PropsFile&) = delete;
    ~PropsFile() {
        remove();
        if (dirfd >= 0) ::close(dirfd);
    }
    void remove() noexcept {
        if (created) ::unlinkat(dirfd, name.c_str(), 0);
        created = false;
    }
    // 0, or the errno of the failure.
    int create(const std::string& data) {
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
};

struct Wiped {
    char buf[kPasswdLen + 1] = {};
    ~Wiped() { OPENSSL_cleanse(buf, sizeof buf); }
};

// A path as a property value: the reader trims both ends of a value, so one
// that starts or ends with a space or control character (or is itself in
// quotes) is written in double quotes, which the reader takes literally.
nb::object prop_value(nb::handle path) {
    nb::object text = checked(PyObject_Str(path.ptr()));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    if (n == 0) return text;
    auto trimmed = [](Py_UCS4 c) { return c <= 0x20 || c == 0x7F; };
    const Py_UCS4 first = PyUnicode_READ_CHAR(text.ptr(), 0), last = PyUnicode_READ_CHAR(text.ptr(), n - 1);
    if (trimmed(first) || trimmed(last) || (n >= 2 && first == '"' && last == '"'))
        return nb::str("\"{}\"").attr("format")(text);
    return text;
}

// The property text as bytes; undecodable file-name bytes go back as they came.
std::string formatted_props(const char* template_name, nb::handle ca_path, nb::handle folder_path,
                            const char* encoding = nullptr) {
    nb::object tmpl = module_attr(template_name);
    nb::object ca = to_path(ca_path);
    nb::object p7b = checked(PyObject_CallMethod(to_path(folder_path).ptr(), "joinpath", "s", "P7B"));
    nb::object text = tmpl.attr("format")("ca_path_folder"_a = prop_value(ca.attr("parent")),
                                          "ca_name"_a = prop_value(ca.attr("name")), "p7b_path"_a = prop_value(p7b));
    if (!PyUnicode_Check(text.ptr())) throw nb::type_error("the property template must format to text");
    nb::object raw = checked(encoding ? PyUnicode_AsEncodedString(text.ptr(), encoding, "strict")
                                      : PyUnicode_EncodeFSDefault(text.ptr()));
    std::string out(bytes_of(raw));
    reject_nul(out);
    return out;
}

// A line break inside a path would end its property line and start another.
void check_path_text(nb::handle ca_path) {
    const std::string text = fs_bytes(ca_path);
    if (text.find_first_of("\r\n") != std::string::npos)
        throw nb::value_error("the certificate path must not contain a line break");
    reject_nul(text);
}

// ---------------------------------------------------------------------------
// PyVornSign

struct PyVornSign;

// Live signers, for the fork handlers. Changed with the GIL held, but a fork
// may come from a thread without it, hence a lock of its own.
std::mutex& registry_mutex() {
    static std::mutex& m = *new std::mutex();
    return m;
}
std::vector<PyVornSign*>& registry() {
    static std::vector<PyVornSign*>& v = *new std::vector<PyVornSign*>();
    return v;
}

// Bumped in each child: a signer from an earlier generation holds its
// parent's pool and has lost its pool thread.
std::atomic<std::uint64_t> g_fork_gen{0};
// Property files are named per process and call, so that neither threads of
// one process nor processes forked from one parent meet on one file.
std::atomic<std::uint64_t> g_props_serial{0};

[[noreturn]] void raise_closed() { throw nb::value_error("the signer is closed"); }

void start_pool(nb::handle self, nb::list& threads);

struct PyVornSign {
    std::unique_ptr<VornSign> signer;
    std::mutex mu;  // guards signer
    std::atomic<bool> activated{false};
    std::atomic<bool> closed{false};
    std::uint64_t fork_gen = g_fork_gen.load();
    char encedPfxPasswd[kPasswdLen] = {};
    nb::object ip = nb::none();
    std::string encoding;
    nb::object person_id = nb::none();
    Py_ssize_t person_id_len = 0;
    nb::object fix_content;
    nb::object error_code_dict = nb::none();
    nb::list store_sign;
    std::atomic<std::int32_t> store_count{0};
    nb::list threads;
    std::string person_id_utf8, fix_utf8;

    PyVornSign() : signer(new (std::nothrow) VornSign()) {
        if (!signer) throw std::bad_alloc();
        PyObject* platform = PySys_GetObject("platform");  // borrowed
        encoding = (platform && PyUnicode_Check(platform) && utf8_of(platform) == "win32") ? "big5" : "utf8";
        fix_content = nb::str("");
        std::lock_guard guard(registry_mutex());
        registry().push_back(this);
    }
    ~PyVornSign() {
        {
            std::lock_guard guard(registry_mutex());
            auto& all = registry();
            all.erase(std::remove(all.begin(), all.end(), this), all.end());
        }
        // A pool thread holds only a weak reference: wake it to see it is gone.
        if (store_count.exchange(0) != 0) wake_pools();
        OPENSSL_cleanse(encedPfxPasswd, sizeof encedPfxPasswd);
    }

    // The lists are only ever gone after the collector cleared a cycle.
    nb::list& pool() {
        if (!store_sign.is_valid()) store_sign = nb::list();
        return store_sign;
    }
    nb::list& thread_list() {
        if (!threads.is_valid()) threads = nb::list();
        return threads;
    }

    void check_open() const {
        if (closed.load()) raise_closed();
    }

    // In a forked child: the inherited signatures are the parent's (never
    // hand them out twice) and the pool thread did not come along.
    void after_fork(nb::handle self) {
        const std::uint64_t gen = g_fork_gen.load();
        if (fork_gen == gen) return;
        fork_gen = gen;
        if (PyList_SetSlice(pool().ptr(), 0, PY_SSIZE_T_MAX, nullptr) != 0) raise_pending();
        if (!closed.load() && store_count.load() != 0) start_pool(self, thread_list());
    }

    [[noreturn]] void fail(int rc, const std::string& detail) {
        raise_code(rc, error_code_dict.is_valid() ? error_code_dict : nb::none(), detail);
    }

    // Text in the object's encoding (the signer reads UTF-8 either way).
    std::string encoded(nb::handle text) {
        std::string out;
        if (encoding == "utf8") {
            out = utf8_of(text);
        } else {
            nb::object b = checked(PyUnicode_AsEncodedString(text.ptr(), encoding.c_str(), "strict"));
            out = bytes_of(b);
        }
        reject_nul(out);
        return out;
    }

    // Signs content; the signer's Base64 text, percent-encoded when asked.
    std::string sign_raw(const std::string& content, bool quote) {
        check_open();
        int rc = 0;
        bool gone = false;
        std::string result, detail;
        without_gil([&] {
            std::string b64;
            {
                std::lock_guard guard(mu);
                if (!signer) {
                    gone = true;
                    return;
                }
                rc = signer->SignPkcs7(content.c_str(), "BIG5");
                if (rc != 0) {
                    detail = library_message(signer->GetErrorMsg(), rc);
                    return;
                }
                const char* text = signer->GetSignedPkcs7();
                if (text) b64 = text;
            }
            if (quote) percent_encode(b64, result);
            else result = std::move(b64);
        });
        if (gone) raise_closed();
        if (rc != 0) fail(rc, detail);
        return result;
    }

    // self is this object's Python instance: its identity names the file.
    bool activate(nb::handle self, nb::handle ca_path, nb::handle ca_passwd, nb::handle folder_path) {
        check_open();
        char digest[64];
        {
            nb::object ident = checked(PyLong_FromVoidPtr(self.ptr()));
            nb::object text = checked(PyObject_Str(ident.ptr()));
            const std::string_view id = utf8_of(text);
            std::snprintf(digest, sizeof digest, "%08x.%ld.%llu", static_cast<unsigned>(XXH32(id.data(), id.size(), 0)),
                          static_cast<long>(::getpid()), static_cast<unsigned long long>(++g_props_serial));
        }
        auto props = std::make_unique<PropsFile>();
        props->name = std::string("p7Sign.properties.") + digest;
        check_path_text(ca_path);
        const std::string data =
            formatted_props("P7SIGN_PROPS", ca_path, folder_path, encoding == "utf8" ? nullptr : encoding.c_str());
        const Password pw(ca_passwd, "ca_passwd", "big5");

        Wiped wrapped;
        int rc = 0, os_err = 0;
        bool flag = false, gone = false;
        std::string detail;
        without_gil([&] {
            props->dirfd = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (props->dirfd < 0) {
                os_err = errno;
                return;
            }
            std::lock_guard load(load_mutex());
            // The file lives and goes under the lock.
            struct Remove {
                PropsFile& p;
                ~Remove() { p.remove(); }
            } remove_props{*props};
            if (::unlinkat(props->dirfd, props->name.c_str(), 0) != 0 && errno != ENOENT) {
                os_err = errno;
                return;
            }
            if ((os_err = props->create(data)) != 0) return;
            int len = kPasswdLen;
            cLog::clearLastError();
            rc = VornSign::MakeVornSignPasswd(wrapped.buf, &len, props->name.c_str(), pw.bytes.c_str());
            if (rc != 0) {
                detail = cLog::lastError();
                return;
            }
            std::lock_guard guard(mu);
            if (!signer) {
                gone = true;
                return;
            }
            rc = signer->LoadProperty(props->name.c_str(), wrapped.buf);
            if (rc != 0) detail = library_message(signer->GetErrorMsg(), rc);
            flag = signer->isActivated();
            activated.store(flag);
        });
        const std::string name = props->name;
        props.reset();
        if (gone) raise_closed();
        std::memcpy(encedPfxPasswd, wrapped.buf, sizeof encedPfxPasswd);
        if (os_err != 0) raise_os_error(os_err, name);
        if (rc != 0) fail(rc, detail);
        return flag;
    }

    nb::bytes get_sign(nb::handle plaintext) {
        nb::object text = formatted(plaintext);
        const std::string b64 = sign_raw(encoded(text), false);
        return nb::steal<nb::bytes>(bytes_obj(b64).release());
    }

    nb::object get_quote_sign(nb::handle plain) {
        nb::object text = formatted(plain);
        return ascii_str(sign_raw(encoded(text), true));
    }

    nb::object gen_sign(nb::handle plain_text) {
        if (!plain_text.is_none() && !PyUnicode_Check(plain_text.ptr()))
            throw nb::type_error("plain_text must be text or None");
        nb::object now = checked(PyObject_CallMethod(g_time_module, "time", nullptr));
        nb::object stamp = formatted(now);
        std::string content = fix_utf8;
        if (plain_text.is_none()) content += "None";
        else content += utf8_of(plain_text);
        content += utf8_of(stamp);
        if (encoding != "utf8") {
            nb::object text =
                checked(PyUnicode_FromStringAndSize(content.data(), static_cast<Py_ssize_t>(content.size())));
            content = encoded(text);
        } else {
            reject_nul(content);
        }
        return ascii_str(sign_raw(content, true));
    }

    nb::object sign_speedup(nb::handle self) {
        after_fork(self);
        nb::list& list = pool();
        const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
        if (n == 0) {
            PyErr_SetString(PyExc_IndexError, "pop from empty list");
            raise_pending();
        }
        nb::object last = nb::borrow(PyList_GET_ITEM(list.ptr(), n - 1));
        if (PyList_SetSlice(list.ptr(), n - 1, n, nullptr) != 0) raise_pending();
        return last;
    }

    // A trading program must not fail its first orders while the pool fills.
    nb::object sign(nb::handle self, nb::handle plain_text) {
        after_fork(self);
        if (store_count.load() != 0 && PyList_GET_SIZE(pool().ptr()) > 0) return sign_speedup(self);
        return gen_sign(plain_text);
    }

    bool pool_stopped() const { return closed.load() || g_stop_pools.load() || store_count.load() == 0; }

    void gen_store_sign(Py_ssize_t count) {
        for (Py_ssize_t i = 0; i < count && !g_stop_pools.load() && !closed.load(); ++i) {
            nb::object s = gen_sign(nb::str(""));
            if (PyList_Append(pool().ptr(), s.ptr()) != 0) raise_pending();
        }
    }

    // One round of the pool thread; false when the pool is to end.
    bool pool_round() {
        if (pool_stopped() || fork_gen != g_fork_gen.load()) return false;
        // A pool smaller than ten still gets one signature a round.
        const std::int32_t batch = std::max<std::int32_t>(1, store_count.load() / 10);
        if (PyList_GET_SIZE(pool().ptr()) < store_count.load()) {
            try {
                gen_store_sign(batch);
            } catch (...) {
                if (closed.load()) return false;  // closed while it signed
                throw;
            }
        }
        return !pool_stopped();
    }

    void close() {
        if (closed.exchange(true)) return;
        store_count.store(0);
        activated.store(false);
        wake_pools();
        if (!g_exiting.load()) {
            nb::object current = nb::module_::import_("threading").attr("current_thread")();
            for (nb::handle t : thread_list())
                if (!t.is(current) && nb::bool_(t.attr("is_alive")())) t.attr("join")(10.0);
        }
        if (PyList_SetSlice(pool().ptr(), 0, PY_SSIZE_T_MAX, nullptr) != 0) raise_pending();
        without_gil([&] {
            std::lock_guard guard(mu);
            signer.reset();
        });
        OPENSSL_cleanse(encedPfxPasswd, sizeof encedPfxPasswd);
    }

    nb::bytes gen_ca(nb::handle plain) {
        nb::object quoted = get_quote_sign(plain);
        const std::string out = ca_layout(utf8_of(quoted), person_id_len, person_id_utf8);
        return nb::steal<nb::bytes>(bytes_obj(out).release());
    }
};

// The pool thread's body. It holds its signer only through a weak reference
// between rounds, so a dropped signer is freed and its thread ends.
void pool_loop(nb::handle ref) {
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard guard(pool_sleep_mutex());
            seen = g_pool_wake;
        }
        {
            nb::object obj = checked(PyObject_CallNoArgs(ref.ptr()));
            if (obj.is_none()) return;
            if (!nb::inst_ready(obj)) return;
            if (!nb::inst_ptr<PyVornSign>(obj)->pool_round()) return;
        }
        without_gil([seen] {
            std::unique_lock lock(pool_sleep_mutex());
            pool_sleep_cv().wait_for(lock, std::chrono::seconds(1),
                                     [seen] { return g_stop_pools.load() || g_pool_wake != seen; });
        });
    }
}

void start_pool(nb::handle self, nb::list& threads) {
    nb::object ref = checked(PyWeakref_NewRef(self.ptr(), nullptr));
    nb::object threading = nb::module_::import_("threading");
    nb::object thread = threading.attr("Thread")("target"_a = module_attr("_pool_loop"), "args"_a = nb::make_tuple(ref),
                                                 "daemon"_a = true);
    if (PyList_SetSlice(threads.ptr(), 0, PY_SSIZE_T_MAX, nullptr) != 0 || PyList_Append(threads.ptr(), thread.ptr()) != 0)
        raise_pending();
    // Finished threads are dropped from the exit list as new ones come.
    nb::list all = nb::borrow<nb::list>(g_pool_threads);
    nb::list alive;
    for (nb::handle t : all)
        if (nb::bool_(t.attr("is_alive")())) alive.append(t);
    alive.append(thread);
    if (PyList_SetSlice(g_pool_threads, 0, PY_SSIZE_T_MAX, alive.ptr()) != 0) raise_pending();
    thread.attr("start")();
}

// fork() takes every signing lock first, so the child inherits them all free
// and no signer half-way through an operation.
void fork_prepare() {
    registry_mutex().lock();
    global_sign_mutex().lock();
    load_mutex().lock();
    for (PyVornSign* s : registry()) s->mu.lock();
    pool_sleep_mutex().lock();
}

void fork_release() {
    pool_sleep_mutex().unlock();
    auto& all = registry();
    for (auto it = all.rbegin(); it != all.rend(); ++it) (*it)->mu.unlock();
    load_mutex().unlock();
    global_sign_mutex().unlock();
    registry_mutex().unlock();
}

void fork_child() {
    fork_release();
    // Only the forking thread exists here.
    g_inside.store(0);
    g_returning.store(0);
    g_fork_gen.fetch_add(1);
}

int sign_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    PyVornSign* s = nb::inst_ptr<PyVornSign>(self);
    Py_VISIT(s->ip.ptr());
    Py_VISIT(s->person_id.ptr());
    Py_VISIT(s->fix_content.ptr());
    Py_VISIT(s->error_code_dict.ptr());
    Py_VISIT(s->store_sign.ptr());
    Py_VISIT(s->threads.ptr());
    return 0;
}

int sign_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    PyVornSign* s = nb::inst_ptr<PyVornSign>(self);
    s->error_code_dict = nb::none();
    s->store_sign.reset();
    s->threads.reset();
    return 0;
}

PyType_Slot sign_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(sign_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(sign_clear)},
    {0, nullptr},
};

void check_dict_or_none(nb::handle value, const char* what) {
    if (!value.is_none() && !PyDict_Check(value.ptr())) throw nb::type_error(what);
}

void construct(nb::pointer_and_handle<PyVornSign> v, nb::handle ca_path, nb::handle ca_passwd, nb::handle person_id,
               nb::handle ip, nb::handle store) {
    new (v.p) PyVornSign();
    PyVornSign& s = *v.p;
    try {
        nb::object folder = folder_of_module();
        nb::object ca = to_path(ca_path);
        nb::object table = module_attr("read_error_code_dict")(folder);
        check_dict_or_none(table, "read_error_code_dict must return a dict or None");
        s.error_code_dict = table;
        s.activate(v.h, ca, ca_passwd, folder);

        if (!person_id.is_none() && !PyUnicode_Check(person_id.ptr()))
            throw nb::type_error("person_id must be text or None");
        if (!ip.is_none() && !PyUnicode_Check(ip.ptr())) throw nb::type_error("ip must be text or None");
        const Py_ssize_t id_len = PyObject_Length(person_id.ptr());  // None has no length, as in Python
        if (id_len < 0) raise_pending();
        s.person_id = nb::borrow(person_id);
        s.person_id_len = id_len;
        s.person_id_utf8 = utf8_of(person_id);
        s.ip = nb::borrow(ip);
        s.fix_content = nb::str("{}{}").attr("format")(person_id, ip);
        s.fix_utf8 = utf8_of(s.fix_content);
        nb::object count = checked(PyNumber_Long(store.ptr()));
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
        if (n == -1 && PyErr_Occurred()) raise_pending();
        if (overflow || n < INT32_MIN || n > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "store does not fit a 32-bit signed integer");
            raise_pending();
        }
        s.store_count.store(static_cast<std::int32_t>(n));
        const int wanted = PyObject_IsTrue(store.ptr());
        if (wanted < 0) raise_pending();
        if (wanted) {
            s.store_sign = nb::list();
            // Ready before the thread can call back into the object.
            nb::inst_mark_ready(v.h);
            try {
                start_pool(v.h, s.thread_list());
            } catch (...) {
                s.store_count.store(0);
                nb::inst_set_state(v.h, false, false);
                throw;
            }
        }
    } catch (...) {
        s.~PyVornSign();
        throw;
    }
}

// ---------------------------------------------------------------------------
// Module functions over the process-wide signer.

int init_ca(nb::handle ca_path_arg, nb::handle ca_pwd) {
    nb::object ca_path = to_path(ca_path_arg);
    nb::object folder = folder_of_module();
    nb::object table = module_attr("read_error_code_dict")(folder);
    nb::object props_path = checked(PyObject_CallMethod(folder.ptr(), "joinpath", "s", "p7Sign.properties"));
    check_path_text(ca_path);
    const std::string data = formatted_props("INIT_CA_PROPS", ca_path, folder);
    const Password pw(ca_pwd, "ca_pwd", "utf-8");

    PropsFile props;
    props.name = fs_bytes(props_path);
    Wiped wrapped;
    int rc = 0, os_err = 0;
    std::string detail;
    without_gil([&] {
        std::lock_guard global(global_sign_mutex());
        std::lock_guard load(load_mutex());
        // Another process may hold the shared file: wait, and take it over
        // when it has been there for more than five seconds.
        auto start = std::chrono::steady_clock::now();
        for (;;) {
            os_err = props.create(data);
            if (os_err != EEXIST) break;
            if (std::chrono::steady_clock::now() - start > std::chrono::seconds(5)) {
                if (::unlink(props.name.c_str()) != 0 && errno != ENOENT) {
                    os_err = errno;
                    break;
                }
                start = std::chrono::steady_clock::now();
                continue;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        if (os_err != 0) return;
        int len = kPasswdLen;
        cLog::clearLastError();
        rc = MakeVornSignPasswd(wrapped.buf, &len, props.name.c_str(), pw.bytes.c_str());
        if (rc != 0) {
            detail = cLog::lastError();
        } else if ((rc = VornSignInitial(props.name.c_str(), wrapped.buf)) != 0) {
            detail = library_message(globalSign.GetErrorMsg(), rc);
        }
        props.remove();
    });
    props.remove();
    if (os_err != 0) raise_os_error(os_err, props.name);
    if (rc != 0) raise_code(rc, table, detail);
    nb::module_::import_("builtins").attr("print")("Ca Initial Done.");
    return rc;
}

// BIG5 first, so that text the signer cannot convert fails here as it would
// on its own; the signer itself reads UTF-8 and converts.
nb::bytes module_get_sign(nb::handle plaintext) {
    nb::object text = formatted(plaintext);
    checked(PyUnicode_AsEncodedString(text.ptr(), "big5", "strict"));
    std::string content(utf8_of(text));
    reject_nul(content);
    std::string b64;
    without_gil([&] {
        std::lock_guard guard(global_sign_mutex());
        SignPkcs7(content.c_str(), "BIG5");
        const char* signed_text = GetSignedPkcs7();
        if (signed_text) b64 = signed_text;
    });
    return nb::steal<nb::bytes>(bytes_obj(b64).release());
}

std::string module_quoted(nb::handle plain) {
    nb::bytes raw = module_get_sign(formatted(plain));
    std::string out;
    percent_encode(bytes_of(raw), out);
    return out;
}

nb::bytes module_gen_ca(nb::handle user_id, nb::handle plain) {
    const std::string quoted = module_quoted(plain);
    const Py_ssize_t id_len = PyObject_Length(user_id.ptr());
    if (id_len < 0) raise_pending();
    nb::object id_text = formatted(user_id);
    const std::string out = ca_layout(quoted, id_len, utf8_of(id_text));
    return nb::steal<nb::bytes>(bytes_obj(out).release());
}

[[noreturn]] void refuse_pickle() { throw nb::type_error(kNoPickle); }

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

NB_MODULE(ca, m) {
    g_module = m.ptr();
    g_time_module = nb::module_::import_("time").release().ptr();
    g_path_type = nb::object(nb::module_::import_("pathlib").attr("Path")).release().ptr();

    g_pool_threads = PyList_New(0);
    g_ca_error = PyErr_NewExceptionWithDoc("taloma.Vorn.ca.CaError", "Ca Error", PyExc_Exception, nullptr);
    if (!g_ca_error) raise_pending();
    m.attr("CaError") = nb::handle(g_ca_error);

    {
        nb::dict ns;
        ns["__name__"] = "taloma.Vorn.ca";
        ns["__builtins__"] = nb::borrow(PyEval_GetBuiltins());
        nb::object done = checked(PyRun_String(kErrorRecordSource, Py_file_input, ns.ptr(), ns.ptr()));
        g_error_record = nb::object(ns["ErrorRecord"]).release().ptr();
        m.attr("ErrorRecord") = nb::handle(g_error_record);
    }
    m.attr("P7SIGN_PROPS") = kP7SignProps;
    m.attr("INIT_CA_PROPS") = kInitCaProps;

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

    nb::class_<PyVornSign>(m, "PyVornSign", nb::type_slots(sign_slots), nb::is_weak_referenceable(),
                           "PyVornSign(ca_path, ca_passwd, person_id, ip, store=0): a signer of its own, "
                           "with a pool of ready signatures when store is non-zero.")
        .def("__init__", &construct, "ca_path"_a.none(), "ca_passwd"_a.none(), "person_id"_a.none(), "ip"_a.none(),
             "store"_a.none() = 0)
        .def(
            "activate",
            [](nb::pointer_and_handle<PyVornSign> self, nb::handle ca_path, nb::handle passwd, nb::handle folder) {
                return self.p->activate(self.h, ca_path, passwd, folder);
            },
            "ca_path"_a.none(), "ca_passwd"_a.none(), "folder_path"_a.none(),
            "Loads the certificate; the signer's activated flag.")
        .def("is_activate", [](PyVornSign& s) { return s.activated.load(); })
        .def("get_sign", &PyVornSign::get_sign, "plaintext"_a.none() = "")
        .def("get_quote_sign", &PyVornSign::get_quote_sign, "plain"_a.none())
        .def("gen_sign", &PyVornSign::gen_sign, "plain_text"_a.none() = "",
             "Signature of person_id + ip + plain_text + time.time(), percent-encoded.")
        .def(
            "sign", [](nb::pointer_and_handle<PyVornSign> self, nb::handle text) { return self.p->sign(self.h, text); },
            "plain_text"_a.none() = "", "A pooled signature when there is one, else a fresh gen_sign(plain_text).")
        .def(
            "sign_speedup", [](nb::pointer_and_handle<PyVornSign> self) { return self.p->sign_speedup(self.h); },
            "The newest pooled signature; IndexError when empty.")
        .def("gen_store_sign", &PyVornSign::gen_store_sign, "count"_a)
        .def(
            "background_gen_store_sign",
            [](nb::handle self) { pool_loop(nb::steal(checked(PyWeakref_NewRef(self.ptr(), nullptr)))); },
            "The pool thread's body: fills the pool until store_count is 0 or the signer is closed.")
        .def("close", &PyVornSign::close,
             "Stops the pool thread, drops the pooled signatures and frees the signer; later use raises ValueError.")
        .def("__enter__", [](nb::handle self) { return nb::borrow(self); })
        .def(
            "__exit__", [](PyVornSign& s, nb::args) { s.close(); }, "Closes the signer.")
        .def_prop_ro("closed", [](PyVornSign& s) { return s.closed.load(); })
        .def("gen_ca", &PyVornSign::gen_ca, "plain"_a.none())
        .def(
            "raise_error", [](PyVornSign& s, nb::handle code) { raise_error(code, s.error_code_dict); },
            "return_code"_a.none())
        .def("__reduce__", [](nb::handle) { refuse_pickle(); })
        .def("__reduce_ex__", [](nb::handle, nb::handle) { refuse_pickle(); }, "protocol"_a)
        .def_prop_ro("encedPfxPasswd",
                     [](PyVornSign& s) {
                         return nb::steal<nb::bytes>(checked(PyBytes_FromStringAndSize(
                             s.encedPfxPasswd, static_cast<Py_ssize_t>(strnlen(s.encedPfxPasswd, kPasswdLen)))).release());
                     })
        .def_prop_ro("ip", [](PyVornSign& s) { return s.ip; })
        .def_prop_ro("encoding", [](PyVornSign& s) { return nb::str(s.encoding.c_str()); })
        .def_prop_ro("person_id", [](PyVornSign& s) { return s.person_id; })
        .def_prop_ro("person_id_len", [](PyVornSign& s) { return s.person_id_len; })
        .def_prop_ro("fix_content", [](PyVornSign& s) { return s.fix_content; })
        .def_prop_rw(
            "error_code_dict", [](PyVornSign& s) { return s.error_code_dict; },
            [](PyVornSign& s, nb::handle value) {
                check_dict_or_none(value, "error_code_dict must be a dict or None");
                s.error_code_dict = nb::borrow(value);
            },
            nb::for_setter(nb::arg("value").none()))
        .def_prop_ro("store_sign", [](PyVornSign& s) { return nb::object(s.pool()); })
        .def_prop_rw(
            "store_count", [](PyVornSign& s) { return s.store_count.load(); },
            [](PyVornSign& s, std::int32_t n) {
                s.store_count.store(n);
                if (n == 0) wake_pools();
            },
            "Pool size asked for; setting 0 ends the pool thread.")
        .def_prop_ro("threads", [](PyVornSign& s) {
            if (!s.threads.is_valid()) s.threads = nb::list();
            return s.threads;
        });

    nb::module_::import_("atexit").attr("register")(nb::cpp_function([] { close_gate(); }));
    if (pthread_atfork(fork_prepare, fork_release, fork_child) != 0) throw std::runtime_error("pthread_atfork failed");
}
