// The record classes themselves: each made from its type spec, with its
// field properties, and its namespace laid out as a class statement would
// lay it out.  Their behaviour is in records.cpp.
#include <Python.h>

#include <cstddef>
#include <iterator>
#include <vector>

#include "record_access.h"
#include "records.h"

namespace csdk {
namespace record {
namespace {

constexpr unsigned int kRecordFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

// One class: its type shape, its fields and the order of its namespace.
struct Kind {
    PyType_Spec shape;
    int fields;  // index into kFieldNames, or -1
    bool writable;
    std::vector<const char*> order;  // members before the fields
};

const char* const kPlainOrder[] = {"__init__", "__getitem__", "__setitem__", "__getattr__",
                                   "__setattr__", "__str__", "__repr__"};

Kind* kinds() {
    static Kind k[4] = {
        {{"c_sdk.QuoteItemLikeDict2", sizeof(Record), 0, kRecordFlags, kSlots}, 0, false,
         {std::begin(kPlainOrder), std::end(kPlainOrder)}},
        {{"c_sdk.TickLikeDict2", sizeof(Record), 0, kRecordFlags, kSlots}, 1, true,
         {std::begin(kPlainOrder), std::end(kPlainOrder)}},
        {{"c_sdk.BarLikeDict2", sizeof(Record), 0, kRecordFlags, kBarSlots}, 2, true,
         {"__init__", "__getitem__", "__setitem__", "__contains__", "__getattr__", "__setattr__", "__str__",
          "__repr__"}},
        {{"c_sdk.ObjectLikeDict2", sizeof(Record), 0, kRecordFlags, kSlots}, -1, false,
         {"__init__", "__getitem__", "__getattr__", "__setitem__", "__setattr__", "__str__", "__repr__"}},
    };
    return k;
}

PyObject* g_types[4] = {};  // the current classes, strong

// Rebuilds the class namespace in the order of a class statement:
// __module__, __slots__, the members, the fields, then what the type
// machinery added (data, __doc__ and the slot wrappers).
int order_namespace(PyTypeObject* tp, const Kind& kind, const std::vector<Ref>& fields) {
    PyObject* ns = tp->tp_dict;
    Ref old = Ref::steal(PyDict_Copy(ns));
    if (!old) return -1;
    Ref slots = Ref::steal(Py_BuildValue("[O]", s_data));
    if (!slots) return -1;
    PyDict_Clear(ns);
    auto move = [&](PyObject* name) -> int {
        PyObject* v = PyDict_GetItemWithError(old.get(), name);
        if (!v) return PyErr_Occurred() ? -1 : 0;
        return PyDict_SetItem(ns, name, v);
    };
    if (move(s_module) < 0 || PyDict_SetItem(ns, s_slots, slots.get()) < 0) return -1;
    for (const char* m : kind.order) {
        Ref name = Ref::steal(PyUnicode_InternFromString(m));
        if (!name || move(name.get()) < 0) return -1;
    }
    if (kind.fields >= 0)
        for (int i = 0; i < kFieldCounts[kind.fields]; ++i)
            if (PyDict_SetItem(ns, g_keys[kind.fields][i], fields[static_cast<size_t>(i)].get()) < 0) return -1;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(old.get(), &pos, &k, &v)) {
        int has = PyDict_Contains(ns, k);
        if (has < 0 || (!has && PyDict_SetItem(ns, k, v) < 0)) return -1;
    }
    PyType_Modified(tp);
    return 0;
}

Ref make_record_type(PyObject* module, Kind& kind) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &kind.shape, nullptr));
    if (!type) return Ref();
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
    std::vector<Ref> fields;
    if (kind.fields >= 0) {
        for (int i = 0; i < kFieldCounts[kind.fields]; ++i) {
            fields.push_back(make_field(module, type.get(), kind.fields, i, kind.writable));
            if (!fields.back()) return Ref();
        }
    }
    if (order_namespace(tp, kind, fields) < 0) return Ref();
    // Messages name the class as a class statement's would: the bare name,
    // which the type keeps alive in __name__ (assigning __name__ resets it).
    const char* bare = PyUnicode_AsUTF8(reinterpret_cast<PyHeapTypeObject*>(tp)->ht_name);
    if (!bare) return Ref();
    tp->tp_name = bare;
    tp->tp_vectorcall = record_vectorcall;
    return type;
}

}  // namespace
}  // namespace record

int add_record_classes(PyObject* module, PyObject* dict) {
    using namespace record;
    if (intern_names() < 0 || init_fields() < 0) return -1;
    if (!g_field_type && make_field_type() < 0) return -1;
    Kind* k = kinds();
    for (int i = 0; i < 4; ++i) {
        Ref type = make_record_type(module, k[i]);
        if (!type) return -1;
        const char* name = k[i].shape.name + sizeof("c_sdk.") - 1;
        if (PyDict_SetItemString(dict, name, type.get()) < 0) return -1;
        Py_XSETREF(g_types[i], type.release());
    }
    return 0;
}

}  // namespace csdk
