// Vectorcall argument matching for functions with a fixed list of named parameters.
//
// Keyword names are matched by pointer first (callers' literal keywords and
// dict keys built from literals are interned), at the position they would
// have in declared order, then anywhere, and only then by text.
#pragma once

#include <Python.h>

#include <taloma/text.hpp>

namespace taloma::args {

using text::same_text;

struct Signature {
    const char* func;     // name used in messages
    Py_ssize_t receiver;  // 1 when the count includes cls/self
    Py_ssize_t required;  // leading parameters without default
    Py_ssize_t total;
    const char* const* cnames;   // declared order
    PyObject** names = nullptr;  // interned, filled by init()

    bool init() {
        names = static_cast<PyObject**>(PyMem_Calloc(static_cast<size_t>(total), sizeof(PyObject*)));
        if (!names) {
            PyErr_NoMemory();
            return false;
        }
        for (Py_ssize_t i = 0; i < total; ++i) {
            names[i] = PyUnicode_InternFromString(cnames[i]);
            if (!names[i]) return false;
        }
        return true;
    }

    // init() for an argument list kept for the process: the first call makes the names.
    bool init_once() { return names || init(); }

    // Drops the names; init() may be called again.
    void clear() {
        if (!names) return;
        for (Py_ssize_t i = 0; i < total; ++i) Py_XDECREF(names[i]);
        PyMem_Free(names);
        names = nullptr;
    }

    Py_ssize_t index_of(PyObject* key, Py_ssize_t guess) const {
        if (guess < total && names[guess] == key) return guess;
        for (Py_ssize_t i = 0; i < total; ++i)
            if (names[i] == key) return i;
        for (Py_ssize_t i = 0; i < total; ++i)
            if (same_text(names[i], key)) return i;
        return -1;
    }

    // Every message names the function and the expected count, so a caller can
    // tell a missing field from an extra one and still see what was expected.
    void raise(Py_ssize_t given, const char* what, PyObject* name) const {
        Py_ssize_t lo = required + receiver, hi = total + receiver;
        PyObject* head = lo == hi ? PyUnicode_FromFormat("%s() takes exactly %zd positional argument%s (%zd given)",
                                                         func, hi, hi == 1 ? "" : "s", given + receiver)
                                  : PyUnicode_FromFormat("%s() takes from %zd to %zd positional arguments (%zd given)",
                                                         func, lo, hi, given + receiver);
        if (!head) return;
        if (what) {
            PyErr_Format(PyExc_TypeError, "%U: %s '%U'", head, what, name);
        } else {
            PyErr_SetObject(PyExc_TypeError, head);
        }
        Py_DECREF(head);
    }

    // out[0..total) receives borrowed references; null for an omitted optional.
    bool parse(PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** out) const {
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        if (nargs > total) {
            raise(nargs + nkw, nullptr, nullptr);
            return false;
        }
        if (nargs == 0 && nkw == total) {
            // Every name given, in declared order: the usual **fields call.
            if (std::memcmp(&PyTuple_GET_ITEM(kwnames, 0), names, static_cast<size_t>(total) * sizeof(PyObject*)) ==
                0) {
                std::memcpy(out, args, static_cast<size_t>(total) * sizeof(PyObject*));
                return true;
            }
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        for (Py_ssize_t i = nargs; i < total; ++i) out[i] = nullptr;
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            if (!place(key, nargs + j, args[nargs + j], nargs, nkw, out)) return false;
        }
        return complete(nargs, nargs + nkw, out);
    }

    // The tp_init form: a tuple and an optional dict.
    bool parse(PyObject* tuple, PyObject* kwargs, PyObject** out) const {
        Py_ssize_t nargs = PyTuple_GET_SIZE(tuple);
        Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
        if (nargs > total) {
            raise(nargs + nkw, nullptr, nullptr);
            return false;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(tuple, i);
        for (Py_ssize_t i = nargs; i < total; ++i) out[i] = nullptr;
        if (nkw) {
            Py_ssize_t pos = 0, j = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                if (!PyUnicode_Check(key)) {
                    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", func);
                    return false;
                }
                if (!place(key, nargs + j++, value, nargs, nkw, out)) return false;
            }
        }
        return complete(nargs, nargs + nkw, out);
    }

private:
    bool place(PyObject* key, Py_ssize_t guess, PyObject* value, Py_ssize_t nargs, Py_ssize_t nkw,
               PyObject** out) const {
        Py_ssize_t i = index_of(key, guess);
        if (i < 0) {
            raise(nargs + nkw, "unexpected keyword argument", key);
            return false;
        }
        if (out[i]) {
            raise(nargs + nkw, "multiple values for argument", key);
            return false;
        }
        out[i] = value;
        return true;
    }

    bool complete(Py_ssize_t nargs, Py_ssize_t given, PyObject** out) const {
        for (Py_ssize_t i = nargs; i < required; ++i) {
            if (!out[i]) {
                raise(given, "missing argument", names[i]);
                return false;
            }
        }
        return true;
    }
};

// A METH_FASTCALL entry for a PyMethodDef, whose slot is typed as the plain PyCFunction.
template <class F>
PyCFunction fast(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace taloma::args
