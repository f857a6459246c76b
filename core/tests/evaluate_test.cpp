#include "core/dat/evaluate.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/tests/evaluate_test_util.hpp"

namespace quorvex::dat {
namespace {

using crypto::TrustLevel;
using test_util::kDay;
using test_util::kHour;
using test_util::kMonday;
using test_util::outcome;

IpAddress ip(std::string_view text) {
  const auto parsed = parse_ip(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed.value_or(IpAddress{});
}

std::string check(std::string_view evaluator, const DatConstraints& c,
                  const EvaluationContext& ctx) {
  const PolicyEvaluator policy = PolicyEvaluator::standard();
  for (std::size_t i = 0; i < policy.size(); ++i) {
    if (policy.at(i).name() == evaluator) return outcome(policy.at(i).evaluate(c, ctx));
  }
  ADD_FAILURE() << "no evaluator " << evaluator;
  return {};
}

TEST(IpTest, ParsesAndWritesStandardText) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"10.1.2.3", "10.1.2.3"},
      {"0.0.0.0", "0.0.0.0"},
      {"::", "::"},
      {"::1", "::1"},
      {"1::", "1::"},
      {"2001:0DB8::0001", "2001:db8::1"},
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},     // tie: the first run
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // a lone zero group stays
      {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},                 // the longer run wins
      {"::ffff:10.1.2.3", "::ffff:10.1.2.3"},
      {"::ffff:a01:203", "::ffff:10.1.2.3"},
      {"::1.2.3.4", "::102:304"},  // IPv4-compatible is not mapped
      {"fe80::1:ffff:a01:203", "fe80::1:ffff:a01:203"},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(ip_text(ip(text)), shown) << text;
  EXPECT_FALSE(ip("10.1.2.3").v6);
  EXPECT_TRUE(ip("::ffff:10.1.2.3").v6);
  for (const std::string& bad : std::vector<std::string>{
           "", "not-an-ip", "10.1.2", "10.1.2.3.4", "256.1.1.1", " 10.1.2.3", "[::1]",
           "fe80::1%eth0", "::1/128", std::string("10.1.2.3\0", 9), "1:2:3:4:5:6:7:8:9"}) {
    EXPECT_FALSE(parse_ip(bad).has_value()) << bad;
  }
}

TEST(IpTest, NetworksContainTheirRangeOfOneFamily) {
  const auto net = parse_network("10.9.8.7/8");  // host bits ignored
  ASSERT_TRUE(net.has_value());
  EXPECT_EQ(net->prefix, 8);
  EXPECT_TRUE(net->contains(ip("10.0.0.0")));
  EXPECT_TRUE(net->contains(ip("10.255.255.255")));
  EXPECT_FALSE(net->contains(ip("11.0.0.0")));
  EXPECT_FALSE(net->contains(ip("::ffff:10.1.2.3")));

  const auto odd = parse_network("192.168.1.130/25");
  EXPECT_TRUE(odd->contains(ip("192.168.1.128")));
  EXPECT_TRUE(odd->contains(ip("192.168.1.255")));
  EXPECT_FALSE(odd->contains(ip("192.168.1.127")));
  EXPECT_TRUE(parse_network("0.0.0.0/0")->contains(ip("255.1.2.3")));
  EXPECT_FALSE(parse_network("::/0")->contains(ip("1.2.3.4")));
  EXPECT_TRUE(parse_network("2001:db8::ffff/32")->contains(ip("2001:db8:1::")));
  EXPECT_FALSE(parse_network("2001:db8::/33")->contains(ip("2001:db8:8000::")));

  const auto single = parse_network("::1");
  EXPECT_EQ(single->prefix, 128);
  EXPECT_FALSE(single->contains(ip("::2")));
  EXPECT_EQ(parse_network("10.1.2.3")->prefix, 32);
  EXPECT_EQ(parse_network("10.0.0.0/08")->prefix, 8);
  EXPECT_EQ(parse_network("::/128")->prefix, 128);

  for (const std::string bad : {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/+8", "10.0.0.0/-1",
                                "10.0.0.0/8 ", "10.0.0.0/0x8", "/8", "10.0.0/8", "10.0.0.0/8/8",
                                "not-an-ip", "10.0.0.0/99999999999999999999"}) {
    EXPECT_FALSE(parse_network(bad).has_value()) << bad;
  }
}

TEST(RateLimitTest, CountAtMaximumFails) {
  DatConstraints c;
  c.rate_limit = RateLimit{5, 3600};
  EvaluationContext ctx;
  ctx.hourly_count = 4;
  ctx.daily_count = 100;
  EXPECT_EQ(check("rate_limit", c, ctx), "ok");
  ctx.hourly_count = 5;
  EXPECT_EQ(check("rate_limit", c, ctx),
            "RateLimitExceeded { limit_type: \"hourly\", limit: 5, current: 5 }");
  c.rate_limit->window_secs = 3601;
  EXPECT_EQ(check("rate_limit", c, ctx),
            "RateLimitExceeded { limit_type: \"daily\", limit: 5, current: 100 }");
  ctx.daily_count = 0;
  EXPECT_EQ(check("rate_limit", c, ctx), "ok");
  c.rate_limit->max_actions = 0;
  EXPECT_EQ(check("rate_limit", c, ctx),
            "RateLimitExceeded { limit_type: \"daily\", limit: 0, current: 0 }");
}

TEST(IpConstraintTest, DenyBeforeAllowAndUnusableAllowListsFailClosed) {
  DatConstraints c;
  c.ip_denylist = std::vector<std::string>{"not-an-ip", "10.0.0.0/8"};
  EvaluationContext ctx;
  EXPECT_EQ(check("ip_constraint", c, ctx), "ok");  // no request address
  ctx.request_ip = "10.1.2.3";
  EXPECT_EQ(check("ip_constraint", c, ctx),
            "IpBlocked { ip: \"10.1.2.3\", reason: \"IP in denied list\" }");
  c.ip_allowlist = std::vector<std::string>{"10.1.2.3"};
  EXPECT_EQ(check("ip_constraint", c, ctx),
            "IpBlocked { ip: \"10.1.2.3\", reason: \"IP in denied list\" }");

  c.ip_denylist.reset();
  c.ip_allowlist = std::vector<std::string>{"192.168.1.5", "10.0.0.0/8"};
  EXPECT_EQ(check("ip_constraint", c, ctx), "ok");
  // An allow list with entries but none usable fails closed; the empty list restricts nothing.
  for (const char* unusable : {"not-an-ip", "10.0.0.0/33", "10.0.0.0/"}) {
    c.ip_allowlist = std::vector<std::string>{unusable};
    EXPECT_EQ(check("ip_constraint", c, ctx),
              "IpBlocked { ip: \"10.1.2.3\", reason: \"IP not in allowed list\" }");
  }
  c.ip_allowlist = std::vector<std::string>{};
  EXPECT_EQ(check("ip_constraint", c, ctx), "ok");
  c.ip_allowlist = std::vector<std::string>{"not-an-ip", "::ffff:0:0/96"};
  EXPECT_EQ(check("ip_constraint", c, ctx),
            "IpBlocked { ip: \"10.1.2.3\", reason: \"IP not in allowed list\" }");
}

struct IpCase {
  std::optional<std::vector<std::string>> deny;
  std::optional<std::vector<std::string>> allow;
  std::string request;
  std::string expected;
};

TEST(IpConstraintTest, MappedAddressesMatchBothFormsAndUnparseableTextIsBlocked) {
  using List = std::vector<std::string>;
  const std::string denied = "\", reason: \"IP in denied list\" }";
  const std::string not_allowed = "\", reason: \"IP not in allowed list\" }";
  const std::string unparseable = "\", reason: \"IP not parseable\" }";
  const std::vector<IpCase> cases = {
      {List{"10.0.0.0/8"}, {}, "::ffff:10.1.2.3", "IpBlocked { ip: \"::ffff:10.1.2.3" + denied},
      {List{"10.1.2.3"}, {}, "::FFFF:a01:203", "IpBlocked { ip: \"::ffff:10.1.2.3" + denied},
      {List{"::ffff:0:0/96"}, {}, "::ffff:10.1.2.3", "IpBlocked { ip: \"::ffff:10.1.2.3" + denied},
      {{}, List{"10.0.0.0/8"}, "::ffff:10.1.2.3", "ok"},
      {{},
       List{"10.0.0.0/8"},
       "::ffff:11.1.2.3",
       "IpBlocked { ip: \"::ffff:11.1.2.3" + not_allowed},
      // An IPv4 request is compared with IPv4 networks only; IPv4-compatible is not mapped.
      {{}, List{"::ffff:0:0/96"}, "10.1.2.3", "IpBlocked { ip: \"10.1.2.3" + not_allowed},
      {List{"10.0.0.0/8"}, {}, "::a01:203", "ok"},
      {List{"0.0.0.0/0"}, {}, "::1", "ok"},
      // Text that is no address is blocked once either list has a usable entry.
      {{}, List{"192.168.1.5"}, "10.1.2.3:443", "IpBlocked { ip: \"10.1.2.3:443" + unparseable},
      {List{"10.0.0.0/8"}, {}, "[::1]", "IpBlocked { ip: \"[::1]" + unparseable},
      {List{"not-an-ip"}, List{"::1"}, "fe80::1%eth0",
       "IpBlocked { ip: \"fe80::1%eth0" + unparseable},
      {List{"10.0.0.0/8"}, List{}, "", "IpBlocked { ip: \"" + unparseable},
      {List{"10.0.0.0/8"},
       {},
       std::string("10.1.2.3\0x", 10),
       "IpBlocked { ip: \"10.1.2.3\\u{0}x" + unparseable},
      {List{"10.0.0.0/8"}, {}, "a\"b\n", "IpBlocked { ip: \"a\\\"b\\n" + unparseable},
      {List{"not-an-ip"}, List{"10.0.0.0/", "10.0.0.0/33"}, "junk",
       "IpBlocked { ip: \"junk" + unparseable},
      {List{"not-an-ip"}, {}, "junk", "ok"},
      {List{}, List{}, "junk", "ok"},
      {{}, {}, "junk", "ok"},
  };
  for (const IpCase& t : cases) {
    DatConstraints c;
    c.ip_denylist = t.deny;
    c.ip_allowlist = t.allow;
    EvaluationContext ctx;
    ctx.request_ip = t.request;
    EXPECT_EQ(check("ip_constraint", c, ctx), t.expected) << t.request;
  }
}

TEST(MinTrustLevelTest, MinimumAgainstContextLevel) {
  DatConstraints c;
  c.min_trust_level = 2;
  EvaluationContext ctx;
  EXPECT_EQ(check("trust_level", c, ctx),
            "InsufficientTrustLevel { required: \"L2\", actual: \"none\" }");
  ctx.trust_level = TrustLevel::parse("L1");
  EXPECT_EQ(check("trust_level", c, ctx),
            "InsufficientTrustLevel { required: \"L2\", actual: \"L1\" }");
  ctx.trust_level = TrustLevel::parse("L2");
  EXPECT_EQ(check("trust_level", c, ctx), "ok");
  c.min_trust_level = 0;
  ctx.trust_level = TrustLevel::parse("L0");
  EXPECT_EQ(check("trust_level", c, ctx), "ok");
  c.min_trust_level = 4;
  EXPECT_EQ(check("trust_level", c, ctx),
            "InsufficientTrustLevel { required: \"L4\", actual: \"L0\" }");
  // A minimum above 4 requires L4.
  for (const int above : {5, 75, 255}) {
    c.min_trust_level = static_cast<std::uint8_t>(above);
    ctx.trust_level.reset();
    EXPECT_EQ(check("trust_level", c, ctx),
              "InsufficientTrustLevel { required: \"L4\", actual: \"none\" }");
    ctx.trust_level = TrustLevel::from_ordinal(2);
    EXPECT_EQ(check("trust_level", c, ctx),
              "InsufficientTrustLevel { required: \"L4\", actual: \"L2\" }");
    ctx.trust_level = TrustLevel::from_ordinal(80);
    EXPECT_EQ(check("trust_level", c, ctx), "ok");
  }
}

TEST(DelegationDepthTest, DepthEqualToMaximumPasses) {
  DatConstraints c;
  c.max_delegation_depth = 1;
  EvaluationContext ctx;
  ctx.delegation_depth = 1;
  EXPECT_EQ(check("delegation_depth", c, ctx), "ok");
  ctx.delegation_depth = 2;
  EXPECT_EQ(check("delegation_depth", c, ctx),
            "DelegationDepthExceeded { max_depth: 1, actual_depth: 2 }");
  c.max_delegation_depth = 0;
  ctx.delegation_depth = 0;
  EXPECT_EQ(check("delegation_depth", c, ctx), "ok");
}

TEST(GeofenceTest, UpperCasedComparisonReportsTextsAsGiven) {
  DatConstraints c;
  c.allowed_countries = std::vector<std::string>{"us", "CA"};
  EvaluationContext ctx;
  EXPECT_EQ(check("geofence", c, ctx),
            "GeofenceViolation { country: \"unknown\", allowed: [\"us\", \"CA\"] }");
  ctx.country_code = "US";
  EXPECT_EQ(check("geofence", c, ctx), "ok");
  ctx.country_code = "ca";
  EXPECT_EQ(check("geofence", c, ctx), "ok");
  ctx.country_code = "fr";
  EXPECT_EQ(check("geofence", c, ctx),
            "GeofenceViolation { country: \"fr\", allowed: [\"us\", \"CA\"] }");
  c.allowed_countries = std::vector<std::string>{"u", "usa"};
  ctx.country_code = "us";
  EXPECT_EQ(check("geofence", c, ctx),
            "GeofenceViolation { country: \"us\", allowed: [\"u\", \"usa\"] }");
  // Full case mapping: "ß" upper-cases to "SS" on either side.
  c.allowed_countries = std::vector<std::string>{"ß"};
  ctx.country_code = "ss";
  EXPECT_EQ(check("geofence", c, ctx), "ok");
  c.allowed_countries = std::vector<std::string>{"SS"};
  ctx.country_code = "ß";
  EXPECT_EQ(check("geofence", c, ctx), "ok");
  c.allowed_countries = std::vector<std::string>{};
  ctx.country_code.reset();
  EXPECT_EQ(check("geofence", c, ctx), "ok");
}

TEST(TimeWindowTest, HoursInclusiveAndWrappingAndDays) {
  DatConstraints c;
  c.time_windows = std::vector<TimeWindow>{{9, 17, std::nullopt}};
  EvaluationContext ctx;
  const auto at = [&](std::int64_t t) {
    ctx.timestamp = t;
    return check("time_window", c, ctx);
  };
  EXPECT_EQ(at(kMonday + 9 * kHour), "ok");
  EXPECT_EQ(at(kMonday + 18 * kHour - 1), "ok");  // 17:59:59
  EXPECT_EQ(at(kMonday + 18 * kHour), "OutsideTimeWindow");
  EXPECT_EQ(at(kMonday + 9 * kHour - 1), "OutsideTimeWindow");

  c.time_windows = std::vector<TimeWindow>{{22, 6, std::nullopt}};
  EXPECT_EQ(at(kMonday + 23 * kHour + 1800), "ok");
  EXPECT_EQ(at(kMonday + 6 * kHour - 60), "ok");  // 05:59
  EXPECT_EQ(at(kMonday + 6 * kHour + 3599), "ok");
  EXPECT_EQ(at(kMonday + 7 * kHour), "OutsideTimeWindow");
  EXPECT_EQ(at(kMonday + 12 * kHour), "OutsideTimeWindow");

  c.time_windows = std::vector<TimeWindow>{{0, 23, std::vector<std::uint8_t>{5, 6}}};
  EXPECT_EQ(at(kMonday + 5 * kDay), "ok");                     // Saturday
  EXPECT_EQ(at(kMonday + 7 * kDay - 1), "ok");                 // Sunday 23:59:59
  EXPECT_EQ(at(kMonday + 5 * kDay - 1), "OutsideTimeWindow");  // Friday
  EXPECT_EQ(at(kMonday + 7 * kDay), "OutsideTimeWindow");      // Monday

  // Before 1970: -1 is Wednesday 1969-12-31 23:59:59.
  c.time_windows = std::vector<TimeWindow>{{23, 23, std::vector<std::uint8_t>{2}}};
  EXPECT_EQ(at(-1), "ok");
  EXPECT_EQ(at(-kDay), "OutsideTimeWindow");
  EXPECT_EQ(at(-kHour - 1), "OutsideTimeWindow");

  c.time_windows = std::vector<TimeWindow>{{0, 30, std::vector<std::uint8_t>{}},
                                           {0, 30, std::vector<std::uint8_t>{7}}};
  EXPECT_EQ(at(kMonday), "OutsideTimeWindow");
  c.time_windows->push_back({0, 30, std::nullopt});
  EXPECT_EQ(at(kMonday + 5 * kHour), "ok");
  c.time_windows = std::vector<TimeWindow>{};
  EXPECT_EQ(at(kMonday + 12 * kHour), "ok");
}

TEST(ConfigAttestationTest, ExactByteComparison) {
  DatConstraints c;
  c.required_config_hash = "ABC";
  EvaluationContext ctx;
  EXPECT_EQ(check("config_attestation", c, ctx),
            "ConfigAttestationMismatch { expected: \"ABC\", actual: None }");
  ctx.agent_config_hash = "abc";
  EXPECT_EQ(check("config_attestation", c, ctx),
            "ConfigAttestationMismatch { expected: \"ABC\", actual: Some(\"abc\") }");
  ctx.agent_config_hash = "ABC";
  EXPECT_EQ(check("config_attestation", c, ctx), "ok");
}

}  // namespace
}  // namespace quorvex::dat
