#pragma once

// Proofs of possession for holder-bound tokens, in the shape RFC 9449 gives them: a compact
// JWS with header {"typ": "dpop+jwt", "alg": "EdDSA", "jwk": <the holder's public key>} and
// claims jti, htm, htu, iat and ath, signed with the holder's key for one request.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/result.hpp"
#include "core/crypto/keypair.hpp"

namespace quorvex::dat {

// How far a proof's iat may lie from the verifier's clock, either way: by default, and at most.
inline constexpr std::int64_t kDefaultProofWindow = 60;
inline constexpr std::int64_t kMaxProofWindow = 3600;
// The longest proof and the longest jti a verifier reads.
inline constexpr std::size_t kMaxProofBytes = 8192;
inline constexpr std::size_t kMaxProofIdBytes = 256;

// target_uri is url as a proof's htu compares it (RFC 9449 section 4.3): without its query and
// fragment, the scheme and host in lower case, the scheme's default port dropped and an empty
// path written "/". Fails with Other ("url must be an absolute http or https URL, got: ...")
// for anything but an http or https URL with a host.
Result<std::string> target_uri(std::string_view url);

// check_proof_window fails with Other ("proof_window must be between 1 and 3600 seconds").
Result<void> check_proof_window(std::int64_t window);

// make_proof signs a proof for one request with token: jti 22 fresh random base64url
// characters, htm method as given, htu target_uri(url), iat now_seconds, ath the unpadded
// base64url of the SHA-256 of token's text. Fails as target_uri does, and with Other for an
// empty method.
Result<std::string> make_proof(const crypto::KeyPair& key, std::string_view token,
                               std::string_view method, std::string_view url,
                               std::int64_t now_seconds);

// ProofRequest is a proof and the request it must have been made for.
struct ProofRequest {
  std::string_view proof;
  std::string_view token;  // the token's exact text, as its ath hashes it
  std::string_view method;
  std::string_view url;
  std::int64_t now = 0;  // Unix seconds
  std::int64_t window = kDefaultProofWindow;
};

// ProofFacts is what a checked proof tells: its key, jti and iat.
struct ProofFacts {
  crypto::PublicKey key{};
  std::string jti;
  std::int64_t iat = 0;
};

// check_proof reads the proof and checks, in this order: its size and form; the header's typ,
// alg, jwk, and no crit; that jwk is bound_key when there is one; the signature with jwk; then
// the claims: a jti of 1 to kMaxProofIdBytes bytes, htm equal to method, htu equal to
// target_uri(url), ath the hash of token, iat within window seconds of now. Fails with Other,
// its text naming the first fault ("proof htm \"POST\" is not the request's method \"GET\"").
Result<ProofFacts> check_proof(const ProofRequest& request,
                               const std::optional<crypto::PublicKey>& bound_key);

}  // namespace quorvex::dat
