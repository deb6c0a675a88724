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

// Messages may carry bytes from outside (a plugin's error text): invalid UTF-8
// becomes U+FFFD rather than a UnicodeDecodeError in place of the error.
PyObject* raise_runtime(std::string_view message) {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text != nullptr) {
    PyErr_SetObject(PyExc_RuntimeError, text);
    Py_DECREF(text);
  }
  return nullptr;
}

}  // namespace vesk::python
