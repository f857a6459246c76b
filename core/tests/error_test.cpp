#include "core/base/error.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/base/unicode.hpp"
#include "core/crypto/trust_level.hpp"
#include "core/dat/violation.hpp"

namespace quorvex {
namespace {

TEST(CoreErrorTest, DisplaysEveryTextKindWithItsPrefix) {
  const std::vector<std::pair<ErrorKind, std::string>> cases = {
      {ErrorKind::KeyGeneration, "key generation failed: x\"y\nz"},
      {ErrorKind::Signing, "signing failed: x\"y\nz"},
      {ErrorKind::VerificationFailed, "signature verification failed: x\"y\nz"},
      {ErrorKind::InvalidKey, "invalid key material: x\"y\nz"},
      {ErrorKind::InvalidAid, "invalid AID identifier: x\"y\nz"},
      {ErrorKind::AidValidation, "AID document validation failed: x\"y\nz"},
      {ErrorKind::AidNotFound, "AID not found: x\"y\nz"},
      {ErrorKind::InvalidDat, "invalid DAT: x\"y\nz"},
      {ErrorKind::DatRevoked, "DAT revoked: x\"y\nz"},
      {ErrorKind::ScopeNotPermitted, "scope not permitted: x\"y\nz"},
      {ErrorKind::ConstraintViolated, "constraint violated: x\"y\nz"},
      {ErrorKind::DelegationChainInvalid, "delegation chain invalid: x\"y\nz"},
      {ErrorKind::InvalidReceipt, "invalid receipt: x\"y\nz"},
      {ErrorKind::Base64Decode, "base64 decode error: x\"y\nz"},
      {ErrorKind::Other, "x\"y\nz"},
  };
  for (const auto& [kind, text] : cases) {
    EXPECT_EQ(CoreError(kind, "x\"y\nz").display(), text);
  }
}

TEST(CoreErrorTest, EmptyPayloadKeepsPrefixAndOtherShowsNothing) {
  EXPECT_EQ(CoreError(ErrorKind::InvalidDat).display(), "invalid DAT: ");
  EXPECT_EQ(CoreError(ErrorKind::Other).display(), "");
}

TEST(CoreErrorTest, KindsWithoutTextPayload) {
  EXPECT_EQ(CoreError(ErrorKind::DatExpired).display(), "DAT expired");
  EXPECT_EQ(CoreError(ErrorKind::DatNotYetValid).display(), "DAT not yet valid");
  EXPECT_EQ(CoreError::receipt_chain_broken(0).display(),
            "receipt chain integrity violation at sequence 0");
  EXPECT_EQ(CoreError::receipt_chain_broken(std::numeric_limits<std::uint64_t>::max()).display(),
            "receipt chain integrity violation at sequence 18446744073709551615");
  EXPECT_EQ(CoreError::trust_verification("L3", "x").display(),
            "trust verification failed for level L3: x");
}

TEST(CoreErrorTest, SerializationShowsPositionOnlyWhenItHasOne) {
  EXPECT_EQ(CoreError::serialization("missing field `iss`", 1, 42).display(),
            "serialization error: missing field `iss` at line 1 column 42");
  EXPECT_EQ(CoreError::serialization("EOF while parsing").display(),
            "serialization error: EOF while parsing");
  EXPECT_EQ(CoreError::serialization("x", 3, 0).display(),
            "serialization error: x at line 3 column 0");
}

TEST(RenderViolationTest, VariantsWithoutFieldsAreTheirNames) {
  EXPECT_EQ(render_violation(violation::Expired{}), "Expired");
  EXPECT_EQ(render_violation(violation::NotYetValid{}), "NotYetValid");
  EXPECT_EQ(render_violation(violation::ScopeNotCovered{}), "ScopeNotCovered");
  EXPECT_EQ(render_violation(violation::Revoked{}), "Revoked");
  EXPECT_EQ(render_violation(violation::OutsideTimeWindow{}), "OutsideTimeWindow");
  EXPECT_EQ(render_violation(violation::SignatureInvalid{}), "SignatureInvalid");
}

TEST(RenderViolationTest, VariantsWithFields) {
  EXPECT_EQ(render_violation(violation::RateLimitExceeded{"hourly", 10, 10}),
            "RateLimitExceeded { limit_type: \"hourly\", limit: 10, current: 10 }");
  EXPECT_EQ(render_violation(violation::RateLimitExceeded{"daily", UINT64_MAX, 0}),
            "RateLimitExceeded { limit_type: \"daily\", limit: 18446744073709551615, current: 0 }");
  EXPECT_EQ(render_violation(violation::IpBlocked{"10.1.2.3", "IP in denied list"}),
            "IpBlocked { ip: \"10.1.2.3\", reason: \"IP in denied list\" }");
  EXPECT_EQ(render_violation(violation::InsufficientTrustLevel{"L2", "none"}),
            "InsufficientTrustLevel { required: \"L2\", actual: \"none\" }");
  EXPECT_EQ(render_violation(violation::DelegationDepthExceeded{1, 2}),
            "DelegationDepthExceeded { max_depth: 1, actual_depth: 2 }");
  EXPECT_EQ(render_violation(violation::GeofenceViolation{"FR", {"US", "CA"}}),
            "GeofenceViolation { country: \"FR\", allowed: [\"US\", \"CA\"] }");
  EXPECT_EQ(render_violation(violation::GeofenceViolation{"unknown", {}}),
            "GeofenceViolation { country: \"unknown\", allowed: [] }");
  EXPECT_EQ(render_violation(violation::ConfigAttestationMismatch{"abc", std::nullopt}),
            "ConfigAttestationMismatch { expected: \"abc\", actual: None }");
  EXPECT_EQ(render_violation(violation::ConfigAttestationMismatch{"abc", "def"}),
            "ConfigAttestationMismatch { expected: \"abc\", actual: Some(\"def\") }");
  EXPECT_EQ(render_violation(violation::ChainValidationFailed{"bad link"}),
            "ChainValidationFailed(\"bad link\")");
  EXPECT_EQ(render_violation(violation::Custom{"x"}), "Custom(\"x\")");
}

TEST(RenderViolationTest, EscapesTextValues) {
  const auto custom = [](std::string text) {
    return render_violation(violation::Custom{std::move(text)});
  };
  EXPECT_EQ(custom("a\\b"), "Custom(\"a\\\\b\")");
  EXPECT_EQ(custom("say \"hi\""), "Custom(\"say \\\"hi\\\"\")");
  EXPECT_EQ(custom("t\tr\rn\n"), "Custom(\"t\\tr\\rn\\n\")");
  EXPECT_EQ(custom("it's"), "Custom(\"it's\")");
  EXPECT_EQ(custom(std::string("nul\0", 4)), "Custom(\"nul\\u{0}\")");
  EXPECT_EQ(custom("\x1b[0m"), "Custom(\"\\u{1b}[0m\")");
  EXPECT_EQ(custom("\x7f"), "Custom(\"\\u{7f}\")");
  EXPECT_EQ(custom("zero\u200bwidth"), "Custom(\"zero\\u{200b}width\")");
  EXPECT_EQ(custom("nb\u00a0sp"), "Custom(\"nb\\u{a0}sp\")");
  EXPECT_EQ(custom("caf\u00e9 \u2014 \U0001F600"), "Custom(\"caf\u00e9 \u2014 \U0001F600\")");
  EXPECT_EQ(custom("e\u0301"), "Custom(\"e\\u{301}\")");
  // Escapes apply inside lists and optional values too.
  EXPECT_EQ(render_violation(violation::GeofenceViolation{"a\"b", {"c\nd"}}),
            "GeofenceViolation { country: \"a\\\"b\", allowed: [\"c\\nd\"] }");
  EXPECT_EQ(render_violation(violation::ConfigAttestationMismatch{"x", "\t"}),
            "ConfigAttestationMismatch { expected: \"x\", actual: Some(\"\\t\") }");
}

TEST(UnicodeTest, FullUpperCasing) {
  EXPECT_EQ(to_upper_full("us"), "US");
  EXPECT_EQ(to_upper_full("stra\u00dfe"), "STRASSE");
  EXPECT_EQ(to_upper_full("\u00e9t\u00e9"), "\u00c9T\u00c9");
  EXPECT_EQ(to_upper_full("\u0149"), "\u02bcN");
  EXPECT_EQ(to_upper_full("\xff\xfe"), "\xff\xfe");
}

TEST(TrustLevelTest, ParsesExactlyTheFiveNames) {
  for (std::string_view name : {"L0", "L1", "L2", "L3", "L4"}) {
    auto level = crypto::TrustLevel::parse(name);
    ASSERT_TRUE(level.has_value());
    EXPECT_EQ(level->name(), name);
  }
  for (std::string_view bad : {"l4", "L5", "L", "", " L1", "L1 ", "0", "2", "L01"}) {
    EXPECT_FALSE(crypto::TrustLevel::parse(bad).has_value()) << bad;
  }
  EXPECT_EQ(crypto::invalid_trust_level_message(""),
            "Invalid trust level ''. Must be L0, L1, L2, L3, or L4.");
}

TEST(TrustLevelTest, OrderingAndText) {
  const auto l = [](std::uint8_t n) { return crypto::TrustLevel::from_ordinal(n); };
  EXPECT_TRUE(l(0).meets_minimum(l(0)));
  EXPECT_FALSE(l(0).meets_minimum(l(1)));
  EXPECT_FALSE(l(1).meets_minimum(l(2)));
  for (std::uint8_t n = 0; n <= 4; ++n) EXPECT_TRUE(l(4).meets_minimum(l(n)));
  EXPECT_EQ(l(200).name(), "L4");
  EXPECT_EQ(l(3).description(), "Audited \u2014 third-party security audit completed");
  EXPECT_EQ(l(2).repr_text(),
            "TrustLevel('L2' \u2014 Organization-verified \u2014 CA-like verification of "
            "controlling entity)");
}

}  // namespace
}  // namespace quorvex
