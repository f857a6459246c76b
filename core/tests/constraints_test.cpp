#include "core/dat/constraints.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvex::dat {
namespace {

const std::vector<std::string> kScope = {"mcp:tool:filesystem:read"};

TimeWindow window(std::uint8_t start, std::uint8_t end,
                  std::optional<std::vector<std::uint8_t>> days = std::nullopt) {
  return TimeWindow{start, end, std::move(days)};
}

TEST(CheckConstraintsTest, AcceptsEveryValueAVerificationCanMatch) {
  DatConstraints all;
  all.max_actions = 0;
  all.allowed_servers = std::vector<std::string>{"", "not a server"};
  all.require_receipt = true;
  all.rate_limit = RateLimit{0, 0};
  all.ip_allowlist = std::vector<std::string>{"10.0.0.0/8", "10.255.255.255/8", "192.168.1.5"};
  all.ip_denylist = std::vector<std::string>{"::/0", "::ffff:10.1.2.3", "2001:db8::/128"};
  all.min_trust_level = 255;
  all.max_delegation_depth = 0;
  all.allowed_countries = std::vector<std::string>{"US", "de", "Fr"};
  all.time_windows = std::vector<TimeWindow>{window(0, 23), window(23, 0, {{0, 6}}),
                                             window(9, 17, std::vector<std::uint8_t>{})};
  all.required_config_hash = "";
  EXPECT_TRUE(check_constraints({":::", "*:*:*:*", "mcp:tool:filesystem:read"}, all));
  EXPECT_TRUE(check_constraints({}, DatConstraints{}));
  DatConstraints empty_lists;
  empty_lists.ip_allowlist.emplace();
  empty_lists.ip_denylist.emplace();
  empty_lists.allowed_countries.emplace();
  empty_lists.time_windows.emplace();
  EXPECT_TRUE(check_constraints(kScope, empty_lists));
}

struct Refusal {
  const char* label;
  std::vector<std::string> scope;
  DatConstraints constraints;
  std::string text;
};

DatConstraints with_allow(std::vector<std::string> entries) {
  DatConstraints c;
  c.ip_allowlist = std::move(entries);
  return c;
}
DatConstraints with_deny(std::vector<std::string> entries) {
  DatConstraints c;
  c.ip_denylist = std::move(entries);
  return c;
}
DatConstraints with_countries(std::vector<std::string> entries) {
  DatConstraints c;
  c.allowed_countries = std::move(entries);
  return c;
}
DatConstraints with_windows(std::vector<TimeWindow> windows) {
  DatConstraints c;
  c.time_windows = std::move(windows);
  return c;
}

TEST(CheckConstraintsTest, RefusesTheFirstValueNoVerificationAccepts) {
  const std::string parts = " does not have 4 parts (namespace:protocol:resource:action)";
  const std::vector<Refusal> cases = {
      {"scope", {"mcp:tool:filesystem:read", "read"}, {}, "scope entry \"read\"" + parts},
      {"empty scope", {""}, {}, "scope entry \"\"" + parts},
      {"five parts", {"a:b:c:d:e"}, {}, "scope entry \"a:b:c:d:e\"" + parts},
      {"scope before constraints", {"x"}, with_allow({"bad"}), "scope entry \"x\"" + parts},
      {"prefix too long", kScope, with_allow({"10.0.0.0/8", "10.0.0.0/33"}),
       "ipAllowlist entry \"10.0.0.0/33\" is no address or network"},
      {"v6 prefix", kScope, with_allow({"::/129"}),
       "ipAllowlist entry \"::/129\" is no address or network"},
      {"host name", kScope, with_deny({"localhost"}),
       "ipDenylist entry \"localhost\" is no address or network"},
      {"control byte", kScope, with_deny({"10.1.2.3\n"}),
       "ipDenylist entry \"10.1.2.3\\n\" is no address or network"},
      {"empty entry", kScope, with_deny({""}), "ipDenylist entry \"\" is no address or network"},
      {"three letters", kScope, with_countries({"US", "USA"}),
       "allowedCountries entry \"USA\" is not a two-letter country code"},
      {"one letter", kScope, with_countries({"U"}),
       "allowedCountries entry \"U\" is not a two-letter country code"},
      {"digits", kScope, with_countries({"1A"}),
       "allowedCountries entry \"1A\" is not a two-letter country code"},
      {"not ASCII", kScope, with_countries({"ÜA"}),
       "allowedCountries entry \"ÜA\" is not a two-letter country code"},
      {"start hour", kScope, with_windows({window(9, 17), window(24, 1)}),
       "timeWindows[1].start_hour 24 is above 23"},
      {"end hour", kScope, with_windows({window(0, 255)}),
       "timeWindows[0].end_hour 255 is above 23"},
      {"weekday", kScope, with_windows({window(0, 23, {{0, 7}})}),
       "timeWindows[0].days_of_week entry 7 is above 6 (0 is Monday, 6 Sunday)"},
  };
  for (const Refusal& c : cases) {
    const auto checked = check_constraints(c.scope, c.constraints);
    ASSERT_FALSE(checked) << c.label;
    EXPECT_EQ(checked.error().kind(), ErrorKind::Other) << c.label;
    EXPECT_EQ(checked.error().display(), c.text) << c.label;
  }
}

TEST(CheckConstraintsTest, ChecksMembersInTheOrderOfTheClaims) {
  DatConstraints c = with_windows({window(30, 0)});
  c.allowed_countries = std::vector<std::string>{"X"};
  c.ip_denylist = std::vector<std::string>{"d"};
  c.ip_allowlist = std::vector<std::string>{"a"};
  const std::vector<std::string> expected = {
      "ipAllowlist entry \"a\" is no address or network",
      "ipDenylist entry \"d\" is no address or network",
      "allowedCountries entry \"X\" is not a two-letter country code",
      "timeWindows[0].start_hour 30 is above 23",
  };
  for (const std::string& text : expected) {
    const auto checked = check_constraints(kScope, c);
    ASSERT_FALSE(checked);
    EXPECT_EQ(checked.error().display(), text);
    // Mend the member just reported; the next one is reported then.
    if (c.ip_allowlist) {
      c.ip_allowlist.reset();
    } else if (c.ip_denylist) {
      c.ip_denylist.reset();
    } else if (c.allowed_countries) {
      c.allowed_countries.reset();
    }
  }
}

}  // namespace
}  // namespace quorvex::dat
