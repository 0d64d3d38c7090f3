// Placeholder until the record classes land.
#include "records.h"
namespace csdk { int add_record_classes(PyObject*, PyObject*) { return 0; } }
