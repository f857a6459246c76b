#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace quorvex::crypto {

using Blake3Digest = std::array<std::uint8_t, 32>;
using Sha256Digest = std::array<std::uint8_t, 32>;

// sha256 returns the SHA-256 hash of the parts, one after another. It uses the
// processor's SHA instructions where it has them: several times faster than
// portable code on a token of a few kilobytes.
Sha256Digest sha256(std::initializer_list<std::span<const std::uint8_t>> parts);
inline Sha256Digest sha256(std::string_view text) {
  return sha256({{reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}});
}

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
