#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace quorvex::crypto {

using Blake3Digest = std::array<std::uint8_t, 32>;

// blake3 returns the unkeyed 32-byte BLAKE3 hash of bytes.
Blake3Digest blake3(std::span<const std::uint8_t> bytes);

// blake3_digest_text: "blake3:" and the 64 lower-case hex digits of the hash.
std::string blake3_digest_text(std::span<const std::uint8_t> bytes);

}  // namespace quorvex::crypto
