#include "core/aid/store.hpp"

#include <fcntl.h>
#include <sodium.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

#include "core/aid/builder.hpp"
#include "core/aid/document_json.hpp"
#include "core/aid/identifier.hpp"
#include "core/aid/saved_identity.hpp"
#include "core/aid/store_fs.hpp"
#include "core/base/decimal.hpp"
#include "core/base/text.hpp"
#include "core/crypto/encoding.hpp"
#include "core/json/schema.hpp"
#include "core/json/timestamp.hpp"

namespace quorvex::aid {
namespace {

constexpr StoreFile kKeyFile{"secret.key", "Failed to write key: "};
constexpr StoreFile kAidFile{"aid.json", "Failed to write AID: "};
constexpr StoreFile kMetadataFile{"identity.json", "Failed to write metadata: "};
// Documents move in before the key: no document on disk ever names a key that is gone.
constexpr std::array<StoreFile, 3> kMoveOrder{kAidFile, kMetadataFile, kKeyFile};

// A hex seed with white space around it; a document with many keys and services.
constexpr std::size_t kKeyFileLimit = 4096;
constexpr std::size_t kAidFileLimit = 1 << 20;

constexpr std::string_view kLockStep = "Failed to lock directory: ";
constexpr std::string_view kRecoverStep = "Failed to recover an interrupted save: ";

// WipeOnExit zeroes a text that held key material when the scope ends.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::string& text) noexcept : text_(text) {}
  ~WipeOnExit() { sodium_memzero(text_.data(), text_.size()); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  WipeOnExit(WipeOnExit&&) = delete;
  WipeOnExit& operator=(WipeOnExit&&) = delete;

 private:
  std::string& text_;
};

bool is_utf8(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = utf8_sequence_length(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

bool is_white_space(char32_t cp) noexcept {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// trim_white_space drops Unicode white space at both ends of UTF-8 text.
std::string_view trim_white_space(std::string_view text) noexcept {
  std::size_t begin = text.size();
  std::size_t end = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t at = i;
    if (!is_white_space(next_code_point(text, i))) {
      if (begin == text.size()) begin = at;
      end = i;
    }
  }
  return begin < end ? text.substr(begin, end - begin) : std::string_view();
}

std::string join(std::string_view dir, std::string_view name) {
  std::string path(dir);
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

bool has_nul(std::string_view path) noexcept { return path.find('\0') != std::string_view::npos; }

// read_utf8 reads one file of an identity directory as read_member does; the
// text must be UTF-8.
Result<std::string> read_utf8(int at_fd, const std::string& name, bool from_commit,
                              std::size_t limit, std::string_view step) {
  auto text = read_member(at_fd, name, from_commit, limit, step);
  if (!text) return text;
  std::string& bytes = *text;
  if (!is_utf8(bytes)) {
    sodium_memzero(bytes.data(), bytes.size());
    return fail(ErrorKind::Other, std::string(step) + "file is not valid UTF-8");
  }
  return text;
}

// read_key reads and decodes a secret.key as load_identity does.
Result<crypto::KeyPair> read_key(int at_fd, const std::string& name, bool from_commit) {
  auto text = read_utf8(at_fd, name, from_commit, kKeyFileLimit, "Failed to read key: ");
  if (!text) return fail(text.error());
  const WipeOnExit wipe(*text);
  return key_from_text(*text);
}

// save_locked writes identity into dir as one set, or, when only_new is set
// and dir already holds a key, writes nothing and returns false. A key that
// loads as another identity's is that identity's only copy: the save fails
// rather than replace it.
Result<bool> save_locked(const std::string& dir, const Identity& identity, Instant saved_at,
                         bool only_new) {
  if (has_nul(dir)) return fail(ErrorKind::Other, "Failed to create directory: embedded null byte");
  if (auto made = make_directories(dir); !made) return fail(made.error());
  auto dir_fd = open_directory(dir, kLockStep);
  if (!dir_fd) return fail(dir_fd.error());
  auto lock = lock_directory(dir_fd->get(), true, kLockStep);
  if (!lock) return fail(lock.error());
  if (auto recovered = recover(dir_fd->get(), kMoveOrder, kRecoverStep); !recovered) {
    return fail(recovered.error());
  }
  if (only_new) {
    auto taken = entry_exists(dir_fd->get(), kKeyFile.name, kKeyFile.step);
    if (!taken) return fail(taken.error());
    if (*taken) return false;
  } else if (auto held = read_key(dir_fd->get(), std::string(kKeyFile.name), false);
             held && held->public_key_bytes() != identity.key.public_key_bytes()) {
    return fail(ErrorKind::Other, std::string(kKeyFile.step) + "another identity's key is in " +
                                      (dir.empty() ? "." : dir));
  }

  auto staged = StagedSet::begin(dir_fd->get(), kKeyFile.step);
  if (!staged) return fail(staged.error());
  std::string key_text = crypto::hex_encode(identity.key.seed());
  const WipeOnExit wipe(key_text);
  if (auto added = staged->add(kKeyFile, key_text, 0600, true); !added) return fail(added.error());

  auto document = document_to_json(identity.document);
  if (!document) return fail(ErrorKind::Other, "Serialization error: " + document.error().text());
  if (auto added = staged->add(kAidFile, *document, 0666, false); !added) {
    return fail(added.error());
  }

  SavedIdentity saved{{}, identity.did, 1};
  json::append_rfc3339(saved.created, saved_at);
  saved.created.pop_back();  // the offset is written +00:00 here, not Z
  saved.created += "+00:00";
  auto metadata = json::to_json(saved, json::Layout::Pretty);
  if (!metadata) {
    return fail(ErrorKind::Other, "Failed to write metadata: " + metadata.error().text());
  }
  if (auto added = staged->add(kMetadataFile, *metadata, 0666, false); !added) {
    return fail(added.error());
  }
  if (auto committed = staged->commit(kMoveOrder); !committed) return fail(committed.error());
  return true;
}

}  // namespace

Result<crypto::KeyPair> key_from_text(std::string_view text) {
  auto bytes = crypto::hex_decode(trim_white_space(text));
  if (!bytes) return fail(ErrorKind::InvalidKey, "Invalid key hex: " + bytes.error().text());
  std::vector<std::uint8_t>& seed = *bytes;
  if (seed.size() != crypto::kSeedLen) {
    sodium_memzero(seed.data(), seed.size());
    return fail(ErrorKind::InvalidKey, "Secret key must be 32 bytes");
  }
  crypto::KeyPair key = crypto::KeyPair::from_seed(std::span<const std::uint8_t, 32>(seed));
  sodium_memzero(seed.data(), seed.size());
  return key;
}

Result<Identity> create_identity(std::string_view name, std::string_view domain,
                                 std::optional<std::string_view> controller, crypto::KeyPair key,
                                 Instant created) {
  std::string did = format_aid_identifier(domain, name);
  AidBuilder builder;
  builder.id(did);
  builder.controller(controller ? *controller : format_aid_identifier(domain, "controller"));
  builder.name(name);
  builder.add_ed25519_key(key);
  builder.trust_level("L0");
  auto document = builder.build(created);
  if (!document) return fail(document.error());
  return Identity{std::move(did), std::move(*document), std::move(key)};
}

std::string home_directory() {
  for (const char* variable : {"HOME", "USERPROFILE"}) {
    const char* value = std::getenv(variable);  // NOLINT(concurrency-mt-unsafe)
    if (value != nullptr && is_utf8(value)) return value;
  }
  return ".";
}

std::string expand_tilde(std::string_view path) {
  if (!path.starts_with('~')) return std::string(path);
  return home_directory().append(path.substr(1));
}

std::string default_identity_directory(std::string_view did) {
  const std::size_t colon = did.rfind(':');
  const std::string_view name = colon == std::string_view::npos ? did : did.substr(colon + 1);
  return join(join(join(home_directory(), ".quorvex"), "identities"), name);
}

Result<void> save_identity(const std::string& dir, const Identity& identity, Instant saved_at) {
  auto saved = save_locked(dir, identity, saved_at, false);
  if (!saved) return fail(saved.error());
  return ok();
}

Result<bool> save_new_identity(const std::string& dir, const Identity& identity, Instant saved_at) {
  return save_locked(dir, identity, saved_at, true);
}

Result<Identity> load_identity(const std::string& dir) {
  if (has_nul(dir)) return fail(ErrorKind::Other, "Failed to read key: embedded null byte");
  // Without the directory's descriptor the files are read by path; without its lock, as they stand.
  int at_fd = AT_FDCWD;
  std::string prefix = join(dir, "");
  bool from_commit = false;
  auto dir_fd = open_directory(dir, kLockStep);
  std::optional<DirectoryLock> lock;
  if (dir_fd) {
    at_fd = dir_fd->get();
    prefix.clear();
    if (auto shared = lock_directory(at_fd, false, kLockStep); shared) {
      lock.emplace(std::move(*shared));
    }
    if (has_leftovers(at_fd)) {
      // Recovery needs the lock for itself; a read-only directory is read as the set it holds.
      from_commit =
          !lock || !lock->make_exclusive(kLockStep) || !recover(at_fd, kMoveOrder, kRecoverStep);
    }
  }

  auto key = read_key(at_fd, prefix + "secret.key", from_commit);
  if (!key) return fail(key.error());

  auto text =
      read_utf8(at_fd, prefix + "aid.json", from_commit, kAidFileLimit, "Failed to read AID: ");
  if (!text) return fail(text.error());
  auto document = document_from_json(*text);
  if (!document) return fail(document.error());
  if (auto valid = validate_aid_document(*document); !valid) return fail(valid.error());
  std::string did = document->id;
  return Identity{std::move(did), std::move(*document), std::move(*key)};
}

}  // namespace quorvex::aid
