#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvex {

// fill_os_random fills out from the operating system's random source. Throws
// InternalFault ("Error: <reason> (os error N)") if that source fails.
void fill_os_random(std::uint8_t* out, std::size_t size);

// fill_fast_random fills out from the calling thread's own generator: a
// ChaCha20 stream keyed from the operating system's source and rekeyed every
// few thousand draws, and rekeyed in the child after a fork. For identifiers,
// never for keys.
void fill_fast_random(std::uint8_t* out, std::size_t size);

}  // namespace quorvex
