// AID and AIDBuilder.
#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "args.hpp"
#include "binding.hpp"
#include "core/aid/builder.hpp"
#include "core/aid/document.hpp"
#include "core/aid/document_json.hpp"
#include "core/crypto/encoding.hpp"
#include "core/crypto/keypair.hpp"

namespace quorvex::py {
namespace {

using aid::AidBuilder;
using aid::AidDocument;

// ---- AID -------------------------------------------------------------------

PyObject* aid_did(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<AidDocument> document(self);
    if (!document) return nullptr;
    return new_text(document->id);
  });
}

PyObject* aid_controller(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<AidDocument> document(self);
    if (!document) return nullptr;
    return new_text(document->controller);
  });
}

PyObject* aid_trust_level(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<AidDocument> document(self);
    if (!document) return nullptr;
    if (!document->trust_level) Py_RETURN_NONE;
    return new_text(*document->trust_level);
  });
}

PyObject* aid_public_key_bytes(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<AidDocument> document(self);
    if (!document) return nullptr;
    auto key = aid::document_public_key(*document);
    if (!key) return translate_key_error(key.error());
    return new_bytes(*key);
  });
}

PyObject* aid_to_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!match_args({"AID.to_json()", {}}, args, kwargs, nullptr)) return nullptr;
    Shared<AidDocument> document(self);
    if (!document) return nullptr;
    auto text = aid::document_to_json(*document);
    if (!text) {
      return raise_message(Message::SerializationError, text.error().detail(), text.error());
    }
    return new_text(*text);
  });
}

PyObject* aid_from_json(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"json", true}};
    PyObject* json_obj = nullptr;
    if (!match_args({"AID.from_json()", kParams}, args, kwargs, &json_obj)) return nullptr;
    auto text = text_arg(json_obj, "json");
    if (!text) return nullptr;
    struct Parsed {
      Result<AidDocument> document;
      Result<void> valid;
    };
    auto parse = [&] {
      Parsed parsed{aid::document_from_json(text->view), {}};
      if (parsed.document) parsed.valid = aid::validate_aid_document(*parsed.document);
      return parsed;
    };
    Parsed parsed = text->view.size() < kParseWithoutLockFrom ? parse() : without_gil(parse);
    if (!parsed.document) {
      const CoreError& error = parsed.document.error();
      return raise_message(Message::InvalidAidJson, error.detail(), error);
    }
    if (!parsed.valid) return translate_core_error(parsed.valid.error());
    return wrap(std::move(*parsed.document));
  });
}

PyObject* aid_validate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!match_args({"AID.validate()", {}}, args, kwargs, nullptr)) return nullptr;
    Shared<AidDocument> document(self);
    if (!document) return nullptr;
    if (auto valid = aid::validate_aid_document(*document); !valid) {
      return translate_core_error(valid.error());
    }
    Py_RETURN_NONE;
  });
}

PyObject* aid_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Shared<AidDocument> document(self);
    if (!document) return nullptr;
    return new_text("AID(did='" + document->id + "')");
  });
}

PyMethodDef aid_methods[] = {
    {"to_json", QV_METHOD(aid_to_json), METH_VARARGS | METH_KEYWORDS, "to_json($self)\n--\n\n"},
    {"from_json", QV_METHOD(aid_from_json), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_json(json)\n--\n\n"},
    {"validate", QV_METHOD(aid_validate), METH_VARARGS | METH_KEYWORDS, "validate($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef aid_getset[] = {
    {"did", aid_did, nullptr, nullptr, nullptr},
    {"controller", aid_controller, nullptr, nullptr, nullptr},
    {"trust_level", aid_trust_level, nullptr, nullptr, nullptr},
    {"public_key_bytes", aid_public_key_bytes, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- AIDBuilder ------------------------------------------------------------

PyObject* builder_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!match_args({"AIDBuilder.__new__()", {}}, args, kwargs, nullptr)) return nullptr;
    return wrap(AidBuilder());
  });
}

// The text setters: each stores its one argument in the builder.
struct Setter {
  void (AidBuilder::*set)(std::string_view);
  const char* function;  // as named in argument errors
  Param param;
};
constexpr Setter kSetters[] = {
    {&AidBuilder::id, "AIDBuilder.id()", {"id", true}},
    {&AidBuilder::controller, "AIDBuilder.controller()", {"controller", true}},
    {&AidBuilder::name, "AIDBuilder.name()", {"name", true}},
    {&AidBuilder::description, "AIDBuilder.description()", {"desc", true}},
    {&AidBuilder::model, "AIDBuilder.model()", {"model", true}},
    {&AidBuilder::runtime, "AIDBuilder.runtime()", {"runtime", true}},
    {&AidBuilder::trust_level, "AIDBuilder.trust_level()", {"level", true}},
};

template <std::size_t I>
PyObject* builder_set(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const Setter& spec = kSetters[I];
    PyObject* value_obj = nullptr;
    if (!match_args({spec.function, {&spec.param, 1}}, args, kwargs, &value_obj)) return nullptr;
    Exclusive<AidBuilder> builder(self);
    if (!builder) return nullptr;
    auto text = text_arg(value_obj, spec.param.name);
    if (!text) return nullptr;
    ((*builder).*spec.set)(text->view);
    Py_RETURN_NONE;
  });
}

PyObject* builder_add_ed25519_key(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"keypair", true}};
    PyObject* keypair_obj = nullptr;
    if (!match_args({"AIDBuilder.add_ed25519_key()", kParams}, args, kwargs, &keypair_obj)) {
      return nullptr;
    }
    Exclusive<AidBuilder> builder(self);
    if (!builder) return nullptr;
    Shared<crypto::KeyPair> key(keypair_obj, "keypair");
    if (!key) return nullptr;
    builder->add_ed25519_key(*key);
    Py_RETURN_NONE;
  });
}

PyObject* builder_build(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!match_args({"AIDBuilder.build()", {}}, args, kwargs, nullptr)) return nullptr;
    Exclusive<AidBuilder> builder(self);
    if (!builder) return nullptr;
    auto document = builder->build();  // empties the builder, success or not
    if (!document) return translate_core_error(document.error());
    return wrap(std::move(*document));
  });
}

PyMethodDef builder_methods[] = {
    {"id", QV_METHOD(builder_set<0>), METH_VARARGS | METH_KEYWORDS, "id($self, id)\n--\n\n"},
    {"controller", QV_METHOD(builder_set<1>), METH_VARARGS | METH_KEYWORDS,
     "controller($self, controller)\n--\n\n"},
    {"name", QV_METHOD(builder_set<2>), METH_VARARGS | METH_KEYWORDS, "name($self, name)\n--\n\n"},
    {"description", QV_METHOD(builder_set<3>), METH_VARARGS | METH_KEYWORDS,
     "description($self, desc)\n--\n\n"},
    {"model", QV_METHOD(builder_set<4>), METH_VARARGS | METH_KEYWORDS,
     "model($self, model)\n--\n\n"},
    {"runtime", QV_METHOD(builder_set<5>), METH_VARARGS | METH_KEYWORDS,
     "runtime($self, runtime)\n--\n\n"},
    {"trust_level", QV_METHOD(builder_set<6>), METH_VARARGS | METH_KEYWORDS,
     "trust_level($self, level)\n--\n\n"},
    {"add_ed25519_key", QV_METHOD(builder_add_ed25519_key), METH_VARARGS | METH_KEYWORDS,
     "add_ed25519_key($self, keypair)\n--\n\n"},
    {"build", QV_METHOD(builder_build), METH_VARARGS | METH_KEYWORDS, "build($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* make_aid_type() {
  return make_class<AidDocument>({
      "builtins.AID",
      nullptr,
      false,
      nullptr,
      aid_methods,
      aid_getset,
      aid_repr,
      nullptr,
  });
}

PyTypeObject* make_aid_builder_type() {
  return make_class<AidBuilder>({
      "builtins.AIDBuilder",
      "AIDBuilder()\n--\n\n",
      true,
      builder_new,
      builder_methods,
      nullptr,
      nullptr,
      nullptr,
  });
}

}  // namespace quorvex::py
