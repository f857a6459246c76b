#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quorvex {

// The reasons a DAT can fail constraint evaluation, one struct per variant.
namespace violation {
struct Expired {};
struct NotYetValid {};
struct ScopeNotCovered {};
struct Revoked {};
struct RateLimitExceeded {
  std::string limit_type;
  std::uint64_t limit = 0;
  std::uint64_t current = 0;
};
struct IpBlocked {
  std::string ip;
  std::string reason;
};
struct InsufficientTrustLevel {
  std::string required;
  std::string actual;
};
struct DelegationDepthExceeded {
  std::uint32_t max_depth = 0;
  std::uint32_t actual_depth = 0;
};
struct GeofenceViolation {
  std::string country;
  std::vector<std::string> allowed;
};
struct OutsideTimeWindow {};
struct ConfigAttestationMismatch {
  std::string expected;
  std::optional<std::string> actual;
};
struct ChainValidationFailed {
  std::string text;
};
struct SignatureInvalid {};
struct Custom {
  std::string text;
};
}  // namespace violation

using ConstraintViolation =
    std::variant<violation::Expired, violation::NotYetValid, violation::ScopeNotCovered,
                 violation::Revoked, violation::RateLimitExceeded, violation::IpBlocked,
                 violation::InsufficientTrustLevel, violation::DelegationDepthExceeded,
                 violation::GeofenceViolation, violation::OutsideTimeWindow,
                 violation::ConfigAttestationMismatch, violation::ChainValidationFailed,
                 violation::SignatureInvalid, violation::Custom>;

// ViolationFields receives a violation's fields in the order its one-line form shows
// them, each under the name that form gives it. The text of a tuple variant
// (ChainValidationFailed, Custom) has no name there and comes to unnamed.
class ViolationFields {
 public:
  virtual void text(std::string_view name, std::string_view value) = 0;
  virtual void number(std::string_view name, std::uint64_t value) = 0;
  virtual void list(std::string_view name, const std::vector<std::string>& values) = 0;
  virtual void optional(std::string_view name, const std::optional<std::string>& value) = 0;
  virtual void unnamed(std::string_view value) = 0;

 protected:
  ViolationFields() = default;
  ViolationFields(const ViolationFields&) = default;
  ViolationFields& operator=(const ViolationFields&) = default;
  ViolationFields(ViolationFields&&) = default;
  ViolationFields& operator=(ViolationFields&&) = default;
  ~ViolationFields() = default;
};

// violation_name is the variant's name, the first word of its one-line form.
std::string_view violation_name(const ConstraintViolation& v);

// visit_fields hands each field of v to fields; variants without fields hand none.
void visit_fields(const ConstraintViolation& v, ViolationFields& fields);

// render_violation writes the one-line debug form a Python caller sees, such as
// `IpBlocked { ip: "10.1.2.3", reason: "IP in denied list" }`.
std::string render_violation(const ConstraintViolation& v);

}  // namespace quorvex
