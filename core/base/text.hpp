#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quorvex {

inline constexpr char kHexDigits[] = "0123456789abcdef";

// append_hex writes two lower-case digits per byte.
void append_hex(std::string& out, std::span<const std::uint8_t> bytes);
// append_hex_number writes n in lower-case hexadecimal without leading zeros.
void append_hex_number(std::string& out, std::uint32_t n);

// utf8_sequence_length: the length of the well-formed UTF-8 sequence at
// text[i] (1 for ASCII), or 0 when the bytes there are no such sequence.
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) noexcept;
// next_code_point decodes the sequence at text[i] and advances i past it; an
// ill-formed sequence gives U+FFFD and advances one byte.
char32_t next_code_point(std::string_view text, std::size_t& i) noexcept;
void append_utf8(std::string& out, char32_t cp);
// valid_utf8 replaces every ill-formed sequence with U+FFFD.
std::string valid_utf8(std::string_view text);

// append_debug_quoted writes text between double quotes, with \\ \" \t \r \n
// escaped and every other non-printable code point as \u{hex}.
void append_debug_quoted(std::string& out, std::string_view text);
// Messages quote at most kExcerptBytes of a text they were given, so that their size
// does not grow with it; a cut is marked with "..." on the side that was cut.
inline constexpr std::size_t kExcerptBytes = 64;
// append_debug_excerpt writes text as append_debug_quoted does while the quoted
// characters take at most kExcerptBytes, then "..." before the closing quote if
// any are left.
void append_debug_excerpt(std::string& out, std::string_view text);
// append_excerpt writes text as it is, or its first kExcerptBytes at most, ending
// at a character boundary, followed by "...".
void append_excerpt(std::string& out, std::string_view text);

// append_debug_char writes one code point between single quotes, escaped as a
// character literal: \0 \t \r \n \' \\ and \u{hex} for non-printable ones.
void append_debug_char(std::string& out, char32_t cp);

}  // namespace quorvex
