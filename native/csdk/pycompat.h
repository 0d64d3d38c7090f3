// What differs between the interpreter versions this module builds for
// (CPython 3.11 through 3.15).  Each seam is a small shim keyed on
// PY_VERSION_HEX, with the reason it exists and the versions it
// holds for.  Every other source uses the names defined here and no version
// test of its own.
#pragma once
#include <Python.h>

#include <cstdint>

#include "ref.h"
#include "stack.h"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>  // T_OBJECT_EX, T_PYSSIZET, READONLY
#endif

// ---------------------------------------------------------------------------
// Public names that the oldest supported version spells otherwise.

// The METH_FASTCALL | METH_KEYWORDS signature: public under this name from
// 3.13; 3.11 and 3.12 have it only as _PyCFunctionFastWithKeywords.
#if PY_VERSION_HEX < 0x030D0000
typedef _PyCFunctionFastWithKeywords PyCFunctionFastWithKeywords;
#endif

// Member types and flags: public in Python.h from 3.12 under these names;
// 3.11 has them only in structmember.h, which 3.12 deprecates.
#if PY_VERSION_HEX < 0x030C0000
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

// The member type that reads an unset slot as None, as property's own
// __doc__ does: T_OBJECT through 3.11, _Py_T_OBJECT from 3.12, which
// deprecates it for Py_T_OBJECT_EX (an unset slot raises) but keeps the
// value, part of the stable ABI, through 3.15.
#if PY_VERSION_HEX < 0x030C0000
#define CSDK_T_OBJECT_OR_NONE T_OBJECT
#else
#define CSDK_T_OBJECT_OR_NONE _Py_T_OBJECT
#endif

// The raised exception as one object: public from 3.12, where the
// three-part PyErr_Fetch/PyErr_Restore is deprecated.  On 3.11 the same is
// made of the three-part calls: the exception normalised, its traceback
// attached.
#if PY_VERSION_HEX < 0x030C0000
static inline PyObject* PyErr_GetRaisedException(void) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
}

static inline void PyErr_SetRaisedException(PyObject* exc) {
    if (!exc) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
}
#endif

// ---------------------------------------------------------------------------
// The free-threaded build (3.13 on, configured --disable-gil): no interpreter
// lock.  Where the module relied on that lock, the build does the lock's two
// jobs apart: the core library's contract is kept by the bridge's own core
// lock (core_lock.h), and Python objects that another thread may change are
// read through owned references, under the object's critical section where
// the interpreter's own code takes it.  Every difference is keyed on this one
// flag; on the regular builds each compiles to what it was.
#ifdef Py_GIL_DISABLED
#define CSDK_FREE_THREADED 1
#else
#define CSDK_FREE_THREADED 0
#endif

// Storage that is process-wide on the regular builds and the calling
// thread's own on the free-threaded build (a counter every thread bumps).
// Initial-exec, as stack.h's: a plain offset from the thread pointer.
#if CSDK_FREE_THREADED
#define CSDK_PER_THREAD_IF_FREE __thread __attribute__((tls_model("initial-exec")))
#else
#define CSDK_PER_THREAD_IF_FREE
#endif

// ---------------------------------------------------------------------------
// Module capabilities.  3.12 added the slot that says whether a module may
// be loaded into several interpreters, 3.13 the one that says whether it
// needs the global lock.  This module is process-wide (the core library's
// callback carries no context).  On the regular builds it relies on the
// lock; on the free-threaded build it declares that it does not, so that
// importing it leaves the lock off.
#if PY_VERSION_HEX >= 0x030C0000
#define CSDK_SLOT_INTERPRETERS {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define CSDK_SLOT_INTERPRETERS
#endif
#if CSDK_FREE_THREADED
#define CSDK_SLOT_GIL {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#elif PY_VERSION_HEX >= 0x030D0000
#define CSDK_SLOT_GIL {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define CSDK_SLOT_GIL
#endif
#define CSDK_CAPABILITY_SLOTS CSDK_SLOT_INTERPRETERS CSDK_SLOT_GIL

namespace csdk {

// ---------------------------------------------------------------------------
// Watching a namespace for changes.  Through 3.11 every dict carries a
// version tag that changes on each mutation; 3.12 deprecates it in favour of
// dict watchers (PyDict_AddWatcher, PyDict_Watch: public, unchanged through
// 3.15) and 3.14 removes it.  With
// CSDK_DICT_WATCHERS the module is told of each change to the dicts it reads
// its globals from; without it, it compares the tags.
//
// The free-threaded build keeps no value at all (module.h): a value kept
// borrowed could be freed by a rebinding on another thread between its
// check and its use, so each read takes a reference from the dict itself.
#if CSDK_FREE_THREADED
#define CSDK_DICT_WATCHERS 0
#define CSDK_GLOBALS_KEPT 0
#elif PY_VERSION_HEX >= 0x030C0000
#define CSDK_DICT_WATCHERS 1
#define CSDK_GLOBALS_KEPT 1
#else
#define CSDK_GLOBALS_KEPT 1
#define CSDK_DICT_WATCHERS 0
inline uint64_t dict_version(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
#endif

// ---------------------------------------------------------------------------
// A type's attribute-cache version tag, 0 when it has none; a type changed by
// attribute assignment (its own or a base's) gets a new tag, and tags are not
// reused.  Through 3.12 a tag counts only while Py_TPFLAGS_VALID_VERSION_TAG
// is set; 3.13 no longer sets that flag (3.14 calls it legacy) and resets the
// tag to 0 instead.
inline unsigned int type_version(PyTypeObject* tp) {
#if PY_VERSION_HEX < 0x030D0000
    return (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
#else
    return tp->tp_version_tag;
#endif
}

// ---------------------------------------------------------------------------
// A new instance of a collected type whose allocator is the generic one
// (object.__new__'s allocation), `fill` run on it before anything else can
// see it, and tracked.  Through 3.11 PyObject_GC_New plus PyObject_GC_Track
// is the cheaper way: it skips the generic allocator's size computation and
// zero fill.  From 3.12 each of those two calls finds the thread state
// again, a __tls_get_addr call in a shared libpython, so the type's one
// allocator call is cheaper; its zero fill also makes the order of fill and
// tracking moot, as nothing between them can run the collector.
template <class T, class Fill>
[[gnu::always_inline]] inline PyObject* new_collected(PyTypeObject* tp, Fill&& fill) {
#if PY_VERSION_HEX < 0x030C0000
    T* self = PyObject_GC_New(T, tp);
    if (!self) return nullptr;
    fill(self);
    PyObject_GC_Track(self);
#else
    T* self = reinterpret_cast<T*>(tp->tp_alloc(tp, 0));
    if (!self) return nullptr;
    fill(self);
#endif
    return reinterpret_cast<PyObject*>(self);
}

// ---------------------------------------------------------------------------
// A reference to an object another thread may drop: owned on the
// free-threaded build, where a borrowed one could be freed under the reader
// by a rebinding on another thread; borrowed on the regular builds, where
// the interpreter lock keeps it alive until the reader runs Python code, and
// where taking a reference would cost the hot paths for nothing.
class Held {
public:
    Held() = default;
    // From a new reference (free-threaded) or a borrowed one (regular):
    // whichever the lookup behind it returns on this build.
    static Held from_lookup(PyObject* p) {
        Held h;
#if CSDK_FREE_THREADED
        h.ref_ = Ref::steal(p);
#else
        h.p_ = p;
#endif
        return h;
    }
#if CSDK_FREE_THREADED
    PyObject* get() const { return ref_.get(); }
#else
    PyObject* get() const { return p_; }
#endif
    explicit operator bool() const { return get() != nullptr; }

private:
#if CSDK_FREE_THREADED
    Ref ref_;
#else
    PyObject* p_ = nullptr;
#endif
};

// ---------------------------------------------------------------------------
// Private entry points kept for speed.  Each is declared and exported by
// every version from 3.11 through 3.15, and none has a public counterpart
// there (3.14 and 3.15 add only _PyType_LookupRef, as private).

// The type attribute lookup through the interpreter's per-type cache, or
// nullptr, no exception.  No public function reads the cache: walking tp_mro
// by hand costs a dict probe per base on every record attribute read.  The
// free-threaded build has the reference-returning form (exported from 3.13,
// what its own attribute lookup uses): a class attribute rebound on another
// thread would free a borrowed one.
inline Held type_lookup(PyTypeObject* tp, PyObject* name) {
#if CSDK_FREE_THREADED
    return Held::from_lookup(_PyType_LookupRef(tp, name));
#else
    return Held::from_lookup(_PyType_Lookup(tp, name));
#endif
}

// object.__getattribute__ that reports a miss as nullptr with no exception
// set (suppress = 1), as the interpreter's own getattr hook uses it.  The
// public PyObject_GenericGetAttr would raise and the record's fallback would
// catch: one AttributeError made and dropped per missed attribute.
inline PyObject* generic_getattr_no_raise(PyObject* obj, PyObject* name) {
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
}

// ---------------------------------------------------------------------------
// The pieces of PyErr_PrintEx that print, for printing an exception without
// PyErr_PrintEx's handling of SystemExit and KeyboardInterrupt.
//
// The default display of an exception and its chain on sys.stderr:
// PyErr_DisplayException from 3.12; 3.11 has only the three-part
// PyErr_Display, which reads the traceback it is given.
inline void display_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_DisplayException(exc);
#else
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    PyErr_Display(nullptr, exc, tb ? tb.get() : Py_None);
#endif
}

// The report of an audit hook's failure on the "sys.excepthook" event, in
// PyErr_PrintEx's words: PyErr_FormatUnraisable is public from 3.13; 3.11
// and 3.12 export only the older private call with the message's tail.
inline void write_unraisable_in_audit_hook() {
#if PY_VERSION_HEX >= 0x030D0000
    PyErr_FormatUnraisable("Exception ignored in audit hook");
#else
    _PyErr_WriteUnraisableMsg("in audit hook", nullptr);
#endif
}

// ---------------------------------------------------------------------------
// Whether the calling thread is the main thread, the one the interpreter was
// started on: 1, 0, or -1 with an exception set.  3.11 and 3.12 declare the
// interpreter's own test; 3.13 keeps it internal, and its _thread reports
// the main thread's ident instead (the function threading itself uses).
#if PY_VERSION_HEX < 0x030D0000
inline int on_main_thread() { return _PyOS_IsMainThread(); }
#else
inline int on_main_thread() {
    Ref mod = Ref::steal(PyImport_ImportModule("_thread"));
    if (!mod) return -1;
    Ref ident = Ref::steal(PyObject_CallMethod(mod.get(), "_get_main_thread_ident", nullptr));
    if (!ident) return -1;
    unsigned long main = PyLong_AsUnsignedLong(ident.get());
    if (main == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    return main == PyThread_get_thread_ident();
}
#endif

// ---------------------------------------------------------------------------
// Whether the calling thread holds the interpreter lock, asked by the event
// bridge, which a core library may call on a thread without it.  From 3.12 a
// thread's current thread state is a thread-local variable, set only while
// that thread holds the lock, and PyThreadState_GetUnchecked (public from
// 3.13; 3.12 exports it as _PyThreadState_UncheckedGet) reads it.  Through
// 3.11 the same call returns the lock holder's thread state whichever thread
// asks, so it is compared with the calling thread's own (pointers only: the
// holder's state is never read).  PyGILState_Check would serve on every
// version, but it answers 1 on every thread once a second interpreter has
// been created in the process.
inline bool holds_gil() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    PyThreadState* holder = _PyThreadState_UncheckedGet();
    return holder && holder == PyGILState_GetThisThreadState();
#endif
}

// ---------------------------------------------------------------------------
// A vectorcall made through the callable type's tp_call: what the private
// _PyObject_MakeTpCall does (declared internal from 3.13), with public calls
// only.  Used by a vectorcall slot that hands a call back to the type's
// ordinary protocol, where PyObject_Vectorcall would come straight back.
inline PyObject* call_tp_call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ternaryfunc call = Py_TYPE(callable)->tp_call;
    if (!call) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(callable)->tp_name);
        return nullptr;
    }
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    Ref kwargs;
    if (Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t i = 0; i < nkw; ++i)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
    }
    if (!stack_left(" while calling a Python object")) return nullptr;
    PyObject* result = call(callable, tuple.get(), kwargs.get());
    if (!result && !PyErr_Occurred())
        PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", callable);
    return result;
}

}  // namespace csdk
