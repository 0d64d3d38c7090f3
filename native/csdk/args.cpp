#include "args.h"

namespace csdk {

PyObject* const* Keys::interned() {
    if (!ready_) {
        for (Py_ssize_t i = 0; i < n_; ++i) {
            if (!interned_[i] && !(interned_[i] = PyUnicode_InternFromString(names_[i]))) return nullptr;
        }
        ready_ = true;
    }
    return interned_;
}

std::string Keys::text_signature(const char* defaults_tail) const {
    std::string s = "($module, /";
    for (Py_ssize_t i = 0; i < n_; ++i) {
        s += ", ";
        s += names_[i];
        if (i >= required_) s += defaults_tail;
    }
    return s + ")";
}

namespace {

void raise_count(const char* func, Keys& keys, Py_ssize_t given) {
    bool exact = keys.required() == keys.size();
    Py_ssize_t expected = given < keys.required() ? keys.required() : keys.size();
    const char* how = exact ? "exactly" : (given < keys.required() ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, how, expected,
                 expected == 1 ? "" : "s", given);
}

// -1 on error, else 1 when `key` names parameter `name`.
int same_name(PyObject* name, PyObject* key) {
    if (name == key) return 1;
    if (PyUnicode_GET_LENGTH(name) != PyUnicode_GET_LENGTH(key)) return 0;
    int c = PyUnicode_Compare(name, key);
    if (c == -1 && PyErr_Occurred()) return -1;
    return c == 0;
}

// Index of the keyword naming `name`, -1 if none, -2 on error.
Py_ssize_t find_keyword(PyObject* name, PyObject* kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j)
        if (PyTuple_GET_ITEM(kwnames, j) == name) return j;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) continue;
        int same = same_name(name, key);
        if (same < 0) return -2;
        if (same) return j;
    }
    return -1;
}

}  // namespace

bool bind_slow(const char* func, Keys& keys, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) {
    const Py_ssize_t n = keys.size();
    if (nargs > n) {
        raise_count(func, keys, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (Py_ssize_t i = nargs; i < n; ++i) out[i] = nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < keys.required()) {
            raise_count(func, keys, nargs);
            return false;
        }
        return true;
    }
    PyObject* const* names = keys.interned();
    if (!names) return false;
    PyObject* const* kwvalues = args + nargs;

    // The parameters not given positionally, in order: a missing required one
    // is reported with its position as the count given.
    Py_ssize_t matched = 0;
    for (Py_ssize_t i = nargs; i < n; ++i) {
        Py_ssize_t j = find_keyword(names[i], kwnames);
        if (j == -2) return false;
        if (j >= 0) {
            out[i] = kwvalues[j];
            ++matched;
        } else if (i < keys.required()) {
            raise_count(func, keys, i);
            return false;
        }
    }
    if (matched == nkw) return true;

    // A keyword left over: name the first one that is no parameter.
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        bool is_kw_param = false;
        for (Py_ssize_t i = nargs; i < n && !is_kw_param; ++i) is_kw_param = names[i] == key;
        if (is_kw_param) continue;
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
            return false;
        }
        for (Py_ssize_t i = nargs; i < n && !is_kw_param; ++i) {
            int same = same_name(names[i], key);
            if (same < 0) return false;
            is_kw_param = same;
        }
        if (is_kw_param) continue;
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            int same = same_name(names[i], key);
            if (same < 0) return false;
            if (same) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
        return false;
    }
    return true;
}

bool bind_none_slow(const char* func, Py_ssize_t nargs, PyObject* kwnames) {
    const bool keywords = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
    if (nargs == 0 && !keywords) return true;
    if (keywords) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", func, "takes no keyword arguments");
        return false;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", func, "takes no arguments", nargs);
    return false;
}

}  // namespace csdk
