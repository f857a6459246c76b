// Scope.
#include "core/dat/scope.hpp"

#include <Python.h>

#include <utility>

#include "args.hpp"
#include "binding.hpp"

namespace quorvex::py {
namespace {

using dat::Scope;

PyObject* scope_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"scope_str", true}};
    PyObject* scope_str_obj = nullptr;
    if (!match_args({"Scope.__new__()", kParams}, args, kwargs, &scope_str_obj)) return nullptr;
    auto text = text_arg(scope_str_obj, "scope_str");
    if (!text) return nullptr;
    auto scope = Scope::parse(text->view);
    if (!scope) return translate_core_error(scope.error());
    return wrap(std::move(*scope));
  });
}

PyObject* scope_covers(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"requested", true}};
    PyObject* requested_obj = nullptr;
    if (!match_args({"Scope.covers()", kParams}, args, kwargs, &requested_obj)) return nullptr;
    Shared<Scope> scope(self);
    if (!scope) return nullptr;
    Shared<Scope> requested(requested_obj, "requested");
    if (!requested) return nullptr;
    return PyBool_FromLong(scope->covers(*requested) ? 1 : 0);
  });
}

PyObject* scope_str(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Shared<Scope> scope(self);
    if (!scope) return nullptr;
    return new_text(scope->text());
  });
}

PyObject* scope_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Shared<Scope> scope(self);
    if (!scope) return nullptr;
    return new_text(scope->debug_text());
  });
}

PyMethodDef scope_methods[] = {
    {"covers", QV_METHOD(scope_covers), METH_VARARGS | METH_KEYWORDS,
     "covers($self, requested)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* make_scope_type() {
  return make_class<Scope>({"builtins.Scope", "Scope(scope_str)\n--\n\n", true, scope_new,
                            scope_methods, nullptr, scope_repr, scope_str});
}

}  // namespace quorvex::py
