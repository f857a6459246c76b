#include "core/crypto/keypair.hpp"

#include <sodium.h>

#include "core/base/error.hpp"
#include "core/base/random.hpp"

namespace quorvex::crypto {
namespace {

void ensure_sodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) internal_fault("the signature library could not be initialised");
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
  return verify_signature(public_key_, message, signature);
}

Result<void> KeyPair::verify_signature(std::span<const std::uint8_t, kPublicKeyLen> public_key,
                                       ByteView message, ByteView signature) {
  ensure_sodium();
  // The fast library also refuses small-order and non-canonical points, which we accept, so its
  // refusals are decided again (with their reason) by the exact rules. Its acceptances stand:
  // it checks the same cofactorless equation.
  if (signature.size() == kSignatureLen &&
      crypto_sign_verify_detached(signature.data(), message.data(), message.size(),
                                  public_key.data()) == 0) {
    return ok();
  }
  return verify_exact(public_key, message, signature);
}

}  // namespace quorvex::crypto
