// The module globals the module reads by name, and how a read is kept cheap
// while a rebinding is seen by the very next one (module.h, Global).
#include <atomic>
#include <climits>

#include "module.h"

namespace csdk {

Global G_SUCCESS{"CSDK_OPERATE_SUCCESS"};
Global G_IS_PY2{"IS_PY2"};
Global G_F{"f"};
Global G_LOGGER{"zqsdklogger"};
Global G_STRERROR{"py_zqi_strerror"};
Global G_PLATFORM{"platform"};
Global G_ADAPT{"adapt_to_python3"};

namespace {

Global* const kGlobals[] = {&G_SUCCESS, &G_IS_PY2, &G_F, &G_LOGGER, &G_STRERROR, &G_PLATFORM, &G_ADAPT};

#if CSDK_FREE_THREADED || CSDK_DICT_WATCHERS
int g_watcher = -1;  // -1: no watcher could be had; nothing is kept, every lookup reads the dicts

// Whether a change to `key` may change what `gl` reads: a change that names
// no single key (a clear, a dealloc) or whose key is not a plain str (it may
// compare equal to the name) counts as one.
bool may_rebind(PyObject* key, const Global& gl) {
    return !key || !PyUnicode_CheckExact(key) || key == gl.name || PyUnicode_CompareWithASCIIString(key, gl.text) == 0;
}

// Called before each change to a watched dict takes effect (on the
// free-threaded build, by the changing thread while it holds the dict's
// critical section).
int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject* key, PyObject*);

// Has both dicts watched.  If the interpreter's watcher slots are all taken,
// nothing is kept: slower, equally correct.
int watch_dicts() {
    if (g_watcher < 0) {
        g_watcher = PyDict_AddWatcher(on_dict_change);
        if (g_watcher < 0) {
            PyErr_Clear();
            return 0;
        }
    }
    return PyDict_Watch(g_watcher, g.dict) < 0 || PyDict_Watch(g_watcher, g.builtins) < 0 ? -1 : 0;
}
#endif

#if CSDK_FREE_THREADED
// The globals with a plain-data view (module.h, plain_value).
Global* const kPlainGlobals[] = {&G_SUCCESS, &G_IS_PY2};

void forget_plain(Global& gl) {
    uint64_t w = gl.plain.load(std::memory_order_relaxed);
    while (!gl.plain.compare_exchange_weak(w, (w & ~(kGeneration - 1)) + kGeneration, std::memory_order_acq_rel,
                                           std::memory_order_relaxed)) {
    }
}

int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject* key, PyObject*) {
    for (Global* gl : kPlainGlobals)
        if (may_rebind(key, *gl)) forget_plain(*gl);
    return 0;
}

int watch_namespaces() {
    for (Global* gl : kPlainGlobals) forget_plain(*gl);
    return watch_dicts();
}

// A reference from one dict, read under its critical section: a change to
// the dict, its watchers told first, is made whole before or after the read.
int get_locked(PyObject* dict, PyObject* name, PyObject** v) {
    int found;
    Py_BEGIN_CRITICAL_SECTION(dict);
    found = PyDict_GetItemRef(dict, name, v);
    Py_END_CRITICAL_SECTION();
    return found;
}
#elif CSDK_DICT_WATCHERS
uint64_t g_changes = 0;  // changes to either dict so far

// What moves with every change to either dict.
uint64_t changes() { return g_changes; }

// The values kept for the changed name are forgotten.
int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject* key, PyObject*) {
    ++g_changes;
    for (Global* gl : kGlobals)
        if (gl->value && may_rebind(key, *gl)) gl->value = nullptr;
    return 0;
}

int watch_namespaces() { return watch_dicts(); }

inline PyObject* keep(Global& gl, PyObject* v, bool) { return g_watcher < 0 ? v : (gl.value = v); }
#else
int watch_namespaces() { return 0; }

// What moves with every change to either dict: each change gives the dict a
// new tag, drawn from one counter of the interpreter's.
uint64_t changes() { return dict_version(g.dict) + dict_version(g.builtins); }

inline PyObject* keep(Global& gl, PyObject* v, bool from_builtins) {
    gl.module_version = dict_version(g.dict);
    gl.builtins_version = from_builtins ? dict_version(g.builtins) : 0;
    return gl.value = v;
}
#endif

}  // namespace

int watch_globals() { return watch_namespaces(); }

void forget_globals() {
    for (Global* gl : kGlobals) gl->value = nullptr;
#if CSDK_FREE_THREADED
    for (Global* gl : kPlainGlobals) forget_plain(*gl);
#endif
}

#if CSDK_FREE_THREADED
// Looks the value up (the word was seen without kPlainKept) and keeps it
// when it is of the kind asked for and nothing changed meanwhile.
bool plain_from_lookup(Global& gl, Plain kind, uint64_t seen, int& value) {
    if (g_watcher < 0 || !module_ready()) {
        PyErr_Clear();
        return false;
    }
    PyObject* v = nullptr;
    int found = get_locked(g.dict, gl.name, &v);
    if (found == 0) found = get_locked(g.builtins, gl.name, &v);
    if (found <= 0) {
        PyErr_Clear();  // the caller's own lookup raises it again
        return false;
    }
    Ref held = Ref::steal(v);
    if (kind == Plain::kTruth && (v == Py_True || v == Py_False || v == Py_None)) {
        value = v == Py_True;
    } else if (PyLong_CheckExact(v)) {
        int overflow;
        long x = PyLong_AsLongAndOverflow(v, &overflow);
        if (kind == Plain::kTruth)
            value = overflow || x != 0;
        else if (overflow || x < INT_MIN || x > INT_MAX)
            return false;
        else
            value = static_cast<int>(x);
    } else {
        return false;
    }
    gl.plain.compare_exchange_strong(seen, (seen & ~(kGeneration - 1)) | kPlainKept | static_cast<uint32_t>(value),
                                     std::memory_order_release, std::memory_order_relaxed);
    return true;
}
#endif

// A lookup can run code: the __eq__ of a key whose hash equals the name's.
// When either dict changed meanwhile (that code bound the name in the module,
// say, after the module was looked in), the value found answers this lookup,
// as the interpreter's own would, but is not kept: the next one looks again.
#if !CSDK_GLOBALS_KEPT
PyObject* lookup_slow(Global& gl) {
    if (!module_ready()) return nullptr;
    PyObject* v;
    int found = PyDict_GetItemRef(g.dict, gl.name, &v);
    if (found == 0) found = PyDict_GetItemRef(g.builtins, gl.name, &v);
    if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", gl.name);
    return found > 0 ? v : nullptr;
}
#else
PyObject* lookup_slow(Global& gl) {
    gl.value = nullptr;
    if (!module_ready()) return nullptr;
    const uint64_t before = changes();
    bool from_builtins = false;
    PyObject* v = PyDict_GetItemWithError(g.dict, gl.name);
    if (!v) {
        if (PyErr_Occurred()) return nullptr;
        v = PyDict_GetItemWithError(g.builtins, gl.name);
        if (!v) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", gl.name);
            return nullptr;
        }
        from_builtins = true;
    }
    return changes() == before ? keep(gl, v, from_builtins) : v;
}
#endif

int intern_globals() {
    forget_globals();
    for (Global* gl : kGlobals)
        if (!gl->name && !(gl->name = PyUnicode_InternFromString(gl->text))) return -1;
    return 0;
}

// A function of a module whose import failed outlives the namespace it reads.
bool module_ready() {
    if (g.dict && g.builtins) return true;
    PyErr_SetString(PyExc_ImportError, "module 'c_sdk' is not initialised: its import failed");
    return false;
}

}  // namespace csdk
