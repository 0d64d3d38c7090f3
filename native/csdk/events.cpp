// The event bridge: the one native callback the core library calls, and its
// registration.  Each event becomes f(msg_type, data) on the calling thread.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "call.h"
#include "core_api.h"

namespace csdk {

CSDK_PER_THREAD_IF_FREE unsigned long g_bridge_entries = 0;

namespace {

PyObject* g_context = nullptr;  // "c_sdk.callback_wrapper", the unraisable-hook object

// An exception printed as PyErr_PrintEx(0) prints one that does not end the
// process: the "sys.excepthook" audit event, then sys.excepthook(type, value,
// traceback), with PyErr_PrintEx's own words when the hook is missing or
// fails.  PyErr_PrintEx itself is not used for it: from 3.14 it notes a
// printed KeyboardInterrupt as unhandled, and the interpreter's main then ends
// the process as if killed by SIGINT once the program returns, though the
// exception was swallowed here.  A SystemExit raised by the hook still ends
// the process from the main thread, as PyErr_PrintEx would.
void print_exception(PyObject* exc) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    PyObject* tb_arg = tb ? tb.get() : Py_None;
    Ref hook = Ref::borrow(PySys_GetObject("excepthook"));  // no exception when missing
    if (PySys_Audit("sys.excepthook", "OOOO", hook ? hook.get() : Py_None, type, exc, tb_arg) < 0) {
        if (PyErr_ExceptionMatches(PyExc_RuntimeError)) {  // an audit hook's veto: nothing printed
            PyErr_Clear();
            return;
        }
        write_unraisable_in_audit_hook();
    }
    if (!hook) {
        PySys_WriteStderr("sys.excepthook is missing\n");
        display_exception(exc);
        return;
    }
    PyObject* args[3] = {type, exc, tb_arg};
    Ref r = Ref::steal(PyObject_Vectorcall(hook.get(), args, 3, nullptr));
    if (r) return;
    Ref failure = Ref::steal(PyErr_GetRaisedException());
    if (PyErr_GivenExceptionMatches(failure.get(), PyExc_SystemExit) && on_main_thread() == 1) {
        PyErr_SetRaisedException(failure.release());
        PyErr_PrintEx(0);  // ends the process
        return;
    }
    PyErr_Clear();  // on_main_thread()'s own failure
    std::fflush(stdout);
    PySys_WriteStderr("Error in sys.excepthook:\n");
    display_exception(failure.get());
    PySys_WriteStderr("\nOriginal exception was:\n");
    display_exception(exc);
}

// Printed as above (sys.last_* untouched), then handed to
// sys.unraisablehook.  SystemExit raised on the main thread ends the process
// as at top level; on any other thread it is reported and the run goes on,
// as Python's own threads treat it: exiting there would finalise the
// interpreter under the main thread, which still runs it.
void report_failure() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    bool exits = PyErr_GivenExceptionMatches(exc.get(), PyExc_SystemExit) && on_main_thread() == 1;
    PyErr_Clear();  // on_main_thread()'s own failure: not the main thread, as far as can be told
    if (exits) {
        PyErr_SetRaisedException(Ref(exc).release());
        PyErr_PrintEx(0);  // ends the process (prints only under python -i)
    } else {
        print_exception(exc.get());
    }
    PyErr_SetRaisedException(exc.release());
    PyErr_WriteUnraisable(g_context ? g_context : Py_None);
}

// Without the interpreter lock, events on two threads at once would share
// the memo below: it is one thread's at a time, and a thread that finds it
// taken decodes without it.
#if CSDK_FREE_THREADED
class MemoTurn {
public:
    MemoTurn() : mine_(!__atomic_exchange_n(&busy_, true, __ATOMIC_ACQUIRE)) {}
    ~MemoTurn() {
        if (mine_) __atomic_store_n(&busy_, false, __ATOMIC_RELEASE);
    }
    explicit operator bool() const { return mine_; }

private:
    static inline bool busy_ = false;
    bool mine_;
};
#else
struct MemoTurn {
    explicit operator bool() const { return true; }
};
#endif

// The message type, decoded unless IS_PY2 is true.  A one-entry memo spares
// the decoding of the common case, a run of events of one type.
PyObject* message_type(const char* msg_type, size_t n, bool py2) {
    if (!msg_type) {
        PyErr_SetString(PyExc_SystemError, "event message type is NULL");
        return nullptr;
    }
    if (py2) return PyBytes_FromStringAndSize(msg_type, static_cast<Py_ssize_t>(n));
    static char memo_text[32];
    static size_t memo_len = 0;
    static PyObject* memo = nullptr;
    MemoTurn turn;
    if (turn && memo && n == memo_len && std::memcmp(memo_text, msg_type, n) == 0) return Py_NewRef(memo);
    PyObject* s = PyUnicode_DecodeUTF8(msg_type, static_cast<Py_ssize_t>(n), nullptr);
    if (turn && s && n < sizeof memo_text) {
        std::memcpy(memo_text, msg_type, n);
        memo_len = n;
        Py_XSETREF(memo, Py_NewRef(s));
    }
    return s;
}

bool deliver(const char* msg_type, void* data, int data_len) {
    if (!g.dict) {
        PyErr_SetString(PyExc_SystemError, "event delivered while the module is not initialised");
        return false;
    }
    // What the core handed over is copied before any Python code can run: a
    // lookup below may run a key's __eq__, the truth test a __bool__, and
    // either may call the core, which is free to reuse its event buffers.
    // A payload that cannot be built is reported at its own turn, after the
    // lookups, as the order of the steps has it.
    bool payload_ok = data_len >= 0 && (data || data_len == 0);
    Ref payload;
    if (payload_ok) {
        payload = Ref::steal(PyBytes_FromStringAndSize(static_cast<const char*>(data), data_len));
        if (!payload) return false;
    }
    char type_small[64];
    std::unique_ptr<char[]> type_large;
    const char* type_text = nullptr;
    size_t type_len = 0;
    if (msg_type) {
        type_len = std::strlen(msg_type);
        size_t n = type_len + 1;
        char* copy = type_small;
        if (n > sizeof type_small) [[unlikely]] {
            type_large.reset(new (std::nothrow) char[n]);
            if (!type_large) {
                PyErr_NoMemory();
                return false;
            }
            copy = type_large.get();
        }
        std::memcpy(copy, msg_type, n);
        type_text = copy;
    }
    int py2 = py2_flag();
    if (py2 < 0) return false;
    Ref type = Ref::steal(message_type(type_text, type_len, py2 != 0));
    if (!type) return false;
    Held held_found = lookup(G_F);
    PyObject* found = held_found.get();
    if (!found) return false;
    Ref fn = Ref::borrow(found);
    if (!payload_ok) {
        if (data_len > 0)
            PyErr_SetString(PyExc_SystemError, "event payload is NULL with a positive length");
        else
            Ref::steal(PyBytes_FromStringAndSize(nullptr, data_len));  // negative: the interpreter's own refusal
        return false;
    }
    PyObject* argv[3] = {nullptr, type.get(), payload.get()};
    // A handler that calls straight back into the core (a partial of a
    // direct callable, say) recurses through C alone: bounded here.
    if (!stack_left(" while calling a Python object")) return false;
    Ref result = Ref::steal(PyObject_Vectorcall(fn.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return static_cast<bool>(result);
}

// A KeyboardInterrupt or SystemExit raised by the handler while a live run of
// zq.csdk.live is in progress ends that run: the live module takes it
// (_take_exit returns true) and it is not reported here.  With that module
// not imported, or no live run in progress, it is reported as usual.  The
// module is looked up, never imported.
bool taken_by_live_run() {
    if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) && !PyErr_ExceptionMatches(PyExc_SystemExit)) return false;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref live = Ref::steal(PyImport_GetModule(CSDK_INTERNED("zq.csdk.live")));
    Ref taken;
    if (live) taken = Ref::steal(PyObject_CallMethodOneArg(live.get(), CSDK_INTERNED("_take_exit"), exc.get()));
    int yes = taken ? truth(taken.get()) : 0;
    if (PyErr_Occurred()) PyErr_WriteUnraisable(live ? live.get() : Py_None);  // a fault of the live module
    if (yes > 0) return true;
    PyErr_SetRaisedException(exc.release());
    return false;
}

// One event, on a thread that holds the interpreter lock.  An exception
// pending in the caller is kept aside and put back.
// The core lock, if this thread holds it, is let go for the event: other
// threads may call the core while the handler runs Python code, as they may
// while it holds the interpreter lock.
[[gnu::always_inline]] inline void deliver_held(const char* msg_type, void* data, int data_len) {
    ++g_bridge_entries;
    CoreYield unlocked;
    Ref saved = Ref::steal(PyErr_Occurred() ? PyErr_GetRaisedException() : nullptr);
    if (!deliver(msg_type, data, data_len) && !taken_by_live_run()) report_failure();
    if (saved) PyErr_SetRaisedException(saved.release());
}

// The thread state of a core thread, one that Python did not start: made at
// its first event and kept for the next ones, so that an event costs a take
// and a release of the lock rather than a state made and freed.  The thread
// frees it when it ends, taking the lock once more to do so (a thread state
// is cleared and deleted by its own thread: deleting it from another would
// unbind that thread's own state on 3.12 and later, and the free-threaded
// build clears per-thread allocator state there); a thread that holds the
// lock must therefore not wait for a core thread to end.  From the moment
// the interpreter finalises, the states are the interpreter's to free.
std::atomic<unsigned> g_generation{1};  // moved on at the end of each finalisation

struct KeptState {
    PyThreadState* ts = nullptr;
    unsigned generation = 0;

    bool usable() const { return ts && generation == g_generation.load(std::memory_order_relaxed); }
    ~KeptState() {
        if (!usable() || !Py_IsInitialized()) return;
        PyEval_RestoreThread(ts);
        PyGILState_Release(PyGILState_UNLOCKED);  // the first event's: clears and deletes it, releases the lock
    }
};
thread_local KeptState t_kept;

std::atomic<bool> g_at_exit_registered{false};
void finalised() {
    g_generation.fetch_add(1, std::memory_order_relaxed);
    g_at_exit_registered.store(false, std::memory_order_relaxed);
}

// One event on a thread that does not hold the lock: a live run's, or a
// thread of the core library's own.  The lock is taken for the event and
// released after; until it is free the thread waits here.  Once the
// interpreter is finalising or gone, the event is dropped: nothing can run it.
[[gnu::noinline]] void deliver_unheld(const char* msg_type, void* data, int data_len) {
    if (!Py_IsInitialized()) [[unlikely]]
        return;
    // A thread Python knows (a live run's caller, one of threading's) uses
    // its own state; for any other, PyGILState_Ensure makes one, which is
    // kept by releasing the lock without releasing the state.
    KeptState& kept = t_kept;
    PyThreadState* ts = kept.usable() ? kept.ts : PyGILState_GetThisThreadState();
    if (ts) [[likely]] {
        PyEval_RestoreThread(ts);
        deliver_held(msg_type, data, data_len);
        PyEval_SaveThread();
        return;
    }
    PyGILState_Ensure();
    deliver_held(msg_type, data, data_len);
    kept.ts = PyThreadState_Get();
    kept.generation = g_generation.load(std::memory_order_relaxed);
    PyEval_SaveThread();
}

extern "C" void callback_wrapper(const char* msg_type, void* data, int data_len) {
    // Called inside a core call made by this module, the calling thread holds
    // the lock and nothing changes; otherwise the event takes it.
    if (!holds_gil()) [[unlikely]]
        return deliver_unheld(msg_type, data, data_len);
    deliver_held(msg_type, data, data_len);
}

}  // namespace

int events_init() {
    if (!g_context && !(g_context = PyUnicode_InternFromString("c_sdk.callback_wrapper"))) return -1;
    // Kept thread states outlive neither the interpreter's finalisation nor
    // a later initialisation's states (an embedding application may do both).
    if (!g_at_exit_registered.exchange(true) && Py_AtExit(finalised) < 0) g_at_exit_registered = false;
    return 0;
}

PyObject* impl_py_zqi_set_data_callback(const char* func, Keys& keys, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    PyObject* v[1] = {};
    if (!bind(func, keys, args, nargs, kwnames, v) || !module_ready()) return nullptr;
    if (PyDict_SetItem(g.dict, G_F.name, v[0]) < 0) return nullptr;
    CoreCall locked;
    zqi_set_event_callback_pb(callback_wrapper);
    Py_RETURN_NONE;
}

}  // namespace csdk
