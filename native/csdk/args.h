// Binding of vectorcall arguments to named parameters, with the interpreter's
// standard error texts.  Every function of the module binds through here.
#pragma once
#include <Python.h>

#include <cstdint>
#include <string>
#include <type_traits>

namespace csdk {

// The parameter names of one signature.  The first `required` are required;
// the others are optional (the caller supplies their defaults).
class Keys {
public:
    static constexpr int kMax = 12;
    template <size_t N>
    explicit Keys(const char* const (&names)[N], Py_ssize_t required = N) : names_(names), n_(N), required_(required) {
        static_assert(N <= kMax, "too many parameters");
    }
    Keys() : names_(nullptr), n_(0), required_(0) {}

    Py_ssize_t size() const { return n_; }
    Py_ssize_t required() const { return required_; }
    const char* name(Py_ssize_t i) const { return names_[i]; }
    // Interned name objects, created on first use; nullptr with MemoryError.
    PyObject* const* interned();
    // The keywords name the parameters after the nargs positional ones, in
    // order and by the interned objects themselves (what a call written as
    // f(req=x) passes): binding is then the argument vector as it stands.
    bool keywords_in_order(Py_ssize_t nargs, PyObject* kwnames) const {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        if (!ready_ || nargs + nkw != n_) return false;
        for (Py_ssize_t j = 0; j < nkw; ++j)
            if (PyTuple_GET_ITEM(kwnames, j) != interned_[nargs + j]) return false;
        return true;
    }
    // Every parameter given, in order, positionally or as above: the argument
    // vector binds as it stands.
    bool in_place(Py_ssize_t nargs, PyObject* kwnames) const {
        return kwnames ? keywords_in_order(nargs, kwnames) : nargs == n_;
    }

    // "(a, b)" for __text_signature__ ("($module, /, a, b)").
    std::string text_signature(const char* defaults_tail = "") const;

private:
    const char* const* names_;
    Py_ssize_t n_;
    Py_ssize_t required_;
    PyObject* interned_[kMax] = {};
    bool ready_ = false;
};

// Fills out[0..keys.size()) with borrowed references (nullptr for an optional
// parameter not given).  Returns false with TypeError set.  Callers declare
// `out` initialised: the compiler cannot tie keys.size() to the array's length
// and would otherwise take every later read for a possibly uninitialised one.
bool bind_slow(const char* func, Keys& keys, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);

// `out` is an array of the signature's size (the copy is then that many
// moves, never a call) or a pointer to keys.size() slots.
template <class Out>
inline bool bind(const char* func, Keys& keys, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 Out&& out) {
    if (keys.in_place(nargs, kwnames)) {
        if constexpr (std::is_array_v<std::remove_reference_t<Out>>) {
            constexpr size_t N = std::extent_v<std::remove_reference_t<Out>>;
            for (size_t i = 0; i < N; ++i) out[i] = args[i];  // keys.size() == N
        } else if (keys.size() == 1) {  // the common shape, without a loop the compiler would turn into a memcpy call
            out[0] = args[0];
        } else {
            for (Py_ssize_t i = 0; i < keys.size(); ++i) out[i] = args[i];
        }
        return true;
    }
    return bind_slow(func, keys, args, nargs, kwnames, out);
}

// The values in parameter order: the argument vector itself when it binds as
// it stands (no copy), else `buf` (keys.size() slots) filled by the general
// binder; nullptr with TypeError set.
inline PyObject* const* bound(const char* func, Keys& keys, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, PyObject** buf) {
    if (keys.in_place(nargs, kwnames)) return args;
    return bind_slow(func, keys, args, nargs, kwnames, buf) ? buf : nullptr;
}

// A function without parameters: no keywords (tested first), no positionals.
bool bind_none_slow(const char* func, Py_ssize_t nargs, PyObject* kwnames);
inline bool bind_none(const char* func, Py_ssize_t nargs, PyObject* kwnames) {
    // One test for the common call f(); an empty keyword tuple goes the slow way.
    if ((nargs | reinterpret_cast<intptr_t>(kwnames)) == 0) return true;
    return bind_none_slow(func, nargs, kwnames);
}

}  // namespace csdk
