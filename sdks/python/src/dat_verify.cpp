// DAT's checks: the signature, the whole pipeline for a given key or a trusted issuer's, timing.
#include "dat_verify.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "args.hpp"
#include "binding.hpp"
#include "core/aid/document.hpp"
#include "core/base/clock.hpp"
#include "core/base/text.hpp"
#include "core/dat/chain.hpp"
#include "core/dat/evaluate.hpp"
#include "core/dat/proof.hpp"
#include "core/dat/replay.hpp"
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

// optional_text reads an optional str argument: nullopt with the exception set when it is
// something else, an empty optional when it is absent.
std::optional<std::optional<Utf8>> optional_text(PyObject* obj, const char* name) {
  if (absent(obj)) return std::optional<Utf8>();
  auto text = text_arg(obj, name);
  if (!text) return std::nullopt;
  return std::optional<Utf8>(std::move(*text));
}

PyObject* raise_untrusted(const std::string& issuer) {
  PyRef details = PyRef::steal(PyDict_New());
  PyRef issuer_text = PyRef::steal(new_text(issuer));
  if (!details || !issuer_text ||
      PyDict_SetItemString(details.get(), "issuer", issuer_text.get()) != 0) {
    return nullptr;
  }
  return raise_refusal(PyExc_ValueError, core_error_message(dat::untrusted_issuer(issuer)),
                       kUnknownIssuer, details.get());
}

// revoked_link is the position of the first link, root first, whose jti is in revoked (any
// container answering `in`); an empty optional when none is. nullopt with the exception set
// when the container raises.
std::optional<std::optional<std::size_t>> revoked_link(PyObject* revoked,
                                                       const std::vector<Dat>& chain,
                                                       const Dat& leaf) {
  for (std::size_t i = 0; i <= chain.size(); ++i) {
    const Dat& link = i < chain.size() ? chain[i] : leaf;
    PyRef jti = PyRef::steal(new_text(link.claims().jti));
    if (!jti) return std::nullopt;
    const int found = PySequence_Contains(revoked, jti.get());
    if (found < 0) return std::nullopt;
    if (found == 1) return std::optional<std::size_t>(i);
  }
  return std::optional<std::size_t>();
}

// The codes of refused proofs of possession.
std::string_view proof_code(dat::ProofFault fault) noexcept {
  switch (fault) {
    case dat::ProofFault::Required:
      return "ProofRequired";
    case dat::ProofFault::Invalid:
      return "ProofInvalid";
    case dat::ProofFault::Replayed:
      return "ProofReplayed";
  }
  return "ProofInvalid";
}

PyObject* translate_refusal(const dat::Refusal& refusal) {
  if (const auto* violation = std::get_if<ConstraintViolation>(&refusal)) {
    return translate_violation(*violation);
  }
  const auto& proof = std::get<dat::ProofRefusal>(refusal);
  return raise_refusal(PyExc_ValueError, proof.text, proof_code(proof.fault));
}

// The name of a replay store's one method.
constexpr const char* kRemember = "remember";

// remember_proof records an accepted proof until expires_at: in the process's own memory, or
// by replay.remember(key, expires_at), which answers True for a key it had not seen and False
// for one it had. A proof seen before raises ProofReplayed; false with the exception set.
bool remember_proof(PyObject* replay, const dat::ProofFacts& facts, std::int64_t expires_at,
                    std::int64_t now) {
  const auto replayed = [&](std::string_view why) {
    std::string text = "proof ";
    append_debug_excerpt(text, facts.jti);
    text += why;
    raise_refusal(PyExc_ValueError, text, proof_code(dat::ProofFault::Replayed));
    return false;
  };
  if (replay == nullptr) {
    switch (dat::process_replay_memory().remember(dat::replay_key(facts.key, facts.jti), expires_at,
                                                  now)) {
      case dat::ReplayMemory::Outcome::New:
        return true;
      case dat::ReplayMemory::Outcome::Replayed:
        return replayed(" has been used before");
      case dat::ReplayMemory::Outcome::Full:
        return replayed(" cannot be remembered: the replay memory is full");
    }
  }
  PyRef key = PyRef::steal(new_text(dat::replay_key_text(facts.key, facts.jti)));
  PyRef expires = PyRef::steal(PyLong_FromLongLong(expires_at));
  PyRef name = PyRef::steal(PyUnicode_FromString(kRemember));
  if (!key || !expires || !name) return false;
  PyRef answer = PyRef::steal(
      PyObject_CallMethodObjArgs(replay, name.get(), key.get(), expires.get(), nullptr));
  if (!answer) return false;
  if (answer.get() == Py_True) return true;
  if (answer.get() == Py_False) return replayed(" has been used before");
  std::string text = "replay.remember() must return bool, not '";
  text += type_name_of(answer.get());
  text += "'";
  raise_type_error(text);
  return false;
}

}  // namespace

std::optional<std::string> token_text_arg(PyObject* obj, const char* name) {
  if (ClassOf<Dat>::type != nullptr && Py_TYPE(obj) == ClassOf<Dat>::type) {
    Shared<Dat> token(obj, name);
    if (!token) return std::nullopt;
    return token->compact_text();
  }
  auto text = text_arg(obj, name);
  if (!text) return std::nullopt;
  return std::string(text->view);
}

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
    enum : std::size_t {
      kTrustedIssuers,
      kRequiredScope,
      kCtx,
      kLeeway,
      kProof,
      kMethod,
      kUrl,
      kRevoked,
      kProofWindow,
      kReplay,
      kSlotCount
    };
    static constexpr Param kParams[] = {
        {"trusted_issuers", true}, {"required_scope", true}, {"ctx", false},
        {"leeway", false, true},   {"proof", false, true},   {"method", false, true},
        {"url", false, true},      {"revoked", false, true}, {"proof_window", false, true},
        {"replay", false, true}};
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
    dat::AuthorizeRequest request;
    auto proof = optional_text(slots[kProof], "proof");
    auto method = optional_text(slots[kMethod], "method");
    auto url = optional_text(slots[kUrl], "url");
    if (!proof || !method || !url) return nullptr;
    if (*proof && (!*method || !*url)) {
      return raise_value_error("method and url are required with a proof");
    }
    if (*url) {
      if (auto target = dat::target_uri((*url)->view); !target) {
        return translate_argument_error(target.error());
      }
    }
    if (!absent(slots[kProofWindow])) {
      auto given = i64_arg(slots[kProofWindow], "proof_window");
      if (!given) return nullptr;
      if (auto checked = dat::check_proof_window(*given); !checked) {
        return translate_argument_error(checked.error());
      }
      request.proof_window = *given;
    }
    PyObject* replay = absent(slots[kReplay]) ? nullptr : slots[kReplay];
    // The objects are called later, maybe after kwargs has been dropped by another thread.
    const PyRef revoked_pin = PyRef::borrow(slots[kRevoked]);
    const PyRef replay_pin = PyRef::borrow(replay);

    // A chain's links are parsed without the lock; a token without one has nothing to parse.
    const auto read = [&] { return dat::read_chain(*token); };
    const auto& links = token->claims().delegation_chain;
    auto chain = links && !links->empty() ? without_gil(read) : read();
    if (!chain) return translate_core_error(chain.error());
    const Dat& root = chain->empty() ? *token : chain->front();
    // The mapping may run Python code: it is read before the context is borrowed.
    switch (trusted_key(issuers, root.claims().iss, request.verify.public_key)) {
      case TrustedKey::Found:
        break;
      case TrustedKey::Missing:
        return raise_untrusted(root.claims().iss);
      case TrustedKey::Failed:
        return nullptr;
    }
    if (auto kid = root.check_key_id(); !kid) return translate_core_error(kid.error());
    if (!absent(slots[kRevoked])) {
      auto revoked = revoked_link(slots[kRevoked], *chain, *token);
      if (!revoked) return nullptr;
      request.revoked_link = *revoked;
    }
    request.verify.now = quorvex::now().seconds;
    request.verify.leeway = leeway;
    request.verify.required_scope.assign(required->view);
    if (!absent(slots[kCtx])) {
      Shared<ContextFields> context(slots[kCtx], "ctx");
      if (!context) return nullptr;
      request.verify.context = *context;
    }
    if (*proof) request.proof = (*proof)->view;
    if (*method) request.method = (*method)->view;
    if (*url) request.url = (*url)->view;

    auto verdict = without_gil([&] { return dat::authorize_token(*token, *chain, request); });
    if (!verdict) return translate_core_error(verdict.error());
    if (verdict->refusal) return translate_refusal(*verdict->refusal);
    if (verdict->proof) {
      const dat::ProofFacts& facts = *verdict->proof;
      if (!remember_proof(replay, facts, facts.iat + request.proof_window, request.verify.now)) {
        return nullptr;
      }
    }
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
