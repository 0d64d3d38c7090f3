// The record classes: native heap types around a caller's mapping held in
// the single slot `data`.  Items and attributes read through the mapping's
// `get` and write through item assignment; only `data` is the instance's own.
//
// Behaviour is that of a plain class with __slots__ = ['data'], __getattr__
// and __setattr__ defined over the slot; the native parts only make the
// common paths cheap:
//   - attribute reads never create an AttributeError on the way to the
//     mapping (the fallback is taken inside tp_getattro);
//   - the field properties (fields.cpp) are a native subclass of `property` that
//     tp_getattro recognises, so a field read is one mapping lookup;
//   - an exact dict is read with PyDict_GetItemWithError (dict.get exactly)
//     and written with PyDict_SetItem; other mappings get their own `get`
//     and item assignment called;
//   - the exact classes are constructed through a vectorcall.
// Whether `self.data` may be read straight from the slot depends on the
// class: `data`, `__getattr__` and `__getattribute__` must still be the
// record's own.  That is checked once per type version (a class attribute
// assignment gives the type a new version) and remembered in a small table,
// so subclasses and patched classes keep plain-class semantics.
#include <Python.h>

#include <cstddef>
#include <vector>

#include "args.h"
#include "record_access.h"

namespace csdk {
namespace record {

// Interned names, made once per process.
PyObject* s_data = nullptr;
PyObject* s_get = nullptr;
PyObject* s_getattr = nullptr;
PyObject* s_getattribute = nullptr;
PyObject* s_str = nullptr;
PyObject* s_repr = nullptr;
PyObject* s_set_name = nullptr;
PyObject* s_slots = nullptr;
PyObject* s_module = nullptr;
PyObject* s_modname = nullptr;  // "c_sdk"

int intern_names() {
    struct Name {
        PyObject** slot;
        const char* text;
    };
    for (const Name& n : {Name{&s_data, "data"}, Name{&s_get, "get"}, Name{&s_getattr, "__getattr__"},
                          Name{&s_getattribute, "__getattribute__"}, Name{&s_str, "__str__"},
                          Name{&s_repr, "__repr__"}, Name{&s_set_name, "__set_name__"},
                          Name{&s_slots, "__slots__"}, Name{&s_module, "__module__"}, Name{&s_modname, "c_sdk"}}) {
        if (!*n.slot && !(*n.slot = PyUnicode_InternFromString(n.text))) return -1;
    }
    return 0;
}

#if CSDK_FREE_THREADED
uint64_t g_verdicts[256];
#else
Verdict g_verdicts[256];
#endif

void no_data(PyObject* obj) {
    PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute 'data'", Py_TYPE(obj)->tp_name);
}

namespace {

// key in data: 1, 0, or -1 with an exception set.
int mapping_contains(PyObject* data, PyObject* key) {
    if (PyDict_CheckExact(data)) return PyDict_Contains(data, key);
    if (!stack_left(" while testing a record's mapping")) return -1;
    int r = PySequence_Contains(data, key);
    return r;
}

// data.__str__() / data.__repr__(), the result unchecked as a method call
// would leave it.  A dict's own text forms need no method call.
PyObject* mapping_text(PyObject* data, PyObject* name) {
    if (PyDict_CheckExact(data)) return name == s_str ? PyObject_Str(data) : PyObject_Repr(data);
    if (!stack_left(" while getting a record's text")) return nullptr;
    PyObject* r = PyObject_VectorcallMethod(name, &data, 1, nullptr);
    return r;
}

// ---------------------------------------------------------------------------
// Which classes may have `self.data` read from the slot.

void record_dealloc(PyObject* self);
PyObject* record_getattro(PyObject* self, PyObject* name);
int record_setattro(PyObject* self, PyObject* name, PyObject* value);
PyObject* m_getattr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// `descr`, found on tp, is usable on its instances and belongs to a record class.
bool record_descr(PyTypeObject* tp, PyObject* descr, PyTypeObject* descr_type) {
    return Py_IS_TYPE(descr, descr_type) && PyType_IsSubtype(tp, PyDescr_TYPE(descr)) &&
           PyDescr_TYPE(descr)->tp_dealloc == record_dealloc;
}

bool check_type(PyTypeObject* tp) {
    Held held_d = type_lookup(tp, s_data);
    PyObject* d = held_d.get();
    if (!d || !record_descr(tp, d, &PyMemberDescr_Type)) return false;
    PyMemberDef* m = reinterpret_cast<PyMemberDescrObject*>(d)->d_member;
    if (m->type != Py_T_OBJECT_EX || m->offset != offsetof(Record, data) || (m->flags & Py_READONLY)) return false;
    Held held_ga = type_lookup(tp, s_getattr);
    PyObject* ga = held_ga.get();
    if (!ga || !record_descr(tp, ga, &PyMethodDescr_Type) ||
        reinterpret_cast<PyMethodDescrObject*>(ga)->d_method->ml_meth != reinterpret_cast<PyCFunction>(
                                                                              reinterpret_cast<void (*)(void)>(m_getattr)))
        return false;
    Held held_gab = type_lookup(tp, s_getattribute);
    PyObject* gab = held_gab.get();
    return gab && record_descr(tp, gab, &PyWrapperDescr_Type) &&
           reinterpret_cast<PyWrapperDescrObject*>(gab)->d_wrapped == reinterpret_cast<void*>(record_getattro);
}

int record_init(PyObject* self, PyObject* args, PyObject* kwds);

}  // namespace

unsigned char verify_type(PyTypeObject* tp) {
    unsigned char bits = 0;
    if (check_type(tp)) {
        bits = kFastData;
        if (tp->tp_dealloc == record_dealloc && tp->tp_init == record_init &&
            tp->tp_new == PyBaseObject_Type.tp_new && tp->tp_setattro == record_setattro)
            bits |= kFastNew;
    }
    if (unsigned int tag = type_version(tp)) remember(tag, bits);
    return bits;
}

PyObject* record_get_slow(PyObject* self, PyObject* key) {
    Ref d = record_data(self);
    return d ? mapping_get(d.get(), key) : nullptr;
}

namespace {

// 1 when `name` equals "data", 0 when not, -1 on error; `item != 'data'`.
[[gnu::always_inline]] inline int is_data_name(PyObject* name) {
    if (name == s_data) return 1;
    if (PyUnicode_CheckExact(name)) return PyUnicode_GET_LENGTH(name) == 4 && PyUnicode_Compare(name, s_data) == 0;
    int ne = PyObject_RichCompareBool(name, s_data, Py_NE);
    return ne < 0 ? -1 : !ne;
}

// The record's __setattr__: `data` goes to object.__setattr__ (the slot),
// every other name into the mapping.
[[gnu::always_inline]] inline int set_attribute(PyObject* self, PyObject* name, PyObject* value) {
    int is_data = is_data_name(name);
    if (is_data < 0) return -1;
    if (is_data) return PyObject_GenericSetAttr(self, name, value);
    return record_set(self, name, value);
}

// The record's __init__: self.data = data, through the class's own
// attribute assignment.
int init_data(PyObject* self, PyObject* data) {
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_setattro == record_setattro && fast_type(tp)) {
        store_slot(self, Py_NewRef(data));
        return 0;
    }
    return PyObject_SetAttr(self, s_data, data);
}

// ---------------------------------------------------------------------------
// The record type's slots.

void free_record(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    Py_CLEAR(slot_of(self));
    tp->tp_free(self);
    Py_DECREF(tp);
}

// A record holding a record holding a record ... is dropped through the
// trashcan, which bounds the C recursion; a dict (the usual mapping) has its
// own, so the common case skips it.
void record_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    PyObject* d = slot_of(self);
    if (!d || PyDict_CheckExact(d)) return free_record(self);
    Py_TRASHCAN_BEGIN(self, record_dealloc)
    free_record(self);
    Py_TRASHCAN_END
}

int record_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(slot_of(self));
    return 0;
}

int record_clear(PyObject* self) {
    Py_CLEAR(slot_of(self));
    return 0;
}

// Ordinary lookup has failed: __getattr__(name).  The type is read here, not
// handed down: the lookup that failed may have run Python code (a key's
// __eq__, a descriptor) that assigned __class__ and dropped the old class.
PyObject* getattr_fallback(PyObject* self, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(self);
    if (fast_type(tp)) {
        Ref d = load_slot(self);
        if (!d) {
            no_data(self);
            return nullptr;
        }
        return mapping_get(d.get(), name);
    }
    // Called as __getattribute__ (by the interpreter's hook, which then calls
    // __getattr__ itself, or by a subclass's own __getattribute__), ordinary
    // lookup reports the miss, as object.__getattribute__ would.
    if (tp->tp_getattro == record_getattro) {
        Held held_ga = type_lookup(tp, s_getattr);
        PyObject* ga = held_ga.get();
        if (ga && record_descr(tp, ga, &PyMethodDescr_Type) &&
            reinterpret_cast<PyMethodDescrObject*>(ga)->d_method->ml_meth ==
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(m_getattr)))
            return record_get(self, name);
    }
    PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%U'", tp->tp_name, name);
    return nullptr;
}

PyObject* record_getattro(PyObject* self, PyObject* name) {
    if (!PyUnicode_Check(name)) return PyObject_GenericGetAttr(self, name);
    PyTypeObject* tp = Py_TYPE(self);
    Held held_descr = type_lookup(tp, name);
    PyObject* descr = held_descr.get();
    if (descr) {
        if (Py_IS_TYPE(descr, g_field_type) && extra(descr)->key) {
            // What generic lookup would do with this data descriptor.
            PyObject* r = field_read(self, extra(descr)->key);
            if (r || !PyErr_ExceptionMatches(PyExc_AttributeError)) return r;
            PyErr_Clear();
            return getattr_fallback(self, name);
        }
    } else if (tp->tp_dictoffset == 0) {
        return getattr_fallback(self, name);  // nothing else could answer
    }
    PyObject* r = generic_getattr_no_raise(self, name);
    if (r || PyErr_Occurred()) return r;
    return getattr_fallback(self, name);
}

int record_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (!value) return PyObject_GenericSetAttr(self, name, nullptr);  // object.__delattr__
    return set_attribute(self, name, value);
}

PyObject* record_subscript(PyObject* self, PyObject* key) { return record_get(self, key); }

int record_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    if (!value) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object doesn't support item deletion", Py_TYPE(self)->tp_name);
        return -1;
    }
    return record_set(self, key, value);
}

int record_contains(PyObject* self, PyObject* key) {
    Ref d = record_data(self);
    return d ? mapping_contains(d.get(), key) : -1;
}

PyObject* record_str(PyObject* self) {
    Ref d = record_data(self);
    return d ? mapping_text(d.get(), s_str) : nullptr;
}

PyObject* record_repr(PyObject* self) {
    Ref d = record_data(self);
    return d ? mapping_text(d.get(), s_repr) : nullptr;
}

const char* const kData[] = {"data"};
const char* const kItem[] = {"item"};
const char* const kKey[] = {"key"};
const char* const kItemValue[] = {"item", "value"};
Keys k_data(kData);
Keys k_item(kItem);
Keys k_key(kKey);
Keys k_item_value(kItemValue);

int record_init(PyObject* self, PyObject* args, PyObject* kwds) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* data = nullptr;
    if (!kwds || PyDict_GET_SIZE(kwds) == 0) {
        if (!bind("__init__", k_data, reinterpret_cast<PyTupleObject*>(args)->ob_item, nargs, nullptr, &data)) return -1;
        return init_data(self, data);
    }
    // Keywords: lay the call out as a vectorcall.
    Py_ssize_t nkw = PyDict_GET_SIZE(kwds);
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) return -1;
    std::vector<PyObject*> stack(static_cast<size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t pos = 0, j = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwds, &pos, &k, &v)) {
        PyTuple_SET_ITEM(kwnames.get(), j, Py_NewRef(k));
        stack[static_cast<size_t>(nargs + j)] = v;
        ++j;
    }
    if (!bind("__init__", k_data, stack.data(), nargs, kwnames.get(), &data)) return -1;
    Ref hold = Ref::borrow(data);
    return init_data(self, data);
}

// TickLikeDict2(data) on the exact classes: allocate and fill the slot, as
// object.__new__ followed by __init__ would.
[[gnu::always_inline]] inline PyObject* new_record(PyTypeObject* tp, PyObject* data) {
    return new_collected<Record>(tp, [data](Record* self) { self->data = Py_NewRef(data); });
}

// Everything but the fast path below: a class not yet verified, arguments
// the binder has to sort out, and every class but the exact ones, which go
// through the type's tp_call.
[[gnu::noinline]] PyObject* construct_slow(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    if (!(verdict(tp) & kFastNew)) return call_tp_call(type, args, nargs, kwnames);
    PyObject* v[1] = {};
    if (!bind("__init__", k_data, args, nargs, kwnames, v)) return nullptr;
    return new_record(tp, v[0]);
}

}  // namespace

// TickLikeDict2(d) once the class is verified, with no call before the
// allocation, so that the fast path keeps few values across calls.
PyObject* record_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (known_fast(tp, kFastNew) && k_data.in_place(nargs, kwnames)) return new_record(tp, args[0]);
    return construct_slow(type, args, nargs, kwnames);
}

namespace {

// ---------------------------------------------------------------------------
// The members with parameters, as methods that bind keywords too; the slots
// above stay for the interpreter's own use.

PyObject* m_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data = nullptr;
    if (!bind("__init__", k_data, args, nargs, kwnames, &data)) return nullptr;
    if (init_data(self, data) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* m_getitem(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* item = nullptr;
    if (!bind("__getitem__", k_item, args, nargs, kwnames, &item)) return nullptr;
    return record_get(self, item);
}

PyObject* m_setitem(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* v[2] = {};
    if (!bind("__setitem__", k_item_value, args, nargs, kwnames, v)) return nullptr;
    if (record_set(self, v[0], v[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* m_getattr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* item = nullptr;
    if (!bind("__getattr__", k_item, args, nargs, kwnames, &item)) return nullptr;
    return record_get(self, item);
}

PyObject* m_setattr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* v[2] = {};
    if (!bind("__setattr__", k_item_value, args, nargs, kwnames, v)) return nullptr;
    if (set_attribute(self, v[0], v[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* m_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* key = nullptr;
    if (!bind("__contains__", k_key, args, nargs, kwnames, &key)) return nullptr;
    int r = record_contains(self, key);
    if (r < 0) return nullptr;
    return PyBool_FromLong(r);
}

template <typename F>
constexpr PyCFunction meth(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

constexpr int kMethFlags = METH_FASTCALL | METH_KEYWORDS | METH_COEXIST;

// The docstrings carry only text signatures, so __doc__ stays None.
PyMethodDef kMethods[] = {
    {"__init__", meth(m_init), kMethFlags, "__init__($self, /, data)\n--\n\n"},
    {"__getitem__", meth(m_getitem), kMethFlags, "__getitem__($self, /, item)\n--\n\n"},
    {"__setitem__", meth(m_setitem), kMethFlags, "__setitem__($self, /, item, value)\n--\n\n"},
    {"__getattr__", meth(m_getattr), kMethFlags, "__getattr__($self, /, item)\n--\n\n"},
    {"__setattr__", meth(m_setattr), kMethFlags, "__setattr__($self, /, item, value)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kBarMethods[] = {
    {"__init__", meth(m_init), kMethFlags, "__init__($self, /, data)\n--\n\n"},
    {"__getitem__", meth(m_getitem), kMethFlags, "__getitem__($self, /, item)\n--\n\n"},
    {"__setitem__", meth(m_setitem), kMethFlags, "__setitem__($self, /, item, value)\n--\n\n"},
    {"__contains__", meth(m_contains), kMethFlags, "__contains__($self, /, key)\n--\n\n"},
    {"__getattr__", meth(m_getattr), kMethFlags, "__getattr__($self, /, item)\n--\n\n"},
    {"__setattr__", meth(m_setattr), kMethFlags, "__setattr__($self, /, item, value)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kMembers[] = {
    {"data", Py_T_OBJECT_EX, offsetof(Record, data), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

#define RECORD_SLOTS(methods)                                                   \
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc)},                   \
        {Py_tp_traverse, reinterpret_cast<void*>(record_traverse)},             \
        {Py_tp_clear, reinterpret_cast<void*>(record_clear)},                   \
        {Py_tp_getattro, reinterpret_cast<void*>(record_getattro)},             \
        {Py_tp_setattro, reinterpret_cast<void*>(record_setattro)},             \
        {Py_tp_str, reinterpret_cast<void*>(record_str)},                       \
        {Py_tp_repr, reinterpret_cast<void*>(record_repr)},                     \
        {Py_tp_init, reinterpret_cast<void*>(record_init)},                     \
        {Py_mp_subscript, reinterpret_cast<void*>(record_subscript)},           \
        {Py_mp_ass_subscript, reinterpret_cast<void*>(record_ass_subscript)},   \
        {Py_tp_methods, methods}, {Py_tp_members, kMembers}

}  // namespace

PyType_Slot kSlots[] = {RECORD_SLOTS(kMethods), {0, nullptr}};
PyType_Slot kBarSlots[] = {RECORD_SLOTS(kBarMethods), {Py_sq_contains, reinterpret_cast<void*>(record_contains)},
                           {0, nullptr}};
#undef RECORD_SLOTS

}  // namespace record
}  // namespace csdk
