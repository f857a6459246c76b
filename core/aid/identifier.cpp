#include "core/aid/identifier.hpp"

#include <array>
#include <cstddef>

namespace quorvex::aid {
namespace {

bool is_local_name_byte(char c) noexcept {
  return c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z');
}

}  // namespace

Result<AidIdentifier> parse_aid_identifier(std::string_view text) {
  // The first three colons separate; the fourth piece keeps any further colons.
  std::array<std::string_view, 4> pieces;
  std::string_view rest = text;
  for (std::size_t i = 0; i < 3; ++i) {
    const std::size_t colon = rest.find(':');
    if (colon == std::string_view::npos) {
      return fail(ErrorKind::InvalidAid,
                  "expected did:aid:{domain}:{name}, got: " + std::string(text));
    }
    pieces[i] = rest.substr(0, colon);
    rest.remove_prefix(colon + 1);
  }
  pieces[3] = rest;
  if (pieces[0] != kDidScheme || pieces[1] != kAidMethod) {
    std::string detail = "expected did:";
    detail.append(kAidMethod).append(":..., got: ").append(text);
    return fail(ErrorKind::InvalidAid, std::move(detail));
  }
  AidIdentifier id{std::string(pieces[2]), std::string(pieces[3])};
  if (id.domain.find('.') == std::string::npos) {
    return fail(ErrorKind::InvalidAid, "invalid domain: " + id.domain);
  }
  bool name_ok = !id.local_name.empty();
  // Any byte of a non-ASCII character fails, so bytes stand for code points here.
  for (const char c : id.local_name) name_ok = name_ok && is_local_name_byte(c);
  if (!name_ok) {
    return fail(ErrorKind::InvalidAid,
                "local name must be lowercase alphanumeric with hyphens: " + id.local_name);
  }
  return id;
}

std::string format_aid_identifier(std::string_view domain, std::string_view local_name) {
  std::string out = "did:aid:";
  out.append(domain).append(":").append(local_name);
  return out;
}

}  // namespace quorvex::aid
