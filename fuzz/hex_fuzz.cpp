// Hex text, as in secret.key and receipt signatures.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/crypto/encoding.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto bytes = quorvex::crypto::hex_decode(text);
  if (!bytes) return 0;
  // Digits of either case are accepted; written again they are lower case.
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  if (quorvex::crypto::hex_encode(*bytes) != lower) __builtin_trap();
  return 0;
}
