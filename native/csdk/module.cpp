// Module initialisation: the create and execute steps, and the namespace
// filled in its order.
#include <cstdio>

#include "args.h"
#include "module.h"
#include "records.h"

namespace csdk {

ModuleState g;

PyObject* new_function(PyMethodDef* def) { return PyCMethod_New(def, g.module, g.modname, nullptr); }

namespace {

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))
PyMethodDef kHelpers[] = {
    {"is_windows", FASTCALL(is_windows), METH_FASTCALL | METH_KEYWORDS, "is_windows($module, /)\n--\n\n"},
    {"is_linux", FASTCALL(is_linux), METH_FASTCALL | METH_KEYWORDS, "is_linux($module, /)\n--\n\n"},
    {"adapt_to_python3", FASTCALL(adapt_to_python3), METH_FASTCALL | METH_KEYWORDS,
     "adapt_to_python3($module, /, func)\n--\n\n使模块同时支持Python 3和Python 2"},
    {"c_status_ok", FASTCALL(c_status_ok), METH_FASTCALL | METH_KEYWORDS,
     "c_status_ok($module, /, status)\n--\n\n\n    c api 调用返回值status是否ok\n    "},
    {"c_status_fail", FASTCALL(c_status_fail), METH_FASTCALL | METH_KEYWORDS,
     "c_status_fail($module, /, status, cfunname='')\n--\n\n\n    c api 调用返回值status是否fail\n    "},
};

int bind_new(PyObject* dict, const char* name, PyObject* value) {
    Ref v = Ref::steal(value);
    return v ? PyDict_SetItemString(dict, name, v.get()) : -1;
}

// import <name>
int import_module(PyObject* dict, const char* name) {
    Ref n = Ref::steal(PyUnicode_FromString(name));
    if (!n) return -1;
    return bind_new(dict, name, PyImport_ImportModuleLevelObject(n.get(), dict, nullptr, nullptr, 0));
}

// from <module> import <name>
int import_from(PyObject* dict, const char* module, const char* name) {
    Ref mod_name = Ref::steal(PyUnicode_FromString(module));
    Ref attr = Ref::steal(PyUnicode_FromString(name));
    if (!mod_name || !attr) return -1;
    Ref fromlist = Ref::steal(PyTuple_Pack(1, attr.get()));
    if (!fromlist) return -1;
    Ref mod = Ref::steal(PyImport_ImportModuleLevelObject(mod_name.get(), dict, nullptr, fromlist.get(), 0));
    if (!mod) return -1;
    Ref value = Ref::steal(PyObject_GetAttr(mod.get(), attr.get()));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        // A submodule of that dotted name already imported counts too.
        Ref full = Ref::steal(PyUnicode_FromFormat("%s.%s", module, name));
        if (!full) return -1;
        PyObject* sub = PyImport_GetModule(full.get());
        if (!sub) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", attr.get());
            return -1;
        }
        value = Ref::steal(sub);
    }
    return PyDict_SetItem(dict, attr.get(), value.get());
}

int check_version() {
    int major = static_cast<int>((Py_Version >> 24) & 0xff);
    int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, "c_sdk", "does not match", major, minor);
}

// The module body, statement by statement.
int fill(PyObject* module, PyObject* dict) {
    if (intern_globals() < 0 || events_init() < 0 || adapter_init(module) < 0) return -1;
    if (!g.modname && !(g.modname = PyUnicode_InternFromString("c_sdk"))) return -1;
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (!builtins || PyDict_SetItemString(dict, "__builtins__", builtins) < 0) return -1;
    g.builtins = Py_NewRef(PyModule_GetDict(builtins));
    if (watch_globals() < 0) return -1;

    if (import_module(dict, "functools") < 0 || import_module(dict, "platform") < 0) return -1;
    if (import_from(dict, "zq.constant", "CSDK_OPERATE_SUCCESS") < 0) return -1;
    if (import_from(dict, "zq.utils", "zqsdklogger") < 0) return -1;
    if (PyDict_SetItemString(dict, "IS_PY2", Py_False) < 0 || PyDict_SetItemString(dict, "IS_PY3", Py_True) < 0)
        return -1;
    if (add_record_classes(module, dict) < 0) return -1;
    for (PyMethodDef& def : kHelpers)
        if (bind_new(dict, def.ml_name, new_function(&def)) < 0) return -1;
    if (add_wrappers(dict) < 0) return -1;
    if (bind_new(dict, "__test__", PyDict_New()) < 0) return -1;
    return add_direct_callables(dict);
}

void forget() {
    Py_CLEAR(g.module);
    Py_CLEAR(g.builtins);
    g.dict = nullptr;
    forget_globals();
}

int64_t g_interpreter = -1;

PyObject* create(PyObject* spec, PyModuleDef*) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (g_interpreter == -1) {
        g_interpreter = id;
    } else if (g_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (g.module) return Py_NewRef(g.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    struct Copy {
        const char* from;
        const char* to;
        bool none_too;
    };
    for (const Copy& c : {Copy{"loader", "__loader__", true}, Copy{"origin", "__file__", true},
                          Copy{"parent", "__package__", true}, Copy{"submodule_search_locations", "__path__", false}}) {
        Ref v = Ref::steal(PyObject_GetAttrString(spec, c.from));
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if ((c.none_too || v.get() != Py_None) && PyDict_SetItemString(dict, c.to, v.get()) < 0) return nullptr;
    }
    return module.release();
}

int exec(PyObject* module) {
    if (g.module) {
        if (g.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'c_sdk' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g.module = Py_NewRef(module);
    g.dict = PyModule_GetDict(module);
    if (check_version() < 0 || fill(module, g.dict) < 0) {
        forget();
        return -1;
    }
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    CSDK_CAPABILITY_SLOTS
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "c_sdk", nullptr, 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace csdk

PyMODINIT_FUNC PyInit_c_sdk(void) { return PyModuleDef_Init(&csdk::kModule); }
