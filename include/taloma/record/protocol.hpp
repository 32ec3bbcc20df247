// Market-data record classes and their common protocol.
//
// A record class stores its fields in slots right after the object header,
// exposed as member descriptors (the same mechanism as a Python __slots__
// class, so attribute reads specialise the same way) and lists them in a
// class-level __slots__ list that keys() hands out as is.
#pragma once

#include <Python.h>
#include <datetime.h>
#include <structmember.h>

#include <cstring>
#include <iterator>

#include "taloma/fastargs.hpp"
#include "taloma/module_state.hpp"
#include "taloma/pyref.hpp"
#include "taloma/record/env.hpp"
#include "taloma/record/fields.hpp"

namespace taloma::record {

using args::fast;
using py::Ref;

inline PyObject** slots(PyObject* self) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + sizeof(PyObject));
}

inline void raise_argtype(const char* name, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
                 Py_TYPE(got)->tp_name);
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

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(type);
        Py_VISIT(slots);
        return 0;
    }

    void clear() {
        Py_CLEAR(type);
        Py_CLEAR(slots);
        init_sig.clear();
        names = nullptr;
    }
};

// A module's record classes and what they share: the part of its module state
// the record protocol and the decoders use. NR is the number of record classes.
template <int NR>
struct Records {
    Env env;
    PyTypeObject* base = nullptr;
    Info records[NR];
    int nrecords = 0;
    void (*forget)(const Env*) = nullptr;  // drops the protocol's lookup cache of these classes

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(base);
        for (Info& r : records)
            if (int e = r.traverse(visit, arg)) return e;
        return env.traverse(visit, arg);
    }

    void clear() {
        if (forget) forget(&env);
        Py_CLEAR(base);
        for (Info& r : records) r.clear();
        env.clear();
    }
};

// What _transform_raw reads. A type's static method is called without its
// class, so no module state is in reach: these are the process's, made by the
// first market-data module, like the argument lists' interned names.
#define TALOMA_RAW_NAMES(X) X(isoformat, "isoformat") X(bid_price, "bid_price") X(ask_price, "ask_price")
TALOMA_NAMES(RawNames, TALOMA_RAW_NAMES);

struct Raw {
    RawNames names;
    PyObject* decimal = nullptr;  // decimal.Decimal
};

inline Raw& raw() {
    static Raw made;
    return made;
}

inline bool init_raw(PyObject* decimal_type) {
    Raw& r = raw();
    if (r.decimal) return true;
    if (!r.names.init()) return false;
    r.decimal = Py_NewRef(decimal_type);
    return true;
}

// The base class of a module's records: __repr__, keys, __getitem__,
// _transform_raw, to_dict. M supplies: State (its module state, a Records),
// def (its PyModuleDef), prefix ("Quote"), keyed (whether _transform_raw
// takes the field name), base_name, base_doc.
//
// Slot functions and methods find the module state through the class of
// self: the first class up its bases that the module made.
template <class M>
struct Base {
    using State = typename M::State;
    static inline const char* const kToDict[] = {"raw"};
    static inline const char* const kKeyed[] = {"k", "v"};
    static inline const char* const kValue[] = {"v"};
    static inline args::Signature to_dict_sig{"to_dict", 1, 0, 1, kToDict};
    static inline args::Signature transform_sig{"_transform_raw", 0, M::keyed ? 2 : 1, M::keyed ? 2 : 1,
                                                M::keyed ? kKeyed : kValue};

    // The module state of a class the module made, else null.
    static State* own_state(PyTypeObject* t) {
        if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) return nullptr;
        PyObject* module = reinterpret_cast<PyHeapTypeObject*>(t)->ht_module;
        if (!module || PyModule_GetDef(module) != &M::def) return nullptr;
        return static_cast<State*>(PyModule_GetState(module));
    }

    struct Found {
        State* state = nullptr;
        Info* info = nullptr;  // the record class, null for a class of its own on the base
        bool exact = false;    // tp is the record class itself (nothing can shadow its fields or methods)
    };

    // The last record class found itself: nearly every lookup is for one of
    // the module's own classes, and this keeps the walk off the hot path.
    // The module state holds the class, and its clear() drops the entry.
    static inline PyTypeObject* last_type = nullptr;
    static inline Found last{};

    static void forget(const Env* env) {
        if (last.state && &last.state->env == env) {
            last_type = nullptr;
            last = {};
        }
    }

    // The module state and record class of instances of tp (a subclass of
    // the module's base). The state is null, with TypeError set, for a class
    // the module did not make a base of.
    static Found find(PyTypeObject* tp) {
        if (tp == last_type) return last;
        for (PyTypeObject* t = tp; t; t = t->tp_base) {
            State* st = own_state(t);
            if (!st) continue;
            for (int i = 0; i < st->nrecords; ++i)
                if (st->records[i].type == t) {
                    Found f{st, &st->records[i], t == tp};
                    if (f.exact) {
                        st->forget = forget;
                        last_type = tp;
                        last = f;
                    }
                    return f;
                }
            return {st, nullptr, false};
        }
        PyErr_Format(PyExc_TypeError, "'%.200s' is not a %s record class", tp->tp_name, M::prefix);
        return {};
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
        Found f = find(Py_TYPE(self));
        if (!f.state) return nullptr;
        return item(self, f.info, f.exact, key);
    }

    // The record class's own list, also for its subclasses: a subclass that
    // declares __slots__ = () to stay dict-free keeps the record's fields.
    // Only a class of its own on the base reads its __slots__.
    static PyObject* field_list(PyObject* self, const Found& f) {
        return f.info ? Py_NewRef(f.info->slots) : PyObject_GetAttr(self, f.state->env.names.slots);
    }

    static PyObject* keys(PyObject* self, PyObject*) {
        Found f = find(Py_TYPE(self));
        return f.state ? field_list(self, f) : nullptr;
    }

    static PyObject* repr(PyObject* self) {
        Found f = find(Py_TYPE(self));
        if (!f.state) return nullptr;
        Info* r = f.info;
        bool exact = f.exact;
        Ref names(field_list(self, f));
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

    static int is_price_key(const RawNames& names, PyObject* k) {
        if (k == names.bid_price || k == names.ask_price) return 1;
        int r = PyObject_RichCompareBool(k, names.bid_price, Py_EQ);
        if (r) return r;
        return PyObject_RichCompareBool(k, names.ask_price, Py_EQ);
    }

    static PyObject* raw_value(PyObject* k, PyObject* v) {
        const Raw& raw = record::raw();
        if constexpr (M::keyed) {
            int price = is_price_key(raw.names, k);
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
        if (PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(raw.decimal))) return PyObject_Str(v);
        if (PyDateTime_Check(v)) return PyObject_CallMethodNoArgs(v, raw.names.isoformat);
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
        Found f = find(Py_TYPE(self));
        if (!f.state) return nullptr;
        bool exact = f.exact;
        Ref d(mapping(self, f.info, exact));
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
                t = Ref(PyObject_VectorcallMethod(f.state->env.names.transform, argv, M::keyed ? 3 : 2, nullptr));
            }
            if (!t || PyDict_SetItem(out.get(), k, t.get()) < 0) return nullptr;
        }
        return out.release();
    }

    static bool create(PyObject* module, State& st) {
        // Argument lists of the process, like the interned names in them.
        if (!to_dict_sig.init_once() || !transform_sig.init_once() || !init_raw(st.env.cache.type())) return false;
        static PyMethodDef methods[] = {
            {"keys", keys, METH_NOARGS, "keys($self, /)\n--\n\nThe class's field list __slots__ itself."},
            {"_transform_raw", fast(transform_raw), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
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
        PyTypeObject* type = st.base = reinterpret_cast<PyTypeObject*>(t);

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
        return PyModule_AddObjectRef(module, dot + 1, t) == 0;
    }
};

template <class D>
class Decoder;

// One record class and its decoders (class methods). T supplies: name
// (dotted), summary, fields[] (Field); each decoder D what Decoder<D> takes.
template <class M, class T, class... Ds>
struct Class {
    using State = typename M::State;
    static constexpr Py_ssize_t N = static_cast<Py_ssize_t>(std::size(T::fields));
    static_assert(T::fields[0].type == Type::Text, "the first field is the code, checked as text");
    static constexpr const auto& field_names = names_of<T::fields>;
    static inline int index = -1;  // of its Info in the module state's records, the same in every module
    static inline PyMemberDef members[N + 1] = {};
    template <class D>
    static inline Decoder<D> decoder;

    // The module state is found from cls, at once when cls is the record
    // class itself.
    template <class D>
    static PyObject* decode(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        auto* tp = reinterpret_cast<PyTypeObject*>(cls);
        State* st = Base<M>::own_state(tp);
        if (!st && !(st = Base<M>::find(tp).state)) return nullptr;
        return decoder<D>.template operator()<Class>(*st, cls, args, nargs, kwnames);
    }

    static inline PyMethodDef methods[] = {
        {Ds::name, fast(decode<Ds>), METH_FASTCALL | METH_KEYWORDS | METH_CLASS, doc_text<DecoderDoc<Ds>>.data()}...,
        {nullptr, nullptr, 0, nullptr}};

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
        typename Base<M>::Found f = Base<M>::find(Py_TYPE(self));
        if (!f.info) return -1;
        PyObject* v[N];
        if (!f.info->init_sig.parse(args, kwargs, v) || !check_text(v[0], "code")) return -1;
        assign(self, v);
        return 0;
    }

    // The class call without the tuple and dict detour. Subclasses do not
    // inherit it; the check only guards against a future interpreter that does.
    static PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        auto* tp = reinterpret_cast<PyTypeObject*>(callable);
        State* st = Base<M>::own_state(tp);
        if (!st || tp != st->records[index].type) return generic_call(callable, args, nargsf, kwnames);
        PyObject* v[N];
        if (!st->records[index].init_sig.parse(args, nargsf, kwnames, v) || !check_text(v[0], "code")) return nullptr;
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
    static PyObject* build(State& st, PyObject* cls, Values<N>& v) {
        auto* tp = reinterpret_cast<PyTypeObject*>(cls);
        PyTypeObject* own = st.records[index].type;
        if (tp == own || (Py_IS_TYPE(cls, &PyType_Type) && tp->tp_new == tp_new && tp->tp_init == tp_init &&
                          PyType_IsSubtype(tp, own))) {
            PyObject* self = tp->tp_alloc(tp, 0);
            if (!self) return nullptr;
            std::memcpy(slots(self), v.v, sizeof v.v);
            v.forget();
            return self;
        }
        return PyObject_Vectorcall(cls, v.v, N, nullptr);
    }

    static bool create(PyObject* module, State& st) {
        if (!(decoder<Ds>.init_once() && ...)) return false;
        if (st.nrecords == static_cast<int>(std::size(st.records))) {
            PyErr_SetString(PyExc_SystemError, "more record classes than the module state holds");
            return false;
        }
        index = st.nrecords++;
        Info& info = st.records[index];
        for (Py_ssize_t i = 0; i < N; ++i)
            members[i] = {field_names[i], T_OBJECT_EX,
                          static_cast<Py_ssize_t>(sizeof(PyObject) + i * sizeof(PyObject*)), 0, nullptr};
        PyType_Slot tslots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
                                {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
                                {Py_tp_clear, reinterpret_cast<void*>(clear)},
                                {Py_tp_new, reinterpret_cast<void*>(tp_new)},
                                {Py_tp_init, reinterpret_cast<void*>(tp_init)},
                                {Py_tp_members, members},
                                {Py_tp_methods, methods},
                                {Py_tp_doc, const_cast<char*>(doc_text<ClassDoc<T>>.data())},
                                {0, nullptr}};
        PyType_Spec spec{T::name, static_cast<int>(sizeof(PyObject) + N * sizeof(PyObject*)), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                         tslots};
        PyObject* t = PyType_FromModuleAndSpec(module, &spec, reinterpret_cast<PyObject*>(st.base));
        if (!t) return false;
        auto* tp = info.type = reinterpret_cast<PyTypeObject*>(t);
        const char* dot = std::strrchr(T::name, '.');
        tp->tp_name = dot + 1;
        info.nfields = N;
        info.init_sig = {"__init__", 1, N, N, field_names.data()};
        if (!info.init_sig.init()) return false;
        info.names = info.init_sig.names;
        info.slots = PyList_New(N);
        if (!info.slots) return false;
        for (Py_ssize_t i = 0; i < N; ++i) PyList_SET_ITEM(info.slots, i, Py_NewRef(info.names[i]));
        Ref slotnames(PyList_GetSlice(info.slots, 0, N));  // what pickle and copy read
        if (!slotnames || PyDict_SetItem(tp->tp_dict, st.env.names.slots, info.slots) < 0 ||
            PyDict_SetItemString(tp->tp_dict, "__slotnames__", slotnames.get()) < 0)
            return false;
        Ref contents(PyDict_New());
        if (!contents || !(add_content<Ds>(contents.get()) && ...) ||
            PyDict_SetItemString(tp->tp_dict, "_content", contents.get()) < 0)
            return false;
        PyType_Modified(tp);
        tp->tp_vectorcall = vectorcall;
        return PyModule_AddObjectRef(module, dot + 1, t) == 0;
    }

    // _content[decoder name]: its message fields in order as (name, kind),
    // for a reader that lays a message out for the decoder without a dict.
    template <class D>
    static bool add_content(PyObject* contents) {
        static constexpr const char* kinds[] = {"text", "maybe_text", "int", "texts", "ints"};
        Ref fields(PyTuple_New(static_cast<Py_ssize_t>(std::size(D::content))));
        if (!fields) return false;
        for (size_t i = 0; i < std::size(D::content); ++i) {
            PyObject* pair = Py_BuildValue("(ss)", D::content[i].name, kinds[static_cast<int>(D::content[i].type)]);
            if (!pair) return false;
            PyTuple_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(i), pair);
        }
        return PyDict_SetItemString(contents, D::name, fields.get()) == 0;
    }
};

template <class M>
PyObject* cache_info(PyObject* module, PyObject*) {
    return py::state_of<typename M::State>(module)->env.cache.info();
}

}  // namespace taloma::record
