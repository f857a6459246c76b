#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvex::crypto {

// TrustLevel grades how thoroughly an identity was verified, L0 to L4.
class TrustLevel {
 public:
  static constexpr std::uint8_t kMaxOrdinal = 4;

  // parse accepts exactly "L0" to "L4"; anything else gives nullopt (see
  // invalid_trust_level_message for the text to report).
  static std::optional<TrustLevel> parse(std::string_view text) noexcept;
  // from_ordinal takes 0 to 4; larger values are clamped to L4.
  static TrustLevel from_ordinal(std::uint8_t ordinal) noexcept;

  std::uint8_t ordinal() const noexcept { return ordinal_; }
  std::string_view name() const noexcept;
  std::string_view description() const noexcept;
  bool meets_minimum(TrustLevel required) const noexcept { return ordinal_ >= required.ordinal_; }
  // repr_text: "TrustLevel('L2' — Organization-verified — ...)".
  std::string repr_text() const;

 private:
  explicit TrustLevel(std::uint8_t ordinal) noexcept : ordinal_(ordinal) {}
  std::uint8_t ordinal_;
};

std::string invalid_trust_level_message(std::string_view input);

}  // namespace quorvex::crypto
