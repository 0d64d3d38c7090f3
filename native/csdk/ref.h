// Owning handle for PyObject*: one reference, released by the destructor.
#pragma once
#include <Python.h>
#include <utility>

namespace csdk {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }

    // Take over a new reference (may be null: then an exception is set).
    static Ref steal(PyObject* p) noexcept { Ref r; r.p_ = p; return r; }
    // Add a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return steal(p); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hand the reference to the caller.
    PyObject* release() noexcept { PyObject* p = p_; p_ = nullptr; return p; }
    void reset(PyObject* p = nullptr) noexcept { PyObject* old = p_; p_ = p; Py_XDECREF(old); }

private:
    PyObject* p_ = nullptr;
};

}  // namespace csdk
