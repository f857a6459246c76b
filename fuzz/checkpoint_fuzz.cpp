// A signed checkpoint note, opened with one fixed key under the origin its
// first line names: the key of the seed 00 01 02 ... 1f, which signed the seeds.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/receipt/checkpoint.hpp"
#include "seed_key.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view note(reinterpret_cast<const char*>(data), size);
  const std::string_view origin = note.substr(0, note.find('\n'));
  auto opened = quorvex::receipt::open_checkpoint(note, origin, quorvex::fuzz::kSeedPublicKey);
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
