// Market-data records: fixed-slot classes, their common protocol and
// decoders from named message fields laid out at compile time.
//
// A record class stores its fields in slots right after the object header,
// exposed as member descriptors (the same mechanism as a Python __slots__
// class, so attribute reads specialise the same way) and lists them in a
// class-level __slots__ list that keys() hands out as is.
#pragma once

#include <Python.h>
#include <datetime.h>
#include <structmember.h>

#include <array>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>

#include "taloma/decimal_cache.hpp"
#include "taloma/fastargs.hpp"
#include "taloma/pyref.hpp"

namespace taloma::record {

using py::Ref;

inline PyObject** slots(PyObject* self) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + sizeof(PyObject));
}

inline void raise_argtype(const char* name, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, Py_TYPE(got)->tp_name);
}

inline bool check_text(PyObject* v, const char* name) {
    if (v == Py_None || PyUnicode_Check(v)) return true;
    raise_argtype(name, "str", v);
    return false;
}

// Owned references, filled in order, released on scope exit unless taken.
template <Py_ssize_t N>
struct Values {
    PyObject* v[N];
    Py_ssize_t n = 0;
    ~Values() {
        for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(v[i]);
    }
    // Takes a result that may be null (an error is set then).
    bool push_ok(PyObject* owned) {
        if (!owned) return false;
        v[n++] = owned;
        return true;
    }
    void forget() { n = 0; }
};

// Grows without exceptions; holds references until moved into a list.
class Buffer {
public:
    ~Buffer() {
        for (Py_ssize_t i = 0; i < n_; ++i) Py_DECREF(p_[i]);
        if (p_ != small_) PyMem_Free(p_);
    }
    bool push(PyObject* owned) {
        if (n_ == cap_ && !grow()) {
            Py_DECREF(owned);
            return false;
        }
        p_[n_++] = owned;
        return true;
    }
    PyObject* to_list() {
        PyObject* list = PyList_New(n_);
        if (!list) return nullptr;
        for (Py_ssize_t i = 0; i < n_; ++i) PyList_SET_ITEM(list, i, p_[i]);
        n_ = 0;
        return list;
    }

private:
    bool grow() {
        Py_ssize_t cap = cap_ * 2;
        auto* p = static_cast<PyObject**>(PyMem_Malloc(static_cast<size_t>(cap) * sizeof(PyObject*)));
        if (!p) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(p, p_, static_cast<size_t>(n_) * sizeof(PyObject*));
        if (p_ != small_) PyMem_Free(p_);
        p_ = p;
        cap_ = cap;
        return true;
    }
    PyObject* small_[16];
    PyObject** p_ = small_;
    Py_ssize_t n_ = 0, cap_ = 16;
};

// What a module's records and decoders share: Decimal, the cache, the
// date-time parser and a few interned names.
struct Env {
    PyObject* globals = nullptr;  // the module's dict, where datetime_parser is looked up per call
    decimal::Cache cache;
    PyObject* zero = nullptr;       // Decimal("0.0")
    PyObject* hundredth = nullptr;  // Decimal("0.01")
    PyObject* multiply = nullptr;   // multiply of a private context that cannot round
    PyObject* s_slots = nullptr;
    PyObject* s_transform = nullptr;
    PyObject* s_isoformat = nullptr;
    PyObject* s_bid_price = nullptr;
    PyObject* s_ask_price = nullptr;
    PyObject* s_parser = nullptr;
    PyObject* parser = nullptr;              // the datetime_parser bound at import
    _PyCFunctionFastWithKeywords parse_fast = nullptr;  // its C function, when it is one
#if PY_VERSION_HEX < 0x030C0000
    uint64_t globals_version = 0;            // the module dict's version when parser was last found there
#endif

    // Imports what every market-data module binds: dt, Decimal, datetime_parser.
    bool init(PyObject* module) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) return false;
        globals = PyModule_GetDict(module);
        if (!(s_slots = PyUnicode_InternFromString("__slots__")) ||
            !(s_transform = PyUnicode_InternFromString("_transform_raw")) ||
            !(s_isoformat = PyUnicode_InternFromString("isoformat")) ||
            !(s_bid_price = PyUnicode_InternFromString("bid_price")) ||
            !(s_ask_price = PyUnicode_InternFromString("ask_price")) ||
            !(s_parser = PyUnicode_InternFromString("datetime_parser")))
            return false;
        Ref dt(PyImport_ImportModule("datetime"));
        if (!dt || PyModule_AddObjectRef(module, "dt", dt.get()) < 0) return false;
        Ref dec = py::import_attr("decimal", "Decimal");
        if (!dec || PyModule_AddObjectRef(module, "Decimal", dec.get()) < 0) return false;
        if (!cache.init(dec.get())) return false;
        Ref imported = py::import_attr("taloma.backend.solace.utils", "datetime_parser");
        if (!imported || PyModule_AddObjectRef(module, "datetime_parser", imported.get()) < 0) return false;
        parser = imported.release();
        constexpr int kCallFlags = METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL | METH_METHOD;
        if (PyCFunction_Check(parser) && (PyCFunction_GET_FLAGS(parser) & kCallFlags) == (METH_FASTCALL | METH_KEYWORDS))
            parse_fast = reinterpret_cast<_PyCFunctionFastWithKeywords>(
                reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(parser)));
        zero = PyObject_CallFunction(dec.get(), "s", "0.0");
        hundredth = PyObject_CallFunction(dec.get(), "s", "0.01");
        // The default and the caller's contexts are the program's: their precision would round a long
        // rate and their flags would keep what this module did there.
        Ref context(decimal::exact_context());
        if (!context) return false;
        multiply = PyObject_GetAttrString(context.get(), "multiply");
        return zero && hundredth && multiply;
    }

    // datetime_parser(date, time) as the module's global of that name is now,
    // which a caller may have replaced; the one bound at import is called
    // straight through its C function.
    PyObject* stamp(PyObject* date, PyObject* time) {
        PyObject* argv[2] = {date, time};
#if PY_VERSION_HEX < 0x030C0000
        uint64_t version = reinterpret_cast<PyDictObject*>(globals)->ma_version_tag;
        if (parse_fast && version == globals_version) return parse_fast(PyCFunction_GET_SELF(parser), argv, 2, nullptr);
#endif
        PyObject* fn = PyDict_GetItemWithError(globals, s_parser);
        if (!fn) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'datetime_parser' is not defined");
            return nullptr;
        }
#if PY_VERSION_HEX < 0x030C0000
        globals_version = fn == parser ? version : 0;
#endif
        Ref hold = Ref::borrow(fn);
        return PyObject_Vectorcall(fn, argv, 2, nullptr);
    }

    PyObject* decimal(PyObject* text) { return cache.get(text); }

    PyObject* decimal_or_zero(PyObject* text) {
        if (text == Py_None) return Py_NewRef(zero);
        if (PyUnicode_CheckExact(text)) {
            if (PyUnicode_GET_LENGTH(text) == 0) return Py_NewRef(zero);
        } else {
            int truth = PyObject_IsTrue(text);
            if (truth < 0) return nullptr;
            if (!truth) return Py_NewRef(zero);
        }
        return cache.get(text);
    }

    // Decimal(v) * Decimal("0.01"), exact. For a 64-bit
    // integer the product is exact, so it is written directly as text with
    // two places. Percent changes of a day stay small, so those values are
    // also kept by value.
    static constexpr long long kSmallRate = 4096;
    PyObject* rates[2 * kSmallRate + 1] = {};

    PyObject* hundredths(PyObject* v) {
        if (PyLong_Check(v)) {
            int overflow = 0;
            long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (x == -1 && PyErr_Occurred()) return nullptr;
            if (!overflow && x >= -kSmallRate && x <= kSmallRate) {
                PyObject*& slot = rates[x + kSmallRate];
                if (!slot) {
                    PyObject* made = scaled(x);
                    if (!made) return nullptr;
                    // scaled() may run Python code that filled the slot meanwhile.
                    if (slot) Py_DECREF(made);
                    else slot = made;
                }
                return Py_NewRef(slot);
            }
            if (!overflow) return scaled(x);
        }
        Ref d(PyObject_CallOneArg(cache.type(), v));
        if (!d) return nullptr;
        PyObject* argv[2] = {d.get(), hundredth};
        return PyObject_Vectorcall(multiply, argv, 2, nullptr);
    }

    // x hundredths as a Decimal with two places: "1.23", "-0.07", "0.00".
    PyObject* scaled(long long x) {
        unsigned long long u = x < 0 ? 0ull - static_cast<unsigned long long>(x) : static_cast<unsigned long long>(x);
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u || n < 3);
        char text[28];
        size_t len = 0;
        if (x < 0) text[len++] = '-';
        while (n > 2) text[len++] = digits[--n];
        text[len++] = '.';
        text[len++] = digits[1];
        text[len++] = digits[0];
        return cache.get(text, len);
    }

    // A new list of the Decimal of each entry of any iterable, order kept.
    // Entries are converted into private storage first, so a failure or
    // Python code run by a conversion never sees a half-filled list.
    PyObject* decimal_list(PyObject* src) {
        if (PyList_CheckExact(src) || PyTuple_CheckExact(src)) {
            Py_ssize_t n = PySequence_Fast_GET_SIZE(src);
            if (n <= kLevels) {
                if (PyObject* list = few_levels(PySequence_Fast_ITEMS(src), n)) return list;
                if (PyErr_Occurred()) return nullptr;
            }
        }
        return any_levels(src);
    }

private:
    static constexpr Py_ssize_t kLevels = 16;

    // A book's few levels of exact texts: every lookup is started before the
    // first is made. Null without an error when the entries are of other kinds.
    PyObject* few_levels(PyObject** items, Py_ssize_t n) {
        PyObject* text[kLevels];
        decimal::Cache::Key keys[kLevels];
        for (Py_ssize_t i = 0; i < n; ++i) {
            text[i] = items[i];
            if (!PyUnicode_CheckExact(text[i]) || !cache.key_of(text[i], keys[i])) return nullptr;
        }
        // Held, so that code run by a Decimal() call (another thread, the
        // pure-Python decimal module) cannot pull an entry from under us.
        for (Py_ssize_t i = 0; i < n; ++i) Py_INCREF(text[i]);
        PyObject* value[kLevels];
        Py_ssize_t done = 0;
        while (done < n && (value[done] = cache.get(text[done], keys[done]))) ++done;
        PyObject* list = done == n ? PyList_New(n) : nullptr;
        for (Py_ssize_t i = 0; i < done; ++i) {
            if (list) PyList_SET_ITEM(list, i, value[i]);
            else Py_DECREF(value[i]);
        }
        for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(text[i]);
        return list;
    }

    PyObject* any_levels(PyObject* src) {
        Buffer out;
        if (PyList_CheckExact(src) || PyTuple_CheckExact(src)) {
            // The size is re-read each step: a conversion may run code that shrinks the list.
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(src); ++i) {
                Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(src, i));
                PyObject* d = cache.get(item.get());
                if (!d || !out.push(d)) return nullptr;
            }
        } else {
            Ref it(PyObject_GetIter(src));
            if (!it) return nullptr;
            while (PyObject* raw = PyIter_Next(it.get())) {
                Ref item(raw);
                PyObject* d = cache.get(raw);
                if (!d || !out.push(d)) return nullptr;
            }
            if (PyErr_Occurred()) return nullptr;
        }
        return out.to_list();
    }
};

// One record class, as its decoders and the base protocol see it.
struct Info {
    PyTypeObject* type = nullptr;
    Py_ssize_t nfields = 0;
    PyObject** names = nullptr;  // interned, the same objects as in __slots__
    PyObject* slots = nullptr;   // the class's __slots__ list
    args::Signature init_sig{};

    Py_ssize_t find(PyObject* key) const {
        for (Py_ssize_t i = 0; i < nfields; ++i)
            if (names[i] == key) return i;
        if (!PyUnicode_Check(key)) return -1;
        for (Py_ssize_t i = 0; i < nfields; ++i)
            if (args::same_text(names[i], key)) return i;
        return -1;
    }
};

// The base class of a module's records: __repr__, keys, __getitem__,
// _transform_raw, to_dict. M supplies: env, prefix ("Quote"), keyed (whether
// _transform_raw takes the field name), base_name, base_doc.
template <class M>
struct Base {
    static inline PyTypeObject* type = nullptr;
    static inline Info* records[4] = {};
    static inline int nrecords = 0;
    static inline const char* const kToDict[] = {"raw"};
    static inline const char* const kKeyed[] = {"k", "v"};
    static inline const char* const kValue[] = {"v"};
    static inline args::Signature to_dict_sig{"to_dict", 1, 0, 1, kToDict};
    static inline args::Signature transform_sig{"_transform_raw", 0, M::keyed ? 2 : 1, M::keyed ? 2 : 1,
                                                M::keyed ? kKeyed : kValue};

    // The record class self belongs to; exact when self's class is that class
    // itself (so nothing can shadow its fields or methods).
    static Info* info_of(PyObject* self, bool* exact) {
        PyTypeObject* tp = Py_TYPE(self);
        for (PyTypeObject* t = tp; t; t = t->tp_base) {
            for (int i = 0; i < nrecords; ++i) {
                if (records[i]->type == t) {
                    *exact = t == tp;
                    return records[i];
                }
            }
        }
        *exact = false;
        return nullptr;
    }

    static PyObject* item(PyObject* self, Info* r, bool exact, PyObject* key) {
        if (!check_text(key, "key")) return nullptr;
        if (exact && key != Py_None) {
            Py_ssize_t i = r->find(key);
            if (i >= 0) {
                PyObject* v = slots(self)[i];
                return Py_NewRef(v ? v : Py_None);
            }
        }
        PyObject* v = PyObject_GetAttr(self, key);
        if (!v && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        return v;
    }

    static PyObject* getitem(PyObject* self, PyObject* key) {
        bool exact;
        Info* r = info_of(self, &exact);
        return item(self, r, exact, key);
    }

    // The record class's own list, also for its subclasses: a subclass that
    // declares __slots__ = () to stay dict-free keeps the record's fields.
    // Only a class of its own on the base reads its __slots__.
    static PyObject* field_list(PyObject* self, Info* r) {
        return r ? Py_NewRef(r->slots) : PyObject_GetAttr(self, M::env.s_slots);
    }

    static PyObject* keys(PyObject* self, PyObject*) {
        bool exact;
        return field_list(self, info_of(self, &exact));
    }

    static PyObject* repr(PyObject* self) {
        bool exact;
        Info* r = info_of(self, &exact);
        Ref names(field_list(self, r));
        if (!names) return nullptr;
        Ref seq(PySequence_Fast(names.get(), "__slots__ must be iterable"));
        if (!seq) return nullptr;
        Ref parts(PyList_New(0));
        if (!parts) return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            Ref name = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
            bool text = PyUnicode_Check(name.get());
            if (text && PyUnicode_GET_LENGTH(name.get()) > 0 && PyUnicode_READ_CHAR(name.get(), 0) == '_') continue;
            Ref value;
            if (exact && text) {
                Py_ssize_t at = r->find(name.get());
                if (at >= 0 && slots(self)[at]) value = Ref::borrow(slots(self)[at]);
            }
            // An unassigned field raises the attribute error of its descriptor.
            if (!value) value = Ref(PyObject_GetAttr(self, name.get()));
            if (!value) return nullptr;
            Ref shown(PyObject_Repr(value.get()));
            if (!shown) return nullptr;
            Ref part(PyUnicode_FromFormat("%U=%U", name.get(), shown.get()));
            if (!part || PyList_Append(parts.get(), part.get()) < 0) return nullptr;
        }
        Ref sep(PyUnicode_FromString(", "));
        if (!sep) return nullptr;
        Ref body(PyUnicode_Join(sep.get(), parts.get()));
        if (!body) return nullptr;
        return PyUnicode_FromFormat("%s(%U)", M::prefix, body.get());
    }

    static int is_price_key(PyObject* k) {
        if (k == M::env.s_bid_price || k == M::env.s_ask_price) return 1;
        int r = PyObject_RichCompareBool(k, M::env.s_bid_price, Py_EQ);
        if (r) return r;
        return PyObject_RichCompareBool(k, M::env.s_ask_price, Py_EQ);
    }

    static PyObject* raw_value(PyObject* k, PyObject* v) {
        if constexpr (M::keyed) {
            int price = is_price_key(k);
            if (price < 0) return nullptr;
            if (price) {
                Ref it(PyObject_GetIter(v));
                if (!it) return nullptr;
                Ref out(PyList_New(0));
                if (!out) return nullptr;
                while (PyObject* raw = PyIter_Next(it.get())) {
                    Ref entry(raw);
                    Ref text(PyObject_Str(raw));
                    if (!text || PyList_Append(out.get(), text.get()) < 0) return nullptr;
                }
                if (PyErr_Occurred()) return nullptr;
                return out.release();
            }
        } else {
            (void)k;
        }
        if (PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(M::env.cache.type()))) return PyObject_Str(v);
        if (PyDateTime_Check(v)) return PyObject_CallMethodNoArgs(v, M::env.s_isoformat);
        return Py_NewRef(v);
    }

    static PyObject* transform_raw(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* a[2];
        if (!transform_sig.parse(args, static_cast<size_t>(nargs), kwnames, a)) return nullptr;
        return M::keyed ? raw_value(a[0], a[1]) : raw_value(nullptr, a[0]);
    }

    // dict(self): keys() in order, each looked up through self[name].
    static PyObject* mapping(PyObject* self, Info* r, bool exact) {
        Ref d(PyDict_New());
        if (!d) return nullptr;
        if (!exact) return PyDict_Merge(d.get(), self, 1) < 0 ? nullptr : d.release();
        PyObject* list = r->slots;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            Ref name = Ref::borrow(PyList_GET_ITEM(list, i));
            Ref v(item(self, r, true, name.get()));
            if (!v || PyDict_SetItem(d.get(), name.get(), v.get()) < 0) return nullptr;
        }
        return d.release();
    }

    static PyObject* to_dict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* raw;
        if (!to_dict_sig.parse(args, static_cast<size_t>(nargs), kwnames, &raw)) return nullptr;
        bool exact;
        Info* r = info_of(self, &exact);
        Ref d(mapping(self, r, exact));
        if (!d) return nullptr;
        int truth = raw ? PyObject_IsTrue(raw) : 0;
        if (truth < 0) return nullptr;
        if (!truth) return d.release();
        Ref out(PyDict_New());
        if (!out) return nullptr;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(d.get(), &pos, &k, &v)) {
            Ref t;
            if (exact) {
                t = Ref(raw_value(k, v));
            } else {
                // A subclass may override _transform_raw.
                PyObject* argv[3] = {self, M::keyed ? k : v, v};
                t = Ref(PyObject_VectorcallMethod(M::env.s_transform, argv, M::keyed ? 3 : 2, nullptr));
            }
            if (!t || PyDict_SetItem(out.get(), k, t.get()) < 0) return nullptr;
        }
        return out.release();
    }

    static bool create(PyObject* module) {
        static PyMethodDef methods[] = {
            {"keys", keys, METH_NOARGS, "keys($self, /)\n--\n\nThe class's field list __slots__ itself."},
            {"_transform_raw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(transform_raw)),
             METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
             M::keyed ? "_transform_raw(k, v)\n--\n\nText-friendly form of one field value."
                      : "_transform_raw(v)\n--\n\nText-friendly form of one field value."},
            {"to_dict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(to_dict)),
             METH_FASTCALL | METH_KEYWORDS,
             "to_dict($self, /, raw=False)\n--\n\nA new dict of the fields in order; texts for decimals and "
             "date-times when raw."},
            {nullptr, nullptr, 0, nullptr}};
        PyType_Slot tslots[] = {{Py_tp_repr, reinterpret_cast<void*>(repr)},
                                {Py_mp_subscript, reinterpret_cast<void*>(getitem)},
                                {Py_tp_methods, methods},
                                {Py_tp_doc, const_cast<char*>(M::base_doc)},
                                {0, nullptr}};
        PyType_Spec spec{M::base_name, static_cast<int>(sizeof(PyObject)), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, tslots};
        PyObject* t = PyType_FromModuleAndSpec(module, &spec, nullptr);
        if (!t) return false;
        type = reinterpret_cast<PyTypeObject*>(t);
        const char* dot = std::strrchr(M::base_name, '.');
        // Messages name the class as they would a Python class: unqualified.
        type->tp_name = dot + 1;
        // Class order of the operations: __repr__, keys, __getitem__, _transform_raw, to_dict.
        PyObject* dict = type->tp_dict;
        for (const char* name : {"__repr__", "keys", "__getitem__", "_transform_raw", "to_dict"}) {
            Ref key(PyUnicode_InternFromString(name));
            if (!key) return false;
            PyObject* v = PyDict_GetItemWithError(dict, key.get());
            if (!v) return false;
            Ref hold = Ref::borrow(v);
            if (PyDict_DelItem(dict, key.get()) < 0 || PyDict_SetItem(dict, key.get(), v) < 0) return false;
        }
        PyType_Modified(type);
        return to_dict_sig.init() && transform_sig.init() && PyModule_AddObjectRef(module, dot + 1, t) == 0;
    }
};

// One record class. T supplies: name (dotted), doc, fields[].
template <class M, class T>
struct Class {
    static constexpr Py_ssize_t N = static_cast<Py_ssize_t>(std::size(T::fields));
    static inline Info info;
    static inline PyMemberDef members[N + 1] = {};

    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        PyObject** f = slots(self);
        for (Py_ssize_t i = 0; i < N; ++i) Py_VISIT(f[i]);
        return 0;
    }

    static int clear(PyObject* self) {
        PyObject** f = slots(self);
        for (Py_ssize_t i = 0; i < N; ++i) Py_CLEAR(f[i]);
        return 0;
    }

    static void dealloc(PyObject* self) {
        PyTypeObject* tp = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        Py_TRASHCAN_BEGIN(self, dealloc)
        // Untracked and unreachable: no code can see the fields any more.
        PyObject** f = slots(self);
        for (Py_ssize_t i = 0; i < N; ++i) Py_XDECREF(f[i]);
        tp->tp_free(self);
        Py_DECREF(tp);
        Py_TRASHCAN_END
    }

    static PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

    static void assign(PyObject* self, PyObject* const* v) {
        PyObject* old[N];
        PyObject** f = slots(self);
        for (Py_ssize_t i = 0; i < N; ++i) {
            old[i] = f[i];
            f[i] = Py_NewRef(v[i]);
        }
        // Released only once every field holds its new value.
        for (Py_ssize_t i = 0; i < N; ++i) Py_XDECREF(old[i]);
    }

    static int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
        PyObject* v[N];
        if (!info.init_sig.parse(args, kwargs, v) || !check_text(v[0], "code")) return -1;
        assign(self, v);
        return 0;
    }

    // The class call without the tuple and dict detour. Subclasses do not
    // inherit it; the check only guards against a future interpreter that does.
    static PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        auto* tp = reinterpret_cast<PyTypeObject*>(callable);
        if (tp != info.type) return generic_call(callable, args, nargsf, kwnames);
        PyObject* v[N];
        if (!info.init_sig.parse(args, nargsf, kwnames, v) || !check_text(v[0], "code")) return nullptr;
        PyObject* self = tp->tp_alloc(tp, 0);
        if (!self) return nullptr;
        PyObject** f = slots(self);
        for (Py_ssize_t i = 0; i < N; ++i) f[i] = Py_NewRef(v[i]);
        return self;
    }

    static PyObject* generic_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        Ref tuple(PyTuple_New(nargs));
        if (!tuple) return nullptr;
        for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
        Ref kw;
        if (kwnames && PyTuple_GET_SIZE(kwnames)) {
            kw = Ref(PyDict_New());
            if (!kw) return nullptr;
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j)
                if (PyDict_SetItem(kw.get(), PyTuple_GET_ITEM(kwnames, j), args[nargs + j]) < 0) return nullptr;
        }
        return PyType_Type.tp_call(callable, tuple.get(), kw.get());
    }

    // A record of cls from N owned values, which are taken in every case.
    // When cls constructs the way this class does, the values go straight
    // into the slots; otherwise cls itself is called with them.
    static PyObject* build(PyObject* cls, Values<N>& v) {
        auto* tp = reinterpret_cast<PyTypeObject*>(cls);
        if (tp == info.type ||
            (Py_IS_TYPE(cls, &PyType_Type) && tp->tp_new == tp_new && tp->tp_init == tp_init &&
             PyType_IsSubtype(tp, info.type))) {
            PyObject* self = tp->tp_alloc(tp, 0);
            if (!self) return nullptr;
            std::memcpy(slots(self), v.v, sizeof v.v);
            v.forget();
            return self;
        }
        return PyObject_Vectorcall(cls, v.v, N, nullptr);
    }

    static bool create(PyObject* module, PyMethodDef* methods) {
        for (Py_ssize_t i = 0; i < N; ++i)
            members[i] = {T::fields[i], T_OBJECT_EX, static_cast<Py_ssize_t>(sizeof(PyObject) + i * sizeof(PyObject*)),
                          0, nullptr};
        PyType_Slot tslots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
                                {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
                                {Py_tp_clear, reinterpret_cast<void*>(clear)},
                                {Py_tp_new, reinterpret_cast<void*>(tp_new)},
                                {Py_tp_init, reinterpret_cast<void*>(tp_init)},
                                {Py_tp_members, members},
                                {Py_tp_methods, methods},
                                {Py_tp_doc, const_cast<char*>(T::doc)},
                                {0, nullptr}};
        PyType_Spec spec{T::name, static_cast<int>(sizeof(PyObject) + N * sizeof(PyObject*)), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                         tslots};
        PyObject* t = PyType_FromModuleAndSpec(module, &spec, reinterpret_cast<PyObject*>(Base<M>::type));
        if (!t) return false;
        auto* tp = reinterpret_cast<PyTypeObject*>(t);
        const char* dot = std::strrchr(T::name, '.');
        tp->tp_name = dot + 1;
        info.type = tp;
        info.nfields = N;
        info.init_sig = {"__init__", 1, N, N, T::fields};
        if (!info.init_sig.init()) return false;
        info.names = info.init_sig.names;
        info.slots = PyList_New(N);
        if (!info.slots) return false;
        for (Py_ssize_t i = 0; i < N; ++i) PyList_SET_ITEM(info.slots, i, Py_NewRef(info.names[i]));
        Ref slotnames(PyList_GetSlice(info.slots, 0, N));  // what pickle and copy read
        if (!slotnames || PyDict_SetItem(tp->tp_dict, M::env.s_slots, info.slots) < 0 ||
            PyDict_SetItemString(tp->tp_dict, "__slotnames__", slotnames.get()) < 0)
            return false;
        PyType_Modified(tp);
        tp->tp_vectorcall = vectorcall;
        Base<M>::records[Base<M>::nrecords++] = &info;
        return PyModule_AddObjectRef(module, dot + 1, t) == 0;
    }
};

// Where one record field comes from in a message.
enum class Src : unsigned char {
    Pass,        // the content value unchanged
    Stamp,       // datetime_parser(from, from2)
    Dec,         // Decimal of the text
    Fresh,       // Decimal of the text, never cached: values that rarely repeat (running totals)
    DecOrZero,   // Decimal of the text, Decimal("0.0") when empty or None
    Hundredths,  // Decimal of the integer times Decimal("0.01")
    DecList,     // a new list of the Decimal of each entry
    Zero,        // integer 0
    One,         // integer 1
};

struct FieldSpec {
    Src src;
    const char* from = nullptr;
    const char* from2 = nullptr;
};

namespace detail {

// Position of a content field by name, found while compiling.
template <size_t NC>
constexpr short position(const char* const (&content)[NC], const char* name) {
    if (!name) return 0;
    for (size_t c = 0; c < NC; ++c)
        if (std::string_view(content[c]) == name) return static_cast<short>(c);
    throw "a field is taken from a content field that does not exist";
}

}  // namespace detail

// A decoder from the named content fields to the fields of a record class,
// laid out while compiling: every field's source and content position is a
// constant, so a message is decoded by straight-line code. Text fields are
// checked first, then the fields are evaluated in record field order.
template <const auto& Content, const auto& Texts, const auto& Fields>
class Decoder {
    static constexpr size_t NC = std::size(Content);
    static constexpr size_t NT = std::size(Texts);
    static constexpr size_t NF = std::size(Fields);

    static constexpr auto text_at = [] {
        std::array<short, NT> at{};
        for (size_t t = 0; t < NT; ++t) at[t] = detail::position(Content, Texts[t]);
        return at;
    }();
    static constexpr auto from = [] {
        std::array<short, NF> at{};
        for (size_t i = 0; i < NF; ++i) at[i] = detail::position(Content, Fields[i].from);
        return at;
    }();
    static constexpr auto from2 = [] {
        std::array<short, NF> at{};
        for (size_t i = 0; i < NF; ++i) at[i] = detail::position(Content, Fields[i].from2);
        return at;
    }();

    template <size_t I>
    static constexpr bool cached = Fields[I].src == Src::Dec || Fields[I].src == Src::DecOrZero;

public:
    explicit constexpr Decoder(const char* func) : sig_{func, 1, NC, NC, Content} {}

    bool init() { return sig_.init(); }

    template <class Record>
    PyObject* operator()(Env& env, PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
        static_assert(Record::N == NF);
        PyObject* in[NC];
        if (!sig_.parse(args, static_cast<size_t>(nargs), kwnames, in)) return nullptr;
        if (!checked(in, std::make_index_sequence<NT>{})) return nullptr;
        Keys keys;
        start(env, in, keys, std::make_index_sequence<NF>{});
        Values<NF> out;
        if (!fill(env, in, keys, out, std::make_index_sequence<NF>{})) return nullptr;
        return Record::build(cls, out);
    }

private:
    struct Keys {
        decimal::Cache::Key key[NF];
        bool ok[NF] = {};
    };

    template <size_t... T>
    static bool checked(PyObject* const* in, std::index_sequence<T...>) {
        return (check_text(in[text_at[T]], Texts[T]) && ...);
    }

    // Every price lookup of the message is started before the first is made:
    // the cache's sets are rarely in the CPU cache when a message arrives.
    template <size_t... I>
    static void start(Env& env, PyObject* const* in, Keys& keys, std::index_sequence<I...>) {
        ((cached<I> ? (void)(keys.ok[I] = PyUnicode_CheckExact(in[from[I]]) && env.cache.key_of(in[from[I]], keys.key[I]))
                    : (void)0),
         ...);
    }

    template <size_t... I>
    static bool fill(Env& env, PyObject* const* in, const Keys& keys, Values<NF>& out, std::index_sequence<I...>) {
        return (out.push_ok(field<I>(env, in, keys)) && ...);
    }

    template <size_t I>
    static PyObject* field(Env& env, PyObject* const* in, const Keys& keys) {
        constexpr Src src = Fields[I].src;
        PyObject* x = in[from[I]];
        if constexpr (src == Src::Pass) {
            return Py_NewRef(x);
        } else if constexpr (src == Src::Stamp) {
            return env.stamp(x, in[from2[I]]);
        } else if constexpr (src == Src::Dec) {
            return keys.ok[I] ? env.cache.get(x, keys.key[I]) : env.decimal(x);
        } else if constexpr (src == Src::DecOrZero) {
            return keys.ok[I] ? env.cache.get(x, keys.key[I]) : env.decimal_or_zero(x);
        } else if constexpr (src == Src::Fresh) {
            return env.cache.fresh(x);
        } else if constexpr (src == Src::Hundredths) {
            return env.hundredths(x);
        } else if constexpr (src == Src::DecList) {
            return env.decimal_list(x);
        } else if constexpr (src == Src::Zero) {
            return PyLong_FromLong(0);
        } else {
            static_assert(src == Src::One);
            return PyLong_FromLong(1);
        }
    }

    args::Signature sig_;
};

template <class M>
PyObject* cache_info(PyObject*, PyObject*) {
    return M::env.cache.info();
}

// A METH_FASTCALL entry for a PyMethodDef, whose slot is typed as the plain PyCFunction.
template <class F>
PyCFunction fast(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace taloma::record
