// taloma.backend.solace.utils: date-time parsing of market-data messages.
//
// Called once for every message before anything else is decoded, so it
// parses the fixed-width texts itself and builds the datetime through the
// datetime C API.
#include <Python.h>
#include <datetime.h>

#include <ctime>

#include "taloma/fastargs.hpp"
#include "taloma/record/module.hpp"
#include "taloma/text.hpp"

namespace {

using taloma::text::digits;

const char* const kNames[] = {"date", "time"};

struct State {
    taloma::args::Signature sig{"datetime_parser", 0, 2, 2, kNames};

    bool init(PyObject* m) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI || !sig.init()) return false;
        PyObject* all = Py_BuildValue("[s]", "datetime_parser");
        if (!all || PyModule_AddObject(m, "__all__", all) < 0) {
            Py_XDECREF(all);
            return false;
        }
        return true;
    }
    int traverse(visitproc, void*) { return 0; }
    void clear() { sig.clear(); }
};

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
    } else if (dn != 10 || !ds || (ds[4] != '/' && ds[4] != '-') || ds[7] != ds[4] || !digits(ds, 4, year) ||
               !digits(ds + 5, 2, month) || !digits(ds + 8, 2, day)) {
        return invalid("date", date);
    }
    int hour = 0, minute = 0, second = 0, micro = 0;
    if (tn) {
        if (tn < 8 || !ts || ts[2] != ':' || ts[5] != ':' || !digits(ts, 2, hour) || !digits(ts + 3, 2, minute) ||
            !digits(ts + 6, 2, second))
            return invalid("time", time);
        if (tn > 8) {
            int frac = static_cast<int>(tn - 9);
            if (ts[8] != '.' || frac < 1 || frac > 6 || !digits(ts + 9, frac, micro)) return invalid("time", time);
            for (int i = frac; i < 6; ++i) micro *= 10;
        }
    }
    // Out-of-range fields raise the datetime constructor's ValueError.
    return PyDateTimeAPI->DateTime_FromDateAndTime(year, month, day, hour, minute, second, micro, Py_None,
                                                   PyDateTimeAPI->DateTimeType);
}

PyObject* datetime_parser(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // Two positional texts, as every decoder passes them, need no argument list.
    if (nargs == 2 && !kwnames) return parse(args[0], args[1]);
    PyObject* a[2];
    if (!taloma::py::state_of<State>(module)->sig.parse(args, static_cast<size_t>(nargs), kwnames, a)) return nullptr;
    return parse(a[0], a[1]);
}

PyMethodDef g_methods[] = {{"datetime_parser", taloma::args::fast(datetime_parser), METH_FASTCALL | METH_KEYWORDS,
                            "datetime_parser(date, time)\n--\n\n"
                            "\"YYYY/MM/DD\" or \"YYYY-MM-DD\" and \"HH:MM:SS[.f{1,6}]\" to a naive datetime.\n\n"
                            "An empty or None time is midnight; an empty or None date is today's local date;\n"
                            "any other text raises ValueError."},
                           {nullptr, nullptr, 0, nullptr}};

PyModuleDef g_module = taloma::py::module_def<State>("taloma.backend.solace.utils",
                                                     "Date-time parsing of market-data messages.", g_methods,
                                                     taloma::record::module_slots<State>);

}  // namespace

PyMODINIT_FUNC PyInit_utils(void) { return PyModuleDef_Init(&g_module); }
