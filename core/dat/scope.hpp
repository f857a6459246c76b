#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/result.hpp"

namespace quorvex::dat {

// ScopeParts views the four parts of a scope text, for checks that need no copy.
using ScopeParts = std::array<std::string_view, 4>;
// split_scope splits as Scope::parse does; nullopt where parse would fail.
std::optional<ScopeParts> split_scope(std::string_view text) noexcept;
// parts_cover is Scope::covers over views: granted against requested.
bool parts_cover(const ScopeParts& granted, const ScopeParts& requested) noexcept;

// Scope is one permission, namespace:protocol:resource:action. A part that is
// exactly "*" on the granting side matches any requested part.
class Scope {
 public:
  // parse splits at every ':' and needs exactly four pieces (empty ones count).
  // Fails with ScopeNotPermitted "scope must have 4 parts
  // (namespace:protocol:resource:action), got: {text}".
  static Result<Scope> parse(std::string_view text);
  // parses reports whether parse would succeed, without building a Scope.
  static bool parses(std::string_view text) noexcept;

  // covers: whether this granted scope permits the requested one.
  bool covers(const Scope& requested) const noexcept;
  std::string text() const;        // "ns:proto:res:act"
  std::string debug_text() const;  // "Scope('ns:proto:res:act')"

  const std::string& namespace_part() const noexcept { return namespace_; }
  const std::string& protocol() const noexcept { return protocol_; }
  const std::string& resource() const noexcept { return resource_; }
  const std::string& action() const noexcept { return action_; }

 private:
  Scope() = default;
  std::string namespace_;
  std::string protocol_;
  std::string resource_;
  std::string action_;
};

}  // namespace quorvex::dat
