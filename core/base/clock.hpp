#pragma once

#include <cstdint>

namespace quorvex {

// A UTC instant: whole seconds since 1970-01-01T00:00:00Z and nanoseconds.
struct Instant {
  std::int64_t seconds = 0;
  std::uint32_t nanos = 0;

  // unix_millis is the instant in whole milliseconds, 0 before 1970.
  std::uint64_t unix_millis() const noexcept;
};

// now reads the system's real-time clock.
Instant now() noexcept;

}  // namespace quorvex
