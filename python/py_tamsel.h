// The PyTamsel class.
#pragma once

#include "python/py_support.h"

namespace tamsel::python {

// Creates the class once; later calls give the same object. A new reference,
// or null with the interpreter's error set.
PyObject* create_tamsel_type();

}  // namespace tamsel::python
