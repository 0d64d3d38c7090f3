// adapt_to_python3 and the platform tests.  The adapter is on the hot path of
// sixty wrappers, so it is a native vectorcall object: with no str among the
// arguments it hands the caller's argument vector on untouched.
#include <cstddef>
#include <cstring>
#include <vector>

#include "args.h"
#include "module.h"

namespace csdk {

namespace {

struct Adapter {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* func;
};

PyTypeObject* g_adapter_type = nullptr;

// str.encode("ascii"); a subclass's own encode is honoured.
PyObject* encode_ascii(PyObject* s) {
    if (PyUnicode_CheckExact(s)) return PyUnicode_AsASCIIString(s);
    PyObject* meth = CSDK_INTERNED("encode");
    PyObject* codec = CSDK_INTERNED("ascii");
    if (!meth || !codec) return nullptr;
    PyObject* argv[2] = {s, codec};
    return PyObject_VectorcallMethod(meth, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// The adapted wrappers are this module's own fast-call functions: they are
// entered straight through their C function, as the interpreter's trampoline
// would after its result check, which they do not need (they return a result
// or raise).  Anything else is called the ordinary way.  The recursion check
// the trampoline would make is the adapter's own (adapter_call).
PyObject* call_func(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (PyCFunction_CheckExact(func) && PyCFunction_GET_SELF(func) == g.module &&
        PyCFunction_GET_FLAGS(func) == (METH_FASTCALL | METH_KEYWORDS)) {
        auto fn = reinterpret_cast<PyCFunctionFastWithKeywords>(
            reinterpret_cast<void (*)(void)>(PyCFunction_GET_FUNCTION(func)));
        return fn(g.module, args, PyVectorcall_NARGS(nargsf), kwnames);
    }
    return PyObject_Vectorcall(func, args, nargsf, kwnames);
}

// The argument vector handed on when some argument is a str: the caller's
// objects with each str from `first` on replaced by its encoding, which this
// object owns until the call is over.  Slot 0 is spare, so the callee may use
// it (PY_VECTORCALL_ARGUMENTS_OFFSET); the caller's vector is never written.
class Encoded {
public:
    Encoded(PyObject* const* args, Py_ssize_t total) : args_(args), total_(total) {
        if (total + 1 > kSmall) {
            large_.resize(static_cast<size_t>(total + 1));
            base_ = large_.data();
        }
    }
    Encoded(const Encoded&) = delete;
    Encoded& operator=(const Encoded&) = delete;
    // Every str's encoding is owned, even one that is the str itself (a
    // subclass's encode() may return self).
    ~Encoded() {
        PyObject** v = base_ + 1;
        for (Py_ssize_t i = first_; i < done_; ++i)
            if (PyUnicode_Check(args_[i])) Py_DECREF(v[i]);
    }
    // false with the encoding's exception set; nothing is called then.
    bool fill(Py_ssize_t first) {
        PyObject** v = base_ + 1;
        first_ = done_ = first;
        for (Py_ssize_t i = 0; i < first; ++i) v[i] = args_[i];
        for (Py_ssize_t i = first; i < total_; ++i) {
            PyObject* a = args_[i];
            if (PyUnicode_Check(a) && !(a = encode_ascii(a))) return false;
            v[i] = a;
            done_ = i + 1;
        }
        return true;
    }
    PyObject* const* vector() const { return base_ + 1; }

private:
    static constexpr Py_ssize_t kSmall = 17;
    PyObject* const* args_;
    Py_ssize_t total_;
    Py_ssize_t first_ = 0, done_ = 0;
    PyObject* small_[kSmall];
    PyObject** base_ = small_;
    std::vector<PyObject*> large_;
};

// The call proper: no str among the arguments hands the caller's vector on.
PyObject* forward(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    int py2 = py2_flag();
    if (py2 < 0) return nullptr;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    Py_ssize_t first = 0;
    if (!py2)
        while (first < total && !PyUnicode_Check(args[first])) ++first;
    if (py2 || first == total) return call_func(func, args, nargsf, kwnames);

    // Encode every str from the first one on; the caller's arguments and
    // keyword names stay as they were.
    Encoded vec(args, total);
    if (!vec.fill(first)) return nullptr;
    return call_func(func, vec.vector(), static_cast<size_t>(nargs) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

// An adapter calls on without passing through the interpreter's frames, so a
// loop of adapters (nested ones, or one forwarding events back into the core)
// is bounded here, by the stack left (stack.h).
PyObject* adapter_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (!stack_left(" while calling a Python object")) return nullptr;
    Ref keep = Ref::borrow(reinterpret_cast<Adapter*>(self)->func);  // the call may drop the adapter itself
    PyObject* r = forward(keep.get(), args, nargsf, kwnames);
    return r;
}

int adapter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<Adapter*>(self)->func);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int adapter_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<Adapter*>(self)->func);
    return 0;
}

// Through the trashcan: dropping an adapter of an adapter of ... would
// otherwise recurse once per level on the C stack.
void adapter_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, adapter_dealloc)
    adapter_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

PyObject* adapter_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function adapt_to_python3.<locals>.wrapper at %p>", self);
}

// Like any function, an adapter stored on a class binds to the instance.
PyObject* adapter_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* get_name(PyObject*, void*) { return PyUnicode_FromString("wrapper"); }
PyObject* get_qualname(PyObject*, void*) { return PyUnicode_FromString("adapt_to_python3.<locals>.wrapper"); }
PyObject* get_module(PyObject*, void*) { return Py_NewRef(g.modname); }
PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }
// What inspect.signature reports, as for def wrapper(*args, **kwargs).
PyObject* get_text_signature(PyObject*, void*) { return PyUnicode_FromString("(*args, **kwargs)"); }

PyGetSetDef adapter_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef adapter_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Adapter, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot adapter_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(adapter_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(adapter_descr_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(adapter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(adapter_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(adapter_dealloc)},
    {Py_tp_getset, adapter_getset},
    {Py_tp_members, adapter_members},
    {0, nullptr},
};

PyType_Spec adapter_spec = {
    "c_sdk.adapter", sizeof(Adapter), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_METHOD_DESCRIPTOR,
    adapter_slots,
};

const char* const kAdaptNames[] = {"func"};
Keys kAdaptKeys(kAdaptNames);

PyObject* call_no_args(PyObject* self, PyObject* meth) {
    return meth ? PyObject_CallMethodNoArgs(self, meth) : nullptr;
}

// platform.uname()[0].lower() == name
PyObject* system_is(const char* func, const char* name, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_none(func, nargs, kwnames)) return nullptr;
    Held held_found = lookup(G_PLATFORM);
    PyObject* found = held_found.get();
    if (!found) return nullptr;
    Ref platform = Ref::borrow(found);
    Ref uname = Ref::steal(call_no_args(platform.get(), CSDK_INTERNED("uname")));
    if (!uname) return nullptr;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    Ref system = Ref::steal(PyObject_GetItem(uname.get(), zero.get()));
    if (!system) return nullptr;
    Ref lowered = Ref::steal(call_no_args(system.get(), CSDK_INTERNED("lower")));
    if (!lowered) return nullptr;
    Ref expected = Ref::steal(PyUnicode_FromString(name));
    if (!expected) return nullptr;
    return PyObject_RichCompare(lowered.get(), expected.get(), Py_EQ);
}

}  // namespace

int adapter_init(PyObject* module) {
    if (g_adapter_type) return 0;
    g_adapter_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &adapter_spec, nullptr));
    return g_adapter_type ? 0 : -1;
}

PyObject* adapt(PyObject* func) {
    Adapter* a = PyObject_GC_New(Adapter, g_adapter_type);
    if (!a) return nullptr;
    a->vectorcall = adapter_call;
    a->func = Py_NewRef(func);
    PyObject_GC_Track(a);
    return reinterpret_cast<PyObject*>(a);
}

PyObject* adapt_to_python3(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* v[1] = {};
    if (!bind("adapt_to_python3", kAdaptKeys, args, nargs, kwnames, v)) return nullptr;
    return adapt(v[0]);
}

PyObject* is_windows(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return system_is("is_windows", "windows", nargs, kwnames);
}

PyObject* is_linux(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return system_is("is_linux", "linux", nargs, kwnames);
}

}  // namespace csdk
