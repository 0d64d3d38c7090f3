// The four dict-backed record classes: QuoteItemLikeDict2, TickLikeDict2,
// BarLikeDict2 and ObjectLikeDict2.
#pragma once
#include <Python.h>

namespace csdk {

// Creates QuoteItemLikeDict2, TickLikeDict2, BarLikeDict2, ObjectLikeDict2 (in
// this order) and binds each in `dict` under its name.  Returns 0, or -1 with
// an exception set.  May be called again after a failed import: the classes
// are then made afresh and the old ones are dropped.
int add_record_classes(PyObject* module, PyObject* dict);

}  // namespace csdk
