// PyVornSign: a signer of its own, with an optional pool of ready signatures
// kept by a daemon thread.
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <openssl/crypto.h>

#include "VornSign.h"
#include "cLog.h"
#include "ca_internal.h"

using namespace nanobind::literals;

namespace taloma::vorn_ca {

// Bumped in each child: a signer from an earlier generation holds its
// parent's pool and has lost its pool thread.
std::atomic<std::uint64_t> g_fork_gen{0};


namespace {

constexpr const char kNoPickle[] = "no default __reduce__ due to non-trivial __cinit__";

struct PyVornSign;

// Live signers, for the fork handlers. Changed with the GIL held, but a fork
// may come from a thread without it, hence a lock of its own (registry_mutex).
std::vector<PyVornSign*>& registry() {
    static std::vector<PyVornSign*>& v = *new std::vector<PyVornSign*>();
    return v;
}

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
        if (PyList_SetSlice(pool().ptr(), 0, PY_SSIZE_T_MAX, nullptr) != 0) py::raise();
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
            nb::object b = py::steal(PyUnicode_AsEncodedString(text.ptr(), encoding.c_str(), "strict"));
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
            nb::object ident = py::steal(PyLong_FromVoidPtr(self.ptr()));
            nb::object text = py::steal(PyObject_Str(ident.ptr()));
            const std::string_view id = utf8_of(text);
            std::snprintf(digest, sizeof digest, "%08x.%ld.%llu", static_cast<unsigned>(XXH32(id.data(), id.size(), 0)),
                          static_cast<long>(::getpid()), static_cast<unsigned long long>(++g_props_serial));
        }
        auto props = std::make_unique<PropsFile>();
        props->name = std::string("p7Sign.properties.") + digest;
        check_path_text(ca_path);
        const std::string data = formatted_props(state().names.p7sign_props, ca_path, folder_path,
                                                 encoding == "utf8" ? nullptr : encoding.c_str());
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
        nb::object now = py::steal(PyObject_CallMethodNoArgs(state().time_module, state().names.time));
        nb::object stamp = formatted(now);
        std::string content = fix_utf8;
        if (plain_text.is_none()) content += "None";
        else content += utf8_of(plain_text);
        content += utf8_of(stamp);
        if (encoding != "utf8") {
            nb::object text = py::steal(
                PyUnicode_FromStringAndSize(content.data(), static_cast<Py_ssize_t>(content.size())));
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
            py::raise();
        }
        nb::object last = nb::borrow(PyList_GET_ITEM(list.ptr(), n - 1));
        if (PyList_SetSlice(list.ptr(), n - 1, n, nullptr) != 0) py::raise();
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
            if (PyList_Append(pool().ptr(), s.ptr()) != 0) py::raise();
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
            nb::object current = nb::handle(state().threading_module).attr("current_thread")();
            for (nb::handle t : thread_list())
                if (!t.is(current) && nb::bool_(t.attr("is_alive")())) t.attr("join")(10.0);
        }
        if (PyList_SetSlice(pool().ptr(), 0, PY_SSIZE_T_MAX, nullptr) != 0) py::raise();
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

void start_pool(nb::handle self, nb::list& threads) {
    nb::object ref = py::steal(PyWeakref_NewRef(self.ptr(), nullptr));
    nb::handle threading = state().threading_module;
    nb::object target = module_global(state().names.pool_loop);
    nb::object thread = threading.attr("Thread")("target"_a = target, "args"_a = nb::make_tuple(ref),
                                                 "daemon"_a = true);
    if (PyList_SetSlice(threads.ptr(), 0, PY_SSIZE_T_MAX, nullptr) != 0 ||
        PyList_Append(threads.ptr(), thread.ptr()) != 0)
        py::raise();
    // Finished threads are dropped from the exit list as new ones come.
    nb::list all = nb::borrow<nb::list>(state().pool_threads);
    nb::list alive;
    for (nb::handle t : all)
        if (nb::bool_(t.attr("is_alive")())) alive.append(t);
    alive.append(thread);
    if (PyList_SetSlice(state().pool_threads, 0, PY_SSIZE_T_MAX, alive.ptr()) != 0) py::raise();
    thread.attr("start")();
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
        nb::object table = module_global(state().names.read_error_code_dict)(folder);
        check_dict_or_none(table, "read_error_code_dict must return a dict or None");
        s.error_code_dict = table;
        s.activate(v.h, ca, ca_passwd, folder);

        if (!person_id.is_none() && !PyUnicode_Check(person_id.ptr()))
            throw nb::type_error("person_id must be text or None");
        if (!ip.is_none() && !PyUnicode_Check(ip.ptr())) throw nb::type_error("ip must be text or None");
        const Py_ssize_t id_len = PyObject_Length(person_id.ptr());  // None has no length, as in Python
        if (id_len < 0) py::raise();
        s.person_id = nb::borrow(person_id);
        s.person_id_len = id_len;
        s.person_id_utf8 = utf8_of(person_id);
        s.ip = nb::borrow(ip);
        s.fix_content = nb::str("{}{}").attr("format")(person_id, ip);
        s.fix_utf8 = utf8_of(s.fix_content);
        nb::object count = py::steal(PyNumber_Long(store.ptr()));
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
        if (n == -1 && PyErr_Occurred()) py::raise();
        if (overflow || n < INT32_MIN || n > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "store does not fit a 32-bit signed integer");
            py::raise();
        }
        s.store_count.store(static_cast<std::int32_t>(n));
        const int wanted = PyObject_IsTrue(store.ptr());
        if (wanted < 0) py::raise();
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

[[noreturn]] void refuse_pickle() { throw nb::type_error(kNoPickle); }

}  // namespace

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
            nb::object obj = py::steal(PyObject_CallNoArgs(ref.ptr()));
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

void lock_signers() {
    for (PyVornSign* s : registry()) s->mu.lock();
}

void unlock_signers() {
    auto& all = registry();
    for (auto it = all.rbegin(); it != all.rend(); ++it) (*it)->mu.unlock();
}

void define_signer(nb::module_& m) {
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
            [](nb::handle self) { pool_loop(nb::steal(py::steal(PyWeakref_NewRef(self.ptr(), nullptr)))); },
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
        .def(
            "__reduce_ex__", [](nb::handle, nb::handle) { refuse_pickle(); }, "protocol"_a)
        .def_prop_ro("encedPfxPasswd",
                     [](PyVornSign& s) {
                         return nb::steal<nb::bytes>(
                             py::steal(PyBytes_FromStringAndSize(s.encedPfxPasswd, static_cast<Py_ssize_t>(strnlen(
                                                                                       s.encedPfxPasswd, kPasswdLen))))
                                 .release());
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
}

}  // namespace taloma::vorn_ca
