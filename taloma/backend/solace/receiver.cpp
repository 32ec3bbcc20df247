// taloma.backend.solace.receiver: the market-data feed's network side and
// decoding. libmosquitto's network thread reads without the GIL and hands
// messages over through a bounded ring (receiver_bus.cpp); one delivery
// thread per receiver takes them in batches, and under the GIL decodes each
// MessagePack payload straight into its record (the record decoder called
// with the message fields in its own order, receiver_payload.cpp) and calls
// the route's callbacks.
#include <Python.h>
#include <structmember.h>
#include <unistd.h>

#include <cstring>

#include <memory>
#include <thread>

#include "receiver_internal.hpp"
#include "receiver_payload.hpp"
#include "taloma/module_state.hpp"
#include "taloma/pyref.hpp"

namespace {

using taloma::py::Ref;
using namespace taloma::feed;

constexpr std::size_t kBatch = 256;             // messages per turn of the GIL
constexpr std::size_t kRoutesCached = 100'000;  // arrival topics remembered with their route, by default
constexpr std::size_t kRouteBytes = 8u << 20;   // and the text they hold at most
constexpr std::size_t kMaxFields = 64;
constexpr int kMaxDepth = 32;
constexpr double kExitWait = 5.0;  // seconds a callback may take to return at interpreter exit

struct Route {
    std::string filter;
    std::vector<std::string> levels;
    Ref topic;      // the text callbacks receive
    Ref decoder;    // a record decoder (with a layout), or any callable taking the fields as keywords
    Ref callbacks;  // tuple
    bool record = false;
    Layout layout;
    // The last text of each field and of each of its first list entries: an instrument's code,
    // date and most prices repeat from one message to the next, and a text kept is not made again.
    static constexpr std::size_t kTexts = 11;
    std::vector<PyObject*> texts;

    Route() = default;
    Route(const Route&) = delete;
    Route& operator=(const Route&) = delete;
    ~Route() {
        for (PyObject* t : texts) Py_XDECREF(t);
    }

    bool matches(std::string_view arrival) const {
        std::size_t at = 0;
        for (std::size_t i = 0; i < levels.size(); ++i) {
            std::size_t end = arrival.find('/', at);
            bool last = i + 1 == levels.size();
            if (last != (end == std::string_view::npos)) return false;
            std::string_view level = arrival.substr(at, last ? std::string_view::npos : end - at);
            if (levels[i] != "+" && levels[i] != level) return false;
            at = end + 1;
        }
        return true;
    }
};

enum Hook { OnConnect, OnDisconnect, OnRefused, OnError, kHooks };

struct Core {
    Bus bus;
    pid_t pid = getpid();
    std::thread delivery;
    std::atomic<std::thread::id> delivery_id{};
    std::atomic<bool> closed{false};
    // Exit: the delivery thread passes the gate to take the GIL; once closed
    // it ends without Python.
    std::atomic<bool> gate_closed{false};
    std::atomic<int> returning{0};
    std::mutex done_mu;
    std::condition_variable done_cv;
    bool done = false;
    // Under the GIL.
    std::vector<std::shared_ptr<Route>> routes;
    std::unordered_map<std::string, std::shared_ptr<Route>> cache;
    std::size_t cache_bytes = 0;
    std::size_t cache_topics_max = kRoutesCached, cache_bytes_max = kRouteBytes;
    PyObject* hooks[kHooks] = {};
    unsigned long long received = 0, delivered = 0, refused = 0;
    msgpack_zone zone;

    Core() { msgpack_zone_init(&zone, 4096); }
    ~Core() { msgpack_zone_destroy(&zone); }

    void clear_python() {
        routes.clear();
        cache.clear();
        cache_bytes = 0;
        for (PyObject*& h : hooks) Py_CLEAR(h);
    }
};

struct ReceiverObject {
    PyObject_HEAD
    std::shared_ptr<Core>* core;  // null until connected
    PyObject* hooks[kHooks];      // kept here until connect, for the garbage collector
    PyObject* weakrefs;
};

struct State {
    PyTypeObject* type = nullptr;
    std::vector<std::weak_ptr<Core>> live;  // under the GIL

    bool init(PyObject* module);
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(type);
        return 0;
    }
    void clear() { Py_CLEAR(type); }
};

extern PyModuleDef module_def;

// The module state through the class of an instance: a Python subclass's module is its own.
State& state_of_type(PyTypeObject* tp) {
    for (; !((tp->tp_flags & Py_TPFLAGS_HEAPTYPE) && reinterpret_cast<PyHeapTypeObject*>(tp)->ht_module &&
             PyModule_GetDef(reinterpret_cast<PyHeapTypeObject*>(tp)->ht_module) == &module_def);
         tp = tp->tp_base) {
    }
    return *static_cast<State*>(PyModule_GetState(reinterpret_cast<PyHeapTypeObject*>(tp)->ht_module));
}

// ---- MessagePack to Python -------------------------------------------------------------------

PyObject* to_python(const msgpack_object& o, int depth);

// A str of UTF-8 text; ASCII (nearly every text of a market message) is copied as it is.
PyObject* text(const char* p, std::uint32_t n) {
    std::uint8_t high = 0;
    for (std::uint32_t i = 0; i < n; ++i) high |= static_cast<std::uint8_t>(p[i]);
    if (high & 0x80) return PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), nullptr);
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (s && n) std::memcpy(PyUnicode_DATA(s), p, n);
    return s;
}

PyObject* to_list(const msgpack_object& o, int depth) {
    PyObject* list = PyList_New(o.via.array.size);
    if (!list) return nullptr;
    for (std::uint32_t i = 0; i < o.via.array.size; ++i) {
        PyObject* v = to_python(o.via.array.ptr[i], depth + 1);
        if (!v) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, v);
    }
    return list;
}

PyObject* to_dict(const msgpack_object& o, int depth) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    for (std::uint32_t i = 0; i < o.via.map.size; ++i) {
        Ref k(to_python(o.via.map.ptr[i].key, depth + 1));
        if (!k) return nullptr;
        Ref v(to_python(o.via.map.ptr[i].val, depth + 1));
        if (!v || PyDict_SetItem(d.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return d.release();
}

PyObject* to_python(const msgpack_object& o, int depth) {
    if (depth > kMaxDepth) {
        PyErr_SetString(PyExc_ValueError, "the payload nests too deeply");
        return nullptr;
    }
    switch (o.type) {
        case MSGPACK_OBJECT_NIL: Py_RETURN_NONE;
        case MSGPACK_OBJECT_BOOLEAN: return PyBool_FromLong(o.via.boolean);
        case MSGPACK_OBJECT_POSITIVE_INTEGER: return PyLong_FromUnsignedLongLong(o.via.u64);
        case MSGPACK_OBJECT_NEGATIVE_INTEGER: return PyLong_FromLongLong(o.via.i64);
        case MSGPACK_OBJECT_FLOAT32:
        case MSGPACK_OBJECT_FLOAT64: return PyFloat_FromDouble(o.via.f64);
        case MSGPACK_OBJECT_STR: return text(o.via.str.ptr, o.via.str.size);
        case MSGPACK_OBJECT_BIN:
            return PyBytes_FromStringAndSize(o.via.bin.ptr, static_cast<Py_ssize_t>(o.via.bin.size));
        case MSGPACK_OBJECT_ARRAY: return to_list(o, depth);
        case MSGPACK_OBJECT_MAP: return to_dict(o, depth);
        default: break;
    }
    PyErr_SetString(PyExc_ValueError, "the payload holds a MessagePack extension type");
    return nullptr;
}

PyObject* kept_text(PyObject*& kept, const msgpack_object& o) {
    const char* p = o.via.str.ptr;
    std::uint32_t n = o.via.str.size;
    if (kept && PyUnicode_GET_LENGTH(kept) == static_cast<Py_ssize_t>(n) &&
        std::memcmp(PyUnicode_DATA(kept), p, n) == 0)
        return Py_NewRef(kept);
    PyObject* made = text(p, n);
    if (made && PyUnicode_IS_ASCII(made)) Py_XSETREF(kept, Py_NewRef(made));
    return made;
}

// A content field's value, its texts kept in texts[0..Route::kTexts).
PyObject* field_value(const msgpack_object& o, PyObject** texts) {
    if (o.type == MSGPACK_OBJECT_STR) return kept_text(texts[0], o);
    if (o.type != MSGPACK_OBJECT_ARRAY) return to_python(o, 0);
    PyObject* list = PyList_New(o.via.array.size);
    if (!list) return nullptr;
    for (std::uint32_t i = 0; i < o.via.array.size; ++i) {
        const msgpack_object& e = o.via.array.ptr[i];
        PyObject* v = e.type == MSGPACK_OBJECT_STR && i < Route::kTexts ? kept_text(texts[i], e) : to_python(e, 1);
        if (!v) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, v);
    }
    return list;
}

// A record from a payload: the fields in the decoder's order, called positionally.
PyObject* decode_record(Route& r, const char* data, std::size_t len, msgpack_zone* zone) {
    msgpack_object root;
    const std::size_t n = r.layout.size();
    if (n > kMaxFields) {
        PyErr_SetString(PyExc_SystemError, "a decoder with more fields than the receiver lays out");
        return nullptr;
    }
    if (!unpack(data, len, zone, &root)) {
        PyErr_SetString(PyExc_ValueError, describe({Fault::Malformed}, r.layout).c_str());
        return nullptr;
    }
    const msgpack_object* at[kMaxFields];
    if (Bound b = bind(root, r.layout, at); !b) {
        PyErr_SetString(PyExc_TypeError, describe(b, r.layout).c_str());
        return nullptr;
    }
    if (r.texts.size() < n * Route::kTexts) r.texts.resize(n * Route::kTexts, nullptr);
    PyObject* in[kMaxFields];
    std::size_t made = 0;
    PyObject* out = nullptr;
    for (; made < n; ++made)
        if (!(in[made] = field_value(*at[made], &r.texts[made * Route::kTexts]))) break;
    if (made == n) out = PyObject_Vectorcall(r.decoder.get(), in, n, nullptr);
    for (std::size_t i = 0; i < made; ++i) Py_DECREF(in[i]);
    return out;
}

// Any other payload (fills): its map handed to the decoder as keywords.
PyObject* decode_mapping(const Route& r, const char* data, std::size_t len, msgpack_zone* zone) {
    msgpack_object root;
    if (!unpack(data, len, zone, &root)) {
        PyErr_SetString(PyExc_ValueError, describe({Fault::Malformed}, r.layout).c_str());
        return nullptr;
    }
    if (root.type != MSGPACK_OBJECT_MAP) {
        PyErr_SetString(PyExc_TypeError, describe({Fault::NotMap}, r.layout).c_str());
        return nullptr;
    }
    Ref fields(to_dict(root, 0));
    if (!fields) return nullptr;
    Ref none(PyTuple_New(0));
    return none ? PyObject_Call(r.decoder.get(), none.get(), fields.get()) : nullptr;
}

PyObject* decode(Route& r, const std::string& payload, msgpack_zone* zone) {
    PyObject* out = r.record ? decode_record(r, payload.data(), payload.size(), zone)
                             : decode_mapping(r, payload.data(), payload.size(), zone);
    msgpack_zone_clear(zone);
    return out;
}

// ---- delivery --------------------------------------------------------------------------------

// hook(*args); a hook that raises is reported as unraisable, never stops delivery.
void call_hook(Core& c, Hook which, std::initializer_list<PyObject*> args) {
    PyObject* hook = c.hooks[which];
    if (!hook || hook == Py_None) return;
    Ref hold = Ref::borrow(hook);
    Ref r(PyObject_Vectorcall(hook, const_cast<PyObject**>(args.begin()), args.size(), nullptr));
    if (!r) PyErr_WriteUnraisable(hook);
}

PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

std::shared_ptr<Route> route_of(Core& c, const std::string& topic) {
    auto hit = c.cache.find(topic);
    if (hit != c.cache.end()) return hit->second;
    std::shared_ptr<Route> found;
    for (const auto& r : c.routes)
        if (r->matches(topic)) {
            found = r;
            break;
        }
    if (c.cache.size() >= c.cache_topics_max || c.cache_bytes + topic.size() > c.cache_bytes_max) {
        c.cache.clear();
        c.cache_bytes = 0;
    }
    if (topic.size() <= c.cache_bytes_max) {
        c.cache.emplace(topic, found);
        c.cache_bytes += topic.size();
    }
    return found;
}

void deliver(Core& c, const Item& item) {
    ++c.received;
    std::shared_ptr<Route> r = route_of(c, item.topic);
    if (!r) return;
    Ref record(decode(*r, item.payload, &c.zone));
    if (!record) {
        ++c.refused;
        Ref exc(take_exception());
        Ref arrival(PyUnicode_DecodeUTF8(item.topic.data(), static_cast<Py_ssize_t>(item.topic.size()), "replace"));
        if (!arrival) {
            PyErr_WriteUnraisable(nullptr);
            return;
        }
        call_hook(c, OnRefused, {r->topic.get(), arrival.get(), exc.get()});
        return;
    }
    if (record.get() == Py_None && !r->record) return;  // the decoder's own judgement: nothing to deliver
    ++c.delivered;
    Ref callbacks = r->callbacks;  // a callback may re-route: this message goes to the callbacks it found
    Ref topic = r->topic;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(callbacks.get()); ++i) {
        PyObject* cb = PyTuple_GET_ITEM(callbacks.get(), i);
        PyObject* argv[2] = {topic.get(), record.get()};
        Ref done(PyObject_Vectorcall(cb, argv, 2, nullptr));
        if (!done) {
            Ref exc(take_exception());
            call_hook(c, OnError, {cb, topic.get(), exc.get()});
        }
        if (c.closed.load(std::memory_order_relaxed)) return;
    }
}

void handle(Core& c, const Item& item) {
    switch (item.type) {
        case Item::Message: deliver(c, item); break;
        case Item::Reconnected: call_hook(c, OnConnect, {}); break;
        case Item::Lost: {
            Ref why(PyUnicode_FromString(mosquitto_strerror(item.code)));
            if (why) call_hook(c, OnDisconnect, {why.get()});
            else PyErr_WriteUnraisable(nullptr);
            break;
        }
    }
}

// Takes the GIL unless the interpreter is on its way out.
bool enter(Core& c, PyThreadState* ts) {
    c.returning.fetch_add(1);
    if (c.gate_closed.load()) {
        c.returning.fetch_sub(1);
        return false;
    }
    PyEval_RestoreThread(ts);
    c.returning.fetch_sub(1);
    return true;
}

void delivery_thread(std::shared_ptr<Core> core) {
    Core& c = *core;
    c.delivery_id.store(std::this_thread::get_id());
    c.returning.fetch_add(1);
    PyGILState_STATE gil{};
    PyThreadState* ts = nullptr;
    if (!c.gate_closed.load()) {
        gil = PyGILState_Ensure();
        ts = PyEval_SaveThread();
    }
    c.returning.fetch_sub(1);
    bool python = ts != nullptr;
    while (python) {
        Item *a, *b;
        std::size_t alen = 0;
        std::size_t n = c.bus.take(kBatch, &a, &alen, &b);
        if (n == 0) break;
        if (!enter(c, ts)) {
            python = false;
            break;
        }
        for (std::size_t i = 0; i < n && !c.closed.load(std::memory_order_relaxed); ++i)
            handle(c, i < alen ? a[i] : b[i - alen]);
        PyEval_SaveThread();
        c.bus.release(n);
    }
    if (python && enter(c, ts)) {
        // The thread's last references go with its thread state, under the GIL.
        PyGILState_Release(gil);
    }
    std::lock_guard lock(c.done_mu);
    c.done = true;
    c.done_cv.notify_all();
}

bool on_delivery_thread(const Core& c) { return c.delivery_id.load() == std::this_thread::get_id(); }

// Stops the bus and the delivery thread; with the GIL held, which it lets go
// while waiting. At exit the wait is bounded and the gate closed behind it.
void shut(Core& c, bool at_exit) {
    c.closed.store(true);
    Py_BEGIN_ALLOW_THREADS
    c.bus.stop();
    Py_END_ALLOW_THREADS
    if (!c.delivery.joinable()) return;
    if (on_delivery_thread(c)) {
        c.delivery.detach();  // it ends after the callback that closed it returns
        return;
    }
    bool finished;
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock lock(c.done_mu);
    if (at_exit) finished = c.done_cv.wait_for(lock, std::chrono::duration<double>(kExitWait), [&] { return c.done; });
    else {
        c.done_cv.wait(lock, [&] { return c.done; });
        finished = true;
    }
    Py_END_ALLOW_THREADS
    // The thread handle is touched only under the GIL, but the delivery thread may have closed
    // (and let go of) itself while this one waited.
    if (finished) {
        if (c.delivery.joinable()) c.delivery.join();
        return;
    }
    if (c.delivery.joinable()) c.delivery.detach();
    c.gate_closed.store(true);
    Py_BEGIN_ALLOW_THREADS
    while (c.returning.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Py_END_ALLOW_THREADS
}

// ---- the Python type -------------------------------------------------------------------------

Core* owned(ReceiverObject* self, bool need_connection = true) {
    if (!self->core) {
        if (need_connection) PyErr_SetString(PyExc_RuntimeError, "the receiver is not connected");
        return nullptr;
    }
    Core* c = self->core->get();
    if (c->pid != getpid()) {
        PyErr_Format(PyExc_RuntimeError,
                     "this receiver's connection belongs to process %d: a forked child does not inherit it; "
                     "open a new feed in the child",
                     static_cast<int>(c->pid));
        return nullptr;
    }
    return c;
}

int Receiver_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    auto* self = reinterpret_cast<ReceiverObject*>(op);
    static const char* kw[] = {"on_connect", "on_disconnect", "on_refused", "on_error", nullptr};
    PyObject* h[kHooks] = {Py_None, Py_None, Py_None, Py_None};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOO:Receiver", const_cast<char**>(kw), &h[0], &h[1], &h[2],
                                     &h[3]))
        return -1;
    if (self->core) {
        PyErr_SetString(PyExc_RuntimeError, "the receiver is already connected");
        return -1;
    }
    for (int i = 0; i < kHooks; ++i) Py_XSETREF(self->hooks[i], Py_NewRef(h[i]));
    return 0;
}

PyObject* Receiver_connect(PyObject* op, PyObject* args, PyObject* kwargs) {
    auto* self = reinterpret_cast<ReceiverObject*>(op);
    static const char* kw[] = {"host", "port", "client_id", "clean_session", "keepalive", "timeout", nullptr};
    const char *host, *client_id;
    int port, clean = 1, keepalive = 10;
    double timeout = 5.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sis|pid:connect", const_cast<char**>(kw), &host, &port, &client_id,
                                     &clean, &keepalive, &timeout))
        return nullptr;
    if (self->core) {
        PyErr_SetString(PyExc_RuntimeError, "the receiver is already connected");
        return nullptr;
    }
    auto core = std::make_shared<Core>();
    std::string why, h(host), id(client_id);
    bool ok;
    Py_BEGIN_ALLOW_THREADS
    ok = core->bus.connect(h, port, id, clean != 0, keepalive, timeout, why);
    Py_END_ALLOW_THREADS
    if (!ok) {
        PyErr_Format(PyExc_ConnectionError, "the message bus at %s:%d %s", host, port, why.c_str());
        return nullptr;
    }
    for (int i = 0; i < kHooks; ++i) core->hooks[i] = self->hooks[i] ? Py_NewRef(self->hooks[i]) : nullptr;
    try {
        core->delivery = std::thread(delivery_thread, core);
    } catch (const std::exception& e) {
        core->clear_python();
        shut(*core, false);
        PyErr_Format(PyExc_RuntimeError, "cannot start the delivery thread: %s", e.what());
        return nullptr;
    }
    State& st = state_of_type(Py_TYPE(op));
    std::erase_if(st.live, [](const std::weak_ptr<Core>& w) { return w.expired(); });
    st.live.push_back(core);
    self->core = new std::shared_ptr<Core>(std::move(core));
    Py_RETURN_NONE;
}

PyObject* Receiver_subscribe(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"filter", "qos", nullptr};
    const char* filter;
    int qos = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|i:subscribe", const_cast<char**>(kw), &filter, &qos))
        return nullptr;
    Core* c = owned(reinterpret_cast<ReceiverObject*>(op));
    if (!c) return nullptr;
    if (qos < 0 || qos > 2) {
        PyErr_SetString(PyExc_ValueError, "qos must be 0, 1 or 2");
        return nullptr;
    }
    std::string f(filter);
    int mid;
    Py_BEGIN_ALLOW_THREADS
    mid = c->bus.subscribe(f, qos);
    Py_END_ALLOW_THREADS
    return PyLong_FromLong(mid);
}

PyObject* Receiver_unsubscribe(PyObject* op, PyObject* arg) {
    Core* c = owned(reinterpret_cast<ReceiverObject*>(op));
    if (!c) return nullptr;
    const char* filter = PyUnicode_AsUTF8(arg);
    if (!filter) return nullptr;
    std::string f(filter);
    int mid;
    Py_BEGIN_ALLOW_THREADS
    mid = c->bus.unsubscribe(f);
    Py_END_ALLOW_THREADS
    return PyLong_FromLong(mid);
}

PyObject* Receiver_wait_granted(PyObject* op, PyObject* args) {
    int mid;
    double timeout;
    if (!PyArg_ParseTuple(args, "id:wait_granted", &mid, &timeout)) return nullptr;
    Core* c = owned(reinterpret_cast<ReceiverObject*>(op));
    if (!c) return nullptr;
    if (mid < 0) Py_RETURN_FALSE;
    bool ok;
    Py_BEGIN_ALLOW_THREADS
    ok = c->bus.wait_granted(mid, timeout);
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(ok);
}

// Splits "a/+/c" into its levels.
std::vector<std::string> levels_of(const std::string& filter) {
    std::vector<std::string> out;
    std::size_t at = 0;
    for (;;) {
        std::size_t end = filter.find('/', at);
        out.emplace_back(filter.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos) return out;
        at = end + 1;
    }
}

// content: ((name, kind), ...) as a record class's _content gives it.
bool layout_of(PyObject* content, Layout& out) {
    Ref seq(PySequence_Fast(content, "content must be a sequence of (name, kind) pairs"));
    if (!seq) return false;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (n > static_cast<Py_ssize_t>(kMaxFields)) {
        PyErr_Format(PyExc_ValueError, "at most %d content fields", static_cast<int>(kMaxFields));
        return false;
    }
    static constexpr std::pair<const char*, Kind> kinds[] = {{"text", Kind::Text},
                                                             {"maybe_text", Kind::MaybeText},
                                                             {"int", Kind::Int},
                                                             {"texts", Kind::Texts},
                                                             {"ints", Kind::Ints}};
    for (Py_ssize_t i = 0; i < n; ++i) {
        const char *name, *kind;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), i), "ss;content entries are (name, kind)", &name,
                              &kind))
            return false;
        const Kind* found = nullptr;
        for (const auto& [text, k] : kinds)
            if (std::strcmp(text, kind) == 0) found = &k;
        if (!found) {
            PyErr_Format(PyExc_ValueError, "unknown content kind '%s' of field '%s'", kind, name);
            return false;
        }
        out.names.emplace_back(name);
        out.kinds.push_back(*found);
    }
    return true;
}

bool make_route(PyObject* filter, PyObject* topic, PyObject* decoder, PyObject* callbacks, PyObject* content,
                Route& r) {
    const char* f = PyUnicode_AsUTF8(filter);
    if (!f) return false;
    if (!PyUnicode_Check(topic)) {
        PyErr_SetString(PyExc_TypeError, "topic must be str");
        return false;
    }
    if (!PyCallable_Check(decoder)) {
        PyErr_SetString(PyExc_TypeError, "decoder must be callable");
        return false;
    }
    Ref cbs(PySequence_Tuple(callbacks));
    if (!cbs) return false;
    r.filter = f;
    r.levels = levels_of(r.filter);
    r.topic = Ref::borrow(topic);
    r.decoder = Ref::borrow(decoder);
    r.callbacks = std::move(cbs);
    r.record = content && content != Py_None;
    return !r.record || layout_of(content, r.layout);
}

PyObject* Receiver_route(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"filter", "topic", "decoder", "callbacks", "content", nullptr};
    PyObject *filter, *topic, *decoder, *callbacks, *content = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UUOO|O:route", const_cast<char**>(kw), &filter, &topic, &decoder,
                                     &callbacks, &content))
        return nullptr;
    Core* c = owned(reinterpret_cast<ReceiverObject*>(op));
    if (!c) return nullptr;
    auto r = std::make_shared<Route>();
    if (!make_route(filter, topic, decoder, callbacks, content, *r)) return nullptr;
    bool replaced = false;
    for (auto& old : c->routes)
        if (old->filter == r->filter) {
            old = r;
            replaced = true;
        }
    if (!replaced) c->routes.push_back(r);
    c->cache.clear();
    c->cache_bytes = 0;
    Py_RETURN_NONE;
}

PyObject* Receiver_unroute(PyObject* op, PyObject* arg) {
    Core* c = owned(reinterpret_cast<ReceiverObject*>(op));
    if (!c) return nullptr;
    const char* f = PyUnicode_AsUTF8(arg);
    if (!f) return nullptr;
    std::erase_if(c->routes, [&](const std::shared_ptr<Route>& r) { return r->filter == f; });
    c->cache.clear();
    c->cache_bytes = 0;
    Py_RETURN_NONE;
}

PyObject* Receiver_limit_routes(PyObject* op, PyObject* args) {
    Py_ssize_t topics, bytes;
    if (!PyArg_ParseTuple(args, "nn:limit_routes", &topics, &bytes)) return nullptr;
    Core* c = owned(reinterpret_cast<ReceiverObject*>(op));
    if (!c) return nullptr;
    if (topics < 1 || bytes < 1) {
        PyErr_SetString(PyExc_ValueError, "the route cache's bounds must be positive");
        return nullptr;
    }
    c->cache_topics_max = static_cast<std::size_t>(topics);
    c->cache_bytes_max = static_cast<std::size_t>(bytes);
    c->cache.clear();
    c->cache_bytes = 0;
    Py_RETURN_NONE;
}

PyObject* Receiver_cached_routes(PyObject* op, PyObject*) {
    Core* c = owned(reinterpret_cast<ReceiverObject*>(op));
    if (!c) return nullptr;
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (const auto& [topic, route] : c->cache) {
        Ref t(PyUnicode_DecodeUTF8(topic.data(), static_cast<Py_ssize_t>(topic.size()), "replace"));
        if (!t || PyList_Append(out.get(), t.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* Receiver_close(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<ReceiverObject*>(op);
    if (!self->core) Py_RETURN_NONE;
    Core* c = owned(self);
    if (!c) return nullptr;
    if (!c->closed.load()) shut(*c, false);
    Py_RETURN_NONE;
}

PyObject* Receiver_on_delivery_thread(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<ReceiverObject*>(op);
    return PyBool_FromLong(self->core && on_delivery_thread(*self->core->get()));
}

PyObject* Receiver_stats(PyObject* op, void*) {
    auto* self = reinterpret_cast<ReceiverObject*>(op);
    Core* c = self->core ? self->core->get() : nullptr;
    return Py_BuildValue("{sKsKsK}", "received", c ? c->received : 0ull, "delivered", c ? c->delivered : 0ull,
                         "refused", c ? c->refused : 0ull);
}

PyObject* Receiver_connected(PyObject* op, void*) {
    auto* self = reinterpret_cast<ReceiverObject*>(op);
    Core* c = self->core ? self->core->get() : nullptr;
    return PyBool_FromLong(c && !c->closed.load() && c->bus.connected());
}

PyObject* Receiver_closed(PyObject* op, void*) {
    auto* self = reinterpret_cast<ReceiverObject*>(op);
    return PyBool_FromLong(self->core && self->core->get()->closed.load());
}

int Receiver_traverse(PyObject* op, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<ReceiverObject*>(op);
    Py_VISIT(Py_TYPE(op));
    for (PyObject* h : self->hooks) Py_VISIT(h);
    if (self->core) {
        Core& c = *self->core->get();
        if (c.pid == getpid()) {
            for (PyObject* h : c.hooks) Py_VISIT(h);
            for (const auto& r : c.routes) {
                Py_VISIT(r->topic.get());
                Py_VISIT(r->decoder.get());
                Py_VISIT(r->callbacks.get());
            }
        }
    }
    return 0;
}

// Only the hooks are cleared: routes hold what callbacks may still be running with.
int Receiver_clear(PyObject* op) {
    auto* self = reinterpret_cast<ReceiverObject*>(op);
    for (PyObject*& h : self->hooks) Py_CLEAR(h);
    if (self->core) {
        Core& c = *self->core->get();
        if (c.pid == getpid()) {
            for (PyObject*& h : c.hooks) Py_CLEAR(h);
            c.routes.clear();
            c.cache.clear();
        }
    }
    return 0;
}

void Receiver_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<ReceiverObject*>(op);
    PyTypeObject* tp = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    if (self->weakrefs) PyObject_ClearWeakRefs(op);
    if (self->core) {
        Core& c = *self->core->get();
        if (c.pid != getpid()) {
            // A forked child's copy: its threads do not exist here and its locks may be held. Left alone.
            self->core = nullptr;
        } else {
            if (!c.closed.load()) shut(c, false);
            c.clear_python();
            delete self->core;
            self->core = nullptr;
        }
    }
    for (PyObject*& h : self->hooks) Py_CLEAR(h);
    tp->tp_free(op);
    Py_DECREF(tp);
}

PyMethodDef receiver_methods[] = {
    {"connect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Receiver_connect)),
     METH_VARARGS | METH_KEYWORDS,
     "connect($self, /, host, port, client_id, clean_session=True, keepalive=10, timeout=5.0)\n--\n\n"
     "Connect (MQTT 3.1.1) and start the network and delivery threads; ConnectionError naming host and "
     "port when the bus refuses or does not answer within timeout seconds."},
    {"subscribe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Receiver_subscribe)),
     METH_VARARGS | METH_KEYWORDS,
     "subscribe($self, /, filter, qos=0)\n--\n\nAsk the bus for a subscription; its packet id, -1 while the bus is "
     "away."},
    {"unsubscribe", Receiver_unsubscribe, METH_O,
     "unsubscribe($self, filter, /)\n--\n\nDrop a subscription at the bus; the packet id, -1 while the bus is away."},
    {"wait_granted", Receiver_wait_granted, METH_VARARGS,
     "wait_granted($self, mid, timeout, /)\n--\n\nWhether the bus granted subscription mid within timeout seconds."},
    {"route", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Receiver_route)), METH_VARARGS | METH_KEYWORDS,
     "route($self, /, filter, topic, decoder, callbacks, content=None)\n--\n\n"
     "Deliver messages whose topic matches filter: decoded by decoder (a record decoder with its content "
     "fields, or any callable taking the fields as keywords), then each callback(topic, record)."},
    {"unroute", Receiver_unroute, METH_O, "unroute($self, filter, /)\n--\n\nStop delivering a filter's messages."},
    {"limit_routes", Receiver_limit_routes, METH_VARARGS,
     "limit_routes($self, topics, nbytes, /)\n--\n\nBound the cache of arrival topics and their routes: it is "
     "emptied when it would hold more topics or more bytes of topic text."},
    {"cached_routes", Receiver_cached_routes, METH_NOARGS,
     "cached_routes($self, /)\n--\n\nThe arrival topics the route cache holds now."},
    {"close", Receiver_close, METH_NOARGS,
     "close($self, /)\n--\n\nDisconnect and stop delivering; safe twice and from a callback."},
    {"on_delivery_thread", Receiver_on_delivery_thread, METH_NOARGS,
     "on_delivery_thread($self, /)\n--\n\nWhether the caller runs on this receiver's delivery thread."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef receiver_getset[] = {
    {"stats", Receiver_stats, nullptr, "Counts of messages received, records delivered and payloads refused.", nullptr},
    {"connected", Receiver_connected, nullptr, "Whether the bus is connected now.", nullptr},
    {"closed", Receiver_closed, nullptr, "Whether close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef receiver_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(ReceiverObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

// ---- module functions ------------------------------------------------------------------------

// The records of payloads (bytes, or a list of them) decoded as one route of a receiver does.
PyObject* decode_payload(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"payload", "decoder", "content", nullptr};
    PyObject *payloads, *decoder, *content = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:decode_payload", const_cast<char**>(kw), &payloads, &decoder,
                                     &content))
        return nullptr;
    bool one = PyBytes_Check(payloads);
    Ref items(one ? PyTuple_Pack(1, payloads) : PySequence_Fast(payloads, "payload must be bytes or a list of bytes"));
    if (!items) return nullptr;
    Route r;
    Ref empty(PyTuple_New(0)), topic(PyUnicode_FromString(""));
    if (!empty || !topic || !make_route(topic.get(), topic.get(), decoder, empty.get(), content, r)) return nullptr;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    Ref out(PyList_New(n));
    if (!out) return nullptr;
    msgpack_zone zone;
    msgpack_zone_init(&zone, 4096);
    std::string data;
    Py_ssize_t i = 0;
    for (; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyBytes_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "payloads must be bytes");
            break;
        }
        data.assign(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
        PyObject* record = decode(r, data, &zone);
        if (!record) break;
        PyList_SET_ITEM(out.get(), i, record);
    }
    msgpack_zone_destroy(&zone);
    if (i < n) return nullptr;
    return one ? Py_NewRef(PyList_GET_ITEM(out.get(), 0)) : out.release();
}

// Run by atexit, before the interpreter finalises: every receiver of this
// process is stopped while threads may still take the GIL.
PyObject* at_exit(PyObject* module, PyObject*) {
    State& st = *taloma::py::state_of<State>(module);
    std::vector<std::shared_ptr<Core>> live;
    for (auto& w : st.live)
        if (auto c = w.lock()) live.push_back(std::move(c));
    for (auto& c : live)
        if (c->pid == getpid()) shut(*c, true);
    st.live.clear();
    Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {"decode_payload", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_payload)),
     METH_VARARGS | METH_KEYWORDS,
     "decode_payload(payload, decoder, content=None)\n--\n\n"
     "The record (or, without content, decoder(**fields)) of one MessagePack payload, as a receiver decodes it; "
     "given a list of payloads, the list of their records."},
    {"_at_exit", at_exit, METH_NOARGS, "_at_exit()\n--\n\nStop every receiver of this process (run by atexit)."},
    {nullptr, nullptr, 0, nullptr}};

bool State::init(PyObject* module) {
    PyType_Slot slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(Receiver_init)},
        {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
        {Py_tp_dealloc, reinterpret_cast<void*>(Receiver_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(Receiver_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(Receiver_clear)},
        {Py_tp_methods, receiver_methods},
        {Py_tp_getset, receiver_getset},
        {Py_tp_members, receiver_members},
        {Py_tp_doc,
         const_cast<char*>("Receiver(on_connect=None, on_disconnect=None, on_refused=None, on_error=None)\n--\n\n"
                           "A bus connection whose messages are decoded into records and handed to callbacks "
                           "on one delivery thread.")},
        {0, nullptr}};
    PyType_Spec spec{"taloma.backend.solace.receiver.Receiver", static_cast<int>(sizeof(ReceiverObject)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, slots};
    PyObject* t = PyType_FromModuleAndSpec(module, &spec, nullptr);
    if (!t) return false;
    type = reinterpret_cast<PyTypeObject*>(t);
    if (PyModule_AddObjectRef(module, "Receiver", t) < 0) return false;
    Ref hook(PyObject_GetAttrString(module, "_at_exit"));
    Ref reg = taloma::py::import_attr("atexit", "register");
    if (!hook || !reg) return false;
    Ref registered(PyObject_CallOneArg(reg.get(), hook.get()));
    return registered && PyModule_AddIntConstant(module, "CAPACITY", static_cast<long>(Bus::kCapacity)) == 0;
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(taloma::py::exec_state<State>)},
#ifdef Py_mod_multiple_interpreters
                                   {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
                                   {0, nullptr}};

PyModuleDef module_def = taloma::py::module_def<State>(
    "taloma.backend.solace.receiver",
    "The market-data feed's receiving path: libmosquitto's network thread, MessagePack payloads decoded "
    "into records, callbacks on one delivery thread.",
    module_methods, module_slots);

}  // namespace

PyMODINIT_FUNC PyInit_receiver(void) { return PyModuleDef_Init(&module_def); }
