#include "core/dat/evaluate.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/base/text.hpp"
#include "core/base/unicode.hpp"
#include "core/dat/scope.hpp"

namespace quorvex::dat {
namespace {

using crypto::TrustLevel;

class RateLimitEvaluator final : public ConstraintEvaluator {
 public:
  std::optional<ConstraintViolation> evaluate(const DatConstraints& constraints,
                                              const EvaluationContext& ctx) const override {
    if (!constraints.rate_limit) return std::nullopt;
    const RateLimit& limit = *constraints.rate_limit;
    // window_secs only chooses the counter; the caller does the counting.
    const bool hourly = limit.window_secs <= 3600;
    const std::uint64_t count = hourly ? ctx.hourly_count : ctx.daily_count;
    if (count < limit.max_actions) return std::nullopt;
    return violation::RateLimitExceeded{hourly ? "hourly" : "daily", limit.max_actions, count};
  }
  std::string_view name() const noexcept override { return "rate_limit"; }
};

// Entries that are not a network or an address are skipped. A mapped address
// is inside a network when either of its two forms is.
bool any_network_contains(const std::vector<std::string>& entries, const IpAddress& ip,
                          const std::optional<IpAddress>& v4) noexcept {
  for (const std::string& entry : entries) {
    const auto network = parse_network(entry);
    if (!network) continue;
    if (network->contains(ip) || (v4 && network->contains(*v4))) return true;
  }
  return false;
}

bool has_usable_entry(const std::optional<std::vector<std::string>>& entries) noexcept {
  if (!entries) return false;
  for (const std::string& entry : *entries) {
    if (parse_network(entry)) return true;
  }
  return false;
}

// An allow list with entries restricts even when none of them is usable: a
// list whose only entry is mistyped ("10.0.0.0/33") admits no address rather
// than every address. The empty list restricts nothing.
bool restricts(const std::optional<std::vector<std::string>>& allowlist) noexcept {
  return allowlist && !allowlist->empty();
}

class IpConstraintEvaluator final : public ConstraintEvaluator {
 public:
  std::optional<ConstraintViolation> evaluate(const DatConstraints& constraints,
                                              const EvaluationContext& ctx) const override {
    if (!ctx.request_ip) return std::nullopt;
    const auto parsed = parse_ip(*ctx.request_ip);
    if (!parsed) {
      // A header such as "10.1.2.3:443" must not switch the lists off.
      if (!has_usable_entry(constraints.ip_denylist) && !restricts(constraints.ip_allowlist)) {
        return std::nullopt;
      }
      return violation::IpBlocked{*ctx.request_ip, "IP not parseable"};
    }
    const IpAddress& ip = *parsed;
    const std::optional<IpAddress> v4 = mapped_v4(ip);
    if (constraints.ip_denylist && any_network_contains(*constraints.ip_denylist, ip, v4)) {
      return violation::IpBlocked{ip_text(ip), "IP in denied list"};
    }
    if (constraints.ip_allowlist) {
      const bool allowed = any_network_contains(*constraints.ip_allowlist, ip, v4);
      if (!allowed && restricts(constraints.ip_allowlist)) {
        return violation::IpBlocked{ip_text(ip), "IP not in allowed list"};
      }
    }
    return std::nullopt;
  }
  std::string_view name() const noexcept override { return "ip_constraint"; }
};

class TrustLevelEvaluator final : public ConstraintEvaluator {
 public:
  std::optional<ConstraintViolation> evaluate(const DatConstraints& constraints,
                                              const EvaluationContext& ctx) const override {
    if (!constraints.min_trust_level) return std::nullopt;
    // A minimum above 4 asks for the top of the scale, as a context level above 4 counts as L4.
    const TrustLevel required = TrustLevel::from_ordinal(*constraints.min_trust_level);
    if (!ctx.trust_level) {
      return violation::InsufficientTrustLevel{std::string(required.name()), "none"};
    }
    if (ctx.trust_level->meets_minimum(required)) return std::nullopt;
    return violation::InsufficientTrustLevel{std::string(required.name()),
                                             std::string(ctx.trust_level->name())};
  }
  std::string_view name() const noexcept override { return "trust_level"; }
};

class DelegationDepthEvaluator final : public ConstraintEvaluator {
 public:
  std::optional<ConstraintViolation> evaluate(const DatConstraints& constraints,
                                              const EvaluationContext& ctx) const override {
    if (!constraints.max_delegation_depth) return std::nullopt;
    const std::uint32_t max_depth = *constraints.max_delegation_depth;
    if (ctx.delegation_depth <= max_depth) return std::nullopt;
    return violation::DelegationDepthExceeded{max_depth, ctx.delegation_depth};
  }
  std::string_view name() const noexcept override { return "delegation_depth"; }
};

bool is_ascii(std::string_view text) noexcept {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

char ascii_upper(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// Whether the upper-cased entry equals upper (already upper-cased). ASCII
// entries are compared in place; others go through full case mapping.
bool upper_equals(std::string_view entry, std::string_view upper) {
  if (!is_ascii(entry)) return to_upper_full(entry) == upper;
  if (entry.size() != upper.size()) return false;
  for (std::size_t i = 0; i < entry.size(); ++i) {
    if (ascii_upper(entry[i]) != upper[i]) return false;
  }
  return true;
}

class GeofenceEvaluator final : public ConstraintEvaluator {
 public:
  std::optional<ConstraintViolation> evaluate(const DatConstraints& constraints,
                                              const EvaluationContext& ctx) const override {
    if (!constraints.allowed_countries || constraints.allowed_countries->empty()) {
      return std::nullopt;
    }
    const std::vector<std::string>& allowed = *constraints.allowed_countries;
    if (!ctx.country_code) return violation::GeofenceViolation{"unknown", allowed};
    const std::string upper = to_upper_full(*ctx.country_code);
    for (const std::string& entry : allowed) {
      if (upper_equals(entry, upper)) return std::nullopt;
    }
    return violation::GeofenceViolation{*ctx.country_code, allowed};
  }
  std::string_view name() const noexcept override { return "geofence"; }
};

constexpr std::int64_t kSecondsPerDay = 86400;

bool window_matches(const TimeWindow& window, unsigned hour, unsigned day) noexcept {
  if (window.days_of_week) {
    bool day_listed = false;
    for (const std::uint8_t d : *window.days_of_week) {
      if (d == day) {
        day_listed = true;
        break;
      }
    }
    if (!day_listed) return false;
  }
  if (window.end_hour >= window.start_hour) {
    return window.start_hour <= hour && hour <= window.end_hour;
  }
  // end before start: the window runs over midnight.
  return hour >= window.start_hour || hour <= window.end_hour;
}

class TimeWindowEvaluator final : public ConstraintEvaluator {
 public:
  std::optional<ConstraintViolation> evaluate(const DatConstraints& constraints,
                                              const EvaluationContext& ctx) const override {
    if (!constraints.time_windows || constraints.time_windows->empty()) return std::nullopt;
    // Floor division, so instants before 1970 land on the right day and hour.
    std::int64_t days = ctx.timestamp / kSecondsPerDay;
    std::int64_t second_of_day = ctx.timestamp % kSecondsPerDay;
    if (second_of_day < 0) {
      second_of_day += kSecondsPerDay;
      --days;
    }
    const auto hour = static_cast<unsigned>(second_of_day / 3600);
    // 1970-01-01 was a Thursday (day 3 counting from Monday = 0).
    const auto day = static_cast<unsigned>((days % 7 + 7 + 3) % 7);
    for (const TimeWindow& window : *constraints.time_windows) {
      if (window_matches(window, hour, day)) return std::nullopt;
    }
    return violation::OutsideTimeWindow{};
  }
  std::string_view name() const noexcept override { return "time_window"; }
};

class ConfigAttestationEvaluator final : public ConstraintEvaluator {
 public:
  std::optional<ConstraintViolation> evaluate(const DatConstraints& constraints,
                                              const EvaluationContext& ctx) const override {
    if (!constraints.required_config_hash) return std::nullopt;
    const std::string& expected = *constraints.required_config_hash;
    if (ctx.agent_config_hash && *ctx.agent_config_hash == expected) return std::nullopt;
    return violation::ConfigAttestationMismatch{expected, ctx.agent_config_hash};
  }
  std::string_view name() const noexcept override { return "config_attestation"; }
};

const RateLimitEvaluator kRateLimit{};
const IpConstraintEvaluator kIpConstraint{};
const TrustLevelEvaluator kTrustLevel{};
const DelegationDepthEvaluator kDelegationDepth{};
const GeofenceEvaluator kGeofence{};
const TimeWindowEvaluator kTimeWindow{};
const ConfigAttestationEvaluator kConfigAttestation{};

const std::array<const ConstraintEvaluator*, 7> kStandard = {
    &kRateLimit, &kIpConstraint, &kTrustLevel,        &kDelegationDepth,
    &kGeofence,  &kTimeWindow,   &kConfigAttestation,
};

// scope_covered: every granted text must parse, and one of them must cover
// the required scope.
bool scope_covered(const std::vector<std::string>& granted, std::string_view required) noexcept {
  const auto wanted = split_scope(required);
  if (!wanted) return false;
  bool covered = false;
  for (const std::string& text : granted) {
    const auto parts = split_scope(text);
    if (!parts) return false;
    if (!covered) covered = parts_cover(*parts, *wanted);
  }
  return covered;
}

}  // namespace

PolicyEvaluator PolicyEvaluator::standard() noexcept { return PolicyEvaluator(); }

std::size_t PolicyEvaluator::size() const noexcept { return kStandard.size(); }

const ConstraintEvaluator& PolicyEvaluator::at(std::size_t i) const {
  QV_CHECK(i < kStandard.size());
  return *kStandard[i];
}

std::optional<ConstraintViolation> PolicyEvaluator::evaluate(const DatClaims& claims,
                                                             const EvaluationContext& ctx,
                                                             std::int64_t now) const {
  // The token still holds during its expiry second.
  if (now > claims.exp) return violation::Expired{};
  if (now < claims.nbf) return violation::NotYetValid{};
  if (!scope_covered(claims.scope, ctx.required_scope)) return violation::ScopeNotCovered{};
  if (!claims.constraints) return std::nullopt;
  for (const ConstraintEvaluator* evaluator : kStandard) {
    auto result = evaluator->evaluate(*claims.constraints, ctx);
    if (result) return result;
  }
  return std::nullopt;
}

std::optional<ConstraintViolation> evaluate_request(const DatClaims& claims,
                                                    const VerifyRequest& request,
                                                    std::uint32_t delegation_depth) {
  const RequestContext& given = request.context;
  EvaluationContext ctx;
  ctx.required_scope = request.required_scope;
  ctx.timestamp = request.now;
  ctx.request_ip = given.request_ip;
  ctx.country_code = given.country_code;
  ctx.agent_config_hash = given.agent_config_hash;
  ctx.hourly_count = given.actions_in_window;
  ctx.daily_count = given.actions_in_window;
  ctx.delegation_depth = delegation_depth;
  if (given.agent_trust_level) {
    ctx.trust_level = TrustLevel::from_ordinal(*given.agent_trust_level);
  }
  // Within the leeway of the validity window the clock counts as at its nearer edge; time
  // windows still see the real time.
  const auto gap = [](std::int64_t later, std::int64_t earlier) {  // exact for later > earlier
    return static_cast<std::uint64_t>(later) - static_cast<std::uint64_t>(earlier);
  };
  const auto leeway = static_cast<std::uint64_t>(request.leeway);
  std::int64_t timing_now = request.now;
  if (request.now > claims.exp && gap(request.now, claims.exp) <= leeway) {
    timing_now = claims.exp;
  } else if (request.now < claims.nbf && gap(claims.nbf, request.now) <= leeway) {
    timing_now = claims.nbf;
  }
  return PolicyEvaluator::standard().evaluate(claims, ctx, timing_now);
}

Result<std::optional<ConstraintViolation>> verify_token(const Dat& token,
                                                        const VerifyRequest& request) {
  if (auto signature = token.verify_signature(request.public_key); !signature) {
    return fail(signature.error());
  }
  return evaluate_request(token.claims(), request, request.context.delegation_depth);
}

CoreError untrusted_issuer(std::string_view issuer) {
  std::string text = "issuer ";
  append_debug_excerpt(text, issuer);
  text += " is not trusted";
  return CoreError(ErrorKind::InvalidDat, std::move(text));
}

Result<void> check_leeway(std::int64_t leeway) {
  if (leeway < 0 || leeway > kMaxLeeway) {
    return fail(ErrorKind::Other, "leeway must be between 0 and 300 seconds");
  }
  return ok();
}

Result<void> validate_timing(const DatClaims& claims, std::int64_t now) {
  if (now >= claims.exp) return fail(ErrorKind::DatExpired);
  if (now < claims.nbf) return fail(ErrorKind::DatNotYetValid);
  return ok();
}

bool is_expired(const DatClaims& claims, std::int64_t now) noexcept { return now >= claims.exp; }

}  // namespace quorvex::dat
