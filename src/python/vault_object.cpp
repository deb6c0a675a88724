// The class Vault: one loaded vault, read-only, its values gated by the policy.
#include <memory>

#include "binding.hpp"
#include "payload.hpp"

namespace vesk::python {
namespace {

struct VaultObject {
  PyObject_HEAD
  Payload* payload;  // owned; released (values wiped) with the object
};

const Payload& payload_of(PyObject* self) { return *reinterpret_cast<VaultObject*>(self)->payload; }

void vault_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<VaultObject*>(self)->payload;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// The gated lookup; `missing_is_error` picks vault[key] over vault.get(key).
PyObject* lookup(PyObject* self, PyObject* key_obj, bool missing_is_error) {
  std::string_view key;
  if (!text_arg(key_obj, "key", key)) return nullptr;
  auto value = get(payload_of(self), key);
  if (!value) return raise_runtime(value.error());
  if (!*value) {
    if (missing_is_error) return raise_runtime("key not found: " + std::string(key));
    Py_RETURN_NONE;
  }
  PyObject* result = new_str(**value);
  wipe(*value);
  return result;
}

PyObject* vault_get(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {"key", nullptr};
    PyObject* key = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:get", const_cast<char**>(kwlist), &key)) return nullptr;
    return lookup(self, key, false);
  });
}

PyObject* vault_getitem(PyObject* self, PyObject* key) {
  return guarded<PyObject*>(nullptr, [&] { return lookup(self, key, true); });
}

PyObject* vault_export(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto values = export_all(payload_of(self));
    if (!values) return raise_runtime(values.error());
    return new_dict(*values);
  });
}

PyObject* vault_keys(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto& schema = payload_of(self).vault.schema;
    PyObject* list = PyList_New(0);
    for (const auto& entry : schema) {
      if (list == nullptr) break;
      PyObject* name = new_str(entry.first);
      if (name == nullptr || PyList_Append(list, name) < 0) Py_CLEAR(list);
      Py_XDECREF(name);
    }
    return list;
  });
}

int vault_contains(PyObject* self, PyObject* key_obj) {
  return guarded<int>(-1, [&] {
    std::string_view key;
    if (!text_arg(key_obj, "key", key)) return -1;
    return payload_of(self).vault.schema.contains(std::string(key)) ? 1 : 0;
  });
}

Py_ssize_t vault_len(PyObject* self) {
  return static_cast<Py_ssize_t>(payload_of(self).vault.schema.size());
}

PyObject* vault_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    const auto& doc = payload_of(self).vault;
    return new_str("Vault(" + std::to_string(doc.schema.size()) + " secrets, " +
                   std::to_string(doc.recipients.size()) + " recipients)");
  });
}

constexpr const char kGetDoc[] =
    "get($self, key)\n--\n\n"
    "Get a single decrypted secret value. Resolution order: a personal scoped\n"
    "override, then a named-group value we can read, then the shared value.\n"
    "\n"
    "The returned `String` is a plain Python-owned copy \u2014 once it crosses\n"
    "the FFI boundary the plaintext is outside vesk's zeroization.\n"
    "\n"
    "When the loaded identity is a granted agent, the vault's agent policy is\n"
    "enforced before the value is returned \u2014 the same gate the CLI applies at\n"
    "`agent exec`. Raises `RuntimeError` if policy forbids the key. For an\n"
    "operator identity this is a no-op.";

constexpr const char kExportDoc[] =
    "export($self)\n--\n\n"
    "Export all secrets as a dict. Scoped values override shared values.\n"
    "\n"
    "For a granted agent, the vault's agent policy is enforced over the full\n"
    "key set first (mirroring `vesk agent exec`): if any resolvable key is\n"
    "outside the policy, the whole export raises `RuntimeError` rather than\n"
    "returning a partial dict. For an operator identity this is a no-op.";

constexpr const char kKeysDoc[] = "keys($self)\n--\n\nList all key names.";

PyMethodDef vault_methods[] = {
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vault_get)),
     METH_VARARGS | METH_KEYWORDS, kGetDoc},
    {"export", vault_export, METH_NOARGS, kExportDoc},
    {"keys", vault_keys, METH_NOARGS, kKeysDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot vault_slots[] = {
    {Py_tp_doc, const_cast<char*>("A loaded and decrypted vesk vault.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(vault_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(vault_repr)},
    {Py_tp_methods, vault_methods},
    {Py_mp_length, reinterpret_cast<void*>(vault_len)},
    {Py_mp_subscript, reinterpret_cast<void*>(vault_getitem)},
    {Py_sq_contains, reinterpret_cast<void*>(vault_contains)},
    {0, nullptr},
};

// The class belongs to no module of its own: it reports itself as
// builtins.Vault (spelled out, so the interpreter has no __module__ to warn
// about). Not a base type, not instantiable from Python, no __dict__ or weak
// references.
PyType_Spec vault_spec = {
    "builtins.Vault",
    sizeof(VaultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    vault_slots,
};

// Made on first use and kept for the life of the process.
PyObject* vault_type = nullptr;

}  // namespace

PyObject* new_dict(Exported& values) {
  PyObject* dict = PyDict_New();
  for (const auto& [name, value] : values) {
    if (dict == nullptr) break;
    PyObject* k = new_str(name);
    PyObject* v = k != nullptr ? new_str(value) : nullptr;
    if (v == nullptr || PyDict_SetItem(dict, k, v) < 0) Py_CLEAR(dict);
    Py_XDECREF(k);
    Py_XDECREF(v);
  }
  wipe(values);
  return dict;
}

int add_vault_type(PyObject* module) {
  if (vault_type == nullptr) {
    vault_type = PyType_FromSpec(&vault_spec);
    if (vault_type == nullptr) return -1;
  }
  return PyModule_AddObjectRef(module, "Vault", vault_type);
}

PyObject* new_vault_object(Payload* payload) {
  std::unique_ptr<Payload> owned(payload);
  auto* type = reinterpret_cast<PyTypeObject*>(vault_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;  // `owned` releases the payload
  reinterpret_cast<VaultObject*>(self)->payload = owned.release();
  return self;
}

}  // namespace vesk::python
