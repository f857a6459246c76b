#include "core/json/scanner.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "core/base/text.hpp"

namespace quorvex::json {
namespace {

// Bytes that stand for themselves inside a string: not the quote, the backslash, a control
// character or the start of a multi-byte sequence.
constexpr std::array<bool, 256> kPlainStringBytes = [] {
  std::array<bool, 256> plain{};
  for (std::size_t b = 0x20; b < 0x80; ++b) plain[b] = b != '"' && b != '\\';
  return plain;
}();

constexpr std::uint64_t kEachByte = 0x0101010101010101;

// special_bytes flags, by their top bit, the bytes of a little-endian word that are not plain
// string bytes. Borrows only run upwards from a flagged byte, so the lowest flag is exact.
constexpr std::uint64_t special_bytes(std::uint64_t word) noexcept {
  const std::uint64_t quote = word ^ (kEachByte * '"');
  const std::uint64_t backslash = word ^ (kEachByte * '\\');
  const std::uint64_t control = (word - kEachByte * 0x20) & ~word;
  return (control | ((quote - kEachByte) & ~quote) | ((backslash - kEachByte) & ~backslash) |
          word) &
         (kEachByte * 0x80);
}

// next_special returns the first byte from `at` on that is not a plain string byte, or end.
const char* next_special(const char* at, const char* end) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    for (; end - at >= 8; at += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, at, sizeof word);
      const std::uint64_t special = special_bytes(word);
      if (special != 0) return at + std::countr_zero(special) / 8;
    }
  }
  while (at != end && kPlainStringBytes[static_cast<std::uint8_t>(*at)]) ++at;
  return at;
}

}  // namespace

// A leading zero ends the number, as in the parser; what follows must then be a delimiter.
bool Scanner::integer(bool& negative, std::uint64_t& magnitude) noexcept {
  skip_space();
  negative = at_ != end_ && *at_ == '-';
  if (negative) ++at_;
  if (at_ == end_ || *at_ < '0' || *at_ > '9') return false;
  magnitude = static_cast<std::uint64_t>(*at_++ - '0');
  if (magnitude != 0) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    while (at_ != end_ && *at_ >= '0' && *at_ <= '9') {
      const auto digit = static_cast<std::uint64_t>(*at_ - '0');
      if (magnitude > (kMax - digit) / 10) return false;  // the parser turns to floating point
      magnitude = magnitude * 10 + digit;
      ++at_;
    }
  }
  if (at_ != end_ && (*at_ == '.' || *at_ == 'e' || *at_ == 'E')) return false;
  return !negative || magnitude <= std::uint64_t{1} << 63;
}

bool Scanner::string(std::string_view& text) {
  if (!take('"')) return false;
  const char* run = at_;
  bool escaped = false;
  for (;;) {
    at_ = next_special(at_, end_);
    if (at_ == end_) return false;
    const auto byte = static_cast<std::uint8_t>(*at_);
    if (byte == '"') {
      const auto length = static_cast<std::size_t>(at_ - run);
      if (escaped) {
        unescaped_.append(run, length);
        text = unescaped_;
      } else {
        text = std::string_view(run, length);
      }
      ++at_;
      return true;
    }
    if (byte >= 0x80) {
      const std::size_t length =
          utf8_sequence_length(std::string_view(at_, static_cast<std::size_t>(end_ - at_)), 0);
      if (length == 0) return false;
      at_ += length;
      continue;
    }
    if (byte != '\\' || end_ - at_ < 2) return false;  // a control character, or the end
    if (!escaped) unescaped_.clear();
    escaped = true;
    unescaped_.append(run, static_cast<std::size_t>(at_ - run));
    char unescaped = 0;
    switch (at_[1]) {
      case '"':
      case '\\':
      case '/':
        unescaped = at_[1];
        break;
      case 'b':
        unescaped = '\b';
        break;
      case 'f':
        unescaped = '\f';
        break;
      case 'n':
        unescaped = '\n';
        break;
      case 'r':
        unescaped = '\r';
        break;
      case 't':
        unescaped = '\t';
        break;
      default:  // \u and invalid escapes
        return false;
    }
    unescaped_ += unescaped;
    at_ += 2;
    run = at_;
  }
}

// skip_value checks a value's tokens without keeping any of them.
bool Scanner::skip_value() {
  std::array<bool, kMaxDepth> object{};  // per open container: an object, not an array
  std::size_t open = 0;
  const auto member_name = [&] {
    std::string_view name;
    return string(name) && take(':');
  };
  for (;;) {
    const char first = peek();
    if (first == '{' || first == '[') {
      const bool is_object = first == '{';
      ++at_;
      if (!take(is_object ? '}' : ']')) {
        if (open == kMaxDepth) return false;
        object[open++] = is_object;
        if (is_object && !member_name()) return false;
        continue;  // to the first element
      }
    } else if (first == '"') {
      std::string_view text;
      if (!string(text)) return false;
    } else if (first == 't' || first == 'f') {
      if (!literal(first == 't' ? "true" : "false")) return false;
    } else if (first == 'n') {
      if (!literal("null")) return false;
    } else {
      bool negative = false;
      std::uint64_t magnitude = 0;
      if (!integer(negative, magnitude)) return false;
    }
    // A value is complete: close what ends here, then go on to the next element.
    for (;;) {
      if (open == 0) return true;
      const bool is_object = object[open - 1];
      if (take(',')) {
        if (is_object && !member_name()) return false;
        break;
      }
      if (!take(is_object ? '}' : ']')) return false;
      --open;
    }
  }
}

bool Scanner::generic(nlohmann::json& out) {
  const char first = peek();
  if (first == '{' || first == '[') {
    if (!enter()) return false;
    const bool is_object = first == '{';
    ++at_;
    out = is_object ? nlohmann::json::object() : nlohmann::json::array();
    if (!take(is_object ? '}' : ']')) {
      do {
        if (is_object) {
          std::string_view name;
          if (!string(name)) return false;
          nlohmann::json& member = out[std::string(name)];  // a repeated name: the last one
          if (!take(':') || !generic(member)) return false;
        } else if (!generic(out.emplace_back())) {
          return false;
        }
      } while (take(','));
      if (!take(is_object ? '}' : ']')) return false;
    }
    leave();
    return true;
  }
  if (first == '"') {
    std::string_view text;
    if (!string(text)) return false;
    out = std::string(text);
    return true;
  }
  if (first == 't' || first == 'f') {
    out = first == 't';
    return literal(first == 't' ? "true" : "false");
  }
  if (first == 'n') {
    out = nullptr;
    return literal("null");
  }
  bool negative = false;
  std::uint64_t magnitude = 0;
  if (!integer(negative, magnitude)) return false;
  if (!negative || magnitude == 0) {  // "-0" is read as 0
    out = magnitude;
  } else {
    out = magnitude == std::uint64_t{1} << 63 ? std::numeric_limits<std::int64_t>::min()
                                              : -static_cast<std::int64_t>(magnitude);
  }
  return true;
}

}  // namespace quorvex::json
