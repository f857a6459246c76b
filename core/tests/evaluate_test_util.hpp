#pragma once

// Helpers shared by the constraint evaluator tests and the policy and verification tests.

#include <cstdint>
#include <optional>
#include <string>

#include "core/dat/violation.hpp"

namespace quorvex::dat::test_util {

// Monday 2024-01-01 00:00:00 UTC.
inline constexpr std::int64_t kMonday = 1704067200;
inline constexpr std::int64_t kHour = 3600;
inline constexpr std::int64_t kDay = 86400;

inline std::string outcome(const std::optional<ConstraintViolation>& v) {
  return v ? render_violation(*v) : "ok";
}

}  // namespace quorvex::dat::test_util
