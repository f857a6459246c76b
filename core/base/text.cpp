#include "core/base/text.hpp"

#include <charconv>
#include <limits>

#include "core/base/unicode.hpp"

namespace quorvex {
namespace {

// Writes the escape of cp in debug text, or returns false when cp stands as it is.
bool append_debug_escape(std::string& out, char32_t cp, char quote) {
  switch (cp) {
    case U'\\':
      out += "\\\\";
      return true;
    case U'\t':
      out += "\\t";
      return true;
    case U'\r':
      out += "\\r";
      return true;
    case U'\n':
      out += "\\n";
      return true;
    default:
      break;
  }
  if (cp == static_cast<char32_t>(quote)) {
    out += '\\';
    out += quote;
    return true;
  }
  if (cp == 0 && quote == '\'') {
    out += "\\0";
    return true;
  }
  if (!is_debug_escaped(cp)) return false;
  out += "\\u{";
  append_hex_number(out, static_cast<std::uint32_t>(cp));
  out += '}';
  return true;
}

// append_debug_within writes the debug form of text's characters, without quotes, while
// they take at most `limit` bytes, and returns how many bytes of text it wrote.
std::size_t append_debug_within(std::string& out, std::string_view text, std::size_t limit) {
  const std::size_t start = out.size();
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t from = i;
    const std::size_t mark = out.size();
    const char32_t cp = next_code_point(text, i);
    if (!append_debug_escape(out, cp, '"')) out.append(text.substr(from, i - from));
    if (out.size() - start > limit) {
      out.resize(mark);
      return from;
    }
  }
  return i;
}

}  // namespace

void append_hex(std::string& out, std::span<const std::uint8_t> bytes) {
  const std::size_t start = out.size();
  out.resize(start + 2 * bytes.size());
  char* dst = out.data() + start;
  for (const std::uint8_t byte : bytes) {
    *dst++ = kHexDigits[byte >> 4];
    *dst++ = kHexDigits[byte & 0xF];
  }
}

void append_hex_number(std::string& out, std::uint32_t n) {
  char buffer[8];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, n, 16).ptr;
  out.append(buffer, end);
}

std::size_t utf8_sequence_length(std::string_view text, std::size_t i) noexcept {
  const auto byte = [&](std::size_t k) -> unsigned {
    return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0U;
  };
  const auto tail = [&](std::size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
    return byte(k) >= lo && byte(k) <= hi;
  };
  if (i >= text.size()) return 0;
  const unsigned lead = byte(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return tail(1) ? 2 : 0;
  if (lead == 0xE0) return tail(1, 0xA0) && tail(2) ? 3 : 0;
  if (lead == 0xED) return tail(1, 0x80, 0x9F) && tail(2) ? 3 : 0;
  if (lead >= 0xE1 && lead <= 0xEF) return tail(1) && tail(2) ? 3 : 0;
  if (lead == 0xF0) return tail(1, 0x90) && tail(2) && tail(3) ? 4 : 0;
  if (lead >= 0xF1 && lead <= 0xF3) return tail(1) && tail(2) && tail(3) ? 4 : 0;
  if (lead == 0xF4) return tail(1, 0x80, 0x8F) && tail(2) && tail(3) ? 4 : 0;
  return 0;
}

char32_t next_code_point(std::string_view text, std::size_t& i) noexcept {
  const std::size_t n = utf8_sequence_length(text, i);
  if (n == 0) {
    ++i;
    return 0xFFFD;
  }
  const auto byte = [&](std::size_t k) {
    return static_cast<char32_t>(static_cast<unsigned char>(text[i + k]));
  };
  char32_t cp = 0;
  switch (n) {
    case 1:
      cp = byte(0);
      break;
    case 2:
      cp = ((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
      break;
    case 3:
      cp = ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
      break;
    default:
      cp = ((byte(0) & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) |
           (byte(3) & 0x3F);
      break;
  }
  i += n;
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

std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = utf8_sequence_length(text, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

void append_debug_quoted(std::string& out, std::string_view text) {
  out += '"';
  append_debug_within(out, text, std::numeric_limits<std::size_t>::max());
  out += '"';
}

void append_debug_excerpt(std::string& out, std::string_view text) {
  out += '"';
  if (append_debug_within(out, text, kExcerptBytes) < text.size()) out += "...";
  out += '"';
}

void append_excerpt(std::string& out, std::string_view text) {
  if (text.size() <= kExcerptBytes) {
    out += text;
    return;
  }
  std::size_t end = kExcerptBytes;
  // Back off the continuation bytes of a character that would be split.
  for (int n = 0; n < 3 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++n) --end;
  out.append(text.substr(0, end));
  out += "...";
}

void append_debug_char(std::string& out, char32_t cp) {
  out += '\'';
  if (!append_debug_escape(out, cp, '\'')) append_utf8(out, cp);
  out += '\'';
}

}  // namespace quorvex
