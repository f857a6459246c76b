#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/result.hpp"
#include "core/crypto/trust_level.hpp"
#include "core/dat/ip.hpp"
#include "core/dat/token.hpp"
#include "core/dat/violation.hpp"

namespace quorvex::dat {

// EvaluationContext holds the runtime facts a token is judged against.
struct EvaluationContext {
  std::string required_scope;
  std::int64_t timestamp = 0;  // Unix seconds (UTC) of the request, for time windows
  // The address text as the caller received it; text that is no address is kept too.
  std::optional<std::string> request_ip;
  std::optional<std::string> country_code;
  std::optional<std::string> agent_config_hash;
  std::uint64_t hourly_count = 0;
  std::uint64_t daily_count = 0;
  std::uint32_t delegation_depth = 0;
  std::optional<crypto::TrustLevel> trust_level;
};

// ConstraintEvaluator is one independent check of a token's constraints.
class ConstraintEvaluator {
 public:
  virtual ~ConstraintEvaluator() = default;
  virtual std::optional<ConstraintViolation> evaluate(const DatConstraints& constraints,
                                                      const EvaluationContext& ctx) const = 0;
  virtual std::string_view name() const noexcept = 0;
};

// PolicyEvaluator runs the standard evaluators in their fixed order:
// rate_limit, ip_constraint, trust_level, delegation_depth, geofence,
// time_window, config_attestation.
class PolicyEvaluator {
 public:
  static PolicyEvaluator standard() noexcept;
  std::size_t size() const noexcept;
  const ConstraintEvaluator& at(std::size_t i) const;

  // evaluate: timing against now (Unix seconds), then scope coverage, then the
  // constraints; the first failing check is the result.
  std::optional<ConstraintViolation> evaluate(const DatClaims& claims, const EvaluationContext& ctx,
                                              std::int64_t now) const;
};

// RequestContext is what a caller reports about one request, as given.
struct RequestContext {
  std::optional<std::string> request_ip;
  std::optional<std::string> country_code;
  std::uint32_t delegation_depth = 0;
  // The count for the token's own rate-limit window, whichever counter its length selects.
  std::uint64_t actions_in_window = 0;
  std::optional<std::string> agent_config_hash;
  std::optional<std::uint8_t> agent_trust_level;  // an ordinal; above 4 counts as L4
};

// The most clock skew a verifier may allow on exp and nbf, in seconds.
inline constexpr std::int64_t kMaxLeeway = 300;

// VerifyRequest is what verify_token checks a token against.
struct VerifyRequest {
  crypto::PublicKey public_key{};
  std::string required_scope;
  RequestContext context;
  std::int64_t now = 0;     // Unix seconds
  std::int64_t leeway = 0;  // seconds of skew allowed on exp and nbf, 0 to kMaxLeeway
};

// untrusted_issuer is the error for a token whose issuer the verifier holds no key for:
// InvalidDat ("issuer \"did:...\" is not trusted").
CoreError untrusted_issuer(std::string_view issuer);

// check_leeway fails with Other ("leeway must be between 0 and 300 seconds") outside 0 to
// kMaxLeeway.
Result<void> check_leeway(std::int64_t leeway);

// verify_token checks the token's signature against public_key, then timing (with the request's
// leeway on either side of the token's validity), scope coverage and the constraints as
// PolicyEvaluator::evaluate does. It fails with the signature check's error
// (VerificationFailed, or InvalidKey for a key that is no curve point); otherwise its value is
// the first violation found, or nullopt when the token holds.
Result<std::optional<ConstraintViolation>> verify_token(const Dat& token,
                                                        const VerifyRequest& request);

// evaluate_request judges claims against the request as verify_token does after the signature,
// the evaluators seeing delegation_depth in place of the context's.
std::optional<ConstraintViolation> evaluate_request(const DatClaims& claims,
                                                    const VerifyRequest& request,
                                                    std::uint32_t delegation_depth);

// validate_timing fails with DatExpired when now >= exp, else DatNotYetValid
// when now < nbf.
Result<void> validate_timing(const DatClaims& claims, std::int64_t now);
// is_expired: now >= exp.
bool is_expired(const DatClaims& claims, std::int64_t now) noexcept;

}  // namespace quorvex::dat
