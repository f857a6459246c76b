#include "core/crypto/unicode.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace quorvex::crypto {
namespace {
#include "core/crypto/unicode_tables.inc"
}  // namespace

bool is_debug_escaped(char32_t cp) noexcept {
  const auto* end = std::end(kEscapedRanges);
  const auto* it = std::upper_bound(std::begin(kEscapedRanges), end, cp,
                                    [](char32_t c, const CodeRange& r) { return c < r.first; });
  if (it == std::begin(kEscapedRanges)) return false;
  --it;
  return cp <= it->last;
}

char32_t next_code_point(std::string_view text, std::size_t& i) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  const std::uint8_t b0 = byte(i);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  std::size_t len = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1Fu, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0Fu, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07u, min = 0x10000;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (i + len > text.size()) {
    ++i;
    return 0xFFFD;
  }
  for (std::size_t k = 1; k < len; ++k) {
    const std::uint8_t b = byte(i + k);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return 0xFFFD;
  }
  i += len;
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  const auto put = [&](std::uint32_t v) { out.push_back(static_cast<char>(v)); };
  if (cp < 0x80) {
    put(cp);
  } else if (cp < 0x800) {
    put(0xC0 | (cp >> 6));
    put(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    put(0xE0 | (cp >> 12));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  } else {
    put(0xF0 | (cp >> 18));
    put(0x80 | ((cp >> 12) & 0x3F));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  }
}

std::string to_upper_full(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<std::uint8_t>(text[i]);
    if (b < 0x80) {
      out.push_back(b >= 'a' && b <= 'z' ? static_cast<char>(b - 0x20) : static_cast<char>(b));
      ++i;
      continue;
    }
    const std::size_t start = i;
    const char32_t cp = next_code_point(text, i);
    if (cp == 0xFFFD && i == start + 1) {
      out.push_back(text[start]);  // invalid sequence: keep the byte as it is
      continue;
    }
    const auto* end = std::end(kUpperRows);
    const auto* row = std::lower_bound(std::begin(kUpperRows), end, cp,
                                       [](const UpperRow& r, char32_t c) { return r.from < c; });
    if (row == end || row->from != cp) {
      out.append(text.substr(start, i - start));
      continue;
    }
    for (char32_t up : row->to) {
      if (up != 0) append_utf8(out, up);
    }
  }
  return out;
}

}  // namespace quorvex::crypto
