#include "core/crypto/keypair.hpp"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/base/error.hpp"
#include "core/base/random.hpp"

namespace quorvex::crypto {
namespace {

void ensure_sodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) internal_fault("the signature library could not be initialised");
}

// The y of the points of small order: 0, 1, the two of order 8, and p - 1.
constexpr std::array<std::array<std::uint8_t, 32>, 5> kSmallOrderY = {{
    {0x00},
    {0x01},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4,
     0x89, 0xf2, 0xef, 0x98, 0xf0, 0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6,
     0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b,
     0x76, 0x0d, 0x10, 0x67, 0x0f, 0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39,
     0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
}};

// is_unusual_encoding: y (the low 255 bits) is p or more, or that of a point of small order,
// whatever the sign bit. The signature library refuses keys and R values written so; our rules
// do not.
bool is_unusual_encoding(std::span<const std::uint8_t, 32> encoding) noexcept {
  const std::uint8_t top = encoding[31] & 0x7f;
  bool above_p = top == 0x7f && encoding[0] >= 0xed;
  for (std::size_t i = 1; i < 31 && above_p; ++i) above_p = encoding[i] == 0xff;
  if (above_p) return true;
  for (const auto& y : kSmallOrderY) {
    if (top == y[31] && std::equal(y.begin(), y.end() - 1, encoding.begin())) return true;
  }
  return false;
}

// Away from unusual encodings the signature library decides exactly our rules (the cofactorless
// equation over the key bytes as given, canonical S), so its verdict stands and a refusal only
// needs its reason. Everything else is decided by the exact rules.
Result<void> verify_with(std::span<const std::uint8_t, kPublicKeyLen> public_key, ByteView message,
                         ByteView signature, bool key_is_point) {
  ensure_sodium();
  if (signature.size() != kSignatureLen || is_unusual_encoding(public_key) ||
      is_unusual_encoding(signature.first<32>())) {
    return verify_exact(public_key, message, signature);
  }
  if (crypto_sign_verify_detached(signature.data(), message.data(), message.size(),
                                  public_key.data()) == 0) {
    return ok();
  }
  return refusal_reason(public_key, signature, key_is_point);
}

}  // namespace

KeyPair KeyPair::generate() {
  SecretBytes<kSeedLen> seed;
  fill_os_random(seed.data(), seed.size());
  return from_seed(seed.view());
}

KeyPair KeyPair::from_seed(std::span<const std::uint8_t, kSeedLen> seed) {
  ensure_sodium();
  KeyPair pair;
  // The library writes straight into the members and wipes its own expansion of the seed.
  if (crypto_sign_seed_keypair(pair.public_key_.data(), pair.secret_key_.data(), seed.data()) !=
      0) {
    internal_fault("key derivation failed");
  }
  return pair;
}

Signature KeyPair::sign(ByteView message) const {
  Signature signature{};
  unsigned long long length = 0;
  if (crypto_sign_detached(signature.data(), &length, message.data(), message.size(),
                           secret_key_.data()) != 0 ||
      length != kSignatureLen) {
    internal_fault("signature operation failed");
  }
  return signature;
}

Result<void> KeyPair::verify(ByteView message, ByteView signature) const {
  // A key pair's own key is a point of prime order, never an unusual encoding.
  return verify_with(public_key_, message, signature, true);
}

Result<void> KeyPair::verify_signature(std::span<const std::uint8_t, kPublicKeyLen> public_key,
                                       ByteView message, ByteView signature) {
  return verify_with(public_key, message, signature, false);
}

}  // namespace quorvex::crypto
