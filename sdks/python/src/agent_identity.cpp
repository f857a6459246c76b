// AgentIdentity.
#include <Python.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "args.hpp"
#include "binding.hpp"
#include "core/aid/document_json.hpp"
#include "core/aid/store.hpp"
#include "core/base/clock.hpp"
#include "core/crypto/keypair.hpp"
#include "core/dat/token.hpp"

namespace quorvex::py {
namespace {

using aid::Identity;

#define QV_DEFAULT_DOMAIN "agents.quorvex.dev"
static_assert(aid::kDefaultDomain == QV_DEFAULT_DOMAIN);

// A failed load: the store's own texts, the parser's description after
// "Invalid AID JSON: ", and validation errors as every core error.
PyObject* raise_load_error(const CoreError& error) {
  if (error.kind() == ErrorKind::InvalidAid || error.kind() == ErrorKind::AidValidation) {
    return translate_core_error(error);
  }
  if (error.kind() == ErrorKind::Serialization) {
    return raise_message(Message::InvalidAidJson, error.detail(), error);
  }
  if (error.kind() == ErrorKind::InvalidKey) return raise_core_text(PyExc_ValueError, error);
  return raise_core_text(PyExc_RuntimeError, error);  // reading a file failed
}

// dir_arg is the directory a path argument names, '~' expanded; nullopt with
// an exception set. The expansion reads the environment: call it with the lock held.
std::optional<std::string> dir_arg(PyObject* slot) {
  auto path = text_arg(slot, "path");
  if (!path) return std::nullopt;
  if (path->view.find('\0') != std::string_view::npos) {
    raise_message(Message::EmbeddedNullByte);
    return std::nullopt;
  }
  return aid::expand_tilde(path->view);
}

// target_dir is the directory save(path) writes to: the identity's default one
// when path is absent, else dir_arg(path); nullopt with an exception set.
std::optional<std::string> target_dir(const Identity& identity, PyObject* path_obj) {
  if (absent(path_obj)) return aid::default_identity_directory(identity.did);
  return dir_arg(path_obj);
}

PyObject* identity_create(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    enum : std::size_t { kName, kDomain, kController, kSlotCount };
    static constexpr Param kParams[] = {{"name", true}, {"domain", false}, {"controller", false}};
    static_assert(std::size(kParams) == kSlotCount);
    PyObject* slots[kSlotCount];
    if (!match_args({"AgentIdentity.create()", kParams}, args, kwargs, slots)) return nullptr;
    auto name = text_arg(slots[kName], "name");
    if (!name) return nullptr;
    std::optional<Utf8> domain;
    if (slots[kDomain] != nullptr) {  // None is no domain: an argument error
      domain = text_arg(slots[kDomain], "domain");
      if (!domain) return nullptr;
    }
    std::optional<Utf8> controller;
    if (!absent(slots[kController])) {
      controller = text_arg(slots[kController], "controller");
      if (!controller) return nullptr;
    }
    const std::string_view in_domain = domain ? domain->view : aid::kDefaultDomain;
    const auto in_controller = controller ? std::optional(controller->view) : std::nullopt;
    const Instant created = now();
    auto identity = without_gil([&] {
      return aid::create_identity(name->view, in_domain, in_controller, crypto::KeyPair::generate(),
                                  created);
    });
    if (!identity) return translate_core_error(identity.error());
    return wrap(std::move(*identity));
  });
}

PyObject* identity_load(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"path", true}};
    PyObject* path_obj = nullptr;
    if (!match_args({"AgentIdentity.load()", kParams}, args, kwargs, &path_obj)) return nullptr;
    const auto dir = dir_arg(path_obj);
    if (!dir) return nullptr;
    auto identity = without_gil([&] { return aid::load_identity(*dir); });
    if (!identity) return raise_load_error(identity.error());
    return wrap(std::move(*identity));
  });
}

PyObject* identity_aid(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!match_args({"AgentIdentity.aid()", {}}, args, kwargs, nullptr)) return nullptr;
    Shared<Identity> identity(self);
    if (!identity) return nullptr;
    return wrap(aid::AidDocument(identity->document));
  });
}

PyObject* identity_keypair(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!match_args({"AgentIdentity.keypair()", {}}, args, kwargs, nullptr)) return nullptr;
    Shared<Identity> identity(self);
    if (!identity) return nullptr;
    return wrap(crypto::KeyPair::from_seed(identity->key.seed()));
  });
}

PyObject* identity_issue_dat(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    enum : std::size_t { kSubjectDid, kScope, kExpiresInSeconds, kSlotCount };
    static constexpr Param kParams[] = {
        {"subject_did", true}, {"scope", true}, {"expires_in_seconds", false}};
    static_assert(std::size(kParams) == kSlotCount);
    PyObject* slots[kSlotCount];
    if (!match_args({"AgentIdentity.issue_dat()", kParams}, args, kwargs, slots)) return nullptr;
    Shared<Identity> identity(self);
    if (!identity) return nullptr;
    auto subject = text_arg(slots[kSubjectDid], "subject_did");
    if (!subject) return nullptr;
    auto scope = text_list_arg(slots[kScope], "scope");
    if (!scope) return nullptr;
    std::int64_t expires_in = 3600;
    if (slots[kExpiresInSeconds] != nullptr) {  // None is no number: an argument error
      auto given = i64_arg(slots[kExpiresInSeconds], "expires_in_seconds");
      if (!given) return nullptr;
      expires_in = *given;
    }
    const Instant issued = now();
    const auto expiry = dat::expiry_after(issued.seconds, expires_in);
    if (!expiry) return translate_argument_error(expiry.error());
    std::string subject_did(subject->view);
    auto token = without_gil([&] {
      return dat::Dat::issue(identity->did, std::move(subject_did), std::move(*scope), *expiry,
                             std::nullopt, std::nullopt, identity->key, issued.seconds,
                             issued.unix_millis());
    });
    if (!token) return translate_core_error(token.error());
    return wrap(std::move(*token));
  });
}

// save_to is save and save_new: Python sees a RuntimeError with the store's
// text for every failure, and FileExistsError when save_new finds a key.
PyObject* save_to(PyObject* self, PyObject* args, PyObject* kwargs, const char* function,
                  bool only_new) {
  static constexpr Param kParams[] = {{"path", false}};
  PyObject* path_obj = nullptr;
  if (!match_args({function, kParams}, args, kwargs, &path_obj)) return nullptr;
  Shared<Identity> identity(self);
  if (!identity) return nullptr;
  auto target = target_dir(*identity, path_obj);
  if (!target) return nullptr;
  const std::string dir = std::move(*target);
  const Instant saved_at = now();
  // The wait for the directory's lock happens here too, without the interpreter lock.
  auto saved = without_gil([&]() -> Result<bool> {
    if (only_new) return aid::save_new_identity(dir, *identity, saved_at);
    auto done = aid::save_identity(dir, *identity, saved_at);
    if (!done) return fail(done.error());
    return true;
  });
  if (!saved) return raise_core_text(PyExc_RuntimeError, saved.error());
  if (!*saved) {
    PyRef code = PyRef::steal(PyLong_FromLong(EEXIST));
    PyRef message = PyRef::steal(code ? new_text("Identity already exists: " + dir) : nullptr);
    if (!message) return nullptr;
    PyRef error = PyRef::steal(
        PyObject_CallFunctionObjArgs(PyExc_FileExistsError, code.get(), message.get(), nullptr));
    if (error) PyErr_SetObject(PyExc_FileExistsError, error.get());
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* identity_save(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded(
      [&]() -> PyObject* { return save_to(self, args, kwargs, "AgentIdentity.save()", false); });
}

PyObject* identity_save_new(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded(
      [&]() -> PyObject* { return save_to(self, args, kwargs, "AgentIdentity.save_new()", true); });
}

PyObject* identity_save_path(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"path", false}};
    PyObject* path_obj = nullptr;
    if (!match_args({"AgentIdentity.save_path()", kParams}, args, kwargs, &path_obj)) {
      return nullptr;
    }
    Shared<Identity> identity(self);
    if (!identity) return nullptr;
    auto dir = target_dir(*identity, path_obj);
    if (!dir) return nullptr;
    return new_text(*dir);
  });
}

PyObject* identity_public_key_bytes(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<Identity> identity(self);
    if (!identity) return nullptr;
    return new_bytes(identity->key.public_key_bytes());
  });
}

PyObject* identity_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Shared<Identity> identity(self);
    if (!identity) return nullptr;
    return new_text("AgentIdentity(did='" + identity->did + "')");
  });
}

PyMethodDef identity_methods[] = {
    {"create", QV_METHOD(identity_create), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "create(name, domain=\"" QV_DEFAULT_DOMAIN "\", controller=None)\n--\n\n"},
    {"load", QV_METHOD(identity_load), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "load(path)\n--\n\n"
     "Load an identity from disk.\n"
     "\n"
     "Args:\n"
     "    path: Directory containing secret.key and aid.json"},
    {"aid", QV_METHOD(identity_aid), METH_VARARGS | METH_KEYWORDS, "aid($self)\n--\n\n"},
    {"keypair", QV_METHOD(identity_keypair), METH_VARARGS | METH_KEYWORDS,
     "keypair($self)\n--\n\n"},
    {"issue_dat", QV_METHOD(identity_issue_dat), METH_VARARGS | METH_KEYWORDS,
     "issue_dat($self, subject_did, scope, expires_in_seconds=3600)\n--\n\n"},
    {"save", QV_METHOD(identity_save), METH_VARARGS | METH_KEYWORDS,
     "save($self, path=None)\n--\n\n"
     "Save this identity to disk.\n"
     "\n"
     "Creates a directory containing the private key, AID document, and metadata.\n"
     "The private key file has restrictive permissions (0600 on Unix).\n"
     "\n"
     "Args:\n"
     "    path: Directory path. Defaults to ~/.quorvex/identities/{name}/"},
    {"save_new", QV_METHOD(identity_save_new), METH_VARARGS | METH_KEYWORDS,
     "save_new($self, path=None)\n--\n\n"
     "Save this identity to a directory that holds no identity yet.\n"
     "\n"
     "Saves as save() does, but raises FileExistsError when the directory already\n"
     "holds a secret.key. Of several callers claiming one directory at once, exactly\n"
     "one succeeds.\n"
     "\n"
     "Args:\n"
     "    path: Directory path. Defaults to ~/.quorvex/identities/{name}/"},
    {"save_path", QV_METHOD(identity_save_path), METH_VARARGS | METH_KEYWORDS,
     "save_path($self, path=None)\n--\n\n"
     "The directory save(path) and save_new(path) write to.\n"
     "\n"
     "A leading '~' in path stands for the home directory.\n"
     "\n"
     "Args:\n"
     "    path: Directory path. Defaults to ~/.quorvex/identities/{name}/"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef identity_getset[] = {
    {"public_key_bytes", identity_public_key_bytes, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* make_agent_identity_type() {
  return make_class<Identity>({
      "builtins.AgentIdentity",
      nullptr,
      false,
      nullptr,
      identity_methods,
      identity_getset,
      identity_repr,
      nullptr,
  });
}

}  // namespace quorvex::py
