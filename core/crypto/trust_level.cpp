#include "core/crypto/trust_level.hpp"

#include <array>

namespace quorvex::crypto {
namespace {

constexpr std::array<std::string_view, 5> kNames = {"L0", "L1", "L2", "L3", "L4"};
constexpr std::array<std::string_view, 5> kDescriptions = {
    "Self-declared \u2014 unverified identity claim",
    "Domain-verified \u2014 DNS TXT record confirms domain ownership",
    "Organization-verified \u2014 CA-like verification of controlling entity",
    "Audited \u2014 third-party security audit completed",
    "Continuously monitored \u2014 real-time behavior and compliance analysis",
};

}  // namespace

std::optional<TrustLevel> TrustLevel::parse(std::string_view text) noexcept {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (text == kNames[i]) return TrustLevel(static_cast<std::uint8_t>(i));
  }
  return std::nullopt;
}

TrustLevel TrustLevel::from_ordinal(std::uint8_t ordinal) noexcept {
  return TrustLevel(ordinal > kMaxOrdinal ? kMaxOrdinal : ordinal);
}

std::string_view TrustLevel::name() const noexcept { return kNames[ordinal_]; }

std::string_view TrustLevel::description() const noexcept { return kDescriptions[ordinal_]; }

std::string TrustLevel::repr_text() const {
  std::string out = "TrustLevel('";
  out += name();
  out += "' \u2014 ";
  out += description();
  out += ')';
  return out;
}

std::string invalid_trust_level_message(std::string_view input) {
  std::string out = "Invalid trust level '";
  out += input;
  out += "'. Must be L0, L1, L2, L3, or L4.";
  return out;
}

}  // namespace quorvex::crypto
