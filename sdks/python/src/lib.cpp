// The quorvex extension module: initialisation and the class factory.
#include <Python.h>

#include <string>
#include <vector>

#include "args.hpp"
#include "binding.hpp"

namespace quorvex::py {
namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  return raise_type_error("No constructor defined for " + str_to_string(name.get()));
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
  if (initialised) {
    PyErr_SetString(PyExc_ImportError,
                    "quorvex can be initialised only once per process; sub-interpreters are not "
                    "supported");
    return nullptr;
  }
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  Types& t = types();
  // Registration order is part of the interface: it is the order of __all__.
  if (!add_class(module.get(), "KeyPair", t.keypair = make_keypair_type())) return nullptr;
  if (!add_class(module.get(), "EvaluationContext",
                 t.evaluation_context = make_evaluation_context_type())) {
    return nullptr;
  }
  if (!add_class(module.get(), "DAT", t.dat = make_dat_type())) return nullptr;
  if (!add_class(module.get(), "Scope", t.scope = make_scope_type())) return nullptr;
  if (!add_class(module.get(), "TrustLevel", t.trust_level = make_trust_level_type())) {
    return nullptr;
  }
  PyRef version = PyRef::steal(PyUnicode_FromString("0.1.0"));
  if (!version || !add_attribute(module.get(), "__version__", version.get())) return nullptr;
  initialised = true;
  return module.release();
}

}  // namespace

Types& types() noexcept {
  static Types instance;
  return instance;
}

PyTypeObject* make_class(const ClassSpec& spec) {
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)});
  slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.tp_new ? spec.tp_new : no_constructor)});
  if (spec.doc != nullptr) slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  if (spec.methods != nullptr) slots.push_back({Py_tp_methods, spec.methods});
  if (spec.getset != nullptr) slots.push_back({Py_tp_getset, spec.getset});
  if (spec.repr != nullptr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec.repr)});
  if (spec.str != nullptr) slots.push_back({Py_tp_str, reinterpret_cast<void*>(spec.str)});
  slots.push_back({0, nullptr});
  // No Py_TPFLAGS_BASETYPE: the classes cannot be subclassed.
  PyType_Spec type_spec = {spec.qualified_name, spec.basicsize, 0, Py_TPFLAGS_DEFAULT,
                           slots.data()};
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
