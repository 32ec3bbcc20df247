// The module functions over the library's process-wide signer, and what
// keeps the process-wide locks sound across fork().
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "VornSign.h"
#include "cLog.h"
#include "ca_internal.h"
#include "pkiGlobal_C.h"

namespace taloma::vorn_ca {

int init_ca(nb::handle ca_path_arg, nb::handle ca_pwd) {
    nb::object ca_path = to_path(ca_path_arg);
    nb::object folder = folder_of_module();
    nb::object table = module_global(state().names.read_error_code_dict)(folder);
    nb::object props_path = py::steal(PyObject_CallMethod(folder.ptr(), "joinpath", "s", "p7Sign.properties"));
    check_path_text(ca_path);
    const std::string data = formatted_props(state().names.init_ca_props, ca_path, folder);
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
    py::steal(PyUnicode_AsEncodedString(text.ptr(), "big5", "strict"));
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
    if (id_len < 0) py::raise();
    nb::object id_text = formatted(user_id);
    const std::string out = ca_layout(quoted, id_len, utf8_of(id_text));
    return nb::steal<nb::bytes>(bytes_obj(out).release());
}

namespace {

// fork() takes every signing lock first, so the child inherits them all free
// and no signer half-way through an operation.
void fork_prepare() {
    registry_mutex().lock();
    global_sign_mutex().lock();
    load_mutex().lock();
    lock_signers();
    pool_sleep_mutex().lock();
}

void fork_release() {
    pool_sleep_mutex().unlock();
    unlock_signers();
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

}  // namespace

bool install_fork_handlers() { return pthread_atfork(fork_prepare, fork_release, fork_child) == 0; }

}  // namespace taloma::vorn_ca
