#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "core/aid/document.hpp"
#include "core/base/result.hpp"
#include "core/json/schema.hpp"
#include "core/json/timestamp.hpp"

namespace quorvex::json {

template <>
struct Schema<aid::VerificationMethod> {
  using M = aid::VerificationMethod;
  static constexpr std::string_view name = "VerificationMethod";
  static constexpr bool strict = false;
  static constexpr auto fields = std::tuple{
      field("id", &M::id),
      field("type", &M::type),
      field("controller", &M::controller),
      field("publicKeyMultibase", &M::public_key_multibase),
  };
};

template <>
struct Schema<aid::AidService> {
  using S = aid::AidService;
  static constexpr std::string_view name = "AidService";
  static constexpr bool strict = false;
  static constexpr auto fields = std::tuple{
      field("id", &S::id),
      field("type", &S::type),
      field("serviceEndpoint", &S::service_endpoint),
  };
};

template <>
struct Schema<aid::AidProof> {
  using P = aid::AidProof;
  static constexpr std::string_view name = "AidProof";
  static constexpr bool strict = false;
  static constexpr auto fields = std::tuple{
      field("type", &P::type),
      field("created", &P::created),
      field("verificationMethod", &P::verification_method),
      field("proofValue", &P::proof_value),
  };
};

template <>
struct Schema<aid::AidDocument> {
  using D = aid::AidDocument;
  static constexpr std::string_view name = "AidDocument";
  static constexpr bool strict = false;
  static constexpr auto fields = std::tuple{
      field("@context", &D::context),
      field("id", &D::id),
      field("controller", &D::controller),
      field("verificationMethod", &D::verification_method),
      field("authentication", &D::authentication),
      field("service", &D::service),
      field("trustLevel", &D::trust_level),
      field("version", &D::version),
      field("created", &D::created),
      field("updated", &D::updated),
      field("proof", &D::proof),
  };
};

}  // namespace quorvex::json

namespace quorvex::aid {

// document_to_json writes the pretty JSON of a document. Fails with
// Serialization (no position) only when a text is not UTF-8.
Result<std::string> document_to_json(const AidDocument& document);

// document_from_json parses a document without validating it. Fails with
// Serialization whose description ends " at line L column C".
Result<AidDocument> document_from_json(std::string_view text);

// metadata_object turns metadata into a JSON object holding its present
// members. Fails with Serialization when a text is not UTF-8.
Result<nlohmann::json> metadata_object(const AgentMetadata& metadata);

}  // namespace quorvex::aid
