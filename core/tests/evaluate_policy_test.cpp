#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/crypto/keypair.hpp"
#include "core/dat/evaluate.hpp"
#include "core/tests/evaluate_test_util.hpp"

namespace quorvex::dat {
namespace {

using test_util::kDay;
using test_util::kHour;
using test_util::kMonday;
using test_util::outcome;

TEST(PolicyTest, StandardEvaluatorsInFixedOrder) {
  const PolicyEvaluator policy = PolicyEvaluator::standard();
  const std::vector<std::string> expected = {"rate_limit",        "ip_constraint", "trust_level",
                                             "delegation_depth",  "geofence",      "time_window",
                                             "config_attestation"};
  ASSERT_EQ(policy.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(policy.at(i).name(), expected[i]);
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

// The token holds from 1000 to 2000; a leeway widens that on both sides, and only that.
TEST(VerifyTokenTest, LeewayWidensTheValidityWindowOnly) {
  const Dat token = signed_token();
  const auto at = [&](std::int64_t now, std::int64_t leeway) {
    VerifyRequest request = request_at(now);
    request.leeway = leeway;
    return verified(token, request);
  };
  EXPECT_EQ(at(2001, 0), "Expired");
  EXPECT_EQ(at(999, 0), "NotYetValid");
  EXPECT_EQ(at(2005, 5), "ok");
  EXPECT_EQ(at(2006, 5), "Expired");
  EXPECT_EQ(at(995, 5), "ok");
  EXPECT_EQ(at(994, 5), "NotYetValid");
  EXPECT_EQ(at(1500, kMaxLeeway), "ok");
  // Far from the window, no arithmetic overflows.
  EXPECT_EQ(at(std::numeric_limits<std::int64_t>::max(), kMaxLeeway), "Expired");
  EXPECT_EQ(at(std::numeric_limits<std::int64_t>::min(), kMaxLeeway), "NotYetValid");
  // A leeway does not turn a scope or a constraint failure into a pass.
  VerifyRequest unscoped = request_at(2003);
  unscoped.leeway = 5;
  unscoped.required_scope = "x:y:z:w";
  EXPECT_EQ(verified(token, unscoped), "ScopeNotCovered");

  for (const std::int64_t good : {std::int64_t{0}, std::int64_t{1}, kMaxLeeway}) {
    EXPECT_TRUE(check_leeway(good).has_value()) << good;
  }
  for (const std::int64_t bad :
       {std::int64_t{-1}, kMaxLeeway + 1, std::numeric_limits<std::int64_t>::min()}) {
    const auto refused = check_leeway(bad);
    ASSERT_FALSE(refused.has_value()) << bad;
    EXPECT_EQ(refused.error().display(), "leeway must be between 0 and 300 seconds");
  }
}

TEST(VerifyTokenTest, AnUntrustedIssuerIsQuoted) {
  EXPECT_EQ(untrusted_issuer("did:aid:x\n").display(),
            "invalid DAT: issuer \"did:aid:x\\n\" is not trusted");
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
