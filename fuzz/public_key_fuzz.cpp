// A public key given as text: multibase base58btc or 64 hex digits.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/crypto/encoding.hpp"
#include "core/crypto/public_key_text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static_cast<void>(quorvex::crypto::public_key_from_text(text));
  return 0;
}
