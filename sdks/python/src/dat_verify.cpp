// DAT's checks: the signature, the whole pipeline for a given key or a trusted issuer's, timing.
#include "dat_verify.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "args.hpp"
#include "binding.hpp"
#include "core/aid/document.hpp"
#include "core/base/clock.hpp"
#include "core/dat/evaluate.hpp"
#include "core/dat/token.hpp"

namespace quorvex::py {
namespace {

using dat::Dat;

// The runtime facts Python code fills in before DAT.verify.
using ContextFields = dat::RequestContext;

using PublicKey = std::array<std::uint8_t, crypto::kPublicKeyLen>;

// public_key_of copies a key out of its bytes object, to be read without the lock.
PublicKey public_key_of(std::span<const std::uint8_t> bytes) {
  PublicKey key{};
  std::copy_n(bytes.begin(), key.size(), key.begin());
  return key;
}

// Public keys for DAT checks must be bytes of exactly 32.
std::optional<std::span<const std::uint8_t, crypto::kPublicKeyLen>> public_key_arg(PyObject* obj) {
  auto bytes = bytes_arg(obj, "public_key_bytes");
  if (!bytes) return std::nullopt;
  if (bytes->size() != crypto::kPublicKeyLen) {
    raise_message(Message::PublicKeyLength);
    return std::nullopt;
  }
  return std::span<const std::uint8_t, crypto::kPublicKeyLen>(bytes->data(), crypto::kPublicKeyLen);
}

// The code of a token whose issuer is not in trusted_issuers.
constexpr std::string_view kUnknownIssuer = "UnknownIssuer";

// TrustedKey is what trusted_issuers holds for an issuer.
enum class TrustedKey : std::uint8_t { Found, Missing, Failed };

// trusted_key reads the key trusted_issuers holds under issuer: 32 bytes, or an AID's (its
// first verification method's). Missing when the mapping has no such key (KeyError), Failed
// with the exception set for anything else.
TrustedKey trusted_key(PyObject* issuers, std::string_view issuer, PublicKey& key) {
  PyRef name = PyRef::steal(new_text(issuer));
  if (!name) return TrustedKey::Failed;
  PyRef value = PyRef::steal(PyObject_GetItem(issuers, name.get()));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return TrustedKey::Failed;
    PyErr_Clear();
    return TrustedKey::Missing;
  }
  if (PyObject_TypeCheck(value.get(), ClassOf<aid::AidDocument>::type)) {
    Shared<aid::AidDocument> document(value.get(), "trusted_issuers");
    if (!document) return TrustedKey::Failed;
    auto document_key = aid::document_public_key(*document);
    if (!document_key) {
      translate_key_error(document_key.error());
      return TrustedKey::Failed;
    }
    key = *document_key;
    return TrustedKey::Found;
  }
  auto bytes = bytes_arg(value.get(), "trusted_issuers");
  if (!bytes) return TrustedKey::Failed;
  if (bytes->size() != crypto::kPublicKeyLen) {
    raise_message(Message::PublicKeyLength);
    return TrustedKey::Failed;
  }
  key = public_key_of(*bytes);
  return TrustedKey::Found;
}

}  // namespace

PyObject* dat_verify(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    enum : std::size_t { kPublicKeyBytes, kRequiredScope, kCtx, kSlotCount };
    static constexpr Param kParams[] = {
        {"public_key_bytes", true}, {"required_scope", false}, {"ctx", false}};
    static_assert(std::size(kParams) == kSlotCount);
    PyObject* slots[kSlotCount];
    if (!match_args({"DAT.verify()", kParams}, args, kwargs, slots)) return nullptr;
    Shared<Dat> token(self);
    if (!token) return nullptr;
    auto bytes = bytes_arg(slots[kPublicKeyBytes], "public_key_bytes");
    if (!bytes) return nullptr;
    std::optional<Utf8> required;
    if (slots[kRequiredScope] != nullptr) {
      required = text_arg(slots[kRequiredScope], "required_scope");
      if (!required) return nullptr;
    }
    std::optional<Shared<ContextFields>> context;
    if (!absent(slots[kCtx]) && !context.emplace(slots[kCtx], "ctx")) return nullptr;
    if (bytes->size() != crypto::kPublicKeyLen) {
      return raise_message(Message::PublicKeyLength);
    }

    // Copy everything out of the Python context before any core work.
    dat::VerifyRequest request;
    request.now = quorvex::now().seconds;
    if (required) request.required_scope.assign(required->view);
    if (context) request.context = **context;
    // Returned before the lock is released: a context stays writable by other threads.
    context.reset();
    request.public_key = public_key_of(*bytes);

    auto verdict = without_gil([&] { return dat::verify_token(*token, request); });
    if (!verdict) return translate_core_error(verdict.error());
    if (*verdict) return translate_violation(**verdict);
    Py_RETURN_NONE;
  });
}

PyObject* dat_authorize(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    enum : std::size_t { kTrustedIssuers, kRequiredScope, kCtx, kLeeway, kSlotCount };
    static constexpr Param kParams[] = {{"trusted_issuers", true},
                                        {"required_scope", true},
                                        {"ctx", false},
                                        {"leeway", false, true}};
    static_assert(std::size(kParams) == kSlotCount);
    PyObject* slots[kSlotCount];
    if (!match_args({"DAT.authorize()", kParams}, args, kwargs, slots)) return nullptr;
    Shared<Dat> token(self);
    if (!token) return nullptr;
    PyObject* issuers = slots[kTrustedIssuers];
    // A mapping of DIDs: not a list or a text, which also answer [].
    if (!PyMapping_Check(issuers) || PySequence_Check(issuers)) {
      conversion_error(issuers, "trusted_issuers", "Mapping");
      return nullptr;
    }
    auto required = text_arg(slots[kRequiredScope], "required_scope");
    if (!required) return nullptr;
    if (!absent(slots[kCtx]) && !Shared<ContextFields>(slots[kCtx], "ctx")) return nullptr;
    std::int64_t leeway = 0;
    if (!absent(slots[kLeeway])) {
      auto given = i64_arg(slots[kLeeway], "leeway");
      if (!given) return nullptr;
      leeway = *given;
    }
    if (auto checked = dat::check_leeway(leeway); !checked) {
      return translate_argument_error(checked.error());
    }

    dat::VerifyRequest request;
    // The mapping may run Python code: it is read before the context is borrowed.
    switch (trusted_key(issuers, token->claims().iss, request.public_key)) {
      case TrustedKey::Found:
        break;
      case TrustedKey::Missing: {
        const std::string& issuer = token->claims().iss;
        PyRef details = PyRef::steal(PyDict_New());
        PyRef issuer_text = PyRef::steal(new_text(issuer));
        if (!details || !issuer_text ||
            PyDict_SetItemString(details.get(), "issuer", issuer_text.get()) != 0) {
          return nullptr;
        }
        return raise_refusal(PyExc_ValueError, core_error_message(dat::untrusted_issuer(issuer)),
                             kUnknownIssuer, details.get());
      }
      case TrustedKey::Failed:
        return nullptr;
    }
    if (auto kid = token->check_key_id(); !kid) return translate_core_error(kid.error());
    request.now = quorvex::now().seconds;
    request.leeway = leeway;
    request.required_scope.assign(required->view);
    if (!absent(slots[kCtx])) {
      Shared<ContextFields> context(slots[kCtx], "ctx");
      if (!context) return nullptr;
      request.context = *context;
    }

    auto verdict = without_gil([&] { return dat::verify_token(*token, request); });
    if (!verdict) return translate_core_error(verdict.error());
    if (*verdict) return translate_violation(**verdict);
    Py_RETURN_NONE;
  });
}

PyObject* dat_verify_signature(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"public_key_bytes", true}};
    PyObject* public_key_bytes_obj = nullptr;
    if (!match_args({"DAT.verify_signature()", kParams}, args, kwargs, &public_key_bytes_obj)) {
      return nullptr;
    }
    Shared<Dat> token(self);
    if (!token) return nullptr;
    auto bytes = public_key_arg(public_key_bytes_obj);
    if (!bytes) return nullptr;
    const PublicKey key = public_key_of(*bytes);
    const bool valid = without_gil([&] { return token->verify_signature(key).has_value(); });
    return PyBool_FromLong(valid ? 1 : 0);
  });
}

PyObject* dat_validate_timing(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!match_args({"DAT.validate_timing()", {}}, args, kwargs, nullptr)) return nullptr;
    Shared<Dat> token(self);
    if (!token) return nullptr;
    auto timing = dat::validate_timing(token->claims(), now().seconds);
    if (!timing) return translate_core_error(timing.error());
    Py_RETURN_NONE;
  });
}

}  // namespace quorvex::py
