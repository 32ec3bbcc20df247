// Module-global lookup: a name the module imported at init (log, masked, the
// private HTTP helpers, record classes) is read from the module's namespace
// when used, as Python code would, so that tests and users can replace it.
#pragma once

#include <Python.h>

namespace taloma::py {

// Borrowed globals[name], or null with NameError (or the lookup's error) set.
inline PyObject* module_global(PyObject* globals, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return value;
}

}  // namespace taloma::py

// nanobind modules (nanobind.h included first) get the raising form.
#ifdef NB_MODULE
#include <taloma/errors.hpp>

namespace taloma::py {

inline nanobind::object global(PyObject* globals, PyObject* name) {
    PyObject* value = module_global(globals, name);
    if (!value) raise();
    return nanobind::borrow(value);
}

}  // namespace taloma::py
#endif
