#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/aid/document.hpp"
#include "core/base/clock.hpp"
#include "core/base/result.hpp"
#include "core/crypto/keypair.hpp"

namespace quorvex::aid {

inline constexpr std::string_view kDidCoreContext = "https://www.w3.org/ns/did/v1";
inline constexpr std::string_view kAidContext = "https://quorvex.dev/ns/aid/v1";
inline constexpr std::string_view kKeyMethodId = "#key-ed25519";
inline constexpr std::string_view kKeyMethodType = "Ed25519VerificationKey2020";
inline constexpr std::string_view kMetadataServiceId = "#quorvex-metadata";
inline constexpr std::string_view kMetadataServiceType = "QuorvexAgentMetadata";
inline constexpr std::uint32_t kDocumentVersion = 1;

// AidBuilder collects what a new document needs; setters check nothing and the
// last call wins. build checks and empties it.
class AidBuilder {
 public:
  void id(std::string_view value) { id_ = std::string(value); }
  void controller(std::string_view value) { controller_ = std::string(value); }
  void name(std::string_view value) { name_ = std::string(value); }
  void description(std::string_view value) { description_ = std::string(value); }
  void model(std::string_view value) { model_ = std::string(value); }
  void runtime(std::string_view value) { runtime_ = std::string(value); }
  void config_attestation(std::string_view value) { config_attestation_ = std::string(value); }
  void trust_level(std::string_view value) { trust_level_ = std::string(value); }

  // add_ed25519_key appends a method for the key; its controller is the
  // builder's controller, else its id, else empty, as they are now.
  void add_ed25519_key(const crypto::KeyPair& key);

  // build makes a validated document created and updated at `created`, and
  // leaves the builder empty whatever the outcome. Fails with AidValidation
  // ("id is required", "controller is required", "name is required", "at least
  // one verification method required"), with Serialization when the metadata
  // is not UTF-8, or as validate_aid_document.
  Result<AidDocument> build(Instant created);
  // build reads the system clock for the timestamps.
  Result<AidDocument> build() { return build(now()); }

 private:
  std::vector<VerificationMethod> verification_methods_;
  std::optional<std::string> id_;
  std::optional<std::string> controller_;
  std::optional<std::string> name_;
  std::optional<std::string> description_;
  std::optional<std::string> model_;
  std::optional<std::string> runtime_;
  std::optional<std::string> config_attestation_;
  std::optional<std::string> trust_level_;
};

}  // namespace quorvex::aid
