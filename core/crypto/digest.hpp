#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace quorvex::crypto {

using Blake3Digest = std::array<std::uint8_t, 32>;

// blake3 returns the unkeyed 32-byte BLAKE3 hash of bytes.
Blake3Digest blake3(std::span<const std::uint8_t> bytes);

// blake3_each writes the hash of every input to out (out.size() == inputs.size()):
// the same digests as blake3() of each, computed several at a time where the
// processor's vector units allow.
void blake3_each(std::span<const std::span<const std::uint8_t>> inputs,
                 std::span<Blake3Digest> out);

// blake3_digest_text: "blake3:" and the 64 lower-case hex digits of the hash.
std::string blake3_digest_text(std::span<const std::uint8_t> bytes);

}  // namespace quorvex::crypto
