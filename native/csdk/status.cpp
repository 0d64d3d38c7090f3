// c_status_ok / c_status_fail: the status tests the Python layer applies to
// what the wrappers return.
#include "args.h"
#include "module.h"

namespace csdk {

namespace {

const char* const kOkNames[] = {"status"};
Keys kOkKeys(kOkNames);
const char* const kFailNames[] = {"status", "cfunname"};
Keys kFailKeys(kFailNames, 1);

// status <op> CSDK_OPERATE_SUCCESS, the comparison's result unchanged.
PyObject* compare_with_success(PyObject* status, int op) {
#if CSDK_FREE_THREADED
    int plain;
    if (PyLong_CheckExact(status) && success_as_int(plain)) {
        int overflow;
        long a = PyLong_AsLongAndOverflow(status, &overflow);
        return PyBool_FromLong((!overflow && a == plain) == (op == Py_EQ));
    }
#endif
    Held held_found = lookup(G_SUCCESS);
    PyObject* found = held_found.get();
    if (!found) return nullptr;
    if (PyLong_CheckExact(status) && PyLong_CheckExact(found)) {
        if (status == found) return PyBool_FromLong(op == Py_EQ);  // an int equals itself
        int overflow_a, overflow_b;
        long a = PyLong_AsLongAndOverflow(status, &overflow_a);
        long b = PyLong_AsLongAndOverflow(found, &overflow_b);
        if (!overflow_a && !overflow_b) return PyBool_FromLong((a == b) == (op == Py_EQ));
    }
    Ref success = Ref::borrow(found);
    return PyObject_RichCompare(status, success.get(), op);
}

PyObject* call_method(PyObject* self, PyObject* meth, PyObject* const* args, size_t nargs) {
    if (!meth) return nullptr;
    PyObject* argv[8];
    argv[0] = self;
    for (size_t i = 0; i < nargs; ++i) argv[i + 1] = args[i];
    return PyObject_VectorcallMethod(meth, argv, (nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// The debug line for a failed status.
bool log_failure(PyObject* status, PyObject* cfunname) {
    Held held_strerror_fn = lookup(G_STRERROR);
    PyObject* strerror_fn = held_strerror_fn.get();
    if (!strerror_fn) return false;
    Ref text = Ref::steal(PyObject_CallOneArg(Ref::borrow(strerror_fn).get(), status));
    if (!text) return false;
    Ref utf8 = Ref::steal(PyUnicode_FromString("utf8"));
    if (!utf8) return false;
    PyObject* codec = utf8.get();
    Ref info = Ref::steal(call_method(text.get(), CSDK_INTERNED("decode"), &codec, 1));
    if (!info) return false;
    int named = truth(cfunname);
    if (named < 0) return false;
    Ref message;
    if (named) {
        Ref tmpl = Ref::steal(PyUnicode_FromString("invoke c fun={} error code={}, error info={}"));
        if (!tmpl) return false;
        PyObject* fill[3] = {cfunname, status, info.get()};
        message = Ref::steal(call_method(tmpl.get(), CSDK_INTERNED("format"), fill, 3));
    } else {
        Ref tmpl = Ref::steal(PyUnicode_FromString("invoke c fun error code={}, error info={}"));
        if (!tmpl) return false;
        PyObject* fill[2] = {status, info.get()};
        message = Ref::steal(call_method(tmpl.get(), CSDK_INTERNED("format"), fill, 2));
    }
    if (!message) return false;
    Held held_logger = lookup(G_LOGGER);
    PyObject* logger = held_logger.get();
    if (!logger) return false;
    Ref hold = Ref::borrow(logger);
    PyObject* msg = message.get();
    Ref done = Ref::steal(call_method(hold.get(), CSDK_INTERNED("debug"), &msg, 1));
    return static_cast<bool>(done);
}

}  // namespace

PyObject* c_status_ok(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* v[1] = {};
    if (!bind("c_status_ok", kOkKeys, args, nargs, kwnames, v)) return nullptr;
    return compare_with_success(v[0], Py_EQ);
}

PyObject* c_status_fail(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* v[2] = {};
    if (!bind("c_status_fail", kFailKeys, args, nargs, kwnames, v)) return nullptr;
    Ref isfail = Ref::steal(compare_with_success(v[0], Py_NE));
    if (!isfail) return nullptr;
    int failed = truth(isfail.get());
    if (failed < 0) return nullptr;
    if (failed) {
        Ref empty;
        PyObject* cfunname = v[1];
        if (!cfunname) {
            empty = Ref::steal(PyUnicode_FromString(""));
            if (!empty) return nullptr;
            cfunname = empty.get();
        }
        if (!log_failure(v[0], cfunname)) return nullptr;
    }
    return isfail.release();
}

}  // namespace csdk
