// Reading the service's decoded replies: lookups that accept any mapping, not only dict.
#pragma once

#include <Python.h>

#include <taloma/pyref.hpp>

namespace taloma::py {

// Interned text kept in `slot` for the rest of the process; null with MemoryError set
// (and retried next time) when it cannot be made.
inline PyObject* interned(PyObject*& slot, const char* text) {
    if (!slot) slot = PyUnicode_InternFromString(text);
    return slot;
}

// obj.get(key, dflt): exact dicts are read directly, anything else through its
// own get method, so a non-mapping fails with the AttributeError Python would give.
inline Ref get(PyObject* obj, PyObject* key, PyObject* dflt) {
    if (PyDict_CheckExact(obj)) {
        PyObject* value = PyDict_GetItemWithError(obj, key);
        if (value) return Ref::borrow(value);
        if (PyErr_Occurred()) return {};
        return Ref::borrow(dflt);
    }
    static PyObject* get_name;
    if (!interned(get_name, "get")) return {};
    return Ref(PyObject_CallMethodObjArgs(obj, get_name, key, dflt, nullptr));
}

// True for dicts and for anything registered as a collections.abc.Mapping; -1 on error.
inline int is_mapping(PyObject* obj) {
    if (PyDict_Check(obj)) return 1;
    static PyObject* abc;
    if (!abc && !(abc = import_attr("collections.abc", "Mapping").release())) return -1;
    return PyObject_IsInstance(obj, abc);
}

// The envelope's verdict: reply.get("success", "").lower() == "true"; -1 on error.
inline int succeeded(PyObject* reply) {
    static PyObject *success, *lower, *empty, *true_text;
    if (!interned(success, "success") || !interned(lower, "lower") || !interned(empty, "") ||
        !interned(true_text, "true"))
        return -1;
    Ref value = get(reply, success, empty);
    if (!value) return -1;
    if (PyUnicode_CheckExact(value.get()) && PyUnicode_IS_ASCII(value.get())) {
        // Plain ASCII text needs no method call: compare case-insensitively.
        if (PyUnicode_GET_LENGTH(value.get()) != 4) return 0;
        const Py_UCS1* c = PyUnicode_1BYTE_DATA(value.get());
        const char* want = "true";
        for (int i = 0; i < 4; ++i) {
            Py_UCS1 ch = c[i];
            if (ch >= 'A' && ch <= 'Z') ch = Py_UCS1(ch - 'A' + 'a');
            if (ch != Py_UCS1(want[i])) return 0;
        }
        return 1;
    }
    Ref lowered(PyObject_CallMethodNoArgs(value.get(), lower));
    if (!lowered) return -1;
    return PyObject_RichCompareBool(lowered.get(), true_text, Py_EQ);
}

}  // namespace taloma::py
