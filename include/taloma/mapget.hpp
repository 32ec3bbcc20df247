// Reading the service's decoded replies: lookups that accept any mapping, not only dict.
#pragma once

#include <Python.h>

#include <taloma/names.hpp>
#include <taloma/pyref.hpp>

namespace taloma::py {

// obj.get(key, dflt): exact dicts are read directly, anything else through its
// own get method, so a non-mapping fails with the AttributeError Python would give.
inline Ref get(PyObject* obj, PyObject* key, PyObject* dflt) {
    if (PyDict_CheckExact(obj)) {
        PyObject* value = PyDict_GetItemWithError(obj, key);
        if (value) return Ref::borrow(value);
        if (PyErr_Occurred()) return {};
        return Ref::borrow(dflt);
    }
    if (!init_common_names()) return {};
    return Ref(PyObject_CallMethodObjArgs(obj, common_names().get, key, dflt, nullptr));
}

// True for dicts and for anything registered as a collections.abc.Mapping; -1 on error.
inline int is_mapping(PyObject* obj) {
    if (PyDict_Check(obj)) return 1;
    static PyObject* abc;
    if (!abc && !(abc = import_attr("collections.abc", "Mapping").release())) return -1;
    return PyObject_IsInstance(obj, abc);
}

}  // namespace taloma::py
