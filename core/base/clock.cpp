#include "core/base/clock.hpp"

#include <time.h>

namespace quorvex {

std::uint64_t Instant::unix_millis() const noexcept {
  if (seconds < 0) return 0;
  // Wraps only past year 584 million; the low bits that ULIDs keep stay exact.
  return static_cast<std::uint64_t>(seconds) * 1000 + nanos / 1'000'000;
}

Instant now() noexcept {
  timespec ts{};
  // CLOCK_REALTIME with a valid pointer cannot fail.
  clock_gettime(CLOCK_REALTIME, &ts);
  return Instant{static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec)};
}

}  // namespace quorvex
