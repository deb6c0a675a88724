// The module `vesk`: multi-phase initialisation with one exec slot, which adds
// the class Vault and the four functions, each also listed in __all__.
#include "binding.hpp"
#include "cancel.hpp"
#include "env.hpp"
#include "payload.hpp"
#include "stack.hpp"

namespace vesk::python {
namespace {

constexpr const char kDefaultVault[] = ".vesk";

// Optional vault_path: omitted gives ".vesk"; anything given must be a str.
bool vault_path_arg(PyObject* obj, std::string& out) {
  std::string_view text = kDefaultVault;
  if (obj != nullptr && !text_arg(obj, "vault_path", text)) return false;
  out.assign(text);
  return true;
}

// The load's cancellation check: runs the interpreter's signal handlers, so
// that Ctrl-C ends a wait. The handler's exception (KeyboardInterrupt) stays
// pending and is what the call raises.
bool signal_raised() { return PyErr_CheckSignals() != 0; }

// Loads under that check. On failure a Python error is set and null returned.
// Whatever the load left on the stack below this frame is zeroed on the way out.
std::unique_ptr<Payload> load_or_raise(const std::string& path) {
  const stack::ClearedOnExit cleared;
  cancel::Scope scope(&signal_raised);
  auto payload = load(path);
  if (scope.cancelled()) return nullptr;
  if (!payload) {
    raise_runtime(payload.error());
    return nullptr;
  }
  return std::move(*payload);
}

PyObject* py_load(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {"vault_path", nullptr};
    PyObject* path_obj = nullptr;
    std::string path;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:load", const_cast<char**>(kwlist), &path_obj) ||
        !vault_path_arg(path_obj, path)) {
      return nullptr;
    }
    auto payload = load_or_raise(path);
    if (!payload) return nullptr;
    return new_vault_object(payload.release());
  });
}

PyObject* py_get(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {"key", "vault_path", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* path_obj = nullptr;
    std::string_view key;
    std::string path;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:get", const_cast<char**>(kwlist), &key_obj,
                                     &path_obj) ||
        !text_arg(key_obj, "key", key) || !vault_path_arg(path_obj, path)) {
      return nullptr;
    }
    auto payload = load_or_raise(path);
    if (!payload) return nullptr;
    auto value = get(*payload, key);
    payload.reset();  // decrypted values wiped before any Python object is made
    if (!value) return raise_runtime(value.error());
    if (!*value) Py_RETURN_NONE;
    PyObject* result = new_str(**value);
    wipe(*value);
    return result;
  });
}

PyObject* py_export_all(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {"vault_path", nullptr};
    PyObject* path_obj = nullptr;
    std::string path;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:export_all", const_cast<char**>(kwlist),
                                     &path_obj) ||
        !vault_path_arg(path_obj, path)) {
      return nullptr;
    }
    auto payload = load_or_raise(path);
    if (!payload) return nullptr;
    auto values = export_all(*payload);
    payload.reset();
    if (!values) return raise_runtime(values.error());
    return new_dict(*values);
  });
}

// Never raises: any failure to find key text is simply False.
PyObject* py_has_identity(PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const stack::ClearedOnExit cleared;  // any key step below leaves its stack cleared
    const bool found = env::resolve_key_for_vault(kDefaultVault).has_value();
    return PyBool_FromLong(found ? 1 : 0);
  });
}

PyCFunction keywords(PyObject* (*f)(PyObject*, PyObject*, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef functions[] = {
    {"load", keywords(py_load), METH_VARARGS | METH_KEYWORDS,
     "load(vault_path=\".vesk\")\n--\n\nLoad a vesk vault. Reads VESK_KEY from the environment."},
    {"get", keywords(py_get), METH_VARARGS | METH_KEYWORDS,
     "get(key, vault_path=\".vesk\")\n--\n\nOne-liner: load the vault and get a single key."},
    {"export_all", keywords(py_export_all), METH_VARARGS | METH_KEYWORDS,
     "export_all(vault_path=\".vesk\")\n--\n\n"
     "One-liner: load the vault and export all secrets as a dict."},
    {"has_identity", py_has_identity, METH_NOARGS,
     "has_identity()\n--\n\n"
     "Whether a decryption identity (VESK_KEY / VESK_KEY_FILE) is available in the\n"
     "environment \u2014 i.e. whether load() can decrypt. This does not check whether a\n"
     "secret exists; use `key in vault` / Vault.keys for that."},
};

// Appends `name` to __all__, creating the list on first use.
int add_to_all(PyObject* module, const char* name) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return -1;
    }
  }
  PyObject* text = PyUnicode_FromString(name);
  const int rc = text == nullptr ? -1 : PyList_Append(all, text);
  Py_XDECREF(text);
  Py_DECREF(all);
  return rc;
}

int add_function(PyObject* module, PyMethodDef* def) {
  if (add_to_all(module, def->ml_name) < 0) return -1;
  PyObject* name = PyModule_GetNameObject(module);
  if (name == nullptr) return -1;
  PyObject* func = PyCFunction_NewEx(def, module, name);
  Py_DECREF(name);
  if (func == nullptr) return -1;
  const int rc = PyModule_AddObjectRef(module, def->ml_name, func);
  Py_DECREF(func);
  return rc;
}

// The module body: Vault, then load, get, export_all, has_identity.
int module_body(PyObject* module) {
  if (add_to_all(module, "Vault") < 0 || add_vault_type(module) < 0) return -1;
  for (auto& def : functions) {
    if (add_function(module, &def) < 0) return -1;
  }
  return 0;
}

int vesk_exec(PyObject* module) {
  if (module == nullptr) return -1;
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "expected a module object");
    return -1;
  }
  return guarded<int>(-1, [&] { return module_body(module); });
}

PyModuleDef_Slot vesk_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(vesk_exec)},
    {0, nullptr},
};

PyModuleDef vesk_def = {
    PyModuleDef_HEAD_INIT, "vesk", "Python module definition.", 0, nullptr, vesk_slots,
    nullptr,               nullptr, nullptr,
};

}  // namespace
}  // namespace vesk::python

PyMODINIT_FUNC PyInit_vesk(void) { return PyModuleDef_Init(&vesk::python::vesk_def); }
