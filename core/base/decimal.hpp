#pragma once

#include <charconv>
#include <concepts>
#include <string>

namespace quorvex {

// append_decimal writes an integer in decimal, with a '-' when negative.
template <std::integral Int>
void append_decimal(std::string& out, Int value) {
  char buffer[24];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  out.append(buffer, end);
}

}  // namespace quorvex
