// An Ed25519 public key as the JSON text of a JWK.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/crypto/jwk.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto key = quorvex::crypto::public_key_from_jwk_json(text);
  if (!key) return 0;
  // The key a text gives is the key the JWK written for it gives.
  auto again =
      quorvex::crypto::public_key_from_jwk_json(quorvex::crypto::jwk_thumbprint_input(*key));
  if (!again || *again != *key) __builtin_trap();
  return 0;
}
