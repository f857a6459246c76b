#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/base/clock.hpp"
#include "core/json/reader.hpp"
#include "core/json/schema.hpp"

namespace quorvex::json {

// append_rfc3339 writes an instant in UTC: YYYY-MM-DDTHH:MM:SS, then a fraction
// of 3, 6 or 9 digits (the fewest that show the nanoseconds exactly; none when
// they are 0), then "Z".
void append_rfc3339(std::string& out, const Instant& instant);

// parse_rfc3339 reads an RFC 3339 date-time (either case of T and Z, or a
// numeric offset, which is folded into UTC). Fraction digits past the ninth are
// dropped. Returns nullopt for anything else.
std::optional<Instant> parse_rfc3339(std::string_view text);

// Timestamps are RFC 3339 text in JSON.
template <>
struct Codec<Instant> {
  static constexpr std::string_view expected = "an RFC 3339 formatted date and time string";
  static void write(Writer& w, const Instant& instant) {
    std::string text;
    append_rfc3339(text, instant);
    w.ascii_text(text);
  }
  static bool scan(std::string_view text, Instant& out) {
    auto instant = parse_rfc3339(text);
    if (instant) out = *instant;
    return instant.has_value();
  }
  static bool read(Reader& r, Instant& out, const Value& v) {
    if (v.type != Value::Type::String) return r.type_error(v, expected);
    return scan(*v.string, out) || r.value_error(v, expected);
  }
};

}  // namespace quorvex::json
