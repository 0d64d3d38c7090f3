// The core lock.  The core library may be entered by one thread at a time,
// and again further down a thread that is inside its event callback.  On the
// regular builds the interpreter lock gives exactly that: every core call is
// made holding it, and the callback's Python code lets it go.  The
// free-threaded build has no such lock, so the bridge keeps one of its own
// that mirrors it:
//   - CoreCall holds it across every core call a wrapper or direct callable
//     makes (zqi_run under py_zqi_run included);
//   - the event bridge lets it go while it runs Python code for an event
//     (CoreYield) and takes it back before returning to the core library;
//   - it is re-entrant on its owner: a core call made while the owner holds
//     it (not through the bridge) nests instead of waiting for itself.
// A thread that waits for it detaches from the interpreter meanwhile
// (PyMutex_Lock does so), so a holder running Python code is never stopped
// by a waiter, nor a collection by either.
//
// On the regular builds each type is empty and every use compiles away.
// CSDK_MEASURE_WITHOUT_CORE_LOCK does the same on the free-threaded build,
// for the benchmark that names the lock's cost; such a build breaks the core
// library's contract and is for measuring only.
#pragma once
#include <Python.h>

#include "pycompat.h"

namespace csdk {

#if CSDK_FREE_THREADED && !defined(CSDK_MEASURE_WITHOUT_CORE_LOCK)

namespace core_lock {

inline PyMutex g_mutex{};
inline const void* g_owner = nullptr;  // the holder's t_self; read by any thread, written by the holder
inline int g_depth = 0;                // the holder's nesting, touched only by the holder
inline thread_local char t_self __attribute__((tls_model("initial-exec")));

inline const void* self() { return &t_self; }
inline bool held_here() { return __atomic_load_n(&g_owner, __ATOMIC_RELAXED) == self(); }

// Another thread's g_owner is never this thread's address: only this thread
// writes it, and clears it before the mutex is let go.
inline void take(int depth) {
    PyMutex_Lock(&g_mutex);
    __atomic_store_n(&g_owner, self(), __ATOMIC_RELAXED);
    g_depth = depth;
}

inline int let_go() {
    int depth = g_depth;
    g_depth = 0;
    __atomic_store_n(&g_owner, nullptr, __ATOMIC_RELAXED);
    PyMutex_Unlock(&g_mutex);
    return depth;
}

}  // namespace core_lock

// Held for the duration of one core call.
class CoreCall {
public:
    CoreCall() {
        if (core_lock::held_here())
            ++core_lock::g_depth;
        else
            core_lock::take(1);
    }
    // Only the holder lets go: a thread that was ended while waiting to take
    // the lock back (an interpreter that is finalising ends a thread that
    // re-attaches) unwinds through here without holding it.
    ~CoreCall() { end(); }
    // Lets go early, once what the core handed back is copied.
    void end() {
        if (!ended_ && core_lock::held_here() && --core_lock::g_depth == 0) core_lock::let_go();
        ended_ = true;
    }
    CoreCall(const CoreCall&) = delete;
    CoreCall& operator=(const CoreCall&) = delete;

private:
    bool ended_ = false;
};

// Lets the lock go for as long as it lives, if this thread holds it, and
// takes it back at the same depth.
class CoreYield {
public:
    CoreYield() : depth_(core_lock::held_here() ? core_lock::let_go() : 0) {}
    ~CoreYield() {
        if (depth_) core_lock::take(depth_);
    }
    CoreYield(const CoreYield&) = delete;
    CoreYield& operator=(const CoreYield&) = delete;

private:
    int depth_;
};

#else

struct CoreCall {
    CoreCall() {}
    void end() {}
};
struct CoreYield {
    CoreYield() {}
};
#endif

// Detached from the interpreter for as long as it lives, where there is no
// interpreter lock: for a core call that blocks (zqi_run), which would
// otherwise hold up every collection and every other stop of the world until
// it returned.  Events it delivers on this thread attach again through the
// bridge.  With the lock, the call blocks holding it, as it always has.
#if CSDK_FREE_THREADED
class Detached {
public:
    Detached() : state_(PyEval_SaveThread()) {}
    ~Detached() { PyEval_RestoreThread(state_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* state_;
};
#else
struct Detached {
    Detached() {}
};
#endif

}  // namespace csdk
