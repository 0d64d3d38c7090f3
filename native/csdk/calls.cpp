// The wrappers whose arguments do not fit the generated shapes:
// a flag passed in another position, fixed NULL arguments, an output address,
// a request next to texts, an integer read as a flag.
#include "call.h"
#include "core_api.h"

#include <frameobject.h>  // PyFrame_New, after Python.h

namespace csdk {

int Success::compare_slow(int status, int op) const {
    Ref st = Ref::steal(PyLong_FromLong(status));
    if (!st) return -1;
    Ref eq = Ref::steal(PyObject_RichCompare(st.get(), value_.get(), op));
    if (!eq) return -1;
    return truth(eq.get());
}

namespace {

// The code object of a wrapper's traceback entry: made at the wrapper's first
// failure and kept, one per name, for the life of the process.  A fresh one
// per failure would be garbage on the regular builds, but the free-threaded
// 3.13 never frees a code object made after the process started its first
// other thread (from then on it makes objects of deferred reference counting
// immortal), so each failure would keep a few hundred bytes for good.
// Entries are only ever added, so a value read from the cache stays alive
// while its borrowed reference is turned into a strong one.
PyObject* g_entry_codes = nullptr;  // dict: wrapper name -> code object

PyObject* entry_code(const char* func) {
    PyObject* cache = __atomic_load_n(&g_entry_codes, __ATOMIC_ACQUIRE);
    if (!cache) {
        PyObject* made = PyDict_New();
        if (!made) return nullptr;
        if (__atomic_compare_exchange_n(&g_entry_codes, &cache, made, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            cache = made;
        else
            Py_DECREF(made);  // another thread's cache won; `cache` is it
    }
    Ref name = Ref::steal(PyUnicode_FromString(func));
    if (!name) return nullptr;
    if (PyObject* kept = PyDict_GetItemWithError(cache, name.get())) return Py_NewRef(kept);
    if (PyErr_Occurred()) return nullptr;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("c_sdk", func, 0)));
    if (!code) return nullptr;
    // Two threads failing at once in one wrapper keep the first one's.
    PyObject* kept = PyDict_SetDefault(cache, name.get(), code.get());
    return kept ? Py_NewRef(kept) : nullptr;
}

}  // namespace

void add_traceback(const char* func) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref code = Ref::steal(entry_code(func));
    Ref frame;
    if (code && g.dict)
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), g.dict, nullptr)));
    PyErr_Clear();  // without the entry, the original exception still stands
    PyErr_SetRaisedException(exc.release());
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// mode is read by the integer rule, then passed as non-zero.
PyObject* impl_py_zqi_set_mode_consistency(const char* func, Keys& keys, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    PyObject* v[1] = {};
    if (!bind(func, keys, args, nargs, kwnames, v)) return nullptr;
    int mode;
    if (!to_int(v[0], &mode)) return nullptr;
    {
        CoreCall locked;
        zqi_set_mode_consistency(mode != 0);
    }
    Py_RETURN_NONE;
}

// The flag comes last in Python and second in the core call; conversion
// follows the core call's order.
PyObject* impl_py_zqi_current(const char* func, Keys& keys, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    PyObject* v[3] = {};
    if (!bind(func, keys, args, nargs, kwnames, v)) return nullptr;
    Text symbols, fields;
    bool flag;
    if (!symbols.load(v[0]) || !to_bool(v[2], &flag) || !fields.load(v[1])) return nullptr;
    Success ok;
    if (!ok.load()) return nullptr;
    void* res = nullptr;
    int res_len = 0;
    CoreCall locked;
    int status = zqi_current_pb(symbols.get(), flag, fields.get(), &res, &res_len);
    return reply_pair(status, ok, res, res_len, locked);
}

PyObject* impl_py_zqi_get_child_orders(const char* func, Keys& keys, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    PyObject* v[2] = {};
    if (!bind(func, keys, args, nargs, kwnames, v)) return nullptr;
    Text account, algo;
    if (!account.load(v[0]) || !algo.load(v[1])) return nullptr;
    Success ok;
    if (!ok.load()) return nullptr;
    void* res = nullptr;
    int res_len = 0;
    CoreCall locked;
    int status = zqi_get_child_orders_pb(account.get(), algo.get(), &res, &res_len);
    return reply_pair(status, ok, res, res_len, locked);
}

PyObject* impl_py_zqi_algo_order_batch(const char* func, Keys& keys, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    PyObject* v[3] = {};
    if (!bind(func, keys, args, nargs, kwnames, v)) return nullptr;
    Request req;
    Text name, params;
    if (!req.load(v[0]) || !name.load(v[1]) || !params.load(v[2])) return nullptr;
    Success ok;
    if (!ok.load()) return nullptr;
    void* res = nullptr;
    int res_len = 0;
    CoreCall locked;
    int status = zqi_algo_order_batch_pb(req.ptr(), req.len(), name.get(), params.get(), &res, &res_len);
    return reply_pair(status, ok, res, res_len, locked);
}

PyObject* impl_py_zqi_get_accounts(const char* func, Keys&, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_none(func, nargs, kwnames)) return nullptr;
    Success ok;
    if (!ok.load()) return nullptr;
    void* res = nullptr;
    int res_len = 0;
    CoreCall locked;
    int status = zqi_get_account_info_pb(&res, &res_len);
    return reply_pair(status, ok, res, res_len, locked);
}

PyObject* impl_py_zqi_set_version(const char* func, Keys& keys, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    PyObject* v[2] = {};
    if (!bind(func, keys, args, nargs, kwnames, v)) return nullptr;
    Text version, lang;
    if (!version.load(v[0]) || !lang.load(v[1])) return nullptr;
    {
        CoreCall locked;
        zqi_set_version(version.get(), lang.get(), nullptr, nullptr);
    }
    Py_RETURN_NONE;
}

// None on a failing status, else a copy of the address.  A NULL address with
// a success status (a core library fault) reads as empty bytes.
PyObject* impl_py_zqi_get_serv_addr(const char* func, Keys& keys, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    PyObject* v[1] = {};
    if (!bind(func, keys, args, nargs, kwnames, v)) return nullptr;
    Text serv_id;
    if (!serv_id.load(v[0])) return nullptr;
    Success ok;
    if (!ok.load()) return nullptr;
    char* addr = nullptr;
    CoreCall locked;
    int status = zqi_get_serv_addr(serv_id.get(), &addr);
    Ref copy;
    auto copy_addr = [&] {
        copy = Ref::steal(PyBytes_FromString(addr ? addr : ""));
        locked.end();
        return static_cast<bool>(copy);
    };
    int differs = ok.compare(status, Py_NE, copy_addr);
    if (differs < 0) return nullptr;
    if (differs) Py_RETURN_NONE;
    if (!copy) copy_addr();
    return copy.release();  // nullptr when the copy failed
}

}  // namespace csdk
