// One way to hold a native module's state: a struct of its interned names and
// the objects it imported, made when the module initialises.
//
// A state type S provides
//     bool init(PyObject* module);            // false with an exception set
//     int traverse(visitproc visit, void* arg);
//     void clear();
//
// Raw modules use multi-phase init: the state lives inside the module object
// (PyModuleDef.m_size), is reached from module functions through their `self`
// argument and is released by the garbage collector with the module, as in
// CPython's own _decimal and _datetime:
//
//     PyModuleDef_Slot slots[] = {{Py_mod_exec, (void*)taloma::py::exec_state<S>}, {0, nullptr}};
//     PyModuleDef def = taloma::py::module_def<S>("pkg.mod", doc, methods, slots);
//     PyMODINIT_FUNC PyInit_mod() { return PyModuleDef_Init(&def); }
//
// nanobind modules are single-phase and live for the process; their state is
// made once in NB_MODULE with make_state<S>(m) and read with state<S>().
#pragma once

#include <Python.h>

#include <new>

namespace taloma::py {

template <class S>
S* state_of(PyObject* module) {
    return static_cast<S*>(PyModule_GetState(module));
}

template <class S>
int exec_state(PyObject* module) {
    S* s = new (PyModule_GetState(module)) S();
    return s->init(module) ? 0 : -1;
}

template <class S>
int traverse_state(PyObject* module, visitproc visit, void* arg) {
    S* s = state_of<S>(module);
    return s ? s->traverse(visit, arg) : 0;
}

template <class S>
int clear_state(PyObject* module) {
    if (S* s = state_of<S>(module)) s->clear();
    return 0;
}

template <class S>
void free_state(void* module) {
    if (S* s = state_of<S>(static_cast<PyObject*>(module))) {
        s->clear();
        s->~S();
    }
}

template <class S>
constexpr PyModuleDef module_def(const char* name, const char* doc, PyMethodDef* methods, PyModuleDef_Slot* slots) {
    return PyModuleDef{
        PyModuleDef_HEAD_INIT, name,           doc,          static_cast<Py_ssize_t>(sizeof(S)), methods, slots,
        traverse_state<S>,     clear_state<S>, free_state<S>};
}

// The process-wide state of a nanobind module.
template <class S>
S*& state_slot() {
    static S* slot = nullptr;
    return slot;
}

template <class S>
S& state() {
    return *state_slot<S>();
}

// Made in NB_MODULE; kept for the process, as the module itself is.
// Returns false with an exception set.
template <class S>
bool make_state(PyObject* module) {
    S* s = new S();
    if (!s->init(module)) {
        delete s;
        return false;
    }
    state_slot<S>() = s;
    return true;
}

}  // namespace taloma::py
