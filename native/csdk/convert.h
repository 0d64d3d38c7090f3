// Conversions between Python values and the core library's C types.  Every
// wrapper and direct callable converts through these, in parameter order.
#pragma once
#include <Python.h>

#include <climits>

#include "pycompat.h"
#include "ref.h"

namespace csdk {

// A bytearray (or subclass) lends its own buffer, the one passed, so Python
// code run by an event during the core call cannot resize it under the core
// library.  It is pinned as bytearray's own buffer export does it: a
// reference and its export count, which resizing checks.  The buffer
// protocol is not asked: a subclass may define __buffer__ (3.12 on) and lend
// some other memory, leaving the bytearray's own unpinned.
//
// Without the interpreter lock another thread may lend, export or resize the
// same bytearray at once: the count is changed, and the buffer and its size
// read, under the object's critical section, the one bytearray's own export
// and resizing take (3.14 on).
class Pin {
public:
    Pin() = default;
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
    ~Pin() {
        if (owner_) {
#if CSDK_FREE_THREADED
            Py_BEGIN_CRITICAL_SECTION(owner_);
            --exports(owner_);
            Py_END_CRITICAL_SECTION();
#else
            --exports(owner_);
#endif
            Py_DECREF(owner_);
        }
    }
    // A bytearray's buffer ("" when empty) and its size, pinned until this object goes.
    char* hold(PyObject* bytearray, Py_ssize_t& size) {
#if CSDK_FREE_THREADED
        char* p;
        Py_BEGIN_CRITICAL_SECTION(bytearray);
        p = pin(bytearray, size);
        Py_END_CRITICAL_SECTION();
        return p;
#else
        return pin(bytearray, size);
#endif
    }

private:
    static Py_ssize_t& exports(PyObject* bytearray) { return reinterpret_cast<PyByteArrayObject*>(bytearray)->ob_exports; }
    char* pin(PyObject* bytearray, Py_ssize_t& size) {
        ++exports(bytearray);
        owner_ = Py_NewRef(bytearray);
        size = PyByteArray_GET_SIZE(bytearray);
        return PyByteArray_AS_STRING(bytearray);
    }

    PyObject* owner_ = nullptr;  // set while something is pinned: the one test on the way out
};

inline void raise_not_bytes(PyObject* o) {
    PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(o)->tp_name);
}

// const char*: bytes or bytearray (subclasses too), passed in place.
class Text {
public:
    bool load(PyObject* o) {
        if (PyBytes_Check(o)) {
            ptr_ = PyBytes_AS_STRING(o);
            return true;
        }
        if (PyByteArray_Check(o)) {
            Py_ssize_t size;
            ptr_ = pin_.hold(o, size);
            return true;
        }
        raise_not_bytes(o);
        return false;
    }
    const char* get() const { return ptr_; }

private:
    const char* ptr_ = nullptr;
    Pin pin_;
};

// A request: len(req) through the length protocol, then the buffer in place.
// The length passed is the buffer's real byte count, so a subclass whose
// __len__ disagrees never makes the core read past the buffer.
class Request {
public:
    bool load(PyObject* o) {
        Py_ssize_t size;
        if (PyBytes_CheckExact(o)) {
            ptr_ = PyBytes_AS_STRING(o);
            size = PyBytes_GET_SIZE(o);
        } else {
            if (!PyByteArray_CheckExact(o) && PyObject_Length(o) < 0) return false;
            if (PyBytes_Check(o)) {
                ptr_ = PyBytes_AS_STRING(o);
                size = PyBytes_GET_SIZE(o);
            } else if (PyByteArray_Check(o)) {
                ptr_ = pin_.hold(o, size);
            } else {
                raise_not_bytes(o);
                return false;
            }
        }
        if (size > INT_MAX) {
            PyErr_Format(PyExc_OverflowError, "request of %zd bytes is too large (at most %d)", size, INT_MAX);
            return false;
        }
        len_ = static_cast<int>(size);
        return true;
    }
    void* ptr() const { return ptr_; }
    int len() const { return len_; }

private:
    char* ptr_ = nullptr;
    int len_ = 0;
    Pin pin_;
};

// int: an int by value; anything else through its __int__ (a float truncates).
bool to_int_slow(PyObject* o, int* out);
inline bool to_int(PyObject* o, int* out) {
    if (PyLong_CheckExact(o)) {
        int overflow;
        long v = PyLong_AsLongAndOverflow(o, &overflow);
        if (!overflow && v >= INT_MIN && v <= INT_MAX) {
            *out = static_cast<int>(v);
            return true;
        }
    }
    return to_int_slow(o, out);
}

// double: an exact float by value, else the interpreter's float conversion.
inline bool to_double(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

// bool: the truth value; an error raised by the test propagates.
inline bool to_bool(PyObject* o, bool* out) {
    int t = o == Py_True ? 1 : (o == Py_False || o == Py_None) ? 0 : PyObject_IsTrue(o);
    if (t < 0) return false;
    *out = t != 0;
    return true;
}

// One argument converted to the C type T.
template <class T>
struct Arg;
template <>
struct Arg<const char*> : Text {};
template <>
struct Arg<int> {
    int v = 0;
    bool load(PyObject* o) { return to_int(o, &v); }
    int get() const { return v; }
};
template <>
struct Arg<double> {
    double v = 0;
    bool load(PyObject* o) { return to_double(o, &v); }
    double get() const { return v; }
};
template <>
struct Arg<bool> {
    bool v = false;
    bool load(PyObject* o) { return to_bool(o, &v); }
    bool get() const { return v; }
};

// Results.  A NULL text (a core library fault) reads as empty bytes.
inline PyObject* to_python(int v) { return PyLong_FromLong(v); }
inline PyObject* to_python(long long v) { return PyLong_FromLongLong(v); }
inline PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_python(const char* s) { return PyBytes_FromString(s ? s : ""); }

}  // namespace csdk
