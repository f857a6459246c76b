#pragma once

#include <string>
#include <string_view>

namespace quorvex::crypto {

// is_debug_escaped: whether a code point is written as \u{hex} in debug text
// (control, format, separator, private-use, surrogate, unassigned and
// combining characters).
bool is_debug_escaped(char32_t cp) noexcept;

// to_upper_full applies full Unicode upper-casing ("ß" becomes "SS") to UTF-8
// text. Invalid UTF-8 sequences are copied unchanged.
std::string to_upper_full(std::string_view text);

// Decodes one UTF-8 sequence at text[i]; advances i. Returns U+FFFD and
// advances one byte for an invalid sequence.
char32_t next_code_point(std::string_view text, std::size_t& i) noexcept;
void append_utf8(std::string& out, char32_t cp);

}  // namespace quorvex::crypto
