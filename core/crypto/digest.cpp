#include "core/crypto/digest.hpp"

#include <blake3.h>

#include "core/crypto/encoding.hpp"

namespace quorvex::crypto {

Blake3Digest blake3(std::span<const std::uint8_t> bytes) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, bytes.data(), bytes.size());
  Blake3Digest digest;
  blake3_hasher_finalize(&hasher, digest.data(), digest.size());
  return digest;
}

std::string blake3_digest_text(std::span<const std::uint8_t> bytes) {
  const Blake3Digest digest = blake3(bytes);
  std::string text;
  text.reserve(7 + 2 * digest.size());
  text += "blake3:";
  text += hex_encode(digest);
  return text;
}

}  // namespace quorvex::crypto
