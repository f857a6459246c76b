#include "core/base/unicode.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "core/base/text.hpp"

namespace quorvex {
namespace {
#include "core/base/unicode_tables.inc"
}  // namespace

bool is_debug_escaped(char32_t cp) noexcept {
  const auto* end = std::end(kEscapedRanges);
  const auto* it = std::upper_bound(std::begin(kEscapedRanges), end, cp,
                                    [](char32_t c, const CodeRange& r) { return c < r.first; });
  if (it == std::begin(kEscapedRanges)) return false;
  --it;
  return cp <= it->last;
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

}  // namespace quorvex
