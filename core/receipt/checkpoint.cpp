// Temporary minimal version, replaced by the full one.
#include "core/receipt/checkpoint.hpp"

#include <sodium.h>

#include "core/base/decimal.hpp"

namespace quorvex::receipt {
namespace {

std::string b64(std::span<const std::uint8_t> bytes) {
  std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), bytes.data(), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  out.resize(out.size() - 1);
  return out;
}

bool unb64(std::string_view text, std::vector<std::uint8_t>& out) {
  out.assign(text.size(), 0);
  std::size_t len = 0;
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &len, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0) {
    return false;
  }
  out.resize(len);
  return b64(out) == text;
}

Failure malformed(std::string_view what) {
  return fail(ErrorKind::InvalidReceipt, "checkpoint is malformed: " + std::string(what));
}

bool parse_u64(std::string_view t, std::uint64_t& out) {
  if (t.empty() || t.size() > 20 || (t.size() > 1 && t[0] == '0')) return false;
  out = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return false;
    const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
    if (out > (UINT64_MAX - d) / 10) return false;
    out = out * 10 + d;
  }
  return true;
}

Result<Checkpoint> parse_body(std::string_view body) {
  Checkpoint c;
  std::size_t a = body.find('\n');
  if (a == std::string_view::npos || a == 0) return malformed("no origin line");
  c.origin = std::string(body.substr(0, a));
  std::size_t b = body.find('\n', a + 1);
  if (b == std::string_view::npos || !parse_u64(body.substr(a + 1, b - a - 1), c.size)) {
    return malformed("no tree size line");
  }
  std::size_t e = body.find('\n', b + 1);
  std::vector<std::uint8_t> root;
  if (e == std::string_view::npos || !unb64(body.substr(b + 1, e - b - 1), root) ||
      root.size() != 32) {
    return malformed("no root hash line");
  }
  std::copy(root.begin(), root.end(), c.root.begin());
  return c;
}

}  // namespace

std::uint32_t note_key_id(std::string_view name,
                          std::span<const std::uint8_t, crypto::kPublicKeyLen> public_key) {
  crypto_hash_sha256_state s;
  crypto_hash_sha256_init(&s);
  crypto_hash_sha256_update(&s, reinterpret_cast<const unsigned char*>(name.data()), name.size());
  const unsigned char sep[2] = {'\n', 0x01};
  crypto_hash_sha256_update(&s, sep, 2);
  crypto_hash_sha256_update(&s, public_key.data(), public_key.size());
  unsigned char h[32];
  crypto_hash_sha256_final(&s, h);
  return (std::uint32_t{h[0]} << 24) | (std::uint32_t{h[1]} << 16) | (std::uint32_t{h[2]} << 8) |
         h[3];
}

std::string checkpoint_body(const Checkpoint& c) {
  std::string out = c.origin + "\n";
  append_decimal(out, c.size);
  out += "\n" + b64(c.root) + "\n";
  return out;
}

Result<std::string> sign_checkpoint(const Checkpoint& c, const crypto::KeyPair& key) {
  if (c.origin.empty() || c.origin.find_first_of(" \n+") != std::string::npos) {
    return fail(ErrorKind::Other, "a checkpoint origin must be a non-empty key name");
  }
  const std::string body = checkpoint_body(c);
  auto sig = key.sign({reinterpret_cast<const std::uint8_t*>(body.data()), body.size()});
  const std::uint32_t id = note_key_id(c.origin, key.public_key_bytes());
  std::vector<std::uint8_t> blob = {
      static_cast<std::uint8_t>(id >> 24), static_cast<std::uint8_t>(id >> 16),
      static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)};
  blob.insert(blob.end(), sig.begin(), sig.end());
  return body + "\n\u2014 " + c.origin + " " + b64(blob) + "\n";
}

Result<Checkpoint> read_checkpoint(std::string_view note) {
  const std::size_t split = note.find("\n\n");
  if (split == std::string_view::npos) return malformed("no signature lines");
  return parse_body(note.substr(0, split + 1));
}

Result<Checkpoint> open_checkpoint(
    std::string_view note, std::string_view origin,
    std::span<const std::uint8_t, crypto::kPublicKeyLen> public_key) {
  const std::size_t split = note.find("\n\n");
  if (split == std::string_view::npos) return malformed("no signature lines");
  const std::string_view body = note.substr(0, split + 1);
  auto c = parse_body(body);
  if (!c) return c;
  const std::uint32_t id = note_key_id(origin, public_key);
  std::string_view rest = note.substr(split + 2);
  const std::string prefix = "\u2014 " + std::string(origin) + " ";
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) return malformed("unterminated signature line");
    std::string_view line = rest.substr(0, end);
    rest = rest.substr(end + 1);
    if (line.substr(0, prefix.size()) != prefix) continue;
    std::vector<std::uint8_t> blob;
    if (!unb64(line.substr(prefix.size()), blob) || blob.size() != 68) continue;
    const std::uint32_t got = (std::uint32_t{blob[0]} << 24) | (std::uint32_t{blob[1]} << 16) |
                              (std::uint32_t{blob[2]} << 8) | blob[3];
    if (got != id) continue;
    auto ok_sig = crypto::KeyPair::verify_signature(
        public_key, {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()},
        std::span<const std::uint8_t>(blob).subspan(4));
    if (!ok_sig) return fail(ErrorKind::InvalidReceipt, "checkpoint signature does not verify");
    if (c->origin != origin) {
      return fail(ErrorKind::InvalidReceipt,
                  "checkpoint origin is " + c->origin + " not " + std::string(origin));
    }
    return c;
  }
  return fail(ErrorKind::InvalidReceipt, "checkpoint has no signature by this key");
}

std::string format_proof_bundle(const ProofBundle& b) {
  std::string out = "c2sp.org/tlog-proof@v1\nindex ";
  append_decimal(out, b.index);
  out += "\n";
  for (const auto& h : b.proof) out += b64(h) + "\n";
  out += "\n" + b.checkpoint;
  return out;
}

Result<ProofBundle> parse_proof_bundle(std::string_view text) {
  auto bad = [](std::string_view w) {
    return fail(ErrorKind::InvalidReceipt, "proof bundle is malformed: " + std::string(w));
  };
  constexpr std::string_view kHead = "c2sp.org/tlog-proof@v1\nindex ";
  if (text.substr(0, kHead.size()) != kHead) return bad("no header");
  text.remove_prefix(kHead.size());
  ProofBundle b;
  std::size_t e = text.find('\n');
  if (e == std::string_view::npos || !parse_u64(text.substr(0, e), b.index)) return bad("index");
  text.remove_prefix(e + 1);
  while (!text.empty() && text[0] != '\n') {
    e = text.find('\n');
    std::vector<std::uint8_t> h;
    if (e == std::string_view::npos || !unb64(text.substr(0, e), h) || h.size() != 32 ||
        b.proof.size() >= 64) {
      return bad("proof hash");
    }
    merkle::Hash hash{};
    std::copy(h.begin(), h.end(), hash.begin());
    b.proof.push_back(hash);
    text.remove_prefix(e + 1);
  }
  if (text.empty()) return bad("no checkpoint");
  b.checkpoint = std::string(text.substr(1));
  return b;
}

}  // namespace quorvex::receipt
