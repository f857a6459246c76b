// Token claims JSON, as decoded from a token's middle segment.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/dat/token.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static_cast<void>(quorvex::dat::decode_claims(text));
  return 0;
}
