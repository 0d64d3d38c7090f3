// The field properties of the record classes: a native subclass of
// `property` that carries the mapping key, so that tp_getattro can read a
// field without calling the getter, and the getter and setter functions, one
// pair per field.  An instance that property.__init__ has run on again (or a
// copy made by getter()/setter()) has no key and is an ordinary property.
#include "record_access.h"


#include <cstddef>
#include <string>
#include <utility>

#include "args.h"

namespace csdk {
namespace record {

PyTypeObject* g_field_type = nullptr;
Py_ssize_t g_extra_offset = 0;

namespace {

// The setter: obj.data[key] = value.
int field_write(PyObject* obj, PyObject* key, PyObject* value) { return record_set(obj, key, value); }

PyObject* field_descr_get(PyObject* self, PyObject* obj, PyObject* type) {
    PyObject* key = extra(self)->key;
    if (!key) return PyProperty_Type.tp_descr_get(self, obj, type);
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return field_read(obj, key);
}

int field_descr_set(PyObject* self, PyObject* obj, PyObject* value) {
    FieldExtra* x = extra(self);
    // Deletion, read-only fields and plain properties: property's own answer.
    if (!x->key || !value || !x->writable) return PyProperty_Type.tp_descr_set(self, obj, value);
    return field_write(obj, x->key, value);
}

int field_init(PyObject* self, PyObject* args, PyObject* kwds) {
    int r = PyProperty_Type.tp_init(self, args, kwds);
    Py_CLEAR(extra(self)->key);  // the functions may have changed
    return r;
}

int field_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(extra(self)->doc);
    return PyProperty_Type.tp_traverse(self, visit, arg);
}

int field_clear(PyObject* self) {
    Py_CLEAR(extra(self)->doc);
    return PyProperty_Type.tp_clear ? PyProperty_Type.tp_clear(self) : 0;
}

void field_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    Py_CLEAR(extra(self)->doc);
    Py_CLEAR(extra(self)->key);
    PyProperty_Type.tp_dealloc(self);  // untracks and frees
    Py_DECREF(tp);
}

PyMemberDef g_field_members[] = {
    {"__doc__", CSDK_T_OBJECT_OR_NONE, 0, 0, nullptr},  // offset set at creation
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

int make_field_type() {
    constexpr Py_ssize_t align = alignof(FieldExtra);
    g_extra_offset = (PyProperty_Type.tp_basicsize + align - 1) / align * align;
    g_field_members[0].offset = g_extra_offset + static_cast<Py_ssize_t>(offsetof(FieldExtra, doc));
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(field_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(field_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(field_clear)},
        {Py_tp_descr_get, reinterpret_cast<void*>(field_descr_get)},
        {Py_tp_descr_set, reinterpret_cast<void*>(field_descr_set)},
        {Py_tp_init, reinterpret_cast<void*>(field_init)},
        {Py_tp_members, g_field_members},
        {0, nullptr},
    };
    static PyType_Spec shape = {
        "c_sdk.field_property", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, slots,
    };
    shape.basicsize = static_cast<int>(g_extra_offset + static_cast<Py_ssize_t>(sizeof(FieldExtra)));
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyProperty_Type)));
    if (!bases) return -1;
    PyObject* t = PyType_FromSpecWithBases(&shape, bases.get());
    if (!t) return -1;
    g_field_type = reinterpret_cast<PyTypeObject*>(t);
    return 0;
}

// ---------------------------------------------------------------------------
// Field getter and setter functions, one pair per field.

PyObject* g_keys[3][kMaxFields];

namespace {

constexpr const char* kQuoteFields[] = {"bid_p", "bid_v", "ask_p", "ask_v"};
constexpr const char* kTickFields[] = {"quotes",       "symbol",       "created_at",  "price",       "open",
                                       "high",         "low",          "cum_volume",  "cum_amount",  "cum_position",
                                       "last_amount",  "last_volume",  "trade_type",  "receive_local_time"};
constexpr const char* kBarFields[] = {"symbol", "eob",       "bob",      "open",      "close",
                                      "high",   "low",       "volume",   "amount",    "pre_close",
                                      "position", "frequency", "receive_local_time"};

constexpr const char* const* kFieldNames[] = {kQuoteFields, kTickFields, kBarFields};

PyMethodDef g_getter_defs[3][kMaxFields];
PyMethodDef g_setter_defs[3][kMaxFields];
std::string g_getter_docs[3][kMaxFields];  // text signatures only
std::string g_setter_docs[3][kMaxFields];

const char* const kSelf[] = {"self"};
const char* const kSelfValue[] = {"self", "value"};
Keys k_self(kSelf);
Keys k_self_value(kSelfValue);

template <int K, int I>
PyObject* field_getter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* obj = nullptr;
    if (!bind(kFieldNames[K][I], k_self, args, nargs, kwnames, &obj)) return nullptr;
    return field_read(obj, g_keys[K][I]);
}

template <int K, int I>
PyObject* field_setter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* v[2] = {};
    if (!bind(kFieldNames[K][I], k_self_value, args, nargs, kwnames, v)) return nullptr;
    if (field_write(v[0], g_keys[K][I], v[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

template <int K, size_t... I>
void fill_field_defs(std::index_sequence<I...>) {
    constexpr int flags = METH_FASTCALL | METH_KEYWORDS;
    ((g_getter_defs[K][I] = PyMethodDef{kFieldNames[K][I],
                                        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(
                                            field_getter<K, static_cast<int>(I)>)),
                                        flags, nullptr}),
     ...);
    ((g_setter_defs[K][I] = PyMethodDef{kFieldNames[K][I],
                                        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(
                                            field_setter<K, static_cast<int>(I)>)),
                                        flags, nullptr}),
     ...);
}

}  // namespace

int init_fields() {
    static bool done = false;
    if (done) return 0;
    fill_field_defs<0>(std::make_index_sequence<4>());
    fill_field_defs<1>(std::make_index_sequence<14>());
    fill_field_defs<2>(std::make_index_sequence<13>());
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < kFieldCounts[k]; ++i) {
            if (!g_keys[k][i] && !(g_keys[k][i] = PyUnicode_InternFromString(kFieldNames[k][i]))) return -1;
            g_getter_docs[k][i] = std::string(kFieldNames[k][i]) + "($module, /, self)\n--\n\n";
            g_setter_docs[k][i] = std::string(kFieldNames[k][i]) + "($module, /, self, value)\n--\n\n";
            g_getter_defs[k][i].ml_doc = g_getter_docs[k][i].c_str();
            g_setter_defs[k][i].ml_doc = g_setter_docs[k][i].c_str();
        }
    done = true;
    return 0;
}

// A field property on `type`: property(getter, setter or None), keyed.
Ref make_field(PyObject* module, PyObject* type, int k, int i, bool writable) {
    Ref fget = Ref::steal(PyCFunction_NewEx(&g_getter_defs[k][i], module, s_modname));
    if (!fget) return Ref();
    Ref fset = writable ? Ref::steal(PyCFunction_NewEx(&g_setter_defs[k][i], module, s_modname))
                        : Ref::borrow(Py_None);
    if (!fset) return Ref();
    Ref prop = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(g_field_type), fget.get(),
                                                       fset.get(), nullptr));
    if (!prop) return Ref();
    PyObject* key = g_keys[k][i];
    Ref named = Ref::steal(PyObject_CallMethodObjArgs(prop.get(), s_set_name, type, key, nullptr));
    if (!named) return Ref();
    FieldExtra* x = extra(prop.get());
    x->key = Py_NewRef(key);
    x->writable = writable;
    return prop;
}

}  // namespace record
}  // namespace csdk
