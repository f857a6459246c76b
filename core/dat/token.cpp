#include "core/dat/token.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/base/text.hpp"
#include "core/crypto/encoding.hpp"
#include "core/crypto/ulid.hpp"
#include "core/dat/token_json.hpp"

namespace quorvex::dat {
namespace {

constexpr std::string_view kAlgorithm = "EdDSA";
constexpr std::string_view kType = "quorvex-dat+jwt";
constexpr std::string_view kKeySuffix = "#key-ed25519";

std::span<const std::uint8_t> bytes_of(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string_view text_of(const std::vector<std::uint8_t>& bytes) noexcept {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Appends the base64url header JSON, ".", and the base64url claims JSON to out,
// reserving `extra` more bytes for what the caller appends next.
Result<void> append_signing_input(std::string& out, const DatHeader& header,
                                  const DatClaims& claims, std::size_t extra) {
  std::string json;
  json.reserve(1024);
  if (auto written = append_header_json(json, header); !written) return fail(written.error());
  const std::size_t header_len = json.size();
  if (auto written = append_claims_json(json, claims); !written) return fail(written.error());
  out.reserve(out.size() + (json.size() + 2) / 3 * 4 + 2 + extra);
  const auto all = bytes_of(json);
  crypto::base64url_encode_append(out, all.first(header_len));
  out += '.';
  crypto::base64url_encode_append(out, all.subspan(header_len));
  return ok();
}

// JsonScratch lends the thread's buffer for decoded JSON and takes it back afterwards, unless a
// large token grew it: ordinary tokens are then decoded without allocating.
class JsonScratch {
 public:
  JsonScratch() : bytes_(std::move(spare())) { bytes_.clear(); }
  JsonScratch(const JsonScratch&) = delete;
  JsonScratch& operator=(const JsonScratch&) = delete;
  JsonScratch(JsonScratch&&) = delete;
  JsonScratch& operator=(JsonScratch&&) = delete;
  ~JsonScratch() {
    if (bytes_.capacity() <= kKeptBytes) spare() = std::move(bytes_);
  }
  std::vector<std::uint8_t>& bytes() noexcept { return bytes_; }

 private:
  static constexpr std::size_t kKeptBytes = std::size_t{16} * 1024;
  static std::vector<std::uint8_t>& spare() noexcept {
    thread_local std::vector<std::uint8_t> bytes;
    return bytes;
  }
  std::vector<std::uint8_t> bytes_;
};

}  // namespace

Result<std::int64_t> expiry_after(std::int64_t now_seconds, std::int64_t expires_in_seconds) {
  // The largest magnitude whose milliseconds fit in 64 bits.
  constexpr std::int64_t kMaxExpiresIn = 9223372036854775;
  // The first and last second of the years -262143 to 262142.
  constexpr std::int64_t kMinExpiry = -8334601315200;
  constexpr std::int64_t kMaxExpiry = 8210266876799;
  if (expires_in_seconds > kMaxExpiresIn || expires_in_seconds < -kMaxExpiresIn) {
    return fail(ErrorKind::Other,
                "expires_in_seconds must lie between -9223372036854775 and 9223372036854775");
  }
  std::int64_t expiry = 0;
  if (__builtin_add_overflow(now_seconds, expires_in_seconds, &expiry) || expiry < kMinExpiry ||
      expiry > kMaxExpiry) {
    return fail(ErrorKind::Other,
                "expires_in_seconds puts the expiry outside the representable date range "
                "(years -262143 to 262142)");
  }
  return expiry;
}

Result<Dat> Dat::issue(std::string issuer_did, std::string subject_did,
                       std::vector<std::string> scope, std::int64_t expiry_seconds,
                       std::optional<DatConstraints> constraints,
                       std::optional<std::string> config_attestation,
                       const crypto::KeyPair& signing_key, std::int64_t now_seconds,
                       std::uint64_t now_millis, const std::optional<crypto::PublicKey>& holder) {
  DatClaims claims;
  claims.iss = std::move(issuer_did);
  claims.sub = std::move(subject_did);
  claims.iat = now_seconds;
  claims.exp = expiry_seconds;
  claims.nbf = now_seconds;
  claims.jti = crypto::new_dat_id(now_millis);
  claims.scope = std::move(scope);
  claims.constraints = std::move(constraints);
  claims.config_attestation = std::move(config_attestation);
  claims.delegation_chain.emplace();
  if (holder) claims.cnf = confirmation_of(*holder);
  return sign(std::move(claims), signing_key);
}

Confirmation confirmation_of(const crypto::PublicKey& key) {
  const crypto::PublicJwk jwk = crypto::public_jwk(key);
  Confirmation cnf;
  cnf.jwk.emplace();
  cnf.jwk->kty.emplace(jwk.kty);
  cnf.jwk->crv.emplace(jwk.crv);
  cnf.jwk->x = jwk.x;
  return cnf;
}

Result<Dat> Dat::sign(DatClaims claims, const crypto::KeyPair& signing_key) {
  Dat dat;
  dat.header_.alg = kAlgorithm;
  dat.header_.typ = kType;
  dat.header_.kid.reserve(claims.iss.size() + kKeySuffix.size());
  dat.header_.kid.append(claims.iss).append(kKeySuffix);
  dat.claims_ = std::move(claims);
  if (auto built = append_signing_input(dat.signing_input_, dat.header_, dat.claims_, 0); !built) {
    return fail(built.error());
  }
  const crypto::Signature signature = signing_key.sign(bytes_of(dat.signing_input_));
  dat.signature_.assign(signature.begin(), signature.end());
  return dat;
}

std::string Dat::compact_text() const {
  std::string out;
  out.reserve(signing_input_.size() + 1 + (signature_.size() + 2) / 3 * 4);
  out += signing_input_;
  out += '.';
  crypto::base64url_encode_append(out, signature_);
  return out;
}

Result<std::optional<crypto::PublicKey>> Dat::bound_key() const {
  if (!claims_.cnf) return std::optional<crypto::PublicKey>();
  const Confirmation& cnf = *claims_.cnf;
  std::optional<crypto::PublicKey> key;
  // A private key in the claims binds nothing: whoever reads the token holds it.
  if (cnf.jwk && !cnf.jwk->d) {
    crypto::JwkMembers members;
    members.kty = cnf.jwk->kty;
    members.crv = cnf.jwk->crv;
    members.x = cnf.jwk->x;
    if (auto read = crypto::public_key_from_jwk(members)) key = *read;
  }
  if (!key) {
    return fail(ErrorKind::InvalidDat,
                "cnf must hold the holder's Ed25519 public key as a jwk "
                "({\"kty\": \"OKP\", \"crv\": \"Ed25519\", \"x\": ...})");
  }
  return key;
}

Result<void> Dat::check_key_id() const {
  const std::string_view kid = header_.kid;
  if (kid.size() == claims_.iss.size() + kKeySuffix.size() && kid.starts_with(claims_.iss) &&
      kid.ends_with(kKeySuffix)) {
    return ok();
  }
  std::string text = "key id ";
  append_debug_excerpt(text, kid);
  text += " does not name the issuer's key ";
  append_debug_excerpt(text, claims_.iss + std::string(kKeySuffix));
  return fail(ErrorKind::InvalidDat, std::move(text));
}

Result<Dat> Dat::from_compact(std::string_view compact) {
  const std::size_t first_dot = compact.find('.');
  const std::size_t second_dot =
      first_dot == std::string_view::npos ? first_dot : compact.find('.', first_dot + 1);
  if (second_dot == std::string_view::npos ||
      compact.find('.', second_dot + 1) != std::string_view::npos) {
    return fail(ErrorKind::InvalidDat, "compact JWS must have 3 parts");
  }

  // Both JSON texts are decoded into one buffer, which is only read here.
  JsonScratch scratch;
  std::vector<std::uint8_t>& json = scratch.bytes();
  if (auto decoded = crypto::base64url_decode_append(compact.substr(0, first_dot), json);
      !decoded) {
    return fail(ErrorKind::InvalidDat, "header decode: " + decoded.error().text());
  }
  const std::size_t header_len = json.size();
  if (auto decoded = crypto::base64url_decode_append(
          compact.substr(first_dot + 1, second_dot - first_dot - 1), json);
      !decoded) {
    return fail(ErrorKind::InvalidDat, "claims decode: " + decoded.error().text());
  }
  auto signature = crypto::base64url_decode(compact.substr(second_dot + 1));
  if (!signature) {
    return fail(ErrorKind::InvalidDat, "signature decode: " + signature.error().text());
  }

  const std::string_view json_text = text_of(json);
  auto header = decode_header(json_text.substr(0, header_len));
  if (!header) return fail(std::move(header).error());
  if (header->alg != kAlgorithm) {
    return fail(ErrorKind::InvalidDat,
                "unsupported algorithm '" + header->alg + "': only 'EdDSA' is permitted");
  }
  auto claims = decode_claims(json_text.substr(header_len));
  if (!claims) return fail(std::move(claims).error());

  Dat dat;
  dat.header_ = std::move(*header);
  dat.claims_ = std::move(*claims);
  dat.signature_ = std::move(*signature);
  dat.signing_input_.assign(compact.substr(0, second_dot));
  return dat;
}

Result<std::string> Dat::to_compact() const {
  std::string out;
  const std::size_t signature_len = (signature_.size() + 2) / 3 * 4;
  if (auto built = append_signing_input(out, header_, claims_, 1 + signature_len); !built) {
    return fail(built.error());
  }
  out += '.';
  crypto::base64url_encode_append(out, signature_);
  return out;
}

Result<void> Dat::verify_signature(
    std::span<const std::uint8_t, crypto::kPublicKeyLen> public_key) const {
  return crypto::KeyPair::verify_signature(public_key, bytes_of(signing_input_), signature_);
}

}  // namespace quorvex::dat
