#include "core/crypto/public_key_text.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "core/base/decimal.hpp"
#include "core/crypto/encoding.hpp"
#include "core/crypto/jwk.hpp"

namespace quorvex::crypto {
namespace {

std::optional<PublicKey> exactly_public_key(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() != kPublicKeyLen) return std::nullopt;
  PublicKey key{};
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return key;
}

std::optional<PublicKey> public_key_from_multibase_text(std::string_view text) {
  auto bytes = multibase_base58btc_decode(text);
  if (!bytes) return std::nullopt;
  return exactly_public_key(*bytes);
}

std::optional<PublicKey> public_key_from_hex(std::string_view text) {
  if (text.size() != 2 * kPublicKeyLen) return std::nullopt;
  auto bytes = hex_decode(text);
  if (!bytes) return std::nullopt;
  return exactly_public_key(*bytes);
}

constexpr std::string_view kDidKeyPrefix = "did:key:";
// The multicodec code of an Ed25519 public key, 0xed, as its unsigned varint.
constexpr std::array<std::uint8_t, 2> kEd25519Multicodec = {0xED, 0x01};

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool starts_multibase(std::string_view text) { return text.starts_with('z'); }
bool starts_did_key(std::string_view text) { return text.starts_with(kDidKeyPrefix); }
bool starts_json_object(std::string_view text) {
  const auto first = std::find_if_not(text.begin(), text.end(), is_json_space);
  return first != text.end() && *first == '{';
}
bool starts_anything(std::string_view /*text*/) { return true; }

Result<PublicKey> refused() { return fail(ErrorKind::Other, public_key_forms_message()); }

template <std::optional<PublicKey> (*Read)(std::string_view)>
Result<PublicKey> read_or_refuse(std::string_view text) {
  if (auto key = Read(text)) return *key;
  return refused();
}

// Each form is told apart by its first characters: the first form that claims a text is the
// only one that reads it, and its refusal is the text's. The refusal message names them all.
struct PublicKeyForm {
  std::string_view description;
  bool (*claims)(std::string_view text);
  Result<PublicKey> (*read)(std::string_view text);
};

constexpr PublicKeyForm kPublicKeyForms[] = {
    {"multibase base58btc text ('z...')", starts_multibase,
     read_or_refuse<public_key_from_multibase_text>},
    {"a did:key ('did:key:z...')", starts_did_key, read_or_refuse<public_key_from_did_key>},
    {R"(an Ed25519 JWK ({"kty": "OKP", "crv": "Ed25519", "x": ...}))", starts_json_object,
     public_key_from_jwk_json},
    {"64 hex digits", starts_anything, read_or_refuse<public_key_from_hex>},
};

}  // namespace

std::string did_key(const PublicKey& key) {
  std::array<std::uint8_t, kEd25519Multicodec.size() + kPublicKeyLen> prefixed{};
  std::copy(kEd25519Multicodec.begin(), kEd25519Multicodec.end(), prefixed.begin());
  std::copy(key.begin(), key.end(), prefixed.begin() + kEd25519Multicodec.size());
  return std::string(kDidKeyPrefix) + multibase_base58btc(prefixed);
}

std::optional<PublicKey> public_key_from_did_key(std::string_view text) {
  if (!text.starts_with(kDidKeyPrefix)) return std::nullopt;
  std::string_view identifier = text.substr(kDidKeyPrefix.size());
  if (const auto hash = identifier.find('#'); hash != std::string_view::npos) {
    // The key's own verification method: the fragment repeats the identifier.
    if (identifier.substr(hash + 1) != identifier.substr(0, hash)) return std::nullopt;
    identifier = identifier.substr(0, hash);
  }
  auto bytes = multibase_base58btc_decode(identifier);
  if (!bytes || bytes->size() != kEd25519Multicodec.size() + kPublicKeyLen ||
      !std::equal(kEd25519Multicodec.begin(), kEd25519Multicodec.end(), bytes->begin())) {
    return std::nullopt;
  }
  PublicKey key{};
  std::copy(bytes->begin() + kEd25519Multicodec.size(), bytes->end(), key.begin());
  return key;
}

Result<PublicKey> public_key_from_text(std::string_view text) {
  for (const auto& form : kPublicKeyForms) {
    if (form.claims(text)) return form.read(text);
  }
  return refused();
}

std::string public_key_forms_message() {
  std::string out = "public key must be ";
  constexpr std::size_t kCount = std::size(kPublicKeyForms);
  for (std::size_t i = 0; i < kCount; ++i) {
    if (i > 0) out += i + 1 == kCount ? " or " : ", ";
    out += kPublicKeyForms[i].description;
  }
  return out;
}

Result<PublicKey> public_key_from_multibase(std::string_view text) {
  auto bytes = multibase_base58btc_decode(text);
  std::string message = "publicKeyMultibase is not a public key: ";
  if (!bytes) return fail(ErrorKind::Other, message + bytes.error().text());
  if (auto key = exactly_public_key(*bytes)) return *key;
  append_decimal(message, bytes->size());
  message += " bytes, not ";
  append_decimal(message, kPublicKeyLen);
  return fail(ErrorKind::Other, std::move(message));
}

}  // namespace quorvex::crypto
