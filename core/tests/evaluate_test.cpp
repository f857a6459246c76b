#include "core/dat/evaluate.hpp"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/crypto/keypair.hpp"

namespace quorvex::dat {
namespace {

using crypto::TrustLevel;

// Monday 2024-01-01 00:00:00 UTC.
constexpr std::int64_t kMonday = 1704067200;
constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kDay = 86400;

std::string outcome(const std::optional<ConstraintViolation>& v) {
  return v ? render_violation(*v) : "ok";
}

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

TEST(PolicyTest, StandardEvaluatorsInFixedOrder) {
  const PolicyEvaluator policy = PolicyEvaluator::standard();
  const std::vector<std::string> expected = {"rate_limit",        "ip_constraint", "trust_level",
                                             "delegation_depth",  "geofence",      "time_window",
                                             "config_attestation"};
  ASSERT_EQ(policy.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(policy.at(i).name(), expected[i]);
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

DatClaims claims(std::vector<std::string> scope) {
  DatClaims claims;
  claims.nbf = 1000;
  claims.exp = 2000;
  claims.scope = std::move(scope);
  return claims;
}

EvaluationContext context(std::string required) {
  EvaluationContext ctx;
  ctx.required_scope = std::move(required);
  return ctx;
}

TEST(PolicyTest, TimingBoundsAndExpiryFirst) {
  const PolicyEvaluator policy = PolicyEvaluator::standard();
  const DatClaims c = claims({"a:b:c:d"});
  const EvaluationContext ctx = context("a:b:c:d");
  EXPECT_EQ(outcome(policy.evaluate(c, ctx, 999)), "NotYetValid");
  EXPECT_EQ(outcome(policy.evaluate(c, ctx, 1000)), "ok");
  EXPECT_EQ(outcome(policy.evaluate(c, ctx, 2000)), "ok");
  EXPECT_EQ(outcome(policy.evaluate(c, ctx, 2001)), "Expired");

  DatClaims both = c;
  both.nbf = 3000;
  EXPECT_EQ(outcome(policy.evaluate(both, ctx, 2001)), "Expired");

  EXPECT_TRUE(validate_timing(c, 1000).has_value());
  EXPECT_TRUE(validate_timing(c, 1999).has_value());
  const auto at_exp = validate_timing(c, 2000);
  ASSERT_FALSE(at_exp.has_value());
  EXPECT_EQ(at_exp.error().kind(), ErrorKind::DatExpired);
  EXPECT_EQ(at_exp.error().display(), "DAT expired");
  const auto early = validate_timing(c, 999);
  ASSERT_FALSE(early.has_value());
  EXPECT_EQ(early.error().kind(), ErrorKind::DatNotYetValid);
  EXPECT_EQ(early.error().display(), "DAT not yet valid");
  EXPECT_EQ(validate_timing(both, 2000).error().kind(), ErrorKind::DatExpired);
  EXPECT_FALSE(is_expired(c, 1999));
  EXPECT_TRUE(is_expired(c, 2000));
}

TEST(PolicyTest, EveryGrantedScopeMustParse) {
  const PolicyEvaluator policy = PolicyEvaluator::standard();
  const auto run = [&](std::vector<std::string> granted, std::string required) {
    return outcome(policy.evaluate(claims(std::move(granted)), context(std::move(required)), 1500));
  };
  EXPECT_EQ(run({"mcp:tool:*:read"}, "mcp:tool:filesystem:read"), "ok");
  EXPECT_EQ(run({"x:y:z:w", "mcp:tool:*:read"}, "mcp:tool:filesystem:read"), "ok");
  EXPECT_EQ(run({"mcp:tool:*:read", "x:y:z:w"}, "mcp:tool:filesystem:read"), "ok");
  EXPECT_EQ(run({"mcp:tool:*:*", "read"}, "mcp:tool:filesystem:read"), "ScopeNotCovered");
  EXPECT_EQ(run({"read", "mcp:tool:*:*"}, "mcp:tool:filesystem:read"), "ScopeNotCovered");
  EXPECT_EQ(run({"mcp:tool:*:read"}, "mcp:tool:filesystem:write"), "ScopeNotCovered");
  EXPECT_EQ(run({"*:*:*:*"}, ""), "ScopeNotCovered");
  EXPECT_EQ(run({"*:*:*:*"}, "a:b:c:d:e"), "ScopeNotCovered");
  EXPECT_EQ(run({}, "a:b:c:d"), "ScopeNotCovered");
}

TEST(PolicyTest, FirstFailingEvaluatorHidesLaterOnes) {
  const PolicyEvaluator policy = PolicyEvaluator::standard();
  DatClaims c = claims({"*:*:*:*"});
  EvaluationContext ctx = context("a:b:c:d");
  ctx.request_ip = "10.1.2.3";
  ctx.hourly_count = 1;
  ctx.delegation_depth = 3;
  ctx.timestamp = kMonday + 12 * kHour;
  EXPECT_EQ(outcome(policy.evaluate(c, ctx, 1500)), "ok");  // no constraints at all

  c.constraints = DatConstraints{};
  DatConstraints& k = *c.constraints;
  k.max_actions = 0;  // carried, enforced by nobody
  k.allowed_servers = std::vector<std::string>{};
  k.require_receipt = true;
  EXPECT_EQ(outcome(policy.evaluate(c, ctx, 1500)), "ok");

  k.rate_limit = RateLimit{1, 60};
  k.ip_denylist = std::vector<std::string>{"10.0.0.0/8"};
  k.min_trust_level = 1;
  k.max_delegation_depth = 2;
  k.allowed_countries = std::vector<std::string>{"DE"};
  k.time_windows = std::vector<TimeWindow>{{0, 1, std::nullopt}};
  k.required_config_hash = "h";
  // Each failure shows until its constraint is dropped, in evaluator order.
  const std::vector<std::pair<std::string, std::function<void()>>> steps = {
      {"RateLimitExceeded { limit_type: \"hourly\", limit: 1, current: 1 }",
       [&] { k.rate_limit.reset(); }},
      {"IpBlocked { ip: \"10.1.2.3\", reason: \"IP in denied list\" }",
       [&] { k.ip_denylist.reset(); }},
      {"InsufficientTrustLevel { required: \"L1\", actual: \"none\" }",
       [&] { k.min_trust_level.reset(); }},
      {"DelegationDepthExceeded { max_depth: 2, actual_depth: 3 }",
       [&] { k.max_delegation_depth.reset(); }},
      {"GeofenceViolation { country: \"unknown\", allowed: [\"DE\"] }",
       [&] { k.allowed_countries.reset(); }},
      {"OutsideTimeWindow", [&] { k.time_windows.reset(); }},
      {"ConfigAttestationMismatch { expected: \"h\", actual: None }",
       [&] { k.required_config_hash.reset(); }},
  };
  for (const auto& [expected, drop] : steps) {
    EXPECT_EQ(outcome(policy.evaluate(c, ctx, 1500)), expected);
    drop();
  }
  EXPECT_EQ(outcome(policy.evaluate(c, ctx, 1500)), "ok");
  // Timing and scope come before any constraint.
  k.rate_limit = RateLimit{1, 60};
  EXPECT_EQ(outcome(policy.evaluate(c, ctx, 2001)), "Expired");
  ctx.required_scope = "bad";
  EXPECT_EQ(outcome(policy.evaluate(c, ctx, 1500)), "ScopeNotCovered");
}

// A token signed by the key of seed 0x01.., valid from nbf to exp, granting "a:b:*:*".
Dat signed_token(std::optional<DatConstraints> constraints = std::nullopt, std::int64_t nbf = 1000,
                 std::int64_t exp = 2000) {
  std::array<std::uint8_t, crypto::kSeedLen> seed{};
  seed.fill(1);
  auto dat = Dat::issue("did:aid:example.com:alice", "did:aid:example.com:bot", {"a:b:*:*"}, exp,
                        std::move(constraints), std::nullopt, crypto::KeyPair::from_seed(seed), nbf,
                        1000000);
  EXPECT_TRUE(dat.has_value());
  return std::move(*dat);
}

VerifyRequest request_at(std::int64_t now, RequestContext context = {}) {
  std::array<std::uint8_t, crypto::kSeedLen> seed{};
  seed.fill(1);
  VerifyRequest request;
  request.public_key = crypto::KeyPair::from_seed(seed).public_key_bytes();
  request.required_scope = "a:b:c:d";
  request.context = std::move(context);
  request.now = now;
  return request;
}

std::string verified(const Dat& token, const VerifyRequest& request) {
  auto verdict = verify_token(token, request);
  if (!verdict) return "error: " + verdict.error().display();
  return outcome(*verdict);
}

TEST(VerifyTokenTest, SignatureBeforeTimingScopeAndConstraints) {
  DatConstraints strict;
  strict.max_delegation_depth = 0;
  const Dat token = signed_token(strict);
  VerifyRequest request = request_at(2001);  // expired
  request.required_scope = "x:y:z:w";
  request.context.delegation_depth = 1;
  request.public_key[0] ^= 1;
  const auto wrong_key = verify_token(token, request);
  ASSERT_FALSE(wrong_key.has_value());
  EXPECT_EQ(wrong_key.error().kind(), ErrorKind::VerificationFailed);
  request.public_key = {0x02};  // no curve point
  const auto no_point = verify_token(token, request);
  ASSERT_FALSE(no_point.has_value());
  EXPECT_EQ(no_point.error().kind(), ErrorKind::InvalidKey);
  EXPECT_EQ(no_point.error().display(),
            "invalid key material: signature error: Cannot decompress Edwards point");

  request.public_key = request_at(0).public_key;
  EXPECT_EQ(verified(token, request), "Expired");
  request.now = 999;
  EXPECT_EQ(verified(token, request), "NotYetValid");
  request.now = 2000;  // the expiry second still holds
  EXPECT_EQ(verified(token, request), "ScopeNotCovered");
  request.required_scope = "a:b:c:d";
  EXPECT_EQ(verified(token, request), "DelegationDepthExceeded { max_depth: 0, actual_depth: 1 }");
  request.context.delegation_depth = 0;
  EXPECT_EQ(verified(token, request), "ok");
  EXPECT_EQ(verified(token, request_at(1500, {})), "ok");
  VerifyRequest unscoped = request_at(1500);
  unscoped.required_scope.clear();
  EXPECT_EQ(verified(signed_token(), unscoped), "ScopeNotCovered");
}

TEST(VerifyTokenTest, ActionsInWindowIsTheCountOfTheTokensOwnWindow) {
  struct Case {
    std::uint64_t max_actions;
    std::uint64_t window_secs;
    std::uint64_t actions_in_window;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {10, 3600, 10, R"(RateLimitExceeded { limit_type: "hourly", limit: 10, current: 10 })"},
      {10, 3600, 9, "ok"},
      {10, 0, UINT64_MAX,
       R"(RateLimitExceeded { limit_type: "hourly", limit: 10, current: 18446744073709551615 })"},
      {0, 3601, 0, R"(RateLimitExceeded { limit_type: "daily", limit: 0, current: 0 })"},
      {5, 86400, 5, R"(RateLimitExceeded { limit_type: "daily", limit: 5, current: 5 })"},
      {5, 86400, 4, "ok"},
  };
  for (const Case& c : cases) {
    DatConstraints constraints;
    constraints.rate_limit = RateLimit{c.max_actions, c.window_secs};
    RequestContext context;
    context.actions_in_window = c.actions_in_window;
    EXPECT_EQ(verified(signed_token(constraints), request_at(1500, context)), c.expected)
        << c.max_actions << "/" << c.window_secs << ": " << c.actions_in_window;
  }
}

TEST(VerifyTokenTest, EveryContextFieldReachesItsEvaluator) {
  DatConstraints constraints;
  constraints.ip_denylist = std::vector<std::string>{"10.0.0.0/8"};
  constraints.min_trust_level = 75;
  constraints.max_delegation_depth = 1;
  constraints.allowed_countries = std::vector<std::string>{"DE"};
  constraints.time_windows = std::vector<TimeWindow>{{12, 12, std::nullopt}};
  constraints.required_config_hash = "h";
  // Valid all of Monday; the windows read the same now as the timing check.
  const Dat token = signed_token(constraints, kMonday, kMonday + kDay);
  RequestContext context;
  context.request_ip = "10.1.2.3";
  context.delegation_depth = 2;
  context.agent_trust_level = 3;
  VerifyRequest request = request_at(kMonday + 11 * kHour, context);
  // Each failure shows until its field is put right.
  const std::vector<std::pair<std::string, std::function<void()>>> steps = {
      {R"(IpBlocked { ip: "10.1.2.3", reason: "IP in denied list" })",
       [&] { request.context.request_ip = "192.0.2.1"; }},
      {R"(InsufficientTrustLevel { required: "L4", actual: "L3" })",
       [&] { request.context.agent_trust_level = 255; }},  // above 4 counts as L4
      {"DelegationDepthExceeded { max_depth: 1, actual_depth: 2 }",
       [&] { request.context.delegation_depth = 1; }},
      {R"(GeofenceViolation { country: "unknown", allowed: ["DE"] })",
       [&] { request.context.country_code = "de"; }},
      {"OutsideTimeWindow", [&] { request.now = kMonday + 12 * kHour; }},
      {R"(ConfigAttestationMismatch { expected: "h", actual: None })",
       [&] { request.context.agent_config_hash = "h"; }},
  };
  for (const auto& [expected, fix] : steps) {
    EXPECT_EQ(verified(token, request), expected);
    fix();
  }
  EXPECT_EQ(verified(token, request), "ok");
}

}  // namespace
}  // namespace quorvex::dat
