// A printed receipt log, audited against one fixed key: the key of the seed corpus's logs.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/receipt/audit.hpp"

namespace {

// The public key of the seed 00 01 02 ... 1f.
constexpr std::array<std::uint8_t, quorvex::crypto::kPublicKeyLen> kPublicKey = {
    0x03, 0xa1, 0x07, 0xbf, 0xf3, 0xce, 0x10, 0xbe, 0x1d, 0x70, 0xdd, 0x18, 0xe7, 0x4b, 0xc0, 0x99,
    0x67, 0xe4, 0xd6, 0x30, 0x9b, 0xa5, 0x0d, 0x5f, 0x1d, 0xdc, 0x86, 0x64, 0x12, 0x55, 0x31, 0xb8};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // One thread: the inputs are far too short for the audit to split them anyway.
  static_cast<void>(quorvex::receipt::audit_printed_log(text, kPublicKey, 1));
  return 0;
}
