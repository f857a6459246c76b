#include "core/dat/token.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/dat/token_json.hpp"
#include "core/json/reader.hpp"
#include "core/tests/token_test_util.hpp"

namespace quorvex::dat {
namespace {

using crypto::KeyPair;
using test_util::b64;
using test_util::claims_with;
using test_util::full_constraints;
using test_util::issue;
using test_util::kClaimsHead;
using test_util::key;

// Expects a Serialization error with this description at this position.
template <typename T>
void expect_json_error(const Result<T>& result, std::string_view description, int line,
                       int column) {
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::Serialization);
  EXPECT_EQ(result.error().display(), "serialization error: " + std::string(description) +
                                          " at line " + std::to_string(line) + " column " +
                                          std::to_string(column));
}

TEST(TokenJsonTest, IssuedTokenHasExactJson) {
  const KeyPair signer = key(7);
  DatConstraints only_max;
  only_max.max_actions = 5;
  const Dat dat = issue(signer, only_max);
  const std::string jti = dat.claims().jti;
  ASSERT_EQ(jti.size(), 30U);
  EXPECT_EQ(jti.substr(0, 4), "dat_");

  const std::string header =
      R"({"alg":"EdDSA","typ":"quorvex-dat+jwt","kid":"did:aid:example.com:alice#key-ed25519"})";
  const std::string claims =
      R"({"iss":"did:aid:example.com:alice","sub":"did:aid:example.com:bot","iat":1700000000,)"
      R"("exp":1700003600,"nbf":1700000000,"jti":")" +
      jti +
      R"(","scope":["mcp:tool:*:read","read"],"constraints":{"maxActions":5},)"
      R"("delegationChain":[]})";
  EXPECT_EQ(encode_header(dat.header()), header);
  EXPECT_EQ(encode_claims(dat.claims()), claims);
  EXPECT_EQ(dat.signing_input(), b64(header) + "." + b64(claims));
  EXPECT_EQ(dat.signature().size(), 64U);

  const std::string bare = encode_claims(issue(signer).claims());
  EXPECT_EQ(bare.find("constraints"), std::string::npos);
  EXPECT_EQ(bare.find("configAttestation"), std::string::npos);
}

TEST(TokenJsonTest, WritesEveryConstraintInOrder) {
  DatClaims claims;
  claims.iat = -5;
  claims.constraints = full_constraints();
  claims.config_attestation = "att";
  EXPECT_EQ(
      encode_claims(claims),
      R"({"iss":"","sub":"","iat":-5,"exp":0,"nbf":0,"jti":"","scope":[],"constraints":{)"
      R"("maxActions":18446744073709551615,"allowedServers":["srv"],"requireReceipt":false,)"
      R"("rateLimit":{"max_actions":10,"window_secs":3600},"ipAllowlist":["10.0.0.0/8","::1"],)"
      R"("ipDenylist":[],"minTrustLevel":255,"maxDelegationDepth":4294967295,)"
      R"("allowedCountries":["US"],"timeWindows":[{"start_hour":9,"end_hour":17,)"
      R"("days_of_week":[0,4]},{"start_hour":22,"end_hour":6}],)"
      R"("requiredConfigHash":"abc"},"configAttestation":"att"})");
  auto back = decode_claims(encode_claims(claims));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, claims);
}

TEST(TokenJsonTest, EscapesLikeTheJsonLibrary) {
  std::vector<std::string> texts = {"/", "\x7f", "é€😀", "a\"b\\c", "\x1b[0m", std::string(1, '\0')};
  for (int c = 0; c < 0x80; ++c) texts.emplace_back(1, static_cast<char>(c));
  std::mt19937 rng(42);
  const std::vector<std::string> pieces = {"a",    "\"", "\\",   "\n",          "\t", "\x01",
                                           "\x1f", "é",  "😀",    " ",           "\b", "\f",
                                           "\r",   "/",  "\x7f", "\xe2\x80\xa8"};
  for (int i = 0; i < 500; ++i) {
    std::string text;
    for (std::uint32_t n = rng() % 12; n > 0; --n) text += pieces[rng() % pieces.size()];
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    DatHeader header{"EdDSA", "t", text};
    EXPECT_EQ(encode_header(header),
              R"({"alg":"EdDSA","typ":"t","kid":)" + nlohmann::json(text).dump() + "}");
    auto back = decode_header(encode_header(header));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->kid, text);
  }
}

TEST(TokenJsonTest, IssueRejectsTextThatIsNotUtf8) {
  auto dat = Dat::issue("did:aid:x:a", "bad\xc3(", {}, 2, {}, {}, key(1), 1, 1);
  ASSERT_FALSE(dat.has_value());
  EXPECT_EQ(dat.error().kind(), ErrorKind::Serialization);
  EXPECT_EQ(dat.error().display(), "serialization error: invalid UTF-8 byte at index 3: 0xc3");
}

TEST(TokenJsonTest, DecodesAnyOrderWhitespaceNullAndArrayForms) {
  auto header = decode_header(" \n{ \"kid\" : \"k\",\r\n\t\"typ\":\"t\", \"alg\":\"EdDSA\" } ");
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(*header, (DatHeader{"EdDSA", "t", "k"}));
  EXPECT_EQ(*decode_header(R"(["EdDSA","t","k"])"), (DatHeader{"EdDSA", "t", "k"}));

  // Unknown members are skipped however deep they nest; null means absent.
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  auto claims = decode_claims(R"({"scope":["a"],"x":)" + deep +
                              R"(,"jti":"j","nbf":3,"exp":2,"iat":1,"sub":"s","iss":"i",)"
                              R"("configAttestation":null,"delegationChain":null,)"
                              R"("constraints":{"y":{"z":[1,{}]},"maxActions":null,)"
                              R"("rateLimit":{"window_secs":2,"max_actions":1,"q":0}}})");
  ASSERT_TRUE(claims.has_value());
  DatClaims expected{"i", "s", 1, 2, 3, "j", {"a"}, DatConstraints{}, {}, {}, {}};
  expected.constraints->rate_limit = RateLimit{1, 2};
  EXPECT_EQ(*claims, expected);

  auto arrays =
      decode_claims(R"(["i","s",-9223372036854775808,-0,0,"j",[],[null,null,null,[1,2],null,null,)"
                    R"(null,null,null,[[1,2,null],[3,4,[5]]],null],null,[]])");
  ASSERT_TRUE(arrays.has_value());
  EXPECT_EQ(arrays->iat, INT64_MIN);
  ASSERT_TRUE(arrays->constraints.has_value());
  EXPECT_EQ(arrays->constraints->rate_limit, (RateLimit{1, 2}));
  EXPECT_EQ(arrays->constraints->time_windows,
            (std::vector<TimeWindow>{{1, 2, {}}, {3, 4, std::vector<std::uint8_t>{5}}}));
  EXPECT_EQ(arrays->delegation_chain, std::vector<std::string>{});
}

TEST(TokenJsonTest, StructuralFailuresHaveTextAndPosition) {
  expect_json_error(decode_header(R"({"alg":"EdDSA","typ":"x"})"), "missing field `kid`", 1, 25);
  expect_json_error(decode_header(R"({"alg":"a","alg":"b"})"), "duplicate field `alg`", 1, 16);
  expect_json_error(decode_header(R"({"alg":"a","typ":"b","kid":"c","x":1})"),
                    "unknown field `x`, expected one of `alg`, `typ`, `kid`", 1, 34);
  expect_json_error(decode_header(R"(["a","b"])"),
                    "invalid length 2, expected struct DatHeader with 3 elements", 1, 9);
  expect_json_error(decode_header(R"(["a","b","c","d",["e"]])"),
                    "invalid length 5, expected fewer elements in array", 1, 23);
  expect_json_error(decode_header("{\n \"alg\": 1\n}"),
                    "invalid type: integer `1`, expected a string", 2, 10);
  expect_json_error(decode_header("null"), "invalid type: null, expected struct DatHeader", 1, 4);

  expect_json_error(decode_claims(R"(["i","s",1,2,3,"j",["a"],null,null])"),
                    "invalid length 9, expected struct DatClaims with 10 elements", 1, 35);
  expect_json_error(decode_claims(R"({"constraints":[]})"),
                    "invalid length 0, expected struct DatConstraints with 11 elements", 1, 17);
  expect_json_error(decode_claims(claims_with(R"("constraints":{"rateLimit":[1]})")),
                    "invalid length 1, expected struct RateLimit with 2 elements", 1, 99);
  expect_json_error(decode_claims(claims_with(R"("constraints":{"timeWindows":[[1,2]]})")),
                    "invalid length 2, expected struct TimeWindow with 3 elements", 1, 104);
  expect_json_error(decode_claims(claims_with(R"("constraints":{"rateLimit":{"max_actions":1}})")),
                    "missing field `window_secs`", 1, 113);
  expect_json_error(decode_claims(R"({"iss":"i","sub":"s","iat":1,"exp":2,"nbf":3,"jti":"j"})"),
                    "missing field `scope`", 1, 55);
  expect_json_error(decode_claims(claims_with(R"("delegationChain":[],"scope":[])")),
                    "duplicate field `scope`", 1, 97);
}

TEST(TokenJsonTest, TypeAndRangeFailures) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"("iat":"abc")", "invalid type: string \"abc\", expected i64"},
      {R"("iat":1.5)", "invalid type: floating point `1.5`, expected i64"},
      {R"("iat":9223372036854775808)",
       "invalid value: integer `9223372036854775808`, expected i64"},
      {R"("iat":null)", "invalid type: null, expected i64"},
      {R"("iss":true)", "invalid type: boolean `true`, expected a string"},
      {R"("scope":{})", "invalid type: map, expected a sequence"},
      {R"("scope":["a",[]])", "invalid type: sequence, expected a string"},
      {R"("constraints":5)", "invalid type: integer `5`, expected struct DatConstraints"},
      {R"("constraints":{"maxActions":18446744073709551616})",
       "invalid type: floating point `18446744073709551616`, expected u64"},
      {R"("constraints":{"maxActions":-1})", "invalid value: integer `-1`, expected u64"},
      {R"("constraints":{"requireReceipt":"yes"})",
       "invalid type: string \"yes\", expected a boolean"},
      {R"("constraints":{"minTrustLevel":256})", "invalid value: integer `256`, expected u8"},
      {R"("constraints":{"minTrustLevel":1e0})", "invalid type: floating point `1e0`, expected u8"},
      {R"("constraints":{"maxDelegationDepth":4294967296})",
       "invalid value: integer `4294967296`, expected u32"},
      {R"("constraints":{"timeWindows":[{"start_hour":1,"end_hour":2,"days_of_week":[7,300]}]})",
       "invalid value: integer `300`, expected u8"},
      {R"("constraints":{"timeWindows":[null]})", "invalid type: null, expected struct TimeWindow"},
      {R"("constraints":{"rateLimit":{"max_actions":null,"window_secs":1}})",
       "invalid type: null, expected u64"},
      {R"("iat":"a\"\n\u0001")", R"(invalid type: string "a\"\n\u{1}", expected i64)"},
  };
  for (const auto& [members, description] : cases) {
    SCOPED_TRACE(members);
    // The offending member comes first; the members after it are never reached.
    auto claims = decode_claims("{" + members + "," + std::string(kClaimsHead) + "}");
    ASSERT_FALSE(claims.has_value());
    EXPECT_EQ(claims.error().kind(), ErrorKind::Serialization);
    EXPECT_EQ(claims.error().text(), description);
    EXPECT_EQ(claims.error().line(), 1U);
    EXPECT_GE(claims.error().column(), 2U);
    EXPECT_LE(claims.error().column(), members.size() + 2);
  }
  // Nesting at a known position fails at once instead of descending.
  expect_json_error(decode_claims(R"({"scope":)" + std::string(100000, '[')),
                    "invalid type: sequence, expected a string", 1, 11);
}

TEST(TokenJsonTest, SyntaxFailuresCarryTheParserText) {
  expect_json_error(decode_header(""),
                    "syntax error while parsing value - unexpected end of input; expected '[', "
                    "'{', or a literal",
                    1, 1);
  expect_json_error(decode_header("{\n\"alg\":"),
                    "syntax error while parsing value - unexpected end of input; expected '[', "
                    "'{', or a literal",
                    2, 7);
  expect_json_error(decode_header("tru}"),
                    "syntax error while parsing value - invalid literal; last read: 'tru}'", 1, 4);
  expect_json_error(decode_header(R"({"alg":"EdDSA"} x)"), "missing field `typ`", 1, 15);
  expect_json_error(decode_header(R"(["a","b","c"] x)"),
                    "syntax error while parsing value - invalid literal; last read: '\"c\"] x'; "
                    "expected end of input",
                    1, 15);
  expect_json_error(decode_claims("{\"iss\":\"\x01\"}"),
                    "syntax error while parsing value - invalid string: control character "
                    "U+0001 (SOH) must be escaped to \\u0001; last read: '\"<U+0001>'",
                    1, 9);
  // The raw byte of the failing token is not echoed: the text stays UTF-8.
  expect_json_error(decode_claims("{\"iss\":\"\xff\"}"),
                    "syntax error while parsing value - invalid string: ill-formed UTF-8 byte; "
                    "last read: '\"\xEF\xBF\xBD'",
                    1, 9);
  expect_json_error(decode_claims(R"({"iat":1e400})"), "number overflow parsing '1e400'", 1, 12);
  expect_json_error(decode_claims(R"({"iss":"i"/**/})"),
                    "syntax error while parsing object - invalid literal; last read: '\"i\"/'; "
                    "expected '}'",
                    1, 11);
}

TEST(ExpiryTest, BoundsOnTheSpanAndOnTheDate) {
  constexpr std::int64_t kNow = 1700000000;
  constexpr std::int64_t kMinExpiry = -8334601315200;  // first second of the year -262143
  constexpr std::int64_t kMaxExpiry = 8210266876799;   // last second of the year 262142
  const std::string span =
      "expires_in_seconds must lie between -9223372036854775 and 9223372036854775";
  const std::string date =
      "expires_in_seconds puts the expiry outside the representable date range "
      "(years -262143 to 262142)";
  struct Case {
    std::int64_t now;
    std::int64_t expires_in;
    std::string expected;  // the expiry, or the error's text
  };
  const std::vector<Case> cases = {
      {kNow, 3600, "1700003600"},
      {kNow, -10, "1699999990"},
      {kNow, 1000000000000, "1001700000000"},
      {kNow, kMaxExpiry - kNow, "8210266876799"},
      {kNow, kMaxExpiry - kNow + 1, date},
      {kNow, kMinExpiry - kNow, "-8334601315200"},
      {kNow, kMinExpiry - kNow - 1, date},
      {kNow, 9223372036854776, span},
      {kNow, -9223372036854776, span},
      {kNow, std::int64_t{1} << 62, span},
      {kNow, INT64_MIN, span},
      {kNow, 9223372036854775, date},
      {kNow, -9223372036854775, date},
      {kNow, 10000000000000, date},
      {kNow, -10000000000000, date},
      {INT64_MAX, 1, date},  // the sum would overflow
      {INT64_MIN, -1, date},
  };
  for (const Case& c : cases) {
    const auto expiry = expiry_after(c.now, c.expires_in);
    if (expiry) {
      EXPECT_EQ(std::to_string(*expiry), c.expected) << c.now << " + " << c.expires_in;
    } else {
      EXPECT_EQ(expiry.error().kind(), ErrorKind::Other);
      EXPECT_EQ(expiry.error().display(), c.expected) << c.now << " + " << c.expires_in;
    }
  }
}

}  // namespace
}  // namespace quorvex::dat
