// A proof bundle (tlog-proof) as text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/receipt/checkpoint.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto bundle = quorvex::receipt::parse_proof_bundle(text);
  if (!bundle) return 0;
  // A bundle has one text: what parses formats back to the same bytes.
  if (quorvex::receipt::format_proof_bundle(*bundle) != text) __builtin_trap();
  return 0;
}
