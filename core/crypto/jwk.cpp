#include "core/crypto/jwk.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/crypto/digest.hpp"
#include "core/crypto/encoding.hpp"
#include "core/crypto/public_key_text.hpp"
#include "core/json/reader.hpp"

namespace quorvex::crypto {
namespace {

constexpr std::string_view kKeyType = "OKP";
constexpr std::string_view kCurve = "Ed25519";

}  // namespace

PublicJwk public_jwk(const PublicKey& key) { return {kKeyType, kCurve, base64url_encode(key)}; }

std::string jwk_thumbprint_input(const PublicKey& key) {
  std::string out = R"({"crv":")";
  out += kCurve;
  out += R"(","kty":")";
  out += kKeyType;
  out += R"(","x":")";
  base64url_encode_append(out, key);
  out += R"("})";
  return out;
}

std::string jwk_thumbprint(const PublicKey& key) {
  return base64url_encode(sha256(jwk_thumbprint_input(key)));
}

Result<PublicKey> public_key_from_jwk(const JwkMembers& members) {
  if (members.has_d) return fail(ErrorKind::Other, private_jwk_message());
  if (members.kty != kKeyType || members.crv != kCurve || !members.x) {
    return fail(ErrorKind::Other, public_key_forms_message());
  }
  auto bytes = base64url_decode(*members.x);
  if (!bytes || bytes->size() != kPublicKeyLen) {
    return fail(ErrorKind::Other, public_key_forms_message());
  }
  PublicKey key{};
  std::copy(bytes->begin(), bytes->end(), key.begin());
  return key;
}

Result<PublicKey> public_key_from_jwk_json(std::string_view text) {
  auto record = json::read<JwkRecord>(text);
  if (!record) return fail(ErrorKind::Other, public_key_forms_message());
  const auto view = [](const std::optional<std::string>& member) {
    return member ? std::optional<std::string_view>(*member) : std::nullopt;
  };
  return public_key_from_jwk(
      {view(record->kty), view(record->crv), view(record->x), record->d.has_value()});
}

std::string private_jwk_message() { return R"(a JWK with "d" is a private key, not a public key)"; }

}  // namespace quorvex::crypto
