// The shapes every wrapper is made of: bind, convert in parameter order, one
// core call, convert the result.  The scalar shape is one template driven by
// the core function's own C signature.
#pragma once
#include <Python.h>

#include <type_traits>
#include <utility>

#include "args.h"
#include "convert.h"
#include "core_api.h"
#include "core_lock.h"
#include "module.h"

namespace csdk {

template <class F>
struct Signature;
template <class R, class... A>
struct Signature<R (*)(A...)> {
    using Result = R;
    static constexpr size_t arity = sizeof...(A);
};

// The converted arguments of one call, one slot each.  Default-initialised:
// each conversion sets what it uses, so nothing is zeroed up front (a
// std::tuple would value-initialise every slot, pin storage included).
template <size_t I, class T>
struct Slot {
    Arg<T> arg;
};
template <class Seq, class... A>
struct Converted;
template <size_t... I, class... A>
struct Converted<std::index_sequence<I...>, A...> : Slot<I, A>... {
    // In parameter order, stopping at the first that fails.
    bool load(PyObject* const* values) { return (Slot<I, A>::arg.load(values[I]) && ... && true); }
    template <class F>
    auto apply(F fn) const {
        return fn(Slot<I, A>::arg.get()...);
    }
};
template <class F>
struct ConvertedFor;
template <class R, class... A>
struct ConvertedFor<R (*)(A...)> {
    using type = Converted<std::index_sequence_for<A...>, A...>;
};

// Direct callables raise an exception left pending by the core call, which
// only a run of the event bridge during the call can have left.
template <bool Direct>
inline bool raised_during(unsigned long entries_before) {
    return Direct && g_bridge_entries != entries_before && PyErr_Occurred();
}
// The core calls that wait (the core's own loop) and are made detached from
// the interpreter where there is no interpreter lock (core_lock.h).
template <auto Fn>
inline constexpr bool kWaits = false;
template <>
inline constexpr bool kWaits<&zqi_run> = true;

// Fn(args...), made while the caller holds the core lock.
template <auto Fn, class Args>
inline auto core_call(const Args& args) {
    if constexpr (kWaits<Fn>) {
        Detached detached;
        return args.apply(Fn);
    } else {
        return args.apply(Fn);
    }
}

template <auto Fn, bool Direct>
inline PyObject* convert_and_call(PyObject* const* values) {
    using S = Signature<decltype(Fn)>;
    typename ConvertedFor<decltype(Fn)>::type args;
    if (!args.load(values)) return nullptr;
    const unsigned long entries = g_bridge_entries;
    // Held until a text result is copied: the core may reuse its memory on
    // its next call.
    CoreCall locked;
    if constexpr (std::is_void_v<typename S::Result>) {
        core_call<Fn>(args);
        if (raised_during<Direct>(entries)) return nullptr;
        Py_RETURN_NONE;
    } else {
        auto r = core_call<Fn>(args);
        if (raised_during<Direct>(entries)) return nullptr;
        return to_python(r);
    }
}

// Adds a traceback entry naming the wrapper `func` to the pending exception.
void add_traceback(const char* func);

template <auto Fn, bool Direct = false>
inline PyObject* call(const char* func, Keys& keys, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr size_t N = Signature<decltype(Fn)>::arity;
    PyObject* r;
    if constexpr (N == 0) {
        (void)keys;
        if (!bind_none(func, nargs, kwnames)) return nullptr;
        r = convert_and_call<Fn, Direct>(nullptr);
    } else {
        PyObject* buf[N];
        PyObject* const* values = bound(func, keys, args, nargs, kwnames, buf);
        if (!values) return nullptr;
        r = convert_and_call<Fn, Direct>(values);
    }
    // A conversion (argument or result) failed: the traceback names the wrapper.
    if (!r && !Direct) add_traceback(func);
    return r;
}

// The success value, looked up before the core call: with the name missing
// nothing is called, and a handler that rebinds it during the call cannot
// free the value being compared.  On the free-threaded build an exact int is
// read as plain data (module.h, success_as_int) and no object is held.
class Success {
public:
    bool load() {
#if CSDK_FREE_THREADED
        if (success_as_int(plain_)) return true;
#endif
        Held held_v = lookup(G_SUCCESS);
        PyObject* v = held_v.get();
        if (!v) return false;
        Py_INCREF(v);
        value_.reset(v);
        return true;
    }
    // The value as an object; nullptr when it was read as plain data.
    PyObject* value() const { return value_.get(); }
    // status == CSDK_OPERATE_SUCCESS (or !=, with Py_NE) by Python
    // comparison and truth value: 1, 0 or -1.  An exact int (the usual
    // value) is compared by value and runs no Python code.  Any other value's
    // comparison may run code that calls the core again and so overwrites
    // what the core handed back to the caller: `keep` is called first, to
    // copy it (false from it: -1, with its exception set).
    template <class Keep>
    int compare(int status, int op, Keep&& keep) const {
        PyObject* v = value_.get();
#if CSDK_FREE_THREADED
        if (!v) return (plain_ == status) == (op == Py_EQ);
#endif
        if (PyLong_CheckExact(v)) {
            int overflow;
            long x = PyLong_AsLongAndOverflow(v, &overflow);
            if (!overflow) return (x == status) == (op == Py_EQ);
        }
        if (!keep()) return -1;
        return compare_slow(status, op);
    }

private:
    int compare_slow(int status, int op) const;
    Ref value_;
#if CSDK_FREE_THREADED
    int plain_ = 0;
#endif
};

extern Keys kReqKeys;  // ("req",)

using ReplyFn = int (*)(void*, int, void**, int*);
using RequestFn = int (*)(void*, int);

// The reply as bytes.  A NULL reply with a length (a core library fault)
// reads as empty; a negative length raises the interpreter's own
// SystemError, without reading the reply.
inline PyObject* reply_bytes(const void* res, int res_len) {
    if (res_len < 0) return PyBytes_FromStringAndSize(static_cast<const char*>(res), res_len);
    return PyBytes_FromStringAndSize(res ? static_cast<const char*>(res) : "", res ? res_len : 0);
}

// (status, copy of the reply) on success, else (status, None).  The status
// object is made first, and when it is the success value itself (a small int
// such as 0 is one shared object) the comparison is settled without
// converting either side.  `locked`, the core call's, is let go once the
// reply is copied or known not to be needed, and before a comparison that
// runs Python code.
inline PyObject* reply_pair(int status, const Success& ok, const void* res, int res_len, CoreCall& locked) {
    Ref st = Ref::steal(PyLong_FromLong(status));
    if (!st) return nullptr;
    Ref payload;  // the copy made before a comparison that runs Python code
    int eq = st.get() == ok.value() ? 1 : ok.compare(status, Py_EQ, [&] {
        if (res_len < 0) return true;  // nothing to read: reported below if the status is success
        payload = Ref::steal(reply_bytes(res, res_len));
        locked.end();
        return static_cast<bool>(payload);
    });
    if (eq < 0) return nullptr;
    if (!eq)
        payload = Ref::borrow(Py_None);
    else if (!payload)
        payload = Ref::steal(reply_bytes(res, res_len));
    locked.end();
    if (!payload) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (!pair) return nullptr;
    PyTuple_SET_ITEM(pair, 0, st.release());
    PyTuple_SET_ITEM(pair, 1, payload.release());
    return pair;
}

inline PyObject* reply_call(ReplyFn fn, const char* func, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* req = nullptr;
    if (!bind(func, kReqKeys, args, nargs, kwnames, &req)) return nullptr;
    Request r;
    if (!r.load(req)) return nullptr;
    Success ok;
    if (!ok.load()) return nullptr;
    void* res = nullptr;
    int res_len = 0;
    CoreCall locked;
    int status = fn(r.ptr(), r.len(), &res, &res_len);
    return reply_pair(status, ok, res, res_len, locked);
}

inline PyObject* request_call(RequestFn fn, const char* func, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    PyObject* req = nullptr;
    if (!bind(func, kReqKeys, args, nargs, kwnames, &req)) return nullptr;
    Request r;
    if (!r.load(req)) return nullptr;
    int status;
    {
        CoreCall locked;
        status = fn(r.ptr(), r.len());
    }
    return PyLong_FromLong(status);
}

// The hand-written bodies of wrappers.def's CUSTOM rows (calls.cpp).
#define CUSTOM_DECL(py) \
    PyObject* impl_##py(const char* func, Keys& keys, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
CUSTOM_DECL(py_zqi_set_mode_consistency)
CUSTOM_DECL(py_zqi_current)
CUSTOM_DECL(py_zqi_get_serv_addr)
CUSTOM_DECL(py_zqi_set_data_callback)
CUSTOM_DECL(py_zqi_get_accounts)
CUSTOM_DECL(py_zqi_set_version)
CUSTOM_DECL(py_zqi_algo_order_batch)
CUSTOM_DECL(py_zqi_get_child_orders)
#undef CUSTOM_DECL

}  // namespace csdk
