#include "core/aid/store.hpp"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "core/aid/builder.hpp"
#include "core/aid/document_json.hpp"
#include "core/aid/identifier.hpp"
#include "core/base/decimal.hpp"
#include "core/base/random.hpp"
#include "core/base/text.hpp"
#include "core/crypto/encoding.hpp"
#include "core/json/schema.hpp"
#include "core/json/timestamp.hpp"

namespace quorvex::aid {

// identity.json: when and what was saved.
struct SavedIdentity {
  std::string created;
  std::string did;
  std::uint32_t version = 1;
};

}  // namespace quorvex::aid

namespace quorvex::json {

template <>
struct Schema<aid::SavedIdentity> {
  using S = aid::SavedIdentity;
  static constexpr std::string_view name = "SavedIdentity";
  static constexpr bool strict = false;
  static constexpr auto fields = std::tuple{
      field("created", &S::created),
      field("did", &S::did),
      field("version", &S::version),
  };
};

}  // namespace quorvex::json

namespace quorvex::aid {
namespace {

constexpr std::size_t kTempNameAttempts = 8;

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

// TempFile is an open temporary file that is closed and removed unless kept.
class TempFile {
 public:
  TempFile(std::string path, int fd) noexcept : path_(std::move(path)), fd_(fd) {}
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  TempFile(TempFile&&) = delete;
  TempFile& operator=(TempFile&&) = delete;

  int fd() const noexcept { return fd_; }
  const std::string& path() const noexcept { return path_; }
  // close reports the error of the last write back that close may carry.
  int close() noexcept { return ::close(std::exchange(fd_, -1)); }
  void keep() noexcept { path_.clear(); }

 private:
  std::string path_;
  int fd_;
};

Failure os_failure(std::string_view step, int code) {
  std::string text(step);
  text += std::system_category().message(code);
  text += " (os error ";
  append_decimal(text, code);
  text += ')';
  return fail(ErrorKind::Other, std::move(text));
}

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

Result<void> create_directories(const std::string& dir) {
  if (dir.empty()) return ok();  // the current directory
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) return os_failure("Failed to create directory: ", error.value());
  return ok();
}

// write_atomically writes content to a temporary file beside dir/name, syncs
// it, renames it over dir/name and syncs dir. The temporary file is created
// with mode (less the umask) and removed on any failure.
Result<void> write_atomically(const std::string& dir, std::string_view name,
                              std::string_view content, mode_t mode, std::string_view step) {
  std::string temp_path;
  int fd = -1;
  for (std::size_t attempt = 1; fd < 0; ++attempt) {
    std::uint8_t noise[6];
    fill_fast_random(noise, sizeof noise);
    temp_path = join(dir, ".");
    temp_path.append(name).append(".");
    append_hex(temp_path, noise);
    temp_path += ".tmp";
    fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && (errno != EEXIST || attempt == kTempNameAttempts)) {
      return os_failure(step, errno);
    }
  }
  TempFile temp(std::move(temp_path), fd);
  for (std::size_t written = 0; written < content.size();) {
    const ssize_t n = ::write(temp.fd(), content.data() + written, content.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_failure(step, errno);
    }
    written += static_cast<std::size_t>(n);
  }
  if (::fsync(temp.fd()) != 0) return os_failure(step, errno);
  if (temp.close() != 0) return os_failure(step, errno);
  const std::string target = join(dir, name);
  if (::rename(temp.path().c_str(), target.c_str()) != 0) return os_failure(step, errno);
  temp.keep();
  // The rename lasts only once the directory entry is on disk.
  const std::string dir_path = dir.empty() ? "." : dir;
  const int dir_fd = ::open(dir_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return os_failure(step, errno);
  const int synced = ::fsync(dir_fd);
  const int sync_error = errno;
  ::close(dir_fd);
  // Some file systems cannot sync a directory (EINVAL); the file itself is synced.
  if (synced != 0 && sync_error != EINVAL) return os_failure(step, sync_error);
  return ok();
}

// read_text reads a whole file that must be UTF-8; the buffer is sized from
// the file so that a key is not copied by a growing string.
Result<std::string> read_text(const std::string& path, std::string_view step) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return os_failure(step, errno);
  struct stat info {};
  std::size_t expected = 0;
  if (::fstat(fd, &info) == 0 && info.st_size > 0) {
    expected = static_cast<std::size_t>(info.st_size);
  }
  std::string text(expected + 1, '\0');
  std::size_t size = 0;
  for (;;) {
    if (size == text.size()) text.resize(2 * text.size());
    const ssize_t n = ::read(fd, text.data() + size, text.size() - size);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int code = errno;
      ::close(fd);
      sodium_memzero(text.data(), text.size());
      return os_failure(step, code);
    }
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  ::close(fd);
  text.resize(size);
  if (!is_utf8(text)) {
    sodium_memzero(text.data(), text.size());
    return fail(ErrorKind::Other, std::string(step) + "file is not valid UTF-8");
  }
  return text;
}

Result<crypto::KeyPair> decode_key(std::string_view text) {
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

}  // namespace

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
  if (auto made = create_directories(dir); !made) return made;

  std::string key_text = crypto::hex_encode(identity.key.seed());
  const WipeOnExit wipe(key_text);
  if (auto written = write_atomically(dir, "secret.key", key_text, 0600, "Failed to write key: ");
      !written) {
    return written;
  }

  auto document = document_to_json(identity.document);
  if (!document) return fail(ErrorKind::Other, "Serialization error: " + document.error().text());
  if (auto written = write_atomically(dir, "aid.json", *document, 0666, "Failed to write AID: ");
      !written) {
    return written;
  }

  SavedIdentity saved{{}, identity.did, 1};
  json::append_rfc3339(saved.created, saved_at);
  saved.created.pop_back();  // the offset is written +00:00 here, not Z
  saved.created += "+00:00";
  auto metadata = json::to_json(saved, json::Layout::Pretty);
  if (!metadata) {
    return fail(ErrorKind::Other, "Failed to write metadata: " + metadata.error().text());
  }
  return write_atomically(dir, "identity.json", *metadata, 0666, "Failed to write metadata: ");
}

Result<Identity> load_identity(const std::string& dir) {
  auto key_text = read_text(join(dir, "secret.key"), "Failed to read key: ");
  if (!key_text) return fail(key_text.error());
  const WipeOnExit wipe(*key_text);
  auto key = decode_key(*key_text);
  if (!key) return fail(key.error());

  auto text = read_text(join(dir, "aid.json"), "Failed to read AID: ");
  if (!text) return fail(text.error());
  auto document = document_from_json(*text);
  if (!document) return fail(document.error());
  if (auto valid = validate_aid_document(*document); !valid) return fail(valid.error());
  std::string did = document->id;
  return Identity{std::move(did), std::move(*document), std::move(*key)};
}

}  // namespace quorvex::aid
