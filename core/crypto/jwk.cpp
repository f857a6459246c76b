#include "core/crypto/jwk.hpp"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/crypto/encoding.hpp"

namespace quorvex::crypto {
namespace {

constexpr std::string_view kKeyType = "OKP";
constexpr std::string_view kCurve = "Ed25519";

// The members a JWK reader looks at, in the order of their bits in MemberReader::seen_.
enum Member : unsigned { kKty, kCrv, kX, kD, kOtherMember };

Member member_named(std::string_view name) {
  if (name == "kty") return kKty;
  if (name == "crv") return kCrv;
  if (name == "x") return kX;
  if (name == "d") return kD;
  return kOtherMember;
}

// MemberReader takes the parser's events for one JSON object and keeps the string values of
// its kty, crv and x members and whether d is there. Values nested deeper are passed over
// without being kept.
class MemberReader {
 public:
  using Json = nlohmann::json;

  bool null() { return scalar(); }
  bool boolean(bool /*value*/) { return scalar(); }
  bool number_integer(Json::number_integer_t /*value*/) { return scalar(); }
  bool number_unsigned(Json::number_unsigned_t /*value*/) { return scalar(); }
  bool number_float(Json::number_float_t /*value*/, const std::string& /*raw*/) { return scalar(); }
  bool binary(Json::binary_t& /*value*/) { return scalar(); }
  bool string(std::string& value) {
    if (depth_ == 1 && current_ < kD) values_[current_] = std::move(value);
    return scalar();
  }
  bool start_object(std::size_t /*elements*/) { return open(); }
  bool start_array(std::size_t /*elements*/) {
    if (depth_ == 0) return false;  // a JWK is an object
    return open();
  }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool key(std::string& name) {
    if (depth_ != 1) return true;
    current_ = member_named(name);
    if (current_ == kOtherMember) return true;
    const unsigned bit = 1U << current_;
    if ((seen_ & bit) != 0) return false;  // a member named twice
    seen_ |= bit;
    return true;
  }
  bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/,
                   const Json::exception& /*error*/) {
    return false;
  }

  JwkMembers members() const {
    JwkMembers out;
    const auto view = [this](Member m) -> std::optional<std::string_view> {
      if (!values_[m]) return std::nullopt;
      return std::string_view(*values_[m]);
    };
    out.kty = view(kKty);
    out.crv = view(kCrv);
    out.x = view(kX);
    out.has_d = (seen_ & (1U << kD)) != 0;
    return out;
  }

 private:
  bool scalar() const { return depth_ > 0; }  // a JWK is an object, not a lone value
  bool open() {
    ++depth_;
    current_ = kOtherMember;
    return true;
  }
  bool close() {
    --depth_;
    current_ = kOtherMember;
    return true;
  }

  std::size_t depth_ = 0;
  Member current_ = kOtherMember;
  unsigned seen_ = 0;
  std::array<std::optional<std::string>, kD> values_;
};

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
  const std::string input = jwk_thumbprint_input(key);
  std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
  crypto_hash_sha256(digest.data(), reinterpret_cast<const unsigned char*>(input.data()),
                     input.size());
  return base64url_encode(digest);
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
  // The parser takes a NUL for the end of the text; no JSON text holds one.
  if (text.find('\0') != std::string_view::npos) {
    return fail(ErrorKind::Other, public_key_forms_message());
  }
  MemberReader reader;
  if (!nlohmann::json::sax_parse(text.begin(), text.end(), &reader)) {
    return fail(ErrorKind::Other, public_key_forms_message());
  }
  return public_key_from_jwk(reader.members());
}

std::string private_jwk_message() { return R"(a JWK with "d" is a private key, not a public key)"; }

}  // namespace quorvex::crypto
