// Token header JSON, the one record that refuses unknown members.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/dat/token.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static_cast<void>(quorvex::dat::decode_header(text));
  return 0;
}
