#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/base/result.hpp"
#include "core/crypto/secret.hpp"

namespace quorvex::crypto {

inline constexpr std::size_t kSeedLen = 32;
inline constexpr std::size_t kPublicKeyLen = 32;
inline constexpr std::size_t kSignatureLen = 64;

using ByteView = std::span<const std::uint8_t>;
using PublicKey = std::array<std::uint8_t, kPublicKeyLen>;
using Signature = std::array<std::uint8_t, kSignatureLen>;

// KeyPair is the only holder of private key material: an Ed25519 seed and the
// public key derived from it. It never changes and wipes the seed when it dies.
class KeyPair {
 public:
  // generate makes a key pair from 32 bytes of the operating system's random
  // source. Throws InternalFault ("Error: ...") if that source fails.
  static KeyPair generate();
  // from_seed derives the key pair of a 32-byte seed.
  static KeyPair from_seed(std::span<const std::uint8_t, kSeedLen> seed);

  KeyPair(KeyPair&&) noexcept = default;
  KeyPair& operator=(KeyPair&&) noexcept = default;
  KeyPair(const KeyPair&) = delete;
  KeyPair& operator=(const KeyPair&) = delete;
  ~KeyPair() = default;

  // sign returns the deterministic Ed25519 signature of message.
  Signature sign(ByteView message) const;
  // verify checks signature against this key pair's public key; see verify_signature.
  Result<void> verify(ByteView message, ByteView signature) const;
  // verify_signature checks signature over message with a 32-byte public key.
  // Fails with InvalidKey when the key is no point encoding, then with
  // VerificationFailed for a length other than 64, a scalar S not below the
  // group order, or an unsatisfied (cofactorless) verification equation.
  static Result<void> verify_signature(std::span<const std::uint8_t, kPublicKeyLen> public_key,
                                       ByteView message, ByteView signature);

  const PublicKey& public_key_bytes() const noexcept { return public_key_; }
  // seed is read only by the identity store, which persists it.
  std::span<const std::uint8_t, kSeedLen> seed() const noexcept {
    return secret_key_.view().first<kSeedLen>();
  }

 private:
  KeyPair() = default;
  SecretBytes<64> secret_key_;  // the signing library's layout: seed, then public key
  PublicKey public_key_{};
};

// The exact verification rules, decided without the fast library; used where the
// fast library's verdict may differ from them, and by the tests. Same contract as
// verify_signature.
Result<void> verify_exact(std::span<const std::uint8_t, kPublicKeyLen> public_key, ByteView message,
                          ByteView signature);

// refusal_reason is the failure of a signature whose verification equation does not
// hold: InvalidKey when the key is no point encoding (unless key_is_point vouches for
// it), else the first of the length and scalar rules it breaks, else the equation.
Failure refusal_reason(std::span<const std::uint8_t, kPublicKeyLen> public_key, ByteView signature,
                       bool key_is_point);

}  // namespace quorvex::crypto
