#include "core/aid/document.hpp"

#include <algorithm>

#include "core/aid/identifier.hpp"
#include "core/crypto/public_key_text.hpp"

namespace quorvex::aid {

Result<void> validate_aid_document(const AidDocument& document) {
  if (auto id = parse_aid_identifier(document.id); !id) return fail(id.error());
  if (!document.controller.starts_with("did:")) {
    return fail(ErrorKind::AidValidation, "controller must be a valid DID");
  }
  if (document.verification_method.empty()) {
    return fail(ErrorKind::AidValidation, "at least one verification method required");
  }
  for (const std::string& reference : document.authentication) {
    // References are compared whole, never resolved against the document's id.
    const bool found =
        std::any_of(document.verification_method.begin(), document.verification_method.end(),
                    [&](const VerificationMethod& method) { return method.id == reference; });
    if (!found) {
      return fail(ErrorKind::AidValidation,
                  "authentication reference " + reference + " not found in verification methods");
    }
  }
  return ok();
}

Result<crypto::PublicKey> document_public_key(const AidDocument& document) {
  if (document.verification_method.empty()) {
    return fail(ErrorKind::AidValidation, "at least one verification method required");
  }
  return crypto::public_key_from_multibase(
      document.verification_method.front().public_key_multibase);
}

}  // namespace quorvex::aid
