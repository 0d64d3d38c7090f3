#pragma once
#include <Python.h>
namespace csdk {
// Creates QuoteItemLikeDict2, TickLikeDict2, BarLikeDict2, ObjectLikeDict2 (in this order)
// and binds each in `dict` under its name. Returns 0, or -1 with an exception set.
int add_record_classes(PyObject* module, PyObject* dict);
}
