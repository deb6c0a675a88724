// Small helpers shared by the module functions and the Vault class.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <string>
#include <string_view>

#include "payload.hpp"

namespace vesk::python {

// The UTF-8 text of a str argument; on anything else a TypeError naming the
// argument, and false.
bool text_arg(PyObject* obj, const char* name, std::string_view& out);

// Raises RuntimeError carrying exactly `message` (embedded NULs included).
PyObject* raise_runtime(std::string_view message);

// A new str from UTF-8 text.
PyObject* new_str(std::string_view text);

// Runs `body`; no C++ exception may unwind into the interpreter. On one,
// a Python error is set and `on_error` returned.
template <class R, class F>
R guarded(R on_error, F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "vesk: internal error");
  }
  return on_error;
}

// The Vault class: made once per process, added to `module` as "Vault".
int add_vault_type(PyObject* module);

// A new Vault object that takes ownership of `payload`.
PyObject* new_vault_object(Payload* payload);

// A dict of the exported values; the plain copies are wiped once it is built.
PyObject* new_dict(Exported& values);

}  // namespace vesk::python
