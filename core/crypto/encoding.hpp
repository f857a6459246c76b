#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/result.hpp"

namespace quorvex::crypto {

// multibase_base58btc: "z" followed by the base58btc (Bitcoin alphabet) text.
std::string multibase_base58btc(std::span<const std::uint8_t> bytes);

// kMaxBase58Digits bounds the text multibase_base58btc_decode takes: room for 64
// bytes (a signature), so the digit-by-digit decoding stays short.
inline constexpr std::size_t kMaxBase58Digits = 90;

// multibase_base58btc_decode is the inverse of multibase_base58btc: each leading
// "1" is a zero byte. Fails with Other carrying "Missing multibase prefix 'z'",
// "Longer than 90 base58 digits: 91" or "Invalid character '0' at position 3"
// (the position in the whole text, the character in its debug form).
Result<std::vector<std::uint8_t>> multibase_base58btc_decode(std::string_view text);

// base64url_encode: RFC 4648 URL-safe alphabet, no padding.
std::string base64url_encode(std::span<const std::uint8_t> bytes);
void base64url_encode_append(std::string& out, std::span<const std::uint8_t> bytes);

// base64url_decode accepts only the canonical unpadded encoding. Fails with
// Base64Decode whose text is the decoder's description: "Invalid symbol {byte},
// offset {i}.", "Invalid input length: {n}", "Invalid last symbol {byte},
// offset {i}." or "Invalid padding".
Result<std::vector<std::uint8_t>> base64url_decode(std::string_view text);
// base64url_decode_append decodes the same way, appending to out; after a failure
// the bytes past out's former end mean nothing.
Result<void> base64url_decode_append(std::string_view text, std::vector<std::uint8_t>& out);

// hex_encode writes two lower-case digits per byte.
std::string hex_encode(std::span<const std::uint8_t> bytes);

// hex_decode accepts digits of either case. Fails with Other carrying "Odd number
// of digits" or "Invalid character 'g' at position 1" (the character in its
// debug form).
Result<std::vector<std::uint8_t>> hex_decode(std::string_view text);

}  // namespace quorvex::crypto
