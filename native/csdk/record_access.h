// What the record classes (records.cpp, made in record_types.cpp) and their
// field properties (fields.cpp) share: the instance layout, the interned
// names, the mapping's side of every operation and the per-type verdict that
// lets `self.data` be read straight from the slot.  See records.cpp for the
// rules.
#pragma once
#include <Python.h>

#include <cstdint>

#include "pycompat.h"
#include "ref.h"

// Everything here is internal to the extension: hidden, so that the shared
// globals are reached directly rather than through the symbol table.
#pragma GCC visibility push(hidden)

namespace csdk {
namespace record {

struct Record {
    PyObject_HEAD
    PyObject* data;
};

inline PyObject*& slot_of(PyObject* self) { return reinterpret_cast<Record*>(self)->data; }

// Interned names, made once per process.
extern PyObject* s_data;
extern PyObject* s_get;
extern PyObject* s_getattr;
extern PyObject* s_getattribute;
extern PyObject* s_str;
extern PyObject* s_repr;
extern PyObject* s_set_name;
extern PyObject* s_slots;
extern PyObject* s_module;
extern PyObject* s_modname;  // "c_sdk"


// Interns the names above; -1 with an exception set.
int intern_names();

// ---------------------------------------------------------------------------
// The mapping's side of every operation.

// data.get(key): a new reference, or nullptr with an exception set.
[[gnu::always_inline]] inline PyObject* mapping_get(PyObject* data, PyObject* key) {
    if (PyDict_CheckExact(data)) {
#if CSDK_FREE_THREADED
        // Another thread may drop the value from the dict at any moment.
        PyObject* v;
        int found = PyDict_GetItemRef(data, key, &v);
        if (found) return found > 0 ? v : nullptr;
        Py_RETURN_NONE;
#else
        PyObject* v = PyDict_GetItemWithError(data, key);
        if (v) return Py_NewRef(v);
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
#endif
    }
    // A record wrapping itself would otherwise recurse on the C stack.
    if (!stack_left(" while reading a record's mapping")) return nullptr;
    PyObject* args[2] = {data, key};
    PyObject* r = PyObject_VectorcallMethod(s_get, args, 2, nullptr);
    return r;
}

// data[key] = value: 0, or -1 with an exception set.
[[gnu::always_inline]] inline int mapping_set(PyObject* data, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(data)) return PyDict_SetItem(data, key, value);
    if (!stack_left(" while writing a record's mapping")) return -1;
    int r = PyObject_SetItem(data, key, value);
    return r;
}

// ---------------------------------------------------------------------------
// Which classes may have `self.data` read from the slot.

// Verdicts by type version tag.  Tags are never reused, and a type changed
// by attribute assignment (its own or a base's, slots included) gets a new
// one, so a verdict holds for as long as its tag is the type's.
enum : unsigned char {
    kFastData = 1,  // self.data is the slot
    kFastNew = 2,   // T(data) is object.__new__ plus the slot filled
};
// Without the interpreter lock, threads that remember verdicts at once must
// never leave one type's tag beside another's bits: there each entry is one
// word, (tag << 8) | bits, read and written whole.  With the lock, the pair.
#if CSDK_FREE_THREADED
extern uint64_t g_verdicts[256];
inline void remember(unsigned int tag, unsigned char bits) {
    __atomic_store_n(&g_verdicts[tag & 255], (uint64_t{tag} << 8) | bits, __ATOMIC_RELAXED);
}
#else
struct Verdict {
    unsigned int tag;
    unsigned char bits;
};
extern Verdict g_verdicts[256];
inline void remember(unsigned int tag, unsigned char bits) { g_verdicts[tag & 255] = {tag, bits}; }
#endif

// Works the verdict out and remembers it (records.cpp).
unsigned char verify_type(PyTypeObject* tp);

// The verdict's bits remembered for tp's current tag, or -1.
[[gnu::always_inline]] inline int remembered(PyTypeObject* tp) {
    unsigned int tag = type_version(tp);
#if CSDK_FREE_THREADED
    uint64_t w = __atomic_load_n(&g_verdicts[tag & 255], __ATOMIC_RELAXED);
    return tag && (w >> 8) == tag ? static_cast<int>(w & 255) : -1;
#else
    const Verdict& v = g_verdicts[tag & 255];
    return tag && v.tag == tag ? v.bits : -1;
#endif
}

// Whether tp's remembered verdict has `bit`: false too when none is
// remembered yet, which a caller's slow path then works out.
[[gnu::always_inline]] inline bool known_fast(PyTypeObject* tp, unsigned char bit) {
    int bits = remembered(tp);
    return bits > 0 && (bits & bit);
}

[[gnu::always_inline]] inline unsigned char verdict(PyTypeObject* tp) {
    int bits = remembered(tp);
    return bits >= 0 ? static_cast<unsigned char>(bits) : verify_type(tp);
}

// ---------------------------------------------------------------------------
// The slot.  Without the interpreter lock another thread may set `data` at
// any time (the member's own setter does it under the record's critical
// section), so the free-threaded build reads and writes it under that
// section; elsewhere the lock keeps a borrowed value alive.

// The mapping in the slot, owned (empty when unset).
[[gnu::always_inline]] inline Ref load_slot(PyObject* self) {
#if CSDK_FREE_THREADED
    Ref d;
    Py_BEGIN_CRITICAL_SECTION(self);
    d = Ref::borrow(slot_of(self));
    Py_END_CRITICAL_SECTION();
    return d;
#else
    return Ref::borrow(slot_of(self));
#endif
}

// Puts a new reference in the slot; the old value is dropped afterwards.
inline void store_slot(PyObject* self, PyObject* value) {
#if CSDK_FREE_THREADED
    PyObject* old;
    Py_BEGIN_CRITICAL_SECTION(self);
    old = slot_of(self);
    __atomic_store_n(&slot_of(self), value, __ATOMIC_RELEASE);
    Py_END_CRITICAL_SECTION();
    Py_XDECREF(old);
#else
    Py_XSETREF(slot_of(self), value);
#endif
}

// True when attribute access on instances of tp follows the record's own
// rules, so that `self.data` is the slot.
inline bool fast_type(PyTypeObject* tp) { return verdict(tp) & kFastData; }

// AttributeError: no attribute 'data'.
void no_data(PyObject* obj);

// self.data, owned.  An empty slot raises AttributeError at once: a plain
// class would look for `data` through __getattr__ and recurse.
[[gnu::always_inline]] inline Ref record_data(PyObject* obj) {
    if (fast_type(Py_TYPE(obj))) {
        Ref d = load_slot(obj);
        if (!d) no_data(obj);
        return d;
    }
    if (!stack_left(" while getting a record's data")) return Ref();
    Ref d = Ref::steal(PyObject_GetAttr(obj, s_data));
    return d;
}

// self.data.get(key).  Inline only the common case, a class already verified
// to read `data` from the slot and a dict in it, so that the fast path makes
// no call before the lookup and keeps few registers live; every other case,
// a class not yet verified included, is out of line (records.cpp).  The slot
// is read only once the type is known to have it: a field's getter can be
// handed any object (`TickLikeDict2.price.fget(1)`, a field reused on
// another class), which then reads `data` as an attribute.
[[gnu::noinline]] PyObject* record_get_slow(PyObject* self, PyObject* key);
[[gnu::always_inline]] inline PyObject* record_get(PyObject* self, PyObject* key) {
#if CSDK_FREE_THREADED
    if (known_fast(Py_TYPE(self), kFastData)) {
        Ref d = load_slot(self);
        if (d && PyDict_CheckExact(d.get())) return mapping_get(d.get(), key);
    }
    return record_get_slow(self, key);
#else
    PyObject* d;
    if (known_fast(Py_TYPE(self), kFastData) && (d = slot_of(self)) && PyDict_CheckExact(d)) {
        // mapping_get's dict case, written out: through it, its other case
        // stays inline too and costs this path 8 instructions.
        Py_INCREF(d);  // the lookup may run a key's __eq__, which may drop the mapping
        PyObject* v = PyDict_GetItemWithError(d, key);
        Py_XINCREF(v);
        Py_DECREF(d);
        if (v || PyErr_Occurred()) return v;
        Py_RETURN_NONE;
    }
    return record_get_slow(self, key);
#endif
}

// self.data[key] = value
[[gnu::always_inline]] inline int record_set(PyObject* self, PyObject* key, PyObject* value) {
    Ref d = record_data(self);
    return d ? mapping_set(d.get(), key, value) : -1;
}

// ---------------------------------------------------------------------------
// Field properties: `property` objects whose getter and setter are native
// functions named after the field.  The subclass adds the mapping key, so
// that tp_getattro can read a field without calling the getter.  An
// instance that property.__init__ has run on again (or a copy made by
// getter()/setter()) has no key and is an ordinary property.

struct FieldExtra {
    PyObject* doc;  // __doc__: property keeps a subclass's doc in an attribute
    PyObject* key;  // the mapping key, interned; nullptr when not a record field
    int writable;
};

extern PyTypeObject* g_field_type;  // process-wide, made once
extern Py_ssize_t g_extra_offset;

inline FieldExtra* extra(PyObject* p) {
    return reinterpret_cast<FieldExtra*>(reinterpret_cast<char*>(p) + g_extra_offset);
}

// The getter: obj.data.get(key).
inline PyObject* field_read(PyObject* obj, PyObject* key) { return record_get(obj, key); }

// The record classes' slots: every class but BarLikeDict2, and BarLikeDict2,
// which adds `in` (records.cpp).
extern PyType_Slot kSlots[];
extern PyType_Slot kBarSlots[];
// TickLikeDict2(data), the classes' vectorcall (records.cpp).
PyObject* record_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// The field tables: quote item, tick, bar.
constexpr int kMaxFields = 14;
constexpr int kFieldCounts[] = {4, 14, 13};
extern PyObject* g_keys[3][kMaxFields];  // interned field names

// The field property type; -1 with an exception set.
int make_field_type();
// The field functions and names, made once; -1 with an exception set.
int init_fields();
// Field i of table k on `type`: property(getter, setter or None), keyed.
Ref make_field(PyObject* module, PyObject* type, int k, int i, bool writable);

}  // namespace record
}  // namespace csdk

#pragma GCC visibility pop
