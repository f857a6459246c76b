#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/base/clock.hpp"
#include "core/base/result.hpp"
#include "core/crypto/keypair.hpp"

namespace quorvex::aid {

// VerificationMethod is one public key of a document; no member is checked.
struct VerificationMethod {
  std::string id;
  std::string type;
  std::string controller;
  std::string public_key_multibase;
};

// AidService is a service entry; its endpoint is any JSON value. (The JSON
// library's destructor allocates while freeing nested values, hence the NOLINT.)
struct AidService {  // NOLINT(bugprone-exception-escape)
  std::string id;
  std::string type;
  nlohmann::json service_endpoint;
};

// AidProof is carried through parsing and output unchanged; nothing checks it.
struct AidProof {
  std::string type;
  Instant created;
  std::string verification_method;
  std::string proof_value;
};

// AidDocument is one agent identity document, its members in JSON order.
struct AidDocument {
  std::vector<std::string> context;
  std::string id;
  std::string controller;
  std::vector<VerificationMethod> verification_method;
  std::vector<std::string> authentication;
  std::optional<std::vector<AidService>> service;
  std::optional<std::string> trust_level;  // any text; not a parsed level
  std::optional<std::uint32_t> version;
  std::optional<Instant> created;
  std::optional<Instant> updated;
  std::optional<AidProof> proof;
};

// AgentMetadata is what the builder places in the metadata service entry.
struct AgentMetadata {
  std::string name;
  std::optional<std::string> description;
  std::optional<std::string> model;
  std::optional<std::string> runtime;
  std::optional<std::string> config_attestation;
};

// validate_aid_document checks, in order: the id's grammar (InvalidAid, as
// parse_aid_identifier), then with AidValidation: a controller starting "did:",
// at least one verification method, and every authentication entry equal to
// some method's id. Nothing else is checked.
Result<void> validate_aid_document(const AidDocument& document);

// document_public_key is the key of the document's first verification method: AidValidation
// ("at least one verification method required") when it has none, else as
// crypto::public_key_from_multibase (Other) when its publicKeyMultibase is no key.
Result<crypto::PublicKey> document_public_key(const AidDocument& document);

}  // namespace quorvex::aid
