// DAT.
#include <Python.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args.hpp"
#include "binding.hpp"
#include "core/base/clock.hpp"
#include "core/dat/chain.hpp"
#include "core/dat/constraints.hpp"
#include "core/dat/evaluate.hpp"
#include "core/dat/token.hpp"
#include "core/dat/token_json.hpp"
#include "dat_verify.hpp"
#include "record_values.hpp"

namespace quorvex::py {
namespace {

using dat::Dat;

// sign_token issues a token expiring expires_in seconds from now, signing it without the lock.
PyObject* sign_token(std::string_view issuer, std::string_view subject,
                     std::vector<std::string> scope, std::int64_t expires_in,
                     std::optional<dat::DatConstraints> constraints,
                     std::optional<std::string> attestation, const crypto::KeyPair& key,
                     const std::optional<crypto::PublicKey>& holder = std::nullopt) {
  const Instant now = quorvex::now();
  const auto expiry = dat::expiry_after(now.seconds, expires_in);
  if (!expiry) return translate_argument_error(expiry.error());
  auto token = without_gil([&] {
    return Dat::issue(std::string(issuer), std::string(subject), std::move(scope), *expiry,
                      std::move(constraints), std::move(attestation), key, now.seconds,
                      now.unix_millis(), holder);
  });
  if (!token) return translate_core_error(token.error());
  return wrap(std::move(*token));
}

// holder_key_arg reads the 32 public key bytes a token is bound to.
bool holder_key_arg(PyObject* obj, std::optional<crypto::PublicKey>& out) {
  auto bytes = bytes_arg(obj, "holder_key");
  if (!bytes) return false;
  if (bytes->size() != crypto::kPublicKeyLen) {
    raise_message(Message::PublicKeyLength);
    return false;
  }
  crypto::PublicKey key{};
  std::copy_n(bytes->begin(), key.size(), key.begin());
  out = key;
  return true;
}

PyObject* dat_issue(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    enum : std::size_t {
      kIssuerDid,
      kSubjectDid,
      kScope,
      kExpiresInSeconds,
      kSigningKey,
      kMaxActions,
      kRequireReceipt,
      kMaxDelegationDepth,
      kMinTrustLevel,
      kSlotCount
    };
    static constexpr Param kParams[] = {
        {"issuer_did", true},         {"subject_did", true},           {"scope", true},
        {"expires_in_seconds", true}, {"signing_key", true},           {"max_actions", false},
        {"require_receipt", false},   {"max_delegation_depth", false}, {"min_trust_level", false},
    };
    static_assert(std::size(kParams) == kSlotCount);
    PyObject* slots[kSlotCount];
    if (!match_args({"DAT.issue()", kParams}, args, kwargs, slots)) return nullptr;
    auto issuer = text_arg(slots[kIssuerDid], "issuer_did");
    if (!issuer) return nullptr;
    auto subject = text_arg(slots[kSubjectDid], "subject_did");
    if (!subject) return nullptr;
    auto scope = text_list_arg(slots[kScope], "scope");
    if (!scope) return nullptr;
    auto expires_in = i64_arg(slots[kExpiresInSeconds], "expires_in_seconds");
    if (!expires_in) return nullptr;
    Shared<crypto::KeyPair> key(slots[kSigningKey], "signing_key");
    if (!key) return nullptr;
    // The slot may be a kwargs entry that another thread drops while the lock is released.
    const PyRef key_pin = PyRef::borrow(slots[kSigningKey]);

    dat::DatConstraints constraints;
    bool any_constraint = false;
    if (!absent(slots[kMaxActions])) {
      auto v = u64_arg(slots[kMaxActions], "max_actions");
      if (!v) return nullptr;
      constraints.max_actions = *v;
      any_constraint = true;
    }
    if (!absent(slots[kRequireReceipt])) {
      auto v = bool_arg(slots[kRequireReceipt], "require_receipt");
      if (!v) return nullptr;
      constraints.require_receipt = *v;
      any_constraint = true;
    }
    if (!absent(slots[kMaxDelegationDepth])) {
      auto v = u32_arg(slots[kMaxDelegationDepth], "max_delegation_depth");
      if (!v) return nullptr;
      constraints.max_delegation_depth = *v;
      any_constraint = true;
    }
    if (!absent(slots[kMinTrustLevel])) {
      auto v = u8_arg(slots[kMinTrustLevel], "min_trust_level");
      if (!v) return nullptr;
      constraints.min_trust_level = *v;
      any_constraint = true;
    }

    return sign_token(issuer->view, subject->view, std::move(*scope), *expires_in,
                      any_constraint ? std::optional(std::move(constraints)) : std::nullopt,
                      std::nullopt, *key);
  });
}

PyObject* dat_issue_constrained(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    enum : std::size_t {
      kIssuerDid,
      kSubjectDid,
      kScope,
      kExpiresInSeconds,
      kSigningKey,
      kConstraints,
      kConfigAttestation,
      kHolderKey,
      kSlotCount
    };
    static constexpr Param kParams[] = {
        {"issuer_did", true},
        {"subject_did", true},
        {"scope", true},
        {"expires_in_seconds", true},
        {"signing_key", true},
        {"constraints", false, true},
        {"config_attestation", false, true},
        {"holder_key", false, true},
    };
    static_assert(std::size(kParams) == kSlotCount);
    PyObject* slots[kSlotCount];
    if (!match_args({"DAT.issue_constrained()", kParams}, args, kwargs, slots)) return nullptr;
    // The slot may be a kwargs entry that another thread drops while the lock is released.
    const PyRef key_pin = PyRef::borrow(slots[kSigningKey]);
    auto issuer = text_arg(slots[kIssuerDid], "issuer_did");
    if (!issuer) return nullptr;
    auto subject = text_arg(slots[kSubjectDid], "subject_did");
    if (!subject) return nullptr;
    auto scope = text_list_arg(slots[kScope], "scope");
    if (!scope) return nullptr;
    auto expires_in = i64_arg(slots[kExpiresInSeconds], "expires_in_seconds");
    if (!expires_in) return nullptr;
    std::optional<dat::DatConstraints> constraints;
    if (!absent(slots[kConstraints])) {
      dat::DatConstraints given;
      if (!record_from_dict(slots[kConstraints], "constraints", given)) return nullptr;
      // A dict without members writes no constraints, as DAT.issue without its keywords.
      if (given != dat::DatConstraints{}) constraints = std::move(given);
    }
    std::optional<std::string> attestation;
    if (!absent(slots[kConfigAttestation])) {
      auto text = text_arg(slots[kConfigAttestation], "config_attestation");
      if (!text) return nullptr;
      attestation.emplace(text->view);
    }
    std::optional<crypto::PublicKey> holder;
    if (!absent(slots[kHolderKey]) && !holder_key_arg(slots[kHolderKey], holder)) return nullptr;
    // Borrowed last: converting the dict may run Python code.
    Shared<crypto::KeyPair> key(slots[kSigningKey], "signing_key");
    if (!key) return nullptr;

    const dat::DatConstraints none;
    if (auto checked = dat::check_constraints(*scope, constraints ? *constraints : none);
        !checked) {
      return translate_argument_error(checked.error());
    }
    return sign_token(issuer->view, subject->view, std::move(*scope), *expires_in,
                      std::move(constraints), std::move(attestation), *key, holder);
  });
}

PyObject* dat_delegate(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    enum : std::size_t {
      kParent,
      kSubjectDid,
      kScope,
      kExpiresInSeconds,
      kSigningKey,
      kHolderKey,
      kConstraints,
      kSlotCount
    };
    static constexpr Param kParams[] = {
        {"parent", true},
        {"subject_did", true},
        {"scope", true},
        {"expires_in_seconds", true},
        {"signing_key", true},
        {"holder_key", false, true},
        {"constraints", false, true},
    };
    static_assert(std::size(kParams) == kSlotCount);
    PyObject* slots[kSlotCount];
    if (!match_args({"DAT.delegate()", kParams}, args, kwargs, slots)) return nullptr;
    const PyRef key_pin = PyRef::borrow(slots[kSigningKey]);
    auto parent_text = token_text_arg(slots[kParent], "parent");
    if (!parent_text) return nullptr;
    dat::Delegation delegation;
    auto subject = text_arg(slots[kSubjectDid], "subject_did");
    if (!subject) return nullptr;
    delegation.subject.assign(subject->view);
    auto scope = text_list_arg(slots[kScope], "scope");
    if (!scope) return nullptr;
    delegation.scope = std::move(*scope);
    auto expires_in = i64_arg(slots[kExpiresInSeconds], "expires_in_seconds");
    if (!expires_in) return nullptr;
    delegation.expires_in = *expires_in;
    if (!absent(slots[kHolderKey]) && !holder_key_arg(slots[kHolderKey], delegation.holder)) {
      return nullptr;
    }
    if (!absent(slots[kConstraints])) {
      dat::DatConstraints given;
      if (!record_from_dict(slots[kConstraints], "constraints", given)) return nullptr;
      if (given != dat::DatConstraints{}) delegation.constraints = std::move(given);
    }
    // Borrowed last: converting the dict may run Python code.
    Shared<crypto::KeyPair> key(slots[kSigningKey], "signing_key");
    if (!key) return nullptr;

    const dat::DatConstraints none;
    if (auto checked = dat::check_constraints(
            delegation.scope, delegation.constraints ? *delegation.constraints : none);
        !checked) {
      return translate_argument_error(checked.error());
    }
    auto parent = without_gil([&] { return Dat::from_compact(*parent_text); });
    if (!parent) return translate_core_error(parent.error());
    const Instant now = quorvex::now();
    auto child = without_gil([&] {
      return dat::delegate(*parent, std::move(delegation), *key, now.seconds, now.unix_millis());
    });
    if (!child) {
      if (child.error().kind() == ErrorKind::Other) return translate_argument_error(child.error());
      return translate_core_error(child.error());
    }
    return wrap(std::move(*child));
  });
}

PyObject* dat_from_compact(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"compact", true}};
    PyObject* compact_obj = nullptr;
    if (!match_args({"DAT.from_compact()", kParams}, args, kwargs, &compact_obj)) return nullptr;
    auto text = text_arg(compact_obj, "compact");
    if (!text) return nullptr;
    // text owns its UTF-8 copy, which no other thread can reach.
    auto parse = [&] { return Dat::from_compact(text->view); };
    auto token = text->view.size() < kParseWithoutLockFrom ? parse() : without_gil(parse);
    if (!token) return translate_core_error(token.error());
    return wrap(std::move(*token));
  });
}

PyObject* dat_to_compact(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!match_args({"DAT.to_compact()", {}}, args, kwargs, nullptr)) return nullptr;
    Shared<Dat> token(self);
    if (!token) return nullptr;
    auto text = token->to_compact();
    if (!text) return translate_core_error(text.error());
    return new_text(*text);
  });
}

template <typename Get>
PyObject* dat_getter(PyObject* self, Get&& get) {
  return guarded([&]() -> PyObject* {
    Shared<Dat> token(self);
    if (!token) return nullptr;
    return get(token->claims());
  });
}

PyObject* dat_issuer(PyObject* self, void*) {
  return dat_getter(self, [](const dat::DatClaims& c) { return new_text(c.iss); });
}
PyObject* dat_subject(PyObject* self, void*) {
  return dat_getter(self, [](const dat::DatClaims& c) { return new_text(c.sub); });
}
PyObject* dat_jti(PyObject* self, void*) {
  return dat_getter(self, [](const dat::DatClaims& c) { return new_text(c.jti); });
}
PyObject* dat_expires_at(PyObject* self, void*) {
  return dat_getter(self, [](const dat::DatClaims& c) { return PyLong_FromLongLong(c.exp); });
}
PyObject* dat_is_expired(PyObject* self, void*) {
  return dat_getter(self, [](const dat::DatClaims& c) {
    return PyBool_FromLong(dat::is_expired(c, now().seconds) ? 1 : 0);
  });
}
PyObject* dat_scope(PyObject* self, void*) {
  return dat_getter(self, [](const dat::DatClaims& c) -> PyObject* {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(c.scope.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < c.scope.size(); ++i) {
      PyObject* item = new_text(c.scope[i]);
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
  });
}

PyObject* dat_issued_at(PyObject* self, void*) {
  return dat_getter(self, [](const dat::DatClaims& c) { return PyLong_FromLongLong(c.iat); });
}
PyObject* dat_not_before(PyObject* self, void*) {
  return dat_getter(self, [](const dat::DatClaims& c) { return PyLong_FromLongLong(c.nbf); });
}
PyObject* dat_constraints(PyObject* self, void*) {
  return dat_getter(self, [](const dat::DatClaims& c) -> PyObject* {
    if (!c.constraints) return PyDict_New();
    return record_dict(*c.constraints);
  });
}
PyObject* dat_config_attestation(PyObject* self, void*) {
  return dat_getter(self, [](const dat::DatClaims& c) -> PyObject* {
    if (!c.config_attestation) Py_RETURN_NONE;
    return new_text(*c.config_attestation);
  });
}
PyObject* dat_delegation_chain(PyObject* self, void*) {
  return dat_getter(self, [](const dat::DatClaims& c) -> PyObject* {
    if (!c.delegation_chain) Py_RETURN_NONE;
    return py_value(*c.delegation_chain);
  });
}

PyObject* dat_bound_key(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<Dat> token(self);
    if (!token) return nullptr;
    auto key = token->bound_key();
    if (!key) return translate_core_error(key.error());
    if (!*key) Py_RETURN_NONE;
    return new_bytes(**key);
  });
}

PyObject* dat_key_id(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Shared<Dat> token(self);
    if (!token) return nullptr;
    return new_text(token->header().kid);
  });
}

PyObject* dat_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Shared<Dat> token(self);
    if (!token) return nullptr;
    const dat::DatClaims& c = token->claims();
    const bool expired = dat::is_expired(c, now().seconds);
    const std::string text = "DAT(issuer='" + c.iss + "', subject='" + c.sub + "', jti='" + c.jti +
                             "', expired=" + (expired ? "true" : "false") + ")";
    return new_text(text);
  });
}

PyMethodDef dat_methods[] = {
    {"issue", QV_METHOD(dat_issue), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "issue(issuer_did, subject_did, scope, expires_in_seconds, signing_key, max_actions=None, "
     "require_receipt=None, max_delegation_depth=None, min_trust_level=None)\n--\n\n"
     "Issue a new DAT.\n"
     "\n"
     "Args:\n"
     "    issuer_did: DID of the delegator\n"
     "    subject_did: DID of the agent receiving delegation\n"
     "    scope: List of scope strings, e.g. [\"mcp:tool:read\"]\n"
     "    expires_in_seconds: TTL in seconds\n"
     "    signing_key: Issuer's KeyPair\n"
     "    max_actions: Optional lifetime action cap\n"
     "    require_receipt: Whether receipts are required per action\n"
     "    max_delegation_depth: Max re-delegation depth (0 = no re-delegation)\n"
     "    min_trust_level: Minimum agent trust level (0-100)"},
    {"issue_constrained", QV_METHOD(dat_issue_constrained),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "issue_constrained(issuer_did, subject_did, scope, expires_in_seconds, signing_key, *, "
     "constraints=None, config_attestation=None, holder_key=None)\n--\n\n"
     "Issue a new DAT with any constraints and a configuration attestation.\n"
     "\n"
     "Args:\n"
     "    issuer_did: DID of the delegator\n"
     "    subject_did: DID of the agent receiving delegation\n"
     "    scope: List of scope strings, each namespace:protocol:resource:action\n"
     "    expires_in_seconds: TTL in seconds\n"
     "    signing_key: Issuer's KeyPair\n"
     "    constraints: Dict shaped as DAT.constraints returns it (maxActions, rateLimit, ...)\n"
     "    config_attestation: Text for the token's configAttestation\n"
     "    holder_key: The holder's 32-byte public key, bound to the token as cnf (RFC 7800);\n"
     "        authorize then asks every request for a proof made with it (KeyPair.prove)\n"
     "\n"
     "Raises ValueError (code InvalidArgument) for an unknown member or a value no\n"
     "verification could accept: a scope that does not parse, an IP entry that is no\n"
     "address or network, an hour above 23, a weekday above 6, a country that is not two\n"
     "letters."},
    {"delegate", QV_METHOD(dat_delegate), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "delegate(parent, subject_did, scope, expires_in_seconds, signing_key, *, "
     "holder_key=None, constraints=None)\n--\n\n"
     "Delegate part of a holder-bound token to a sub-agent. The child's iss is the\n"
     "parent's sub and its delegationChain the parent's chain followed by the parent's\n"
     "text, root first; authorize checks it link by link.\n"
     "\n"
     "Args:\n"
     "    parent: The holder-bound DAT being delegated, or its compact text\n"
     "    subject_did: DID of the sub-agent\n"
     "    scope: Scope strings, each covered by one of the parent's\n"
     "    expires_in_seconds: TTL in seconds; the child may not outlive the parent\n"
     "    signing_key: The parent's holder's KeyPair, the key the parent binds\n"
     "    holder_key: The sub-agent's 32-byte public key, to bind the child to it\n"
     "    constraints: Further constraints, as for issue_constrained; the parent's\n"
     "        still apply\n"
     "\n"
     "Raises ValueError (code InvalidArgument) when signing_key is not the parent's bound\n"
     "key, a scope is not covered, the child would outlive the parent, or a link's\n"
     "maxDelegationDepth allows no further link."},
    {"to_compact", QV_METHOD(dat_to_compact), METH_VARARGS | METH_KEYWORDS,
     "to_compact($self)\n--\n\nSerialize to compact JWS format."},
    {"from_compact", QV_METHOD(dat_from_compact), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_compact(compact)\n--\n\nParse from compact JWS string."},
    {"verify", QV_METHOD(dat_verify), METH_VARARGS | METH_KEYWORDS,
     "verify($self, public_key_bytes, required_scope=\"\", ctx=None)\n--\n\n"
     "Full verification pipeline: sig + timing + scope + all constraints.\n"
     "\n"
     "Args:\n"
     "    public_key_bytes: 32-byte Ed25519 public key of the issuer\n"
     "    required_scope: Scope string to check (e.g. \"mcp:tool:read\"), or \"\" to skip\n"
     "    ctx: EvaluationContext with runtime values (optional, defaults to empty context)\n"
     "\n"
     "Raises ValueError on any verification failure."},
    {"authorize", QV_METHOD(dat_authorize), METH_VARARGS | METH_KEYWORDS,
     "authorize($self, trusted_issuers, required_scope, ctx=None, *, leeway=0, proof=None, "
     "method=None, url=None, revoked=None, proof_window=60, replay=None)\n--\n\n"
     "Verify the token for a service: the key is the one trusted_issuers holds for its\n"
     "issuer, and the header's key id must name that key; then the pipeline of verify.\n"
     "A delegated token is checked link by link from its root, whose issuer must be\n"
     "trusted; a holder-bound token needs a proof of possession for this request.\n"
     "\n"
     "Args:\n"
     "    trusted_issuers: Mapping of issuer DID to its 32-byte Ed25519 public key or AID\n"
     "    required_scope: Scope string to check, as for verify\n"
     "    ctx: EvaluationContext with runtime values (optional)\n"
     "    leeway: Seconds of clock skew allowed on exp and nbf, 0 to 300\n"
     "    proof: The request's proof of possession (KeyPair.prove), a compact JWS\n"
     "    method: The request's HTTP method, required with a proof\n"
     "    url: The request's absolute URL, required with a proof\n"
     "    revoked: Container of revoked token ids (jti); a chain with any is refused\n"
     "    proof_window: Seconds a proof's iat may lie from now, either way, 1 to 3600\n"
     "    replay: Shared replay store: remember(key, expires_at) -> bool, True when the\n"
     "        key is new; by default the process remembers proofs itself\n"
     "\n"
     "Raises ValueError on any refusal; its code says which (UnknownIssuer for an issuer\n"
     "that is not trusted, ProofRequired, ProofInvalid, ProofReplayed, Revoked,\n"
     "ChainValidationFailed); RuntimeError DelegationChainInvalid for a chain that\n"
     "cannot be read."},
    {"verify_signature", QV_METHOD(dat_verify_signature), METH_VARARGS | METH_KEYWORDS,
     "verify_signature($self, public_key_bytes)\n--\n\n"
     "Verify signature only (no scope/constraint checks)."},
    {"validate_timing", QV_METHOD(dat_validate_timing), METH_VARARGS | METH_KEYWORDS,
     "validate_timing($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef dat_getset[] = {
    {"issuer", dat_issuer, nullptr, nullptr, nullptr},
    {"subject", dat_subject, nullptr, nullptr, nullptr},
    {"jti", dat_jti, nullptr, nullptr, nullptr},
    {"scope", dat_scope, nullptr, nullptr, nullptr},
    {"expires_at", dat_expires_at, nullptr, nullptr, nullptr},
    {"is_expired", dat_is_expired, nullptr, nullptr, nullptr},
    {"issued_at", dat_issued_at, nullptr, "Issue time (iat), in Unix seconds.", nullptr},
    {"not_before", dat_not_before, nullptr, "Start of validity (nbf), in Unix seconds.", nullptr},
    {"bound_key", dat_bound_key, nullptr,
     "The 32-byte public key the token binds its holder to (cnf), or None.", nullptr},
    {"key_id", dat_key_id, nullptr, "Key identifier of the signing key (header kid).", nullptr},
    {"constraints", dat_constraints, nullptr,
     "Constraints as a new dict under their JSON member names; {} when there are none.", nullptr},
    {"config_attestation", dat_config_attestation, nullptr,
     "Configuration attestation (configAttestation), or None.", nullptr},
    {"delegation_chain", dat_delegation_chain, nullptr,
     "Delegation chain (delegationChain) as a list of strings, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* make_dat_type() {
  return make_class<Dat>({"builtins.DAT",
                          "A Delegation Attestation Token \u2014 signed, scoped, time-bounded "
                          "permission grant.\n"
                          "\n"
                          "Issue with DAT.issue(), verify with dat.verify(), parse with "
                          "DAT.from_compact().",
                          false, nullptr, dat_methods, dat_getset, dat_repr, nullptr});
}

}  // namespace quorvex::py
