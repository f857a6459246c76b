#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/result.hpp"
#include "core/crypto/jwk.hpp"
#include "core/crypto/keypair.hpp"

namespace quorvex::dat {

struct RateLimit {
  std::uint64_t max_actions = 0;
  std::uint64_t window_secs = 0;
  bool operator==(const RateLimit&) const = default;
};

struct TimeWindow {
  std::uint8_t start_hour = 0;
  std::uint8_t end_hour = 0;
  std::optional<std::vector<std::uint8_t>> days_of_week;
  bool operator==(const TimeWindow&) const = default;
};

struct DatConstraints {
  std::optional<std::uint64_t> max_actions;
  std::optional<std::vector<std::string>> allowed_servers;
  std::optional<bool> require_receipt;
  std::optional<RateLimit> rate_limit;
  std::optional<std::vector<std::string>> ip_allowlist;
  std::optional<std::vector<std::string>> ip_denylist;
  std::optional<std::uint8_t> min_trust_level;
  std::optional<std::uint32_t> max_delegation_depth;
  std::optional<std::vector<std::string>> allowed_countries;
  std::optional<std::vector<TimeWindow>> time_windows;
  std::optional<std::string> required_config_hash;
  bool operator==(const DatConstraints&) const = default;
};

struct DatHeader {
  std::string alg;
  std::string typ;
  std::string kid;
  bool operator==(const DatHeader&) const = default;
};

// Confirmation is the cnf claim (RFC 7800): the key the token's holder proves possession of.
// Only the jwk form is read; a cnf without one binds the token to no key this reader knows.
struct Confirmation {  // NOLINT(bugprone-exception-escape)
  std::optional<crypto::JwkRecord> jwk;
  bool operator==(const Confirmation& other) const {
    return jwk.has_value() == other.jwk.has_value() &&
           (!jwk || (jwk->kty == other.jwk->kty && jwk->crv == other.jwk->crv &&
                     jwk->x == other.jwk->x && jwk->d == other.jwk->d));
  }
};

// confirmation_of: the cnf that binds a token to key.
Confirmation confirmation_of(const crypto::PublicKey& key);

struct DatClaims {
  std::string iss;
  std::string sub;
  std::int64_t iat = 0;
  std::int64_t exp = 0;
  std::int64_t nbf = 0;
  std::string jti;
  std::vector<std::string> scope;
  std::optional<DatConstraints> constraints;
  std::optional<std::string> config_attestation;
  std::optional<std::vector<std::string>> delegation_chain;
  std::optional<Confirmation> cnf;
  bool operator==(const DatClaims&) const = default;
};

// Compact JSON of the records: no whitespace, members in declaration order,
// absent members left out. Texts must be valid UTF-8.
std::string encode_header(const DatHeader& header);
std::string encode_claims(const DatClaims& claims);

// Decoding accepts any member order and whitespace, null for absent, and the
// array form of every record. The header rejects unknown members; the claims
// and nested records skip them. Every failure is a Serialization error with
// the position of the failure.
Result<DatHeader> decode_header(std::string_view json);
Result<DatClaims> decode_claims(std::string_view json);

// expiry_after is the expiry instant expires_in_seconds after now_seconds (Unix seconds), for
// Dat::issue. Fails with Other, its text naming expires_in_seconds, when expires_in_seconds lies
// beyond +-9223372036854775 (its milliseconds must fit in 64 bits) or the expiry falls outside
// the years -262143 to 262142.
Result<std::int64_t> expiry_after(std::int64_t now_seconds, std::int64_t expires_in_seconds);

// Dat is a signed delegation token together with the exact text it was signed over.
class Dat {
 public:
  // issue signs a new token. now_seconds is the current Unix time; iat and nbf
  // take it, exp takes expiry_seconds; jti is "dat_" and a fresh ULID stamped
  // with now_millis. delegationChain is written present and empty. A holder key is written as
  // cnf, binding the token to it.
  static Result<Dat> issue(std::string issuer_did, std::string subject_did,
                           std::vector<std::string> scope, std::int64_t expiry_seconds,
                           std::optional<DatConstraints> constraints,
                           std::optional<std::string> config_attestation,
                           const crypto::KeyPair& signing_key, std::int64_t now_seconds,
                           std::uint64_t now_millis,
                           const std::optional<crypto::PublicKey>& holder = std::nullopt);

  // sign signs claims as they stand, under a header whose kid names claims.iss's key.
  static Result<Dat> sign(DatClaims claims, const crypto::KeyPair& signing_key);

  // from_compact parses "header.claims.signature". Fails with InvalidDat for a
  // wrong segment count, a segment that is not base64url ("header decode: ...",
  // "claims decode: ...", "signature decode: ...") or an alg other than EdDSA,
  // and with Serialization for bad header or claims JSON. The signature is not
  // checked here.
  static Result<Dat> from_compact(std::string_view compact);

  // to_compact encodes header and claims afresh and appends the signature.
  Result<std::string> to_compact() const;

  // verify_signature checks the stored signing input against the issuer's key.
  Result<void> verify_signature(
      std::span<const std::uint8_t, crypto::kPublicKeyLen> public_key) const;

  // check_key_id fails with InvalidDat ("key id ... does not name the issuer's key ...") unless
  // the header's kid is the issuer's DID followed by "#key-ed25519", as issue writes it: the
  // key a verifier looks up by issuer is the key the token says it was signed with.
  Result<void> check_key_id() const;

  // compact_text is the token exactly as it was signed or received: the signing input, a dot
  // and the signature. Proofs of possession hash it and chains carry it.
  std::string compact_text() const;

  // bound_key is the key cnf binds the token's holder to, nullopt for a bearer token. Fails
  // with InvalidDat ("cnf must hold the holder's Ed25519 public key as a jwk ...") for a cnf
  // that names no such key: that token is bound to a key nobody here can check, never a
  // bearer token.
  Result<std::optional<crypto::PublicKey>> bound_key() const;

  const DatHeader& header() const noexcept { return header_; }
  const DatClaims& claims() const noexcept { return claims_; }
  const std::vector<std::uint8_t>& signature() const noexcept { return signature_; }
  const std::string& signing_input() const noexcept { return signing_input_; }

 private:
  Dat() = default;
  DatHeader header_;
  DatClaims claims_;
  std::vector<std::uint8_t> signature_;
  std::string signing_input_;
};

}  // namespace quorvex::dat
