#include "core/crypto/encoding.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>

#include "core/base/decimal.hpp"
#include "core/base/text.hpp"

namespace quorvex::crypto {
namespace {

constexpr char kBase58Alphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr char kBase64UrlAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> make_base64url_table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& value : table) value = kInvalid;
  for (std::size_t i = 0; i < 64; ++i) {
    table[static_cast<std::uint8_t>(kBase64UrlAlphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> kBase64UrlValues = make_base64url_table();

constexpr std::array<std::uint8_t, 256> make_base58_table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& value : table) value = kInvalid;
  for (std::size_t i = 0; i < 58; ++i) {
    table[static_cast<std::uint8_t>(kBase58Alphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> kBase58Values = make_base58_table();

// A symbol's value already shifted to its place in a group of four; symbols outside the
// alphabet set the top bit instead, so one test over a whole group finds them.
constexpr std::uint32_t kNotInAlphabet = std::uint32_t{1} << 31;
constexpr std::array<std::uint32_t, 256> make_placed_table(unsigned shift) {
  std::array<std::uint32_t, 256> table{};
  for (std::size_t i = 0; i < table.size(); ++i) {
    table[i] = kBase64UrlValues[i] == kInvalid ? kNotInAlphabet
                                               : std::uint32_t{kBase64UrlValues[i]} << shift;
  }
  return table;
}
constexpr std::array<std::array<std::uint32_t, 256>, 4> kBase64UrlPlaced = {
    make_placed_table(18), make_placed_table(12), make_placed_table(6), make_placed_table(0)};

Failure invalid_symbol(std::uint8_t byte, std::size_t offset, bool last) {
  std::string text = last ? "Invalid last symbol " : "Invalid symbol ";
  append_decimal(text, byte);
  text += ", offset ";
  append_decimal(text, offset);
  text += '.';
  return fail(ErrorKind::Base64Decode, std::move(text));
}

Failure invalid_length(std::size_t length) {
  std::string text = "Invalid input length: ";
  append_decimal(text, length);
  return fail(ErrorKind::Base64Decode, std::move(text));
}

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The byte is shown as the code point of the same value, quoted and escaped like a
// character literal.
Failure invalid_character(std::uint8_t byte, std::size_t position) {
  std::string text = "Invalid character ";
  append_debug_char(text, static_cast<char32_t>(byte));
  text += " at position ";
  append_decimal(text, position);
  return fail(ErrorKind::Other, std::move(text));
}

}  // namespace

std::string multibase_base58btc(std::span<const std::uint8_t> bytes) {
  std::size_t zeros = 0;
  while (zeros < bytes.size() && bytes[zeros] == 0) ++zeros;

  // Base-58 digits, least significant first; log(256) / log(58) < 1.37.
  std::string digits;
  digits.reserve((bytes.size() - zeros) * 137 / 100 + 1);
  for (std::size_t i = zeros; i < bytes.size(); ++i) {
    unsigned carry = bytes[i];
    for (auto& digit : digits) {
      carry += static_cast<unsigned>(static_cast<std::uint8_t>(digit)) << 8;
      digit = static_cast<char>(carry % 58);
      carry /= 58;
    }
    while (carry != 0) {
      digits.push_back(static_cast<char>(carry % 58));
      carry /= 58;
    }
  }

  std::string out;
  out.reserve(1 + zeros + digits.size());
  out += 'z';
  out.append(zeros, '1');
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    out += kBase58Alphabet[static_cast<std::uint8_t>(*it)];
  }
  return out;
}

Result<std::vector<std::uint8_t>> multibase_base58btc_decode(std::string_view text) {
  if (text.empty() || text.front() != 'z') {
    return fail(ErrorKind::Other, "Missing multibase prefix 'z'");
  }
  const std::string_view digits = text.substr(1);
  if (digits.size() > kMaxBase58Digits) {
    std::string message = "Longer than ";
    append_decimal(message, kMaxBase58Digits);
    message += " base58 digits: ";
    append_decimal(message, digits.size());
    return fail(ErrorKind::Other, std::move(message));
  }
  for (std::size_t i = 0; i < digits.size(); ++i) {
    const auto byte = static_cast<std::uint8_t>(digits[i]);
    if (kBase58Values[byte] == kInvalid) return invalid_character(byte, i + 1);
  }

  std::size_t zeros = 0;
  while (zeros < digits.size() && digits[zeros] == '1') ++zeros;

  // Bytes of the number, least significant first; log(58) / log(256) < 0.74.
  std::vector<std::uint8_t> number;
  number.reserve((digits.size() - zeros) * 74 / 100 + 1);
  for (std::size_t i = zeros; i < digits.size(); ++i) {
    unsigned carry = kBase58Values[static_cast<std::uint8_t>(digits[i])];
    for (auto& byte : number) {
      carry += unsigned{byte} * 58;
      byte = static_cast<std::uint8_t>(carry & 0xFF);
      carry >>= 8;
    }
    while (carry != 0) {
      number.push_back(static_cast<std::uint8_t>(carry & 0xFF));
      carry >>= 8;
    }
  }

  std::vector<std::uint8_t> out(zeros, 0);
  out.insert(out.end(), number.rbegin(), number.rend());
  return out;
}

void base64url_encode_append(std::string& out, std::span<const std::uint8_t> bytes) {
  const std::size_t n = bytes.size();
  const std::size_t start = out.size();
  out.resize(start + (n / 3) * 4 + (n % 3 == 0 ? 0 : n % 3 + 1));
  char* dst = out.data() + start;
  const std::uint8_t* src = bytes.data();

  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const std::uint32_t group = (std::uint32_t{src[i]} << 16) | (std::uint32_t{src[i + 1]} << 8) |
                                std::uint32_t{src[i + 2]};
    *dst++ = kBase64UrlAlphabet[group >> 18];
    *dst++ = kBase64UrlAlphabet[(group >> 12) & 0x3F];
    *dst++ = kBase64UrlAlphabet[(group >> 6) & 0x3F];
    *dst++ = kBase64UrlAlphabet[group & 0x3F];
  }
  if (n - i == 1) {
    const std::uint32_t group = std::uint32_t{src[i]} << 16;
    *dst++ = kBase64UrlAlphabet[group >> 18];
    *dst++ = kBase64UrlAlphabet[(group >> 12) & 0x3F];
  } else if (n - i == 2) {
    const std::uint32_t group = (std::uint32_t{src[i]} << 16) | (std::uint32_t{src[i + 1]} << 8);
    *dst++ = kBase64UrlAlphabet[group >> 18];
    *dst++ = kBase64UrlAlphabet[(group >> 12) & 0x3F];
    *dst++ = kBase64UrlAlphabet[(group >> 6) & 0x3F];
  }
}

std::string base64url_encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  base64url_encode_append(out, bytes);
  return out;
}

Result<std::vector<std::uint8_t>> base64url_decode(std::string_view text) {
  std::vector<std::uint8_t> out;
  if (auto decoded = base64url_decode_append(text, out); !decoded) return fail(decoded.error());
  return out;
}

Result<void> base64url_decode_append(std::string_view text, std::vector<std::uint8_t>& out) {
  const std::size_t len = text.size();
  const std::size_t rem = len % 4;
  const auto byte_at = [&text](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };

  // A stray last character (a newline, say) is named before anything else.
  if (rem == 1) {
    const std::uint8_t last = byte_at(len - 1);
    if (last != '=' && kBase64UrlValues[last] == kInvalid) {
      return invalid_symbol(last, len - 1, false);
    }
  }

  // The final group, complete or not, is left to the suffix pass below, which is
  // the only place padding is recognised.
  std::size_t body_len = len - rem;
  body_len = rem == 0 && body_len >= 4 ? body_len - 4 : body_len;

  // Room for the final group's bytes too; the size is set once they are known.
  const std::size_t start = out.size();
  out.resize(start + body_len / 4 * 3 + 3);
  std::uint8_t* dst = out.data() + start;
  const auto* src = reinterpret_cast<const std::uint8_t*>(text.data());
  for (std::size_t i = 0; i < body_len; i += 4) {
    const std::uint32_t group = kBase64UrlPlaced[0][src[i]] | kBase64UrlPlaced[1][src[i + 1]] |
                                kBase64UrlPlaced[2][src[i + 2]] | kBase64UrlPlaced[3][src[i + 3]];
    if ((group & kNotInAlphabet) != 0) {
      for (std::size_t k = 0; k < 4; ++k) {
        const std::uint8_t symbol = src[i + k];
        if (kBase64UrlValues[symbol] == kInvalid) return invalid_symbol(symbol, i + k, false);
      }
    }
    dst[0] = static_cast<std::uint8_t>(group >> 16);
    dst[1] = static_cast<std::uint8_t>(group >> 8);
    dst[2] = static_cast<std::uint8_t>(group);
    dst += 3;
  }

  std::size_t morsels = 0;
  std::size_t padding = 0;
  std::size_t first_padding = 0;
  std::uint8_t last_symbol = 0;
  std::uint32_t group = 0;
  for (std::size_t j = 0; body_len + j < len; ++j) {
    const std::uint8_t byte = byte_at(body_len + j);
    if (byte == '=') {
      if (j < 2) return invalid_symbol(byte, body_len + j, false);
      if (padding == 0) first_padding = j;
      ++padding;
      continue;
    }
    if (padding > 0) return invalid_symbol('=', body_len + first_padding, false);
    const std::uint8_t value = kBase64UrlValues[byte];
    if (value == kInvalid) return invalid_symbol(byte, body_len + j, false);
    last_symbol = byte;
    group = (group << 6) | value;
    ++morsels;
  }

  if (len != 0 && morsels < 2) return invalid_length(body_len + morsels);
  if (padding > 0) return fail(ErrorKind::Base64Decode, "Invalid padding");

  // 2, 3 or 4 symbols carry 1, 2 or 3 bytes; the bits below them must be zero.
  const std::size_t bits = morsels * 6;
  const std::size_t unused = bits % 8;
  if ((group & ((1u << unused) - 1)) != 0) {
    return invalid_symbol(last_symbol, body_len + morsels - 1, true);
  }
  group >>= unused;
  for (std::size_t k = bits / 8; k > 0; --k) {
    *dst++ = static_cast<std::uint8_t>(group >> (8 * (k - 1)));
  }
  out.resize(static_cast<std::size_t>(dst - out.data()));
  return ok();
}

std::string hex_encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  append_hex(out, bytes);
  return out;
}

Result<std::vector<std::uint8_t>> hex_decode(std::string_view text) {
  if (text.size() % 2 != 0) return fail(ErrorKind::Other, "Odd number of digits");
  // Every digit is checked before any byte is made: a refused key text leaves no
  // partly decoded key behind.
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (hex_value(text[i]) < 0) return invalid_character(static_cast<std::uint8_t>(text[i]), i);
  }
  std::vector<std::uint8_t> out(text.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::uint8_t>((hex_value(text[2 * i]) << 4) | hex_value(text[2 * i + 1]));
  }
  return out;
}

}  // namespace quorvex::crypto
