// base64url text, as in a token's three segments.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/crypto/encoding.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto bytes = quorvex::crypto::base64url_decode(text);
  // Only the canonical encoding is accepted, so it must come back unchanged.
  if (bytes && quorvex::crypto::base64url_encode(*bytes) != text) __builtin_trap();
  return 0;
}
