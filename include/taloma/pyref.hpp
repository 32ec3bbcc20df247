// Small CPython helpers shared by the native modules.
#pragma once

#include <Python.h>

#include <utility>

namespace taloma::py {

// Owning reference; null means "an exception is set" wherever a call returns one.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// module.name, imported now; null with ImportError/AttributeError set on failure.
inline Ref import_attr(const char* module, const char* name) {
    Ref mod(PyImport_ImportModule(module));
    if (!mod) return {};
    Ref attr(PyObject_GetAttrString(mod.get(), name));
    if (!attr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    return attr;
}

}  // namespace taloma::py
