#include "core/dat/scope.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvex::dat {

std::optional<ScopeParts> split_scope(std::string_view text) noexcept {
  ScopeParts parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::size_t colon = text.find(':', start);
    if (i + 1 == parts.size()) {
      // Anything after a fourth colon would be a fifth piece.
      if (colon != std::string_view::npos) return std::nullopt;
      parts[i] = text.substr(start);
    } else {
      if (colon == std::string_view::npos) return std::nullopt;
      parts[i] = text.substr(start, colon - start);
      start = colon + 1;
    }
  }
  return parts;
}

bool parts_cover(const ScopeParts& granted, const ScopeParts& requested) noexcept {
  for (std::size_t i = 0; i < granted.size(); ++i) {
    if (granted[i] != "*" && granted[i] != requested[i]) return false;
  }
  return true;
}

Result<Scope> Scope::parse(std::string_view text) {
  const auto parts = split_scope(text);
  if (!parts) {
    std::string message = "scope must have 4 parts (namespace:protocol:resource:action), got: ";
    message.append(text);
    return fail(ErrorKind::ScopeNotPermitted, std::move(message));
  }
  Scope scope;
  scope.namespace_ = (*parts)[0];
  scope.protocol_ = (*parts)[1];
  scope.resource_ = (*parts)[2];
  scope.action_ = (*parts)[3];
  return scope;
}

bool Scope::parses(std::string_view text) noexcept { return split_scope(text).has_value(); }

bool Scope::covers(const Scope& requested) const noexcept {
  return parts_cover(
      {namespace_, protocol_, resource_, action_},
      {requested.namespace_, requested.protocol_, requested.resource_, requested.action_});
}

std::string Scope::text() const {
  std::string out;
  out.reserve(namespace_.size() + protocol_.size() + resource_.size() + action_.size() + 3);
  out.append(namespace_).append(":").append(protocol_).append(":");
  out.append(resource_).append(":").append(action_);
  return out;
}

std::string Scope::debug_text() const {
  std::string out = "Scope('";
  out.append(text()).append("')");
  return out;
}

}  // namespace quorvex::dat
