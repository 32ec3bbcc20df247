// Interned names, declared once per module as an X-macro list:
//
//     #define ORDER_NAMES(X) X(success, "success") X(empty, "")
//     TALOMA_NAMES(OrderNames, ORDER_NAMES);
//
// gives a struct with one PyObject* member per entry, made by init() at module
// init and dropped by clear() when a module with state is freed.
#pragma once

#include <Python.h>

#define TALOMA_NAME_MEMBER_(id, text) PyObject* id = nullptr;
#define TALOMA_NAME_MAKE_(id, text) \
    if (!(id = PyUnicode_InternFromString(text))) return false;
#define TALOMA_NAME_VISIT_(id, text) Py_VISIT(id);
#define TALOMA_NAME_CLEAR_(id, text) Py_CLEAR(id);

#define TALOMA_NAMES(Type, LIST) \
    struct Type { \
        LIST(TALOMA_NAME_MEMBER_) \
        bool init() { \
            LIST(TALOMA_NAME_MAKE_) \
            return true; \
        } \
        int traverse(visitproc visit, void* arg) { \
            LIST(TALOMA_NAME_VISIT_) \
            (void)visit, (void)arg; \
            return 0; \
        } \
        void clear() { LIST(TALOMA_NAME_CLEAR_) } \
    }

namespace taloma::py {

// Names the shared helpers themselves use (mapping get, items, the reply rule),
// made once for the process by the first module that loads.
#define TALOMA_COMMON_NAMES(X) \
    X(get, "get") X(items, "items") X(lower, "lower") X(success, "success") X(empty, "") X(true_text, "true")
TALOMA_NAMES(CommonNames, TALOMA_COMMON_NAMES);

inline CommonNames& common_names() {
    static CommonNames names;
    return names;
}

// Call at module init; cheap after the first module. False with MemoryError set.
inline bool init_common_names() {
    static bool made = false;
    if (!made) made = common_names().init();
    return made;
}

}  // namespace taloma::py
