// The module's entry point: single-phase initialisation, remembered per process,
// in the main interpreter only.
#include "python/py_support.h"
#include "python/py_tamsel.h"

namespace tamsel::python {
namespace {

constexpr const char kModuleDoc[] =
    "Python module entry point.\n"
    "\n"
    "Must match the compiled library name to satisfy Python's\n"
    "`PyInit_<module>` symbol requirements.";

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "tamsel", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;  // strong reference, kept for the life of the process

bool add_to_all(PyObject* module) {
  Ref all = Ref::steal(PyObject_GetAttr(module, names().dunder_all));
  if (!all) {
    if (!discard_ordinary_error(PyExc_AttributeError)) return false;
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttr(module, names().dunder_all, all.get()) < 0) return false;
  }
  Ref name = Ref::steal(PyUnicode_FromString("PyTamsel"));
  return name && PyList_Append(all.get(), name.get()) == 0;
}

// A new module with the class and __all__, or null with the error set.
PyObject* create_module() {
  if (!init_names()) return nullptr;
  Ref module = Ref::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  Ref type = Ref::steal(create_tamsel_type());
  if (!type || PyObject_SetAttrString(module.get(), "PyTamsel", type.get()) < 0) return nullptr;
  if (!add_to_all(module.get())) return nullptr;
  return module.release();
}

PyObject* init_module() { return main_interpreter_module(g_module, "tamsel", create_module); }

}  // namespace
}  // namespace tamsel::python

PyMODINIT_FUNC PyInit_tamsel() {
  return tamsel::python::guarded([] { return tamsel::python::init_module(); },
                                 static_cast<PyObject*>(nullptr));
}
