// EvaluationContext.
#include <Python.h>

#include <optional>
#include <string>

#include "args.hpp"
#include "binding.hpp"
#include "core/base/text.hpp"
#include "core/dat/evaluate.hpp"

namespace quorvex::py {
namespace {

// The runtime facts Python code fills in before DAT.verify.
using ContextFields = dat::RequestContext;

PyObject* context_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!match_args({"EvaluationContext.__new__()", {}}, args, kwargs, nullptr)) return nullptr;
    return wrap(ContextFields{});
  });
}

// Each attribute is one member of ContextFields with its converter.
enum class Field { RequestIp, CountryCode, DelegationDepth, ActionsInWindow, ConfigHash, Trust };

template <typename Fields>  // ContextFields, const or not
auto text_field(Fields& f, Field which) -> decltype(&f.request_ip) {
  switch (which) {
    case Field::RequestIp:
      return &f.request_ip;
    case Field::CountryCode:
      return &f.country_code;
    case Field::ConfigHash:
      return &f.agent_config_hash;
    case Field::DelegationDepth:
    case Field::ActionsInWindow:
    case Field::Trust:
      break;
  }
  return nullptr;
}

PyObject* context_get(PyObject* self, void* closure) {
  return guarded([&]() -> PyObject* {
    Shared<ContextFields> fields(self);
    if (!fields) return nullptr;
    const Field which = *static_cast<const Field*>(closure);
    const ContextFields& f = *fields;
    switch (which) {
      case Field::DelegationDepth:
        return PyLong_FromUnsignedLong(f.delegation_depth);
      case Field::ActionsInWindow:
        return PyLong_FromUnsignedLongLong(f.actions_in_window);
      case Field::Trust:
        if (!f.agent_trust_level) Py_RETURN_NONE;
        return PyLong_FromUnsignedLong(*f.agent_trust_level);
      case Field::RequestIp:
      case Field::CountryCode:
      case Field::ConfigHash:
        break;
    }
    const auto* text = text_field(f, which);
    if (!*text) Py_RETURN_NONE;
    return new_text(**text);
  });
}

int context_set(PyObject* self, PyObject* value, void* closure) {
  return guarded_as<int>(-1, [&]() -> int {
    // Held while converting, so a value whose conversion calls back into this
    // object finds it borrowed.
    Exclusive<ContextFields> fields(self);
    if (!fields) return -1;
    if (value == nullptr) {
      raise_message(Message::AttributeNotDeletable);
      return -1;
    }
    const Field which = *static_cast<const Field*>(closure);
    ContextFields& f = *fields;
    switch (which) {
      case Field::DelegationDepth: {
        auto v = u32_arg(value, nullptr);
        if (!v) return -1;
        f.delegation_depth = *v;
        return 0;
      }
      case Field::ActionsInWindow: {
        auto v = u64_arg(value, nullptr);
        if (!v) return -1;
        f.actions_in_window = *v;
        return 0;
      }
      case Field::Trust: {
        if (value == Py_None) {
          f.agent_trust_level.reset();
          return 0;
        }
        auto v = u8_arg(value, nullptr);
        if (!v) return -1;
        f.agent_trust_level = *v;
        return 0;
      }
      case Field::RequestIp:
      case Field::CountryCode:
      case Field::ConfigHash:
        break;
    }
    auto* text = text_field(f, which);
    if (value == Py_None) {
      text->reset();
      return 0;
    }
    auto v = text_arg(value, nullptr);
    if (!v) return -1;
    text->emplace(v->view);
    return 0;
  });
}

void append_optional_text(std::string& out, const std::optional<std::string>& text) {
  if (!text) {
    out += "None";
    return;
  }
  out += "Some(";
  append_debug_quoted(out, *text);
  out += ')';
}

PyObject* context_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Shared<ContextFields> fields(self);
    if (!fields) return nullptr;
    const ContextFields& f = *fields;
    std::string out = "EvaluationContext(ip=";
    append_optional_text(out, f.request_ip);
    out += ", trust=";
    out += f.agent_trust_level ? "Some(" + std::to_string(*f.agent_trust_level) + ")" : "None";
    out += ", depth=" + std::to_string(f.delegation_depth) + ", country=";
    append_optional_text(out, f.country_code);
    out += ')';
    return new_text(out);
  });
}

// Each attribute's closure points at its Field.
constexpr Field kFields[] = {Field::RequestIp,       Field::CountryCode, Field::DelegationDepth,
                             Field::ActionsInWindow, Field::ConfigHash,  Field::Trust};
void* field_closure(Field f) { return const_cast<Field*>(&kFields[static_cast<int>(f)]); }

PyGetSetDef context_getset[] = {
    {"request_ip", context_get, context_set, "Request IP address string (IPv4 or IPv6).",
     field_closure(Field::RequestIp)},
    {"country_code", context_get, context_set, "ISO 3166-1 alpha-2 country code.",
     field_closure(Field::CountryCode)},
    {"delegation_depth", context_get, context_set, "Delegation chain depth (0 = root token).",
     field_closure(Field::DelegationDepth)},
    {"actions_in_window", context_get, context_set,
     "Actions taken in the current rate-limit window.", field_closure(Field::ActionsInWindow)},
    {"agent_config_hash", context_get, context_set,
     "SHA-256 hex hash of the agent's current configuration.", field_closure(Field::ConfigHash)},
    {"agent_trust_level", context_get, context_set, "Agent trust level (0\u2013100).",
     field_closure(Field::Trust)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* make_evaluation_context_type() {
  return make_class<ContextFields>(
      {"builtins.EvaluationContext",
       "Runtime context supplied to DAT.verify() for constraint evaluation.\n"
       "\n"
       "Example:\n"
       "    ctx = EvaluationContext()\n"
       "    ctx.request_ip = \"10.0.0.5\"\n"
       "    ctx.agent_trust_level = 75\n"
       "    ctx.country_code = \"AU\"\n"
       "    dat.verify(pub_key_bytes, \"mcp:tool:read\", ctx)",
       false, context_new, nullptr, context_getset, context_repr, nullptr});
}

}  // namespace quorvex::py
