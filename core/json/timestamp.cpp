#include "core/json/timestamp.hpp"

#include <cstdint>

namespace quorvex::json {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

Civil civil_from_days(std::int64_t z) noexcept {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

void append_digits(std::string& out, std::uint64_t value, int width) {
  char buffer[20];
  for (int i = width - 1; i >= 0; --i) {
    buffer[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out.append(buffer, static_cast<std::size_t>(width));
}

bool is_leap(std::int64_t y) noexcept { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned days_in_month(std::int64_t y, unsigned m) noexcept {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

}  // namespace

void append_rfc3339(std::string& out, const Instant& instant) {
  std::int64_t days = instant.seconds / kSecondsPerDay;
  std::int64_t rest = instant.seconds % kSecondsPerDay;
  if (rest < 0) {
    rest += kSecondsPerDay;
    --days;
  }
  const Civil date = civil_from_days(days);
  if (date.year < 0) out += '-';
  append_digits(out, static_cast<std::uint64_t>(date.year < 0 ? -date.year : date.year), 4);
  out += '-';
  append_digits(out, date.month, 2);
  out += '-';
  append_digits(out, date.day, 2);
  out += 'T';
  const auto secs = static_cast<std::uint64_t>(rest);
  append_digits(out, secs / 3600, 2);
  out += ':';
  append_digits(out, secs / 60 % 60, 2);
  out += ':';
  append_digits(out, secs % 60, 2);
  const std::uint32_t nanos = instant.nanos;
  if (nanos != 0) {
    out += '.';
    if (nanos % 1'000'000 == 0) {
      append_digits(out, nanos / 1'000'000, 3);
    } else if (nanos % 1'000 == 0) {
      append_digits(out, nanos / 1'000, 6);
    } else {
      append_digits(out, nanos, 9);
    }
  }
  out += 'Z';
}

std::optional<Instant> parse_rfc3339(std::string_view text) {
  std::size_t at = 0;
  const auto number = [&](std::size_t width, unsigned& value) {
    if (at + width > text.size()) return false;
    value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      const char c = text[at + i];
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    at += width;
    return true;
  };
  const auto literal = [&](char a, char b = '\0') {
    if (at >= text.size() || (text[at] != a && (b == '\0' || text[at] != b))) return false;
    ++at;
    return true;
  };
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!number(4, year) || !literal('-') || !number(2, month) || !literal('-') || !number(2, day) ||
      !literal('T', 't') || !number(2, hour) || !literal(':') || !number(2, minute) ||
      !literal(':') || !number(2, second)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  std::uint32_t nanos = 0;
  if (at < text.size() && text[at] == '.') {
    ++at;
    std::size_t digits = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      if (digits < 9) nanos = nanos * 10 + static_cast<std::uint32_t>(text[at] - '0');
      ++digits;
      ++at;
    }
    if (digits == 0) return std::nullopt;
    for (std::size_t i = digits; i < 9; ++i) nanos *= 10;
  }
  std::int64_t offset = 0;
  if (literal('Z', 'z')) {
    offset = 0;
  } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    const bool negative = text[at] == '-';
    ++at;
    unsigned oh = 0, om = 0;
    if (!number(2, oh) || !literal(':') || !number(2, om) || oh > 23 || om > 59) {
      return std::nullopt;
    }
    offset = (negative ? -1 : 1) * static_cast<std::int64_t>(oh * 3600 + om * 60);
  } else {
    return std::nullopt;
  }
  if (at != text.size()) return std::nullopt;
  const std::int64_t seconds = days_from_civil(year, month, day) * kSecondsPerDay +
                               static_cast<std::int64_t>(hour * 3600 + minute * 60 + second) -
                               offset;
  return Instant{seconds, nanos};
}

}  // namespace quorvex::json
