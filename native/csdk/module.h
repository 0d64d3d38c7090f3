// Process-wide state of the module and the lookups every subsystem shares.
#pragma once
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "pycompat.h"
#include "ref.h"

namespace csdk {

// The module is process-wide by design: the core library's event callback has
// no user-data pointer, so the module object is reached through this state.
struct ModuleState {
    PyObject* module = nullptr;    // strong: kept for the life of the process
    PyObject* dict = nullptr;      // borrowed from module
    PyObject* builtins = nullptr;  // strong: the builtins module's dict
    PyObject* modname = nullptr;   // "c_sdk", the __module__ of every function
};
extern ModuleState g;

// Entries into the event bridge so far.  The core library reaches Python only
// through the bridge, so an exception can be pending after a core call only if
// this count moved during it: a direct callable tests the count and asks the
// thread state (PyErr_Occurred, a thread-local read that from 3.12 goes
// through __tls_get_addr in a shared libpython) only when it did.
// On the free-threaded build the count is the calling thread's own: an event
// on another thread leaves nothing pending on this one.
extern CSDK_PER_THREAD_IF_FREE unsigned long g_bridge_entries;

// A module global read at the moment of use: module namespace first, then
// builtins.  The value found is kept until either dict changes: with dict
// watchers (3.12 on) the module is told of every change to either dict and
// forgets the value at once; before that, the dicts' version tags, which
// change on every mutation, are compared on each read.  Either way a
// rebinding is seen by the very next lookup.
// On the free-threaded build nothing is kept: each read takes a reference
// from the dict that holds the name (module namespace, then builtins).
struct Global {
    const char* text;
    PyObject* name = nullptr;  // interned
    PyObject* value = nullptr;  // borrowed from whichever dict holds it
#if CSDK_FREE_THREADED
    std::atomic<uint64_t> plain{0};  // see plain_value()
#endif
#if CSDK_GLOBALS_KEPT && !CSDK_DICT_WATCHERS
    uint64_t module_version = 0;
    uint64_t builtins_version = 0;  // 0 when found in the module namespace
#endif
};

// A reference as lookup() holds it on this build, or nullptr with NameError
// (or the dicts' own error) set.
PyObject* lookup_slow(Global& gl);

// True while the namespace exists; false with ImportError set after a failed
// import (until a later import succeeds).
bool module_ready();

// The value, or nullptr with NameError set.  Held across Python code that may
// rebind the name only after taking a reference of its own (Ref::borrow).
inline Held lookup(Global& gl) {
#if !CSDK_GLOBALS_KEPT
#elif CSDK_DICT_WATCHERS
    if (gl.value) return Held::from_lookup(gl.value);
#else
    if (gl.value && dict_version(g.dict) == gl.module_version &&
        (gl.builtins_version == 0 || dict_version(g.builtins) == gl.builtins_version))
        return Held::from_lookup(gl.value);
#endif
    return Held::from_lookup(lookup_slow(gl));
}

// The globals the module reads by name.
extern Global G_SUCCESS;   // CSDK_OPERATE_SUCCESS
extern Global G_IS_PY2;    // IS_PY2
extern Global G_F;         // f, the event callable
extern Global G_LOGGER;    // zqsdklogger
extern Global G_STRERROR;  // py_zqi_strerror
extern Global G_PLATFORM;  // platform
extern Global G_ADAPT;     // adapt_to_python3

// Interns every Global's name; -1 with an exception set on failure.
int intern_globals();
// Has the module told of changes to its namespace and to builtins, where the
// build keeps what it read; -1 with an exception set on failure.
int watch_globals();
// Forgets whatever was kept of every global.
void forget_globals();

#if CSDK_FREE_THREADED
// The free-threaded build keeps no object of a global's between calls (a
// rebinding on another thread could free it under the reader), but two tests
// need no object: whether a status is CSDK_OPERATE_SUCCESS, and whether
// IS_PY2 is true.  For those a Global keeps plain data, in one word: bit 32
// set when it is kept, the value in bits 0-31; bits 33-63 a generation.  A
// change to the name (its dicts' watcher, called while the changing thread
// holds the dict's critical section) clears bit 32 and moves the generation;
// a reader that then looks the value up (under the same critical section)
// stores what it found only if the word is still the one it saw before
// looking, so a change made meanwhile is never overwritten by the value it
// replaced.
enum class Plain {
    kInt,    // an exact int that fits a C int: its value
    kTruth,  // True, False, None or an exact int: its truth value (no code runs to find it)
};
constexpr uint64_t kPlainKept = uint64_t{1} << 32;
constexpr uint64_t kGeneration = uint64_t{1} << 33;
bool plain_from_lookup(Global& gl, Plain kind, uint64_t seen, int& value);

// True with the value when the global's is of that kind, read as plain data;
// false otherwise (no exception set): then the caller looks it up as an object.
inline bool plain_value(Global& gl, Plain kind, int& value) {
    uint64_t w = gl.plain.load(std::memory_order_acquire);
    if (w & kPlainKept) [[likely]] {
        value = static_cast<int>(static_cast<uint32_t>(w));
        return true;
    }
    return plain_from_lookup(gl, kind, w, value);
}
inline bool success_as_int(int& value) { return plain_value(G_SUCCESS, Plain::kInt, value); }
#endif

// An interned str, made on first use and kept for the process (nullptr with
// MemoryError if it cannot be made).  Method names go through here so the
// interpreter's attribute cache sees one object per name.
// Threads that make it at once make the same interned object; the slot is
// read and written atomically, and a reference that lost the race is dropped.
inline PyObject* interned(PyObject*& slot, const char* text) {
    PyObject* s = __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
    if (s) return s;
    s = PyUnicode_InternFromString(text);
    if (!s) return nullptr;
    PyObject* expected = nullptr;
    if (!__atomic_compare_exchange_n(&slot, &expected, s, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        Py_DECREF(s);
        return expected;
    }
    return s;
}
#define CSDK_INTERNED(text) ([]() -> PyObject* { static PyObject* slot; return ::csdk::interned(slot, text); }())

// Truth value with the common constants answered without a call: 1, 0 or -1.
inline int truth(PyObject* o) {
    if (o == Py_True) return 1;
    if (o == Py_False || o == Py_None) return 0;
    return PyObject_IsTrue(o);
}

// IS_PY2's truth value: 1, 0, or -1 with NameError (or the truth test's
// own error) set.
inline int py2_flag() {
#if CSDK_FREE_THREADED
    int plain;
    if (plain_value(G_IS_PY2, Plain::kTruth, plain)) return plain;
#endif
    Held held_flag = lookup(G_IS_PY2);
    PyObject* flag = held_flag.get();
    if (!flag) return -1;
    if (flag == Py_False) return 0;
    Ref hold = Ref::borrow(flag);  // its truth test may run code that rebinds it
    return truth(flag);
}

// A new function object of this module: __module__ "c_sdk", bound to the module.
PyObject* new_function(PyMethodDef* def);

// Pieces of the namespace, defined by their subsystems.
int add_wrappers(PyObject* dict);        // the wrapper definitions, in order
int add_direct_callables(PyObject* dict);
int add_helpers(PyObject* dict);         // is_windows .. c_status_fail
int adapter_init(PyObject* module);      // the adapter type
PyObject* adapt(PyObject* func);         // what adapt_to_python3 returns
int events_init();

// The helper functions (status.cpp, adapter.cpp).
PyObject* c_status_ok(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* c_status_fail(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* is_windows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* is_linux(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* adapt_to_python3(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace csdk
