// A signed checkpoint note, opened with one fixed key under the origin its
// first line names: the key of the seed 00 01 02 ... 1f, which signed the seeds.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/receipt/checkpoint.hpp"

namespace {

constexpr std::array<std::uint8_t, quorvex::crypto::kPublicKeyLen> kPublicKey = {
    0x03, 0xa1, 0x07, 0xbf, 0xf3, 0xce, 0x10, 0xbe, 0x1d, 0x70, 0xdd, 0x18, 0xe7, 0x4b, 0xc0, 0x99,
    0x67, 0xe4, 0xd6, 0x30, 0x9b, 0xa5, 0x0d, 0x5f, 0x1d, 0xdc, 0x86, 0x64, 0x12, 0x55, 0x31, 0xb8};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view note(reinterpret_cast<const char*>(data), size);
  const std::string_view origin = note.substr(0, note.find('\n'));
  auto opened = quorvex::receipt::open_checkpoint(note, origin, kPublicKey);
  auto read = quorvex::receipt::read_checkpoint(note);
  // A note that opens is one that reads, as the same checkpoint, whose body
  // begins its text.
  if (opened) {
    if (!read || read->size != opened->size || read->root != opened->root ||
        read->origin != opened->origin ||
        note.substr(0, quorvex::receipt::checkpoint_body(*opened).size()) !=
            quorvex::receipt::checkpoint_body(*opened)) {
      __builtin_trap();
    }
  }
  return 0;
}
