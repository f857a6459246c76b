#pragma once

#include <string>
#include <string_view>

namespace quorvex {

// is_debug_escaped: whether a code point is written as \u{hex} in debug text
// (control, format, separator, private-use, surrogate, unassigned and
// combining characters).
bool is_debug_escaped(char32_t cp) noexcept;

// to_upper_full applies full Unicode upper-casing ("ß" becomes "SS") to UTF-8
// text. Invalid UTF-8 sequences are copied unchanged.
std::string to_upper_full(std::string_view text);

}  // namespace quorvex
