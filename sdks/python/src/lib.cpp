// The quorvex extension module: initialisation and the class factory.
#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "args.hpp"
#include "binding.hpp"

namespace quorvex::py {
namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  return raise_type_error("No constructor defined for " + utf8_of(name.get()));
}

// Adds an attribute and appends its name to __all__ first.
bool add_attribute(PyObject* module, const char* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) != 0) return false;
  return PyObject_SetAttrString(module, name, value) == 0;
}

bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return false;
  return add_attribute(module, name, reinterpret_cast<PyObject*>(type));
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvex",
    "Quorvex \u2014 Verifiable identity for the agent era.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool initialised = false;

PyObject* init_module() {
  // The classes and the flag below belong to the process, so only the main
  // interpreter (always number 0) makes them. A sub-interpreter importing the
  // module later gets a copy of the main one's, or an ImportError from CPython.
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return nullptr;
  if (interpreter != 0) {
    return raise_message(Message::SubInterpreter);
  }
  if (initialised) {
    return raise_message(Message::InitialisedTwice);
  }
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  // Registration order is part of the interface: it is the order of __all__.
  if (!add_class(module.get(), "KeyPair", make_keypair_type())) return nullptr;
  if (!add_class(module.get(), "EvaluationContext", make_evaluation_context_type())) return nullptr;
  if (!add_class(module.get(), "AID", make_aid_type())) return nullptr;
  if (!add_class(module.get(), "AIDBuilder", make_aid_builder_type())) return nullptr;
  if (!add_class(module.get(), "DAT", make_dat_type())) return nullptr;
  if (!add_class(module.get(), "Scope", make_scope_type())) return nullptr;
  if (!add_class(module.get(), "TrustLevel", make_trust_level_type())) return nullptr;
  if (!add_class(module.get(), "ReceiptLog", make_receipt_log_type())) return nullptr;
  if (!add_class(module.get(), "AgentIdentity", make_agent_identity_type())) return nullptr;
  PyRef version = PyRef::steal(PyUnicode_FromString(QUORVEX_VERSION));
  if (!version || !add_attribute(module.get(), "__version__", version.get())) return nullptr;
  initialised = true;
  return module.release();
}

}  // namespace

namespace detail {

void raise_wrong_class(PyObject* obj, const char* class_name, const char* arg_name) {
  std::string message = arg_name ? std::string("argument '") + arg_name + "': " : std::string();
  message += "'" + (obj ? type_name_of(obj) : std::string("NoneType")) +
             "' object cannot be converted to '" + (class_name ? class_name : "?") + "'";
  raise_type_error(message);
}

void raise_not_built(const char* class_name, const char* arg_name) {
  std::string message = arg_name ? std::string("argument '") + arg_name + "': " : std::string();
  raise_type_error(message + class_name + " object is not initialized");
}

bool borrow_shared(BorrowFlag& flag) noexcept {
  if (flag.state < 0) {
    raise_message(Message::AlreadyMutablyBorrowed);
    return false;
  }
  ++flag.state;
  return true;
}

bool borrow_exclusive(BorrowFlag& flag) noexcept {
  if (flag.state != 0) {
    raise_message(Message::AlreadyBorrowed);
    return false;
  }
  flag.state = -1;
  return true;
}

void raise_unregistered() { raise_panic("instance of a class that was never made"); }

}  // namespace detail

PyTypeObject* make_type(const ClassSpec& spec, int basicsize, destructor dealloc) {
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
  slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.tp_new ? spec.tp_new : no_constructor)});
  if (spec.doc != nullptr) slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  if (spec.methods != nullptr) slots.push_back({Py_tp_methods, spec.methods});
  if (spec.getset != nullptr) slots.push_back({Py_tp_getset, spec.getset});
  if (spec.repr != nullptr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec.repr)});
  if (spec.str != nullptr) slots.push_back({Py_tp_str, reinterpret_cast<void*>(spec.str)});
  if (spec.length != nullptr) {
    slots.push_back({Py_sq_length, reinterpret_cast<void*>(spec.length)});
  }
  slots.push_back({0, nullptr});
  // No Py_TPFLAGS_BASETYPE: the classes cannot be subclassed.
  PyType_Spec type_spec = {spec.qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT, slots.data()};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr) return nullptr;
  if (spec.doc_is_signature_only && PyObject_SetAttrString(type, "__doc__", Py_None) != 0) {
    Py_DECREF(type);
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace quorvex::py

PyMODINIT_FUNC PyInit_quorvex(void) {
  return quorvex::py::guarded([] { return quorvex::py::init_module(); });
}
