// The init slots of a market-data module with module state S.
#pragma once

#include <Python.h>

#include "taloma/module_state.hpp"

namespace taloma::record {

template <class S>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(py::exec_state<S>)},
#ifdef Py_mod_multiple_interpreters
    // Argument lists and their interned names are the process's, as the datetime C API is.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr}};

}  // namespace taloma::record
