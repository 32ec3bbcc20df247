// The environment a market-data module's records and decoders share:
// Decimal and its text cache, the date-time parser and a few interned names.
#pragma once

#include <Python.h>
#include <datetime.h>

#include <cstring>

#include "taloma/decimal_cache.hpp"
#include "taloma/names.hpp"
#include "taloma/pyref.hpp"

namespace taloma::record {

using py::Ref;

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
#define TALOMA_RECORD_NAMES(X) X(slots, "__slots__") X(transform, "_transform_raw") X(parser, "datetime_parser")
TALOMA_NAMES(EnvNames, TALOMA_RECORD_NAMES);

struct Env {
    PyObject* globals = nullptr;  // the module's dict, where datetime_parser is looked up per call
    decimal::Cache cache;
    EnvNames names;
    PyObject* zero = nullptr;                           // Decimal("0.0")
    PyObject* hundredth = nullptr;                      // Decimal("0.01")
    PyObject* multiply = nullptr;                       // multiply of a private context that cannot round
    PyObject* parser = nullptr;                         // the datetime_parser bound at import
    _PyCFunctionFastWithKeywords parse_fast = nullptr;  // its C function, when it is one
#if PY_VERSION_HEX < 0x030C0000
    uint64_t globals_version = 0;  // the module dict's version when parser was last found there
#endif

    // Imports what every market-data module binds: dt, Decimal, datetime_parser.
    bool init(PyObject* module) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) return false;
        globals = PyModule_GetDict(module);
        if (!names.init()) return false;
        Ref dt(PyImport_ImportModule("datetime"));
        if (!dt || PyModule_AddObjectRef(module, "dt", dt.get()) < 0) return false;
        Ref dec = py::import_attr("decimal", "Decimal");
        if (!dec || PyModule_AddObjectRef(module, "Decimal", dec.get()) < 0) return false;
        if (!cache.init(dec.get())) return false;
        Ref imported = py::import_attr("taloma.backend.solace.utils", "datetime_parser");
        if (!imported || PyModule_AddObjectRef(module, "datetime_parser", imported.get()) < 0) return false;
        parser = imported.release();
        constexpr int kCallFlags = METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL | METH_METHOD;
        if (PyCFunction_Check(parser) &&
            (PyCFunction_GET_FLAGS(parser) & kCallFlags) == (METH_FASTCALL | METH_KEYWORDS))
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

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(parser);
        Py_VISIT(multiply);
        if (int r = cache.traverse(visit, arg)) return r;
        return names.traverse(visit, arg);
    }

    void clear() {
        parse_fast = nullptr;
        for (PyObject** o : {&parser, &zero, &hundredth, &multiply}) Py_CLEAR(*o);
        for (PyObject*& rate : rates) Py_CLEAR(rate);
        cache.clear();
        names.clear();
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
        PyObject* fn = PyDict_GetItemWithError(globals, names.parser);
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

}  // namespace taloma::record
