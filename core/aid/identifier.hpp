#pragma once

#include <string>
#include <string_view>

#include "core/base/result.hpp"

namespace quorvex::aid {

inline constexpr std::string_view kDidScheme = "did";
inline constexpr std::string_view kAidMethod = "aid";

// AidIdentifier is a parsed did:aid:{domain}:{name}; it owns copies of both pieces.
struct AidIdentifier {
  std::string domain;
  std::string local_name;
};

// parse_aid_identifier checks the grammar: "did", "aid", a domain holding a dot,
// and a local name of a-z, 0-9 and '-'; the local name is everything after the
// third colon. Fails with InvalidAid naming the first broken rule, the domain
// before the local name.
Result<AidIdentifier> parse_aid_identifier(std::string_view text);

// format_aid_identifier joins the pieces without checking them.
std::string format_aid_identifier(std::string_view domain, std::string_view local_name);

}  // namespace quorvex::aid
