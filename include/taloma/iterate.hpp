// Walking Python containers from nanobind modules, as the Python they replace would.
#pragma once

#include <nanobind/nanobind.h>

#include <taloma/errors.hpp>
#include <taloma/names.hpp>

namespace taloma::py {

// f(item) for each item of an iterable; lists and tuples are walked without an iterator.
template <class F>
void for_each(PyObject* iterable, F&& f) {
    if (PyList_CheckExact(iterable)) {
        // The size is read each round: f may run Python code that changes the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref entry = Ref::borrow(PyList_GET_ITEM(iterable, i));
            f(entry.get());
        }
        return;
    }
    if (PyTuple_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(iterable); ++i) f(PyTuple_GET_ITEM(iterable, i));
        return;
    }
    Ref it(check(PyObject_GetIter(iterable)));
    while (Ref entry{PyIter_Next(it.get())}) f(entry.get());
    if (PyErr_Occurred()) raise();
}

// f(key, value) for each pair of mapping.items(); exact dicts are walked in place,
// anything else through its own items(), so a non-mapping raises AttributeError.
template <class F>
void for_each_item(PyObject* mapping, F&& f) {
    if (PyDict_CheckExact(mapping)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping, &pos, &key, &value)) {
            Ref k = Ref::borrow(key), v = Ref::borrow(value);
            f(k.get(), v.get());
        }
        return;
    }
    if (!init_common_names()) raise();
    Ref items(check(PyObject_CallMethodNoArgs(mapping, common_names().items)));
    for_each(items.get(), [&](PyObject* pair) {
        Ref tuple = PyTuple_CheckExact(pair) ? Ref::borrow(pair) : Ref(check(PySequence_Tuple(pair)));
        if (PyTuple_GET_SIZE(tuple.get()) != 2) {
            PyErr_Format(PyExc_ValueError, "expected (key, value) pairs from items(), got %zd values",
                         PyTuple_GET_SIZE(tuple.get()));
            raise();
        }
        f(PyTuple_GET_ITEM(tuple.get(), 0), PyTuple_GET_ITEM(tuple.get(), 1));
    });
}

}  // namespace taloma::py
