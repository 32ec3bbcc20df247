// Attribute access and calls with interned names from nanobind modules: vector
// calls with the module's own name and keyword tuples, so a hot path makes no
// string and no argument tuple per call.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

#include <taloma/errors.hpp>
#include <taloma/mapget.hpp>

namespace taloma::py {

inline nanobind::object attr(nanobind::handle obj, PyObject* name) { return steal(PyObject_GetAttr(obj.ptr(), name)); }

inline void set_attr(nanobind::handle obj, PyObject* name, nanobind::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) raise();
}

// dict[key] = value for a dict made here.
inline void put(nanobind::handle dict, PyObject* key, nanobind::handle value) {
    if (PyDict_SetItem(dict.ptr(), key, value.ptr()) < 0) raise();
}

// obj.get(key, dflt) as mapget.hpp reads it, or raise.
inline Ref get_or(PyObject* obj, PyObject* key, PyObject* dflt) {
    Ref value = get(obj, key, dflt);
    if (!value) raise();
    return value;
}

// a == b as Python compares them.
inline bool equals(nanobind::handle a, PyObject* b) { return check(PyObject_RichCompareBool(a.ptr(), b, Py_EQ)) != 0; }

// callable(*args)
inline nanobind::object call(nanobind::handle callable, std::initializer_list<PyObject*> args) {
    return steal(PyObject_Vectorcall(callable.ptr(), const_cast<PyObject* const*>(args.begin()), args.size(), nullptr));
}

// callable(*positional, **dict(zip(kwnames, rest))): `values` holds the positional
// arguments first, then one value per entry of the kwnames tuple.
inline nanobind::object call_kw(nanobind::handle callable, size_t positional, PyObject* kwnames,
                                std::initializer_list<PyObject*> values) {
    return steal(
        PyObject_Vectorcall(callable.ptr(), const_cast<PyObject* const*>(values.begin()), positional, kwnames));
}

// obj.name(*args), with at most three arguments.
inline nanobind::object call_method(nanobind::handle obj, PyObject* name, std::initializer_list<PyObject*> args) {
    // Slot 0 is free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET); self goes in slot 1.
    PyObject* stack[5] = {nullptr, obj.ptr(), nullptr, nullptr, nullptr};
    size_t n = 1;
    for (PyObject* a : args) stack[1 + n++] = a;
    return steal(PyObject_VectorcallMethod(name, stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A tuple of the given (borrowed) objects, as kwnames of call_kw; null with an exception set.
inline PyObject* name_tuple(std::initializer_list<PyObject*> names) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!t) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* name : names) PyTuple_SET_ITEM(t, i++, Py_NewRef(name));
    return t;
}

}  // namespace taloma::py
