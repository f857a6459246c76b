#pragma once

// A public key as text: the forms other tools and our own documents write it in, read by one
// table of forms.

#include <optional>
#include <string>
#include <string_view>

#include "core/base/result.hpp"
#include "core/crypto/keypair.hpp"

namespace quorvex::crypto {

// did_key: "did:key:" and the multibase base58btc text of the Ed25519 multicodec prefix
// (0xed 0x01) followed by the 32 key bytes.
std::string did_key(const PublicKey& key);

// public_key_from_did_key reads did_key's text, bare or followed by "#" and a fragment equal to
// the identifier after "did:key:". nullopt for anything else.
std::optional<PublicKey> public_key_from_did_key(std::string_view text);

// public_key_from_text reads a public key in any of the forms public_key_forms_message
// names: our publicKeyMultibase text ("z" and the base58btc of 32 bytes, no multicodec
// prefix), a did:key, the JSON text of an Ed25519 JWK (jwk.hpp) or 64 hex digits of either
// case. Fails with Other carrying public_key_forms_message(), or private_jwk_message() for a
// JWK that holds a private key. The bytes are not checked to be a curve point; verification
// does that.
Result<PublicKey> public_key_from_text(std::string_view text);
// public_key_forms_message: "public key must be multibase base58btc text ('z...'), a did:key
// ('did:key:z...'), an Ed25519 JWK ({"kty": "OKP", "crv": "Ed25519", "x": ...}) or 64 hex
// digits".
std::string public_key_forms_message();

// public_key_from_multibase reads publicKeyMultibase text alone: "z" and the base58btc of
// exactly 32 bytes. Fails with Other: "publicKeyMultibase is not a public key: " and the
// decoder's text, or "... : 31 bytes, not 32".
Result<PublicKey> public_key_from_multibase(std::string_view text);

}  // namespace quorvex::crypto
