#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/aid/document.hpp"
#include "core/base/clock.hpp"
#include "core/base/result.hpp"
#include "core/crypto/keypair.hpp"

namespace quorvex::aid {

// The domain of identities created without one.
inline constexpr std::string_view kDefaultDomain = "agents.quorvex.dev";

// Identity is an agent's DID, its validated document and its key pair.
struct Identity {
  std::string did;
  AidDocument document;
  crypto::KeyPair key;
};

// create_identity builds the document of did:aid:{domain}:{name} for key, with
// the controller given or did:aid:{domain}:controller and trust level L0.
// Fails as AidBuilder::build.
Result<Identity> create_identity(std::string_view name, std::string_view domain,
                                 std::optional<std::string_view> controller, crypto::KeyPair key,
                                 Instant created);

// home_directory is HOME, else USERPROFILE (each only when set and UTF-8), else ".".
std::string home_directory();
// expand_tilde replaces a leading '~' with the home directory; nothing else.
std::string expand_tilde(std::string_view path);
// default_identity_directory is <home>/.quorvex/identities/<text after the DID's last ':'>.
std::string default_identity_directory(std::string_view did);

// save_identity writes secret.key, aid.json and identity.json (saved_at is its
// `created`) into dir, creating it. Each file is written to a temporary file in
// dir, synced and renamed over the old one, the key file being 0600 from its
// creation; a failed step removes its temporary file and keeps the files
// already written. Fails with Other reading "Failed to create directory: ",
// "Failed to write key: ", "Serialization error: ", "Failed to write AID: " or
// "Failed to write metadata: " and the cause.
Result<void> save_identity(const std::string& dir, const Identity& identity, Instant saved_at);

// load_identity reads secret.key and aid.json from dir. Fails, in this order,
// with Other "Failed to read key: ...", InvalidKey "Invalid key hex: ..." or
// "Secret key must be 32 bytes", Other "Failed to read AID: ...", the parser's
// Serialization error, or the document's validation error. The key and the
// document are not checked against each other.
Result<Identity> load_identity(const std::string& dir);

}  // namespace quorvex::aid
