// KeyPair and TrustLevel.
#include "core/crypto/keypair.hpp"

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "args.hpp"
#include "binding.hpp"
#include "core/base/clock.hpp"
#include "core/crypto/encoding.hpp"
#include "core/crypto/jwk.hpp"
#include "core/crypto/public_key_text.hpp"
#include "core/crypto/trust_level.hpp"
#include "core/dat/proof.hpp"
#include "dat_verify.hpp"

namespace quorvex::py {
namespace {

using crypto::KeyPair;
using crypto::TrustLevel;

// ---- KeyPair ---------------------------------------------------------------

PyObject* keypair_generate(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!match_args({"KeyPair.generate()", {}}, args, kwargs, nullptr)) return nullptr;
    KeyPair pair = without_gil([] { return KeyPair::generate(); });
    return wrap(std::move(pair));
  });
}

PyObject* keypair_from_secret_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"secret", true}};
    PyObject* secret_obj = nullptr;
    if (!match_args({"KeyPair.from_secret_bytes()", kParams}, args, kwargs, &secret_obj)) {
      return nullptr;
    }
    auto secret = bytes_arg(secret_obj, "secret");
    if (!secret) return nullptr;
    if (secret->size() != crypto::kSeedLen) {
      return raise_message(Message::SecretKeyLength);
    }
    // Pinned rather than copied: no second copy of the seed to wipe.
    const PyRef pin = PyRef::borrow(secret_obj);
    const std::span<const std::uint8_t, crypto::kSeedLen> seed(secret->data(), crypto::kSeedLen);
    KeyPair pair = without_gil([&] { return KeyPair::from_seed(seed); });
    return wrap(std::move(pair));
  });
}

// jwk_member is a dict's value for name when it is a str; nullopt when it is absent, not a
// str, or a str that is no UTF-8 (a lone surrogate). Returns false with an exception set only
// when looking it up raised.
bool jwk_member(PyObject* dict, const char* name, std::optional<Utf8>& out) {
  const PyRef key = PyRef::steal(PyUnicode_FromString(name));
  if (!key) return false;
  PyObject* value = PyDict_GetItemWithError(dict, key.get());
  if (value == nullptr) return PyErr_Occurred() == nullptr;
  if (!PyUnicode_Check(value)) return true;
  // Encoding runs no code of the caller's, so the borrowed value stays alive meanwhile.
  out = text_arg(value, name);
  if (!out && PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) PyErr_Clear();
  return !PyErr_Occurred();
}

// public_key_from_dict reads a JWK given as a dict: its members go to the core as they are.
PyObject* public_key_from_dict(PyObject* dict) {
  std::optional<Utf8> kty;
  std::optional<Utf8> crv;
  std::optional<Utf8> x;
  if (!jwk_member(dict, "kty", kty) || !jwk_member(dict, "crv", crv) || !jwk_member(dict, "x", x)) {
    return nullptr;
  }
  // "d" holding anything but None is a private key, as null stands for absent in JSON text.
  const PyRef d_key = PyRef::steal(PyUnicode_FromString("d"));
  if (!d_key) return nullptr;
  PyObject* d = PyDict_GetItemWithError(dict, d_key.get());
  if (d == nullptr && PyErr_Occurred() != nullptr) return nullptr;
  const bool has_d = d != nullptr && d != Py_None;
  const auto view = [](const std::optional<Utf8>& text) -> std::optional<std::string_view> {
    if (!text) return std::nullopt;
    return text->view;
  };
  auto key = crypto::public_key_from_jwk({view(kty), view(crv), view(x), has_d});
  if (!key) return raise_value_error(key.error().text());
  return new_bytes(*key);
}

PyObject* keypair_public_key_from(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"value", true}};
    PyObject* value_obj = nullptr;
    if (!match_args({"KeyPair.public_key_from()", kParams}, args, kwargs, &value_obj)) {
      return nullptr;
    }
    if (PyDict_Check(value_obj)) return public_key_from_dict(value_obj);
    auto text = text_arg(value_obj, "value");
    // A str with a lone surrogate is text in none of the forms, refused as such.
    if (!text && PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
      PyErr_Clear();
      return raise_value_error(crypto::public_key_forms_message());
    }
    if (!text) return nullptr;
    auto key = crypto::public_key_from_text(text->view);
    if (!key) return raise_value_error(key.error().text());
    return new_bytes(*key);
  });
}

PyObject* keypair_sign(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"message", true}};
    PyObject* message_obj = nullptr;
    if (!match_args({"KeyPair.sign()", kParams}, args, kwargs, &message_obj)) return nullptr;
    Shared<KeyPair> key(self);
    if (!key) return nullptr;
    auto message = bytes_arg(message_obj, "message");
    if (!message) return nullptr;
    // The slot may be a kwargs entry that another thread drops while the lock is released.
    const PyRef pin = PyRef::borrow(message_obj);
    const crypto::Signature signature = without_gil([&] { return key->sign(*message); });
    return new_bytes(signature);
  });
}

PyObject* keypair_prove(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    enum : std::size_t { kToken, kMethod, kUrl, kSlotCount };
    static constexpr Param kParams[] = {{"token", true}, {"method", true}, {"url", true}};
    static_assert(std::size(kParams) == kSlotCount);
    PyObject* slots[kSlotCount];
    if (!match_args({"KeyPair.prove()", kParams}, args, kwargs, slots)) return nullptr;
    Shared<KeyPair> key(self);
    if (!key) return nullptr;
    auto token = token_text_arg(slots[kToken], "token");
    if (!token) return nullptr;
    auto method = text_arg(slots[kMethod], "method");
    if (!method) return nullptr;
    auto url = text_arg(slots[kUrl], "url");
    if (!url) return nullptr;
    const std::int64_t now_seconds = now().seconds;
    auto proof = without_gil(
        [&] { return dat::make_proof(*key, *token, method->view, url->view, now_seconds); });
    if (!proof) return translate_argument_error(proof.error());
    return new_text(*proof);
  });
}

PyObject* keypair_verify(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    enum : std::size_t { kMessage, kSignature, kSlotCount };
    static constexpr Param kParams[] = {{"message", true}, {"signature", true}};
    static_assert(std::size(kParams) == kSlotCount);
    PyObject* slots[kSlotCount];
    if (!match_args({"KeyPair.verify()", kParams}, args, kwargs, slots)) return nullptr;
    Shared<KeyPair> key(self);
    if (!key) return nullptr;
    auto message = bytes_arg(slots[kMessage], "message");
    if (!message) return nullptr;
    auto signature = bytes_arg(slots[kSignature], "signature");
    if (!signature) return nullptr;
    const PyRef pins[] = {PyRef::borrow(slots[kMessage]), PyRef::borrow(slots[kSignature])};
    // Every verification failure, whatever its reason, is False.
    const bool valid = without_gil([&] { return key->verify(*message, *signature).has_value(); });
    return PyBool_FromLong(valid ? 1 : 0);
  });
}

PyObject* keypair_public_key_bytes(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<KeyPair> key(self);
    if (!key) return nullptr;
    return new_bytes(key->public_key_bytes());
  });
}

PyObject* keypair_public_key_multibase(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<KeyPair> key(self);
    if (!key) return nullptr;
    return new_text(crypto::multibase_base58btc(key->public_key_bytes()));
  });
}

PyObject* keypair_public_key_jwk(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<KeyPair> key(self);
    if (!key) return nullptr;
    const crypto::PublicJwk jwk = crypto::public_jwk(key->public_key_bytes());
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    const std::pair<const char*, std::string_view> members[] = {
        {"kty", jwk.kty}, {"crv", jwk.crv}, {"x", jwk.x}};
    for (const auto& [name, text] : members) {
      const PyRef value = PyRef::steal(new_text(text));
      if (!value || PyDict_SetItemString(dict.get(), name, value.get()) != 0) return nullptr;
    }
    return dict.release();
  });
}

PyObject* keypair_jwk_thumbprint(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<KeyPair> key(self);
    if (!key) return nullptr;
    return new_text(crypto::jwk_thumbprint(key->public_key_bytes()));
  });
}

PyObject* keypair_did_key(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<KeyPair> key(self);
    if (!key) return nullptr;
    return new_text(crypto::did_key(key->public_key_bytes()));
  });
}

PyObject* keypair_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Shared<KeyPair> key(self);
    if (!key) return nullptr;
    const std::string text =
        "KeyPair(public_key='" + crypto::multibase_base58btc(key->public_key_bytes()) + "')";
    return new_text(text);
  });
}

PyMethodDef keypair_methods[] = {
    {"prove", QV_METHOD(keypair_prove), METH_VARARGS | METH_KEYWORDS,
     "prove($self, token, method, url)\n--\n\n"
     "A proof that this key's holder sends the request: a compact JWS with header\n"
     "{\"typ\": \"dpop+jwt\", \"alg\": \"EdDSA\", \"jwk\": <this public key>} and claims jti\n"
     "(fresh), htm (method), htu (url without query or fragment), iat (now) and ath (the\n"
     "base64url SHA-256 of the token's text), as RFC 9449 shapes a DPoP proof.\n"
     "\n"
     "Args:\n"
     "    token: The DAT the request carries, or its compact text\n"
     "    method: The request's HTTP method, e.g. \"POST\"\n"
     "    url: The request's absolute http or https URL\n"
     "\n"
     "Raises ValueError (code InvalidArgument) for an empty method or a url that is not\n"
     "an absolute http or https URL."},
    {"generate", QV_METHOD(keypair_generate), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "generate()\n--\n\nGenerate a new random Ed25519 key pair."},
    {"from_secret_bytes", QV_METHOD(keypair_from_secret_bytes),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_secret_bytes(secret)\n--\n\nCreate a key pair from secret key bytes (32 bytes)."},
    {"public_key_from", QV_METHOD(keypair_public_key_from),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "public_key_from(value)\n--\n\nThe 32 public key bytes written as multibase base58btc "
     "text ('z...', as\npublic_key_multibase gives), as a did:key (did_key), as an Ed25519 JWK "
     "(a dict\nor its JSON text, as public_key_jwk gives; one holding \"d\" is refused) or as "
     "64\nhex digits of either case. The bytes are not checked to be a curve point;\n"
     "verification does that."},
    {"sign", QV_METHOD(keypair_sign), METH_VARARGS | METH_KEYWORDS, "sign($self, message)\n--\n\n"},
    {"verify", QV_METHOD(keypair_verify), METH_VARARGS | METH_KEYWORDS,
     "verify($self, message, signature)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef keypair_getset[] = {
    {"public_key_bytes", keypair_public_key_bytes, nullptr, nullptr, nullptr},
    {"public_key_multibase", keypair_public_key_multibase, nullptr, nullptr, nullptr},
    {"public_key_jwk", keypair_public_key_jwk, nullptr, nullptr, nullptr},
    {"jwk_thumbprint", keypair_jwk_thumbprint, nullptr, nullptr, nullptr},
    {"did_key", keypair_did_key, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- TrustLevel ------------------------------------------------------------

PyObject* trust_level_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"level", true}};
    PyObject* level_obj = nullptr;
    if (!match_args({"TrustLevel.__new__()", kParams}, args, kwargs, &level_obj)) return nullptr;
    auto text = text_arg(level_obj, "level");
    if (!text) return nullptr;
    auto level = TrustLevel::parse(text->view);
    if (!level) return raise_value_error(crypto::invalid_trust_level_message(text->view));
    return wrap(*level);
  });
}

PyObject* trust_level_meets_minimum(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"required", true}};
    PyObject* required_obj = nullptr;
    if (!match_args({"TrustLevel.meets_minimum()", kParams}, args, kwargs, &required_obj)) {
      return nullptr;
    }
    Shared<TrustLevel> level(self);
    if (!level) return nullptr;
    Shared<TrustLevel> required(required_obj, "required");
    if (!required) return nullptr;
    return PyBool_FromLong(level->meets_minimum(*required) ? 1 : 0);
  });
}

PyObject* trust_level_description(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<TrustLevel> level(self);
    if (!level) return nullptr;
    return new_text(level->description());
  });
}

PyObject* trust_level_str(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Shared<TrustLevel> level(self);
    if (!level) return nullptr;
    return new_text(level->name());
  });
}

PyObject* trust_level_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Shared<TrustLevel> level(self);
    if (!level) return nullptr;
    return new_text(level->repr_text());
  });
}

PyMethodDef trust_level_methods[] = {
    {"meets_minimum", QV_METHOD(trust_level_meets_minimum), METH_VARARGS | METH_KEYWORDS,
     "meets_minimum($self, required)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef trust_level_getset[] = {
    {"description", trust_level_description, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* make_keypair_type() {
  return make_class<KeyPair>({
      "builtins.KeyPair",
      "An Ed25519 key pair for signing and verification.\n"
      "\n"
      "The private key is held securely in native memory and is never exposed to Python.\n"
      "Use `sign()` to create signatures and `verify()` for verification.",
      false,
      nullptr,
      keypair_methods,
      keypair_getset,
      keypair_repr,
      nullptr,
  });
}

PyTypeObject* make_trust_level_type() {
  return make_class<TrustLevel>({
      "builtins.TrustLevel",
      "TrustLevel(level)\n--\n\n",
      true,
      trust_level_new,
      trust_level_methods,
      trust_level_getset,
      trust_level_repr,
      trust_level_str,
  });
}

}  // namespace quorvex::py
