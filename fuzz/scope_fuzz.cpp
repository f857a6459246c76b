// Scope texts, granted in token claims and required by callers.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/dat/scope.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using quorvex::dat::Scope;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto scope = Scope::parse(text);
  const auto parts = quorvex::dat::split_scope(text);
  // The three ways of reading a scope agree, and a parsed scope writes back its own text.
  if (scope.has_value() != Scope::parses(text) || scope.has_value() != parts.has_value()) {
    __builtin_trap();
  }
  if (!scope) return 0;
  if (scope->text() != text || !scope->covers(*scope)) __builtin_trap();
  if (quorvex::dat::parts_cover(*parts, *parts) != scope->covers(*scope)) __builtin_trap();
  return 0;
}
