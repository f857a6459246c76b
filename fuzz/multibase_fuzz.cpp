// Multibase base58btc text, as in publicKeyMultibase.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/crypto/encoding.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto bytes = quorvex::crypto::multibase_base58btc_decode(text);
  // A byte string has one base58btc text, so what decodes must be written back unchanged.
  if (bytes && quorvex::crypto::multibase_base58btc(*bytes) != text) __builtin_trap();
  return 0;
}
