// Errors across the C API boundary. Raw modules return null (or -1) with the
// exception set, as CPython does; nanobind modules turn that into
// nb::python_error at the call that failed, so their code reads straight on.
#pragma once

#include <Python.h>

#include <nanobind/nanobind.h>

#include <taloma/pyref.hpp>

namespace taloma::py {

// Re-raises the pending Python exception through nanobind.
[[noreturn]] inline void raise() { throw nanobind::python_error(); }

// A new reference from the C API, or raise.
inline PyObject* check(PyObject* owned) {
    if (!owned) raise();
    return owned;
}

// A status from the C API (-1 on error), or raise.
inline int check(int status) {
    if (status == -1 && PyErr_Occurred()) raise();
    return status;
}

// A new reference from the C API as an owning nanobind object, or raise.
inline nanobind::object steal(PyObject* owned) { return nanobind::steal(check(owned)); }
inline nanobind::object steal(Ref owned) { return steal(owned.release()); }

// bool(value), raising what __bool__ raised.
inline bool truthy(nanobind::handle value) { return check(PyObject_IsTrue(value.ptr())) != 0; }

}  // namespace taloma::py
