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
// `created`) into dir as one set: after a failure, or a crash at any instant,
// dir holds the old set whole or the new one whole once the next save or load
// of dir has finished what was left (see store_fs.hpp). dir and its missing
// parents are created with mode 0700; the key file is 0600 from its creation.
// Saves and loads of one directory wait for each other (flock on dir). Fails
// with Other reading "Failed to create directory: ", "Failed to lock
// directory: ", "Failed to recover an interrupted save: ", "Failed to write
// key: ", "Serialization error: ", "Failed to write AID: ", "Failed to write
// metadata: " or "Failed to commit save: " and the cause; a dir holding a
// NUL fails to be created ("embedded null byte"). Once dir is locked and
// recovered, a secret.key that load_identity would read as a key other than
// identity's fails the save, writing nothing, with "Failed to write key:
// another identity's key is in <dir>" ("." for ""); any other secret.key is
// replaced.
Result<void> save_identity(const std::string& dir, const Identity& identity, Instant saved_at);

// save_new_identity is save_identity, except that it returns false and writes
// nothing when dir, once locked and recovered, already holds a secret.key, so
// of several callers claiming one directory exactly one gets true.
Result<bool> save_new_identity(const std::string& dir, const Identity& identity, Instant saved_at);

// key_from_text rebuilds the key pair from the UTF-8 text of a secret.key:
// 64 hexadecimal digits of either case, Unicode white space around them
// ignored. Fails with InvalidKey "Invalid key hex: ..." or "Secret key must
// be 32 bytes". Every copy of the seed it makes is wiped.
Result<crypto::KeyPair> key_from_text(std::string_view text);

// load_identity reads secret.key (at most 4 KiB) and aid.json (at most 1 MiB),
// regular files only, from dir, finishing a save left unfinished first; where
// that cannot be done (a read-only dir) it reads the set that save left.
// Fails, in this order, with Other "Failed to read key: ..." (the cause, "file
// is not a regular file", "file is larger than 4096 bytes", "file is not
// valid UTF-8"), InvalidKey "Invalid key hex: ..." or "Secret key must be 32
// bytes", Other "Failed to read AID: ..." (as for the key, with 1048576
// bytes), the parser's Serialization error, or the document's validation
// error. The key and the document are not checked against each other.
Result<Identity> load_identity(const std::string& dir);

}  // namespace quorvex::aid
