#include "binding.hpp"

namespace vesk::python {

bool text_arg(PyObject* obj, const char* name, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    PyObject* type_name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__");
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got %S", name,
                 type_name != nullptr ? type_name : Py_None);
    Py_XDECREF(type_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* raise_runtime(std::string_view message) {
  PyObject* text = new_str(message);
  if (text != nullptr) {
    PyErr_SetObject(PyExc_RuntimeError, text);
    Py_DECREF(text);
  }
  return nullptr;
}

}  // namespace vesk::python
