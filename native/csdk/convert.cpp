#include "convert.h"

namespace csdk {

namespace {

bool long_to_int(PyObject* v, int* out) {
    long x = PyLong_AsLong(v);  // past 64 bits: the interpreter's own OverflowError
    if (x == -1 && PyErr_Occurred()) return false;
    if (x < INT_MIN || x > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int>(x);
    return true;
}

}  // namespace

bool to_int_slow(PyObject* o, int* out) {
    if (PyLong_Check(o)) return long_to_int(o, out);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    Ref v = Ref::steal(nb->nb_int(o));
    if (!v) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    if (!PyLong_CheckExact(v.get())) {
        if (!PyLong_Check(v.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(v.get())->tp_name);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of "
                             "Python.",
                             Py_TYPE(v.get())->tp_name) < 0)
            return false;
    }
    return long_to_int(v.get(), out);
}

}  // namespace csdk
