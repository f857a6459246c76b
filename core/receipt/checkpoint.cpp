#include "core/receipt/checkpoint.hpp"

#include <sodium.h>

#include <algorithm>
#include <string>
#include <utility>

#include "core/base/decimal.hpp"
#include "core/base/text.hpp"
#include "core/crypto/digest.hpp"

namespace quorvex::receipt {
namespace {

constexpr std::uint8_t kEd25519Type = 0x01;
constexpr std::string_view kDash = "\u2014 ";
constexpr std::string_view kBundleHeader = "c2sp.org/tlog-proof@v1";
// A note holds at most this many bytes and signature lines (the format asks
// verifiers to accept at least 16 signatures), and a proof at most one hash
// per level of a tree of 2^64 leaves.
constexpr std::size_t kMaxNote = 1 << 20;
constexpr std::size_t kMaxSignatures = 100;
constexpr std::size_t kMaxProof = 64;

Failure malformed(std::string_view what) {
  std::string text = "checkpoint is malformed: ";
  text += what;
  return fail(ErrorKind::InvalidReceipt, std::move(text));
}

Failure bundle_malformed(std::string_view what) {
  std::string text = "proof bundle is malformed: ";
  text += what;
  return fail(ErrorKind::InvalidReceipt, std::move(text));
}

crypto::ByteView bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string base64(std::span<const std::uint8_t> bytes) {
  std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), bytes.data(), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  out.pop_back();  // the terminating NUL
  return out;
}

// unbase64 accepts only the one padded standard encoding of some bytes.
bool unbase64(std::string_view text, std::vector<std::uint8_t>& out) {
  if (text.empty() || text.size() % 4 != 0) return false;
  out.assign(text.size() / 4 * 3, 0);
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != text.data() + text.size()) {
    return false;
  }
  out.resize(length);
  return base64(out) == text;  // no stray bits in the last character
}

bool read_hash(std::string_view text, merkle::Hash& out) {
  std::vector<std::uint8_t> bytes;
  if (!unbase64(text, bytes) || bytes.size() != out.size()) return false;
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return true;
}

// read_decimal: ASCII digits without leading zeros, within 64 bits.
bool read_decimal(std::string_view text, std::uint64_t& out) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return false;
  out = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (out > (UINT64_MAX - digit) / 10) return false;
    out = out * 10 + digit;
  }
  return true;
}

bool unicode_space(char32_t cp) {
  return cp == U' ' || (cp >= 0x09 && cp <= 0x0d) || cp == 0x85 || cp == 0xa0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200a) || cp == 0x2028 || cp == 0x2029 || cp == 0x202f ||
         cp == 0x205f || cp == 0x3000;
}

// key_name_ok: non-empty UTF-8 with no Unicode space, no plus sign and no
// control character.
bool key_name_ok(std::string_view name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size();) {
    if (utf8_sequence_length(name, i) == 0) return false;
    const char32_t cp = next_code_point(name, i);
    if (cp < 0x20 || cp == 0x7f || cp == U'+' || unicode_space(cp)) return false;
  }
  return true;
}

// note_text_ok: UTF-8 with no control character but the newline.
bool note_text_ok(std::string_view note) {
  for (std::size_t i = 0; i < note.size();) {
    const std::size_t length = utf8_sequence_length(note, i);
    if (length == 0) return false;
    if (length == 1 && static_cast<unsigned char>(note[i]) < 0x20 && note[i] != '\n') {
      return false;
    }
    i += length;
  }
  return true;
}

// Note: a signed note split into its text (final newline included) and its
// signature lines (each without its newline).
struct Note {
  std::string_view text;
  std::vector<std::string_view> signatures;
};

Result<Note> split_note(std::string_view note) {
  if (note.size() > kMaxNote) return malformed("longer than 1 MiB");
  if (!note_text_ok(note)) return malformed("not UTF-8 text without control characters");
  // The text ends at the last empty line; signature lines follow it.
  const std::size_t blank = note.rfind("\n\n");
  if (blank == std::string_view::npos) return malformed("no blank line before the signatures");
  Note split{note.substr(0, blank + 1), {}};
  std::string_view rest = note.substr(blank + 2);
  if (rest.empty()) return malformed("no signature lines");
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) return malformed("a signature line without its newline");
    if (split.signatures.size() == kMaxSignatures) return malformed("more than 100 signatures");
    split.signatures.push_back(rest.substr(0, end));
    rest.remove_prefix(end + 1);
  }
  return split;
}

Result<Checkpoint> parse_body(std::string_view text) {
  std::vector<std::string_view> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  if (lines.size() < 3) return malformed("fewer than three lines of text");
  for (const std::string_view line : lines) {
    if (line.empty()) return malformed("an empty line in its text");
  }
  Checkpoint checkpoint;
  checkpoint.origin = std::string(lines[0]);
  if (!read_decimal(lines[1], checkpoint.size)) return malformed("the tree size is no number");
  if (!read_hash(lines[2], checkpoint.root)) return malformed("the root hash is not 32 bytes");
  return checkpoint;
}

std::array<std::uint8_t, 4> key_id_bytes(std::uint32_t id) {
  return {static_cast<std::uint8_t>(id >> 24), static_cast<std::uint8_t>(id >> 16),
          static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)};
}

}  // namespace

std::uint32_t note_key_id(std::string_view name,
                          std::span<const std::uint8_t, crypto::kPublicKeyLen> public_key) {
  const std::uint8_t separator[] = {'\n', kEd25519Type};
  const crypto::Sha256Digest hash = crypto::sha256({bytes_of(name), separator, public_key});
  return (std::uint32_t{hash[0]} << 24) | (std::uint32_t{hash[1]} << 16) |
         (std::uint32_t{hash[2]} << 8) | std::uint32_t{hash[3]};
}

std::string checkpoint_body(const Checkpoint& checkpoint) {
  std::string body = checkpoint.origin;
  body += '\n';
  append_decimal(body, checkpoint.size);
  body += '\n';
  body += base64(checkpoint.root);
  body += '\n';
  return body;
}

Result<std::string> sign_checkpoint(const Checkpoint& checkpoint, const crypto::KeyPair& key) {
  if (!key_name_ok(checkpoint.origin)) {
    return fail(ErrorKind::Other,
                "a checkpoint's origin must be a key name: non-empty UTF-8 without spaces, "
                "plus signs or control characters");
  }
  std::string note = checkpoint_body(checkpoint);
  const crypto::Signature signature = key.sign(bytes_of(note));
  std::vector<std::uint8_t> line(4 + signature.size());
  const auto id = key_id_bytes(note_key_id(checkpoint.origin, key.public_key_bytes()));
  std::copy(id.begin(), id.end(), line.begin());
  std::copy(signature.begin(), signature.end(), line.begin() + 4);
  note += '\n';
  note += kDash;
  note += checkpoint.origin;
  note += ' ';
  note += base64(line);
  note += '\n';
  return note;
}

Result<Checkpoint> read_checkpoint(std::string_view note) {
  auto split = split_note(note);
  if (!split) return fail(split.error());
  return parse_body(split->text);
}

Result<Checkpoint> open_checkpoint(
    std::string_view note, std::string_view origin,
    std::span<const std::uint8_t, crypto::kPublicKeyLen> public_key) {
  auto split = split_note(note);
  if (!split) return fail(split.error());
  auto checkpoint = parse_body(split->text);
  if (!checkpoint) return checkpoint;
  const auto id = key_id_bytes(note_key_id(origin, public_key));
  bool verified = false;
  for (const std::string_view line : split->signatures) {
    if (line.substr(0, kDash.size()) != kDash) {
      return malformed("a signature line without its dash");
    }
    const std::string_view rest = line.substr(kDash.size());
    const std::size_t space = rest.find(' ');
    if (space == std::string_view::npos) return malformed("a signature line without a key name");
    const std::string_view name = rest.substr(0, space);
    std::vector<std::uint8_t> signature;
    if (!key_name_ok(name) || !unbase64(rest.substr(space + 1), signature) ||
        signature.size() < 4) {
      return malformed("a signature line that is not a key name and a signature");
    }
    // Signatures by other keys (another name or another key ID) are ignored;
    // one by this key that fails rejects the note.
    if (name != origin || !std::equal(id.begin(), id.end(), signature.begin())) continue;
    const std::span<const std::uint8_t> bytes(signature.data() + 4, signature.size() - 4);
    if (bytes.size() != crypto::kSignatureLen) {
      return fail(ErrorKind::InvalidReceipt, "checkpoint signature does not verify");
    }
    auto checked = crypto::KeyPair::verify_signature(public_key, bytes_of(split->text), bytes);
    if (!checked) {
      if (checked.error().kind() == ErrorKind::InvalidKey) return fail(checked.error());
      return fail(ErrorKind::InvalidReceipt, "checkpoint signature does not verify");
    }
    verified = true;
  }
  if (!verified) return fail(ErrorKind::InvalidReceipt, "checkpoint has no signature by this key");
  if (checkpoint->origin != origin) {
    std::string text = "checkpoint origin is ";
    text += checkpoint->origin;
    text += ", not ";
    text += origin;
    return fail(ErrorKind::InvalidReceipt, std::move(text));
  }
  return checkpoint;
}

std::string format_proof_bundle(const ProofBundle& bundle) {
  std::string out(kBundleHeader);
  out += '\n';
  if (!bundle.extra.empty()) {
    out += "extra ";
    out += base64(bundle.extra);
    out += '\n';
  }
  out += "index ";
  append_decimal(out, bundle.index);
  out += '\n';
  for (const merkle::Hash& hash : bundle.proof) {
    out += base64(hash);
    out += '\n';
  }
  out += '\n';
  out += bundle.checkpoint;
  return out;
}

Result<ProofBundle> parse_proof_bundle(std::string_view text) {
  if (text.size() > kMaxNote + 4096) return bundle_malformed("longer than its limit");
  const auto next_line = [&](std::string_view& line) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return false;
    line = text.substr(0, end);
    text.remove_prefix(end + 1);
    return true;
  };
  std::string_view line;
  if (!next_line(line) || line != kBundleHeader) {
    return bundle_malformed("no c2sp.org/tlog-proof@v1 line");
  }
  ProofBundle bundle;
  if (!next_line(line)) return bundle_malformed("no index line");
  if (line.substr(0, 6) == "extra ") {
    if (!unbase64(line.substr(6), bundle.extra)) {
      return bundle_malformed("the extra data is not base64");
    }
    if (!next_line(line)) return bundle_malformed("no index line");
  }
  if (line.substr(0, 6) != "index " || !read_decimal(line.substr(6), bundle.index)) {
    return bundle_malformed("no index line");
  }
  for (;;) {
    if (!next_line(line)) return bundle_malformed("no blank line before the checkpoint");
    if (line.empty()) break;
    merkle::Hash hash{};
    if (bundle.proof.size() == kMaxProof) return bundle_malformed("more than 64 proof hashes");
    if (!read_hash(line, hash)) return bundle_malformed("a proof hash that is not 32 bytes");
    bundle.proof.push_back(hash);
  }
  if (text.empty()) return bundle_malformed("no checkpoint");
  bundle.checkpoint = std::string(text);
  return bundle;
}

}  // namespace quorvex::receipt
