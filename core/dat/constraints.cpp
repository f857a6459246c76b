#include "core/dat/constraints.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/base/text.hpp"
#include "core/dat/ip.hpp"
#include "core/dat/scope.hpp"

namespace quorvex::dat {
namespace {

constexpr unsigned kLastHour = 23;
constexpr unsigned kLastWeekday = 6;

Failure refused_entry(std::string_view member, std::string_view entry, std::string_view reason) {
  std::string text(member);
  text += " entry ";
  append_debug_excerpt(text, entry);
  text += ' ';
  text += reason;
  return fail(ErrorKind::Other, std::move(text));
}

bool is_ascii_letter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

Result<void> check_networks(std::string_view member,
                            const std::optional<std::vector<std::string>>& entries) {
  if (!entries) return ok();
  for (const std::string& entry : *entries) {
    if (!parse_network(entry)) return refused_entry(member, entry, "is no address or network");
  }
  return ok();
}

Result<void> check_countries(const std::optional<std::vector<std::string>>& entries) {
  if (!entries) return ok();
  for (const std::string& entry : *entries) {
    if (entry.size() != 2 || !is_ascii_letter(entry[0]) || !is_ascii_letter(entry[1])) {
      return refused_entry("allowedCountries", entry, "is not a two-letter country code");
    }
  }
  return ok();
}

Failure above(std::size_t window, std::string_view member, unsigned value, unsigned last) {
  return fail(ErrorKind::Other, "timeWindows[" + std::to_string(window) + "]." +
                                    std::string(member) + " " + std::to_string(value) +
                                    " is above " + std::to_string(last));
}

Result<void> check_windows(const std::optional<std::vector<TimeWindow>>& windows) {
  if (!windows) return ok();
  for (std::size_t i = 0; i < windows->size(); ++i) {
    const TimeWindow& window = (*windows)[i];
    if (window.start_hour > kLastHour) return above(i, "start_hour", window.start_hour, kLastHour);
    if (window.end_hour > kLastHour) return above(i, "end_hour", window.end_hour, kLastHour);
    if (!window.days_of_week) continue;
    for (const std::uint8_t day : *window.days_of_week) {
      if (day > kLastWeekday) {
        Failure refused = above(i, "days_of_week entry", day, kLastWeekday);
        return fail(ErrorKind::Other, refused.error.text() + " (0 is Monday, 6 Sunday)");
      }
    }
  }
  return ok();
}

}  // namespace

Result<void> check_constraints(const std::vector<std::string>& scope,
                               const DatConstraints& constraints) {
  for (const std::string& entry : scope) {
    if (!Scope::parses(entry)) {
      return refused_entry("scope", entry,
                           "does not have 4 parts (namespace:protocol:resource:action)");
    }
  }
  if (auto checked = check_networks("ipAllowlist", constraints.ip_allowlist); !checked) {
    return checked;
  }
  if (auto checked = check_networks("ipDenylist", constraints.ip_denylist); !checked) {
    return checked;
  }
  if (auto checked = check_countries(constraints.allowed_countries); !checked) return checked;
  return check_windows(constraints.time_windows);
}

}  // namespace quorvex::dat
