// taloma.backend.solace.utils: date-time parsing of market-data messages.
//
// Called once for every message before anything else is decoded, so it
// parses the fixed-width texts itself and builds the datetime through the
// datetime C API.
#include <Python.h>
#include <datetime.h>

#include <ctime>

#include "taloma/fastargs.hpp"

namespace {

const char* const kNames[] = {"date", "time"};
taloma::args::Signature g_sig{"datetime_parser", 0, 2, 2, kNames};

bool digits(const char* p, int n) {
    for (int i = 0; i < n; ++i)
        if (p[i] < '0' || p[i] > '9') return false;
    return true;
}

int number(const char* p, int n) {
    int v = 0;
    for (int i = 0; i < n; ++i) v = v * 10 + (p[i] - '0');
    return v;
}

// None and "" read as empty. Non-ASCII text is kept as a null pointer with its
// length, which no accepted format matches.
bool text_of(PyObject* v, const char* name, const char** s, Py_ssize_t* n) {
    *s = nullptr;
    *n = 0;
    if (v == Py_None) return true;
    if (!PyUnicode_Check(v)) {
        PyErr_Format(PyExc_TypeError, "datetime_parser() argument '%s' must be str or None, not %.200s", name,
                     Py_TYPE(v)->tp_name);
        return false;
    }
    if (PyUnicode_READY(v) < 0) return false;
    *n = PyUnicode_GET_LENGTH(v);
    if (PyUnicode_IS_ASCII(v)) *s = static_cast<const char*>(PyUnicode_DATA(v));
    return true;
}

PyObject* invalid(const char* what, PyObject* v) {
    PyErr_Format(PyExc_ValueError, "invalid %s: %R", what, v);
    return nullptr;
}

PyObject* parse(PyObject* date, PyObject* time) {
    const char *ds, *ts;
    Py_ssize_t dn, tn;
    if (!text_of(date, "date", &ds, &dn) || !text_of(time, "time", &ts, &tn)) return nullptr;
    int year, month, day;
    if (dn == 0) {
        std::time_t now = std::time(nullptr);
        std::tm local;
        if (!localtime_r(&now, &local)) return PyErr_SetFromErrno(PyExc_OSError);
        year = local.tm_year + 1900;
        month = local.tm_mon + 1;
        day = local.tm_mday;
    } else {
        if (dn != 10 || !ds || (ds[4] != '/' && ds[4] != '-') || ds[7] != ds[4] || !digits(ds, 4) ||
            !digits(ds + 5, 2) || !digits(ds + 8, 2))
            return invalid("date", date);
        year = number(ds, 4);
        month = number(ds + 5, 2);
        day = number(ds + 8, 2);
    }
    int hour = 0, minute = 0, second = 0, micro = 0;
    if (tn) {
        if (tn < 8 || !ts || ts[2] != ':' || ts[5] != ':' || !digits(ts, 2) || !digits(ts + 3, 2) ||
            !digits(ts + 6, 2))
            return invalid("time", time);
        if (tn > 8) {
            int frac = static_cast<int>(tn - 9);
            if (ts[8] != '.' || frac < 1 || frac > 6 || !digits(ts + 9, frac)) return invalid("time", time);
            micro = number(ts + 9, frac);
            for (int i = frac; i < 6; ++i) micro *= 10;
        }
        hour = number(ts, 2);
        minute = number(ts + 3, 2);
        second = number(ts + 6, 2);
    }
    // Out-of-range fields raise the datetime constructor's ValueError.
    return PyDateTimeAPI->DateTime_FromDateAndTime(year, month, day, hour, minute, second, micro, Py_None,
                                                   PyDateTimeAPI->DateTimeType);
}

PyObject* datetime_parser(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!g_sig.parse(args, static_cast<size_t>(nargs), kwnames, a)) return nullptr;
    return parse(a[0], a[1]);
}

PyMethodDef g_methods[] = {
    {"datetime_parser", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(datetime_parser)),
     METH_FASTCALL | METH_KEYWORDS,
     "datetime_parser(date, time)\n--\n\n"
     "\"YYYY/MM/DD\" or \"YYYY-MM-DD\" and \"HH:MM:SS[.f{1,6}]\" to a naive datetime.\n\n"
     "An empty or None time is midnight; an empty or None date is today's local date;\n"
     "any other text raises ValueError."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef g_module = {PyModuleDef_HEAD_INIT, "taloma.backend.solace.utils",
                        "Date-time parsing of market-data messages.", -1, g_methods,
                        nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_utils(void) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI || !g_sig.init()) return nullptr;
    PyObject* m = PyModule_Create(&g_module);
    if (!m) return nullptr;
    PyObject* all = Py_BuildValue("[s]", "datetime_parser");
    if (!all || PyModule_AddObject(m, "__all__", all) < 0) {
        Py_XDECREF(all);
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
