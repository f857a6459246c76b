#pragma once

// An Ed25519 public key as a JSON Web Key: the OKP key of RFC 8037, and its RFC 7638
// thumbprint.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "core/base/result.hpp"
#include "core/crypto/keypair.hpp"
#include "core/json/schema.hpp"

namespace quorvex::crypto {

// PublicJwk holds the three members of a public key's JWK, in the order they are shown.
struct PublicJwk {
  std::string_view kty;
  std::string_view crv;
  std::string x;  // base64url, unpadded, of the 32 key bytes
};

// public_jwk: kty "OKP", crv "Ed25519" and x.
PublicJwk public_jwk(const PublicKey& key);

// jwk_thumbprint_input: {"crv":"Ed25519","kty":"OKP","x":"..."}, the members RFC 7638 keeps
// for this key type in lexicographic order, without whitespace.
std::string jwk_thumbprint_input(const PublicKey& key);

// jwk_thumbprint: base64url, unpadded, of the SHA-256 of jwk_thumbprint_input.
std::string jwk_thumbprint(const PublicKey& key);

// JwkMembers are the members of a JWK that decide whether it is an Ed25519 public key: each of
// kty, crv and x is nullopt when absent or not a string; has_d is whether "d" is present at
// all, whatever its value.
struct JwkMembers {
  std::optional<std::string_view> kty;
  std::optional<std::string_view> crv;
  std::optional<std::string_view> x;
  bool has_d = false;
};

// public_key_from_jwk reads kty "OKP", crv "Ed25519" and x, the canonical unpadded base64url
// of exactly 32 bytes. Fails with Other carrying private_jwk_message() when "d" is present,
// and public_key_forms_message() (public_key_text.hpp) for anything else.
Result<PublicKey> public_key_from_jwk(const JwkMembers& members);

// JwkRecord is a JWK's JSON object as read: the members that decide whether it is an Ed25519
// public key. Others are skipped whatever their values; null counts as absent. (The JSON
// library's destructor allocates while freeing nested values, hence the NOLINT.)
struct JwkRecord {  // NOLINT(bugprone-exception-escape)
  std::optional<std::string> kty;
  std::optional<std::string> crv;
  std::optional<std::string> x;
  std::optional<nlohmann::json> d;  // any value: a private key
};

// public_key_from_jwk_json reads the JSON text of one object as a JwkRecord, then as
// public_key_from_jwk does. Text that is not one such object (one of its members given twice,
// kty, crv or x not a string) fails with public_key_forms_message().
Result<PublicKey> public_key_from_jwk_json(std::string_view text);

// private_jwk_message: "a JWK with \"d\" is a private key, not a public key".
std::string private_jwk_message();

}  // namespace quorvex::crypto

namespace quorvex::json {

template <>
struct Schema<crypto::JwkRecord> {
  static constexpr std::string_view name = "Jwk";
  static constexpr bool strict = false;
  static constexpr auto fields = std::tuple{
      field("kty", &crypto::JwkRecord::kty),
      field("crv", &crypto::JwkRecord::crv),
      field("x", &crypto::JwkRecord::x),
      field("d", &crypto::JwkRecord::d),
  };
};

}  // namespace quorvex::json
