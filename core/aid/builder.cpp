#include "core/aid/builder.hpp"

#include <utility>

#include "core/aid/document_json.hpp"
#include "core/crypto/encoding.hpp"

namespace quorvex::aid {

void AidBuilder::add_ed25519_key(const crypto::KeyPair& key) {
  std::string owner = controller_ ? *controller_ : id_ ? *id_ : std::string();
  verification_methods_.push_back(
      VerificationMethod{std::string(kKeyMethodId), std::string(kKeyMethodType), std::move(owner),
                         crypto::multibase_base58btc(key.public_key_bytes())});
}

Result<AidDocument> AidBuilder::build(Instant created) {
  AidBuilder state = std::exchange(*this, AidBuilder());
  if (!state.id_) return fail(ErrorKind::AidValidation, "id is required");
  if (!state.controller_) return fail(ErrorKind::AidValidation, "controller is required");
  if (!state.name_) return fail(ErrorKind::AidValidation, "name is required");
  if (state.verification_methods_.empty()) {
    return fail(ErrorKind::AidValidation, "at least one verification method required");
  }

  AidDocument document;
  for (const VerificationMethod& method : state.verification_methods_) {
    document.authentication.push_back(method.id);
  }
  auto metadata = metadata_object(
      AgentMetadata{std::move(*state.name_), std::move(state.description_), std::move(state.model_),
                    std::move(state.runtime_), std::move(state.config_attestation_)});
  if (!metadata) return fail(metadata.error());
  document.context = {std::string(kDidCoreContext), std::string(kAidContext)};
  document.id = std::move(*state.id_);
  document.controller = std::move(*state.controller_);
  document.verification_method = std::move(state.verification_methods_);
  document.service = std::vector<AidService>{AidService{
      std::string(kMetadataServiceId), std::string(kMetadataServiceType), std::move(*metadata)}};
  document.trust_level = std::move(state.trust_level_);
  document.version = kDocumentVersion;
  document.created = created;
  document.updated = created;
  if (auto valid = validate_aid_document(document); !valid) return fail(valid.error());
  return document;
}

}  // namespace quorvex::aid
