// A printed receipt log, audited against one fixed key: the key of the seed corpus's logs.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/receipt/audit.hpp"
#include "seed_key.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // One thread: the inputs are far too short for the audit to split them anyway.
  static_cast<void>(quorvex::receipt::audit_printed_log(text, quorvex::fuzz::kSeedPublicKey, 1));
  return 0;
}
