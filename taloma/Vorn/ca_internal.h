// What the sources of taloma.Vorn.ca share. ca.cpp defines the module and its
// state; ca_exit.cpp the exit gate and GIL handling; ca_text.cpp conversions
// and the signature layouts; ca_errors.cpp the error table and CaError;
// ca_props.cpp the property files; ca_signer.cpp PyVornSign; ca_process.cpp
// the functions over the library's process-wide signer and the fork handlers.
//
// Each signer is guarded by its own mutex, taken only with the GIL released,
// and nothing that needs the GIL runs while a mutex is held, so the two locks
// can never deadlock.
#pragma once

#include <nanobind/nanobind.h>

#include <fcntl.h>

#include <taloma/capi.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>

namespace taloma::vorn_ca {

namespace nb = nanobind;

constexpr int kPasswdLen = 512;

// ---------------------------------------------------------------------------
// Module state (ca.cpp): made at import, kept for the process.

#define TALOMA_CA_NAMES(X) \
    X(empty, "") \
    X(time, "time") \
    X(file, "__file__") \
    X(read_error_code_dict, "read_error_code_dict") \
    X(pool_loop, "_pool_loop") \
    X(p7sign_props, "P7SIGN_PROPS") \
    X(init_ca_props, "INIT_CA_PROPS")
TALOMA_NAMES(CaNames, TALOMA_CA_NAMES);

struct CaState {
    CaNames names;
    PyObject* module = nullptr;        // borrowed: lives as long as the interpreter
    PyObject* globals = nullptr;       // borrowed: the module's namespace
    PyObject* ca_error = nullptr;      // CaError
    PyObject* error_record = nullptr;  // dict subclass with .error / .error_msg
    PyObject* time_module = nullptr;
    PyObject* threading_module = nullptr;
    PyObject* path_type = nullptr;     // pathlib.Path
    PyObject* pool_threads = nullptr;  // list of the pool threads started

    bool init(PyObject* m);
    int traverse(visitproc visit, void* arg);
    void clear();
};

inline CaState& state() { return taloma::py::state<CaState>(); }

// A module global, read when used so that it can be replaced.
inline nb::object module_global(PyObject* name) { return taloma::py::global(state().globals, name); }

// The module's locks. Each lives as long as the process: never destroyed,
// since threads still inside the library at exit may hold it.
enum class Lock { PoolSleep, Registry, GlobalSign, Load };
template <Lock>
std::mutex& lasting_mutex() {
    static std::mutex& m = *new std::mutex();
    return m;
}

// ---------------------------------------------------------------------------
// Exit gate and GIL handling (ca_exit.cpp).

extern std::atomic<bool> g_exiting;
extern std::atomic<int> g_returning;
// Threads between releasing the GIL and having it back.
extern std::atomic<int> g_inside;
// Pool threads are stopped at exit before the gate closes.
extern std::atomic<bool> g_stop_pools;
// Bumped (under pool_sleep_mutex) when a pool thread should look at its
// signer again: one was closed or dropped.
extern std::uint64_t g_pool_wake;
inline std::mutex& pool_sleep_mutex() { return lasting_mutex<Lock::PoolSleep>(); }
std::condition_variable& pool_sleep_cv();

// Takes the GIL back, or parks the thread for good once the gate is closed.
void reacquire(PyThreadState* ts);

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

void wake_pools();
// The atexit hook.
void close_gate();

// ---------------------------------------------------------------------------
// Conversions and signature layouts (ca_text.cpp).

// "{}".format(value)
nb::object formatted(nb::handle value);
std::string_view utf8_of(nb::handle text);
std::string_view bytes_of(nb::handle b);
// The library takes C strings: a NUL inside would silently cut the text.
void reject_nul(std::string_view s);
nb::object to_path(nb::handle p);
// The file-system bytes of a path-like object.
std::string fs_bytes(nb::handle path);
nb::object folder_of_module();
// urllib.parse.quote(s, safe=""): everything but letters, digits and "_.-~".
void percent_encode(std::string_view in, std::string& out);
nb::object ascii_str(std::string_view s);
nb::object bytes_obj(std::string_view s);
// "0000{:04d}{}0000{:04d}{}{}" of (len(sig), sig, len(id), id, id)
std::string ca_layout(std::string_view quoted, Py_ssize_t id_len, std::string_view id);

// ---------------------------------------------------------------------------
// Error table and CaError (ca_errors.cpp).

// The ErrorRecord class, new reference.
nb::object make_error_record_type();
nb::object read_error_code_dict(nb::handle folder_path);
[[noreturn]] void raise_error(nb::handle return_code, nb::handle error_code_dict);
// A code the table has no text for is told by the library's own message
// (detail: what the library logged last for this failure).
[[noreturn]] void raise_code(int rc, nb::handle error_code_dict, const std::string& detail = {});
// The library's message without its "(code)" tail.
std::string library_message(const char* msg, int rc);
[[noreturn]] void raise_os_error(int err, const std::string& path);

// A password in bytes. The encoder's own error would carry the whole password
// in its text and arguments, so it is replaced by one that names the problem.
struct Password {
    std::string bytes;
    Password(nb::handle text, const char* what, const char* encoding);
    Password(const Password&) = delete;
    Password& operator=(const Password&) = delete;
    ~Password() { wipe(); }
    void wipe() noexcept;
};

// ---------------------------------------------------------------------------
// Property files (ca_props.cpp): they hold the wrapped password, so they are
// private to the user, never written through a link, and gone once the signer
// has read them.

extern const char kP7SignProps[];
extern const char kInitCaProps[];

struct PropsFile {
    int dirfd = AT_FDCWD;
    std::string name;
    bool created = false;

    PropsFile() = default;
    PropsFile(const PropsFile&) = delete;
    PropsFile& operator=(const PropsFile&) = delete;
    ~PropsFile();
    void remove() noexcept;
    // 0, or the errno of the failure.
    int create(const std::string& data);
};

// The wrapped password's buffer, wiped when it goes.
struct Wiped {
    char buf[kPasswdLen + 1] = {};
    ~Wiped();
};

// The property text of the template (a module global) as bytes; undecodable
// file-name bytes go back as they came.
std::string formatted_props(PyObject* template_name, nb::handle ca_path, nb::handle folder_path,
                            const char* encoding = nullptr);
// A line break inside a path would end its property line and start another.
void check_path_text(nb::handle ca_path);

// ---------------------------------------------------------------------------
// PyVornSign (ca_signer.cpp).

// Bumped in each forked child.
extern std::atomic<std::uint64_t> g_fork_gen;
inline std::mutex& registry_mutex() { return lasting_mutex<Lock::Registry>(); }
// Every live signer's lock, taken and given back in registry order.
void lock_signers();
void unlock_signers();
void pool_loop(nb::handle ref);
void define_signer(nb::module_& m);

// ---------------------------------------------------------------------------
// The process-wide signer (ca_process.cpp).

// The library's process-wide signer, and the process-wide parts every
// LoadProperty touches (logger settings, the chain store).
inline std::mutex& global_sign_mutex() { return lasting_mutex<Lock::GlobalSign>(); }
inline std::mutex& load_mutex() { return lasting_mutex<Lock::Load>(); }
int init_ca(nb::handle ca_path_arg, nb::handle ca_pwd);
nb::bytes module_get_sign(nb::handle plaintext);
std::string module_quoted(nb::handle plain);
nb::bytes module_gen_ca(nb::handle user_id, nb::handle plain);
// pthread_atfork handlers; false when they could not be installed.
bool install_fork_handlers();

}  // namespace taloma::vorn_ca
