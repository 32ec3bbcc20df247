// The service's verdict on a reply: reply.get("success", "").lower() == "true".
// The one place the rule is written in C++ (taloma.backend.http.utils.succeeded
// is the Python one).
#pragma once

#include <Python.h>

#include <taloma/mapget.hpp>
#include <taloma/names.hpp>

namespace taloma::py {

// 1 when the reply succeeded, 0 when not, -1 with an exception set (a
// non-mapping reply, or a "success" value without a lower() that works).
inline int succeeded(PyObject* reply) {
    if (!init_common_names()) return -1;
    const CommonNames& n = common_names();
    Ref value = get(reply, n.success, n.empty);
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
    Ref lowered(PyObject_CallMethodNoArgs(value.get(), n.lower));
    if (!lowered) return -1;
    return PyObject_RichCompareBool(lowered.get(), n.true_text, Py_EQ);
}

}  // namespace taloma::py
