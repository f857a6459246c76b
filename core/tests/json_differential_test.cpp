// Every record the system reads, read both ways: read() (the scanner first) and the parser
// alone must give the same value, or the same refusal at the same place, for valid texts and
// for random edits of them.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/aid/builder.hpp"
#include "core/aid/document_json.hpp"
#include "core/aid/saved_identity.hpp"
#include "core/crypto/jwk.hpp"
#include "core/crypto/keypair.hpp"
#include "core/dat/token_json.hpp"
#include "core/json/reader.hpp"
#include "core/receipt/log.hpp"
#include "core/receipt/receipt.hpp"

namespace quorvex::json {
namespace {

template <typename T>
std::string written(const T& value) {
  std::string out;
  Writer w(out);
  write_value(w, value);
  return out;
}

struct Tally {
  int scanned = 0;  // texts the scanner read whole
  int accepted = 0;
  int refused = 0;
};

template <typename T>
void expect_same_reading(const std::string& text, Tally& tally) {
  SCOPED_TRACE(testing::PrintToString(text));
  const auto fast = read<T>(text);
  const auto parsed = read_parsed<T>(text);
  ASSERT_EQ(fast.has_value(), parsed.has_value());
  if (parsed) {
    EXPECT_EQ(written(*fast), written(*parsed));
    ++tally.accepted;
  } else {
    EXPECT_EQ(fast.error().text(), parsed.error().text());
    EXPECT_EQ(fast.error().line(), parsed.error().line());
    EXPECT_EQ(fast.error().column(), parsed.error().column());
    ++tally.refused;
  }
  T scanned;
  if (scan(text, scanned)) {
    EXPECT_TRUE(parsed.has_value());
    ++tally.scanned;
  }
}

// Pieces that make the scanner decline, the parser fail, or both.
const std::vector<std::string> kPieces = {"\\u0041",
                                          "\\u00e9",
                                          "\\",
                                          "\"",
                                          "1.5",
                                          "1e3",
                                          "18446744073709551616",
                                          "-",
                                          "0",
                                          "01",
                                          "{",
                                          "}",
                                          "[",
                                          "]",
                                          ",",
                                          ":",
                                          " ",
                                          "\t",
                                          "\x01",
                                          "\xff",
                                          "\xc3\xa9",
                                          "\xed\xa0\x80",
                                          "\xef\xbb\xbf",
                                          "true",
                                          "nul",
                                          "\\x",
                                          "/",
                                          "null",
                                          "-9223372036854775809",
                                          std::string(1, '\0'),
                                          "{}",
                                          "[[]]"};

// Each valid text as it stands, then `rounds` texts with one to three random edits.
template <typename T>
Tally differential(const std::vector<std::string>& valid, int rounds, unsigned seed) {
  Tally tally;
  for (const std::string& text : valid) {
    expect_same_reading<T>(text, tally);
    EXPECT_TRUE(read<T>(text).has_value()) << text;
  }
  std::mt19937 rng(seed);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  for (int round = 0; round < rounds; ++round) {
    std::string text = valid[pick(valid.size())];
    for (std::size_t edits = 1 + pick(3); edits > 0; --edits) {
      const std::size_t at = pick(text.size() + 1);
      const std::string& piece = kPieces[pick(kPieces.size())];
      switch (pick(3)) {
        case 0:
          text.insert(at, piece);
          break;
        case 1:
          text.replace(at, 1 + pick(3), piece);
          break;
        default:
          text.erase(at, 1 + pick(8));
          break;
      }
    }
    expect_same_reading<T>(text, tally);
  }
  return tally;
}

// Enough edits keep the text plain that the scanner's own reading is checked, and enough
// break it that the refusals are.
void expect_both_paths_used(const Tally& tally, int rounds) {
  EXPECT_GT(tally.scanned, rounds / 20);
  EXPECT_GT(tally.refused, rounds / 4);
}

constexpr int kRounds = 3000;
constexpr std::array<std::uint8_t, crypto::kSeedLen> kSeed{7};

TEST(JsonDifferentialTest, TokenHeader) {
  const std::vector<std::string> valid = {
      R"({"alg":"EdDSA","typ":"quorvex-dat+jwt","kid":"did:aid:example.com:p#key-ed25519"})",
      " { \"kid\" : \"k\\\"\\n\" , \"typ\":\"t\",\n\"alg\":\"EdDSA\" } ",
      R"(["EdDSA","quorvex-dat+jwt","k"])",
  };
  expect_both_paths_used(differential<dat::DatHeader>(valid, kRounds, 11), kRounds);
}

TEST(JsonDifferentialTest, TokenClaims) {
  const std::vector<std::string> valid = {
      R"({"iss":"did:aid:example.com:principal","sub":"did:aid:example.com:agent-7",)"
      R"("iat":1767225600,"exp":1767229200,"nbf":1767225600,"jti":"dat_01J0",)"
      R"("scope":["mcp:tool:filesystem:read","mcp:tool:search:*"],)"
      R"("constraints":{"maxActions":1000,"allowedServers":["srv-a"],"requireReceipt":true,)"
      R"("rateLimit":{"max_actions":100,"window_secs":3600},"ipAllowlist":["10.0.0.0/8"],)"
      R"("ipDenylist":["10.9.9.9/32"],"minTrustLevel":2,"maxDelegationDepth":3,)"
      R"("allowedCountries":["DE","FR"],)"
      R"("timeWindows":[{"start_hour":0,"end_hour":23,"days_of_week":[0,1,2,3,4,5,6]},)"
      R"({"start_hour":22,"end_hour":6}],"requiredConfigHash":"blake3:00"},)"
      R"("configAttestation":"c","delegationChain":["a.b.c"]})",
      " {\"iss\" : \"a\\\"\\\\\\/\\b\\f\\n\\r\\t \xc3\xa9\xf0\x9f\x98\x80\x7f\" ,\n\t\"sub\":\"\","
      "\"iat\":-0,\"exp\":-9223372036854775808,\"nbf\":9223372036854775807,\"jti\":\"j\",\r\n"
      "\"scope\":[ ],\"x\":{\"y\":[true,false,null,{},[[]]]},\"constraints\":{\"maxActions\":0}} ",
      R"(["i","s",1,2,3,"j",[],[null,null,null,[1,2],null,null,null,null,null,[[1,2,null]],null],)"
      R"(null,[]])",
  };
  expect_both_paths_used(differential<dat::DatClaims>(valid, kRounds, 12), kRounds);
}

TEST(JsonDifferentialTest, AidDocument) {
  aid::AidBuilder builder;
  builder.id("did:aid:example.com:agent-7");
  builder.controller("did:aid:example.com:principal");
  builder.name("agent-7");
  builder.description("Reads files \xe2\x80\x94 and \"quotes\"");
  builder.trust_level("L2");
  builder.add_ed25519_key(crypto::KeyPair::from_seed(kSeed));
  const auto document = builder.build(Instant{1767225600, 5000});
  ASSERT_TRUE(document.has_value());
  const std::vector<std::string> valid = {
      *aid::document_to_json(*document),
      R"({"@context":["c"],"id":"d","controller":"c","verificationMethod":[],)"
      R"("authentication":[],"service":[{"id":"s","type":"t","serviceEndpoint":)"
      R"({"b":[1,-2,true,null,{"a":"x"}],"a":"y","a":-0}}],"created":"2026-01-01T00:00:00Z",)"
      R"("proof":{"type":"p","created":"2026-01-01T00:00:00.5+01:00",)"
      R"("verificationMethod":"v","proofValue":"z"}})",
  };
  expect_both_paths_used(differential<aid::AidDocument>(valid, kRounds, 13), kRounds);
}

TEST(JsonDifferentialTest, IdentityMetadata) {
  const std::vector<std::string> valid = {
      "{\n  \"created\": \"2026-01-01T00:00:00Z\",\n  \"did\": \"did:aid:example.com:a\",\n"
      "  \"version\": 1\n}",
      R"({"version":4294967295,"did":"","created":"","extra":[{"x":[]}]})",
  };
  expect_both_paths_used(differential<aid::SavedIdentity>(valid, kRounds, 14), kRounds);
}

TEST(JsonDifferentialTest, Jwk) {
  const std::vector<std::string> valid = {
      R"({"kty":"OKP","crv":"Ed25519","x":"11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo"})",
      R"({"kid":"k","use":"sig","key_ops":["verify"],"d":{"a":[1,-2,true]},"x":"AA","crv":"x"})",
  };
  expect_both_paths_used(differential<crypto::JwkRecord>(valid, kRounds, 16), kRounds);
}

TEST(JsonDifferentialTest, PrintedLog) {
  const auto key = crypto::KeyPair::from_seed(kSeed);
  receipt::ReceiptLog log;
  const std::string data = "input";
  const crypto::ByteView bytes(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
  for (int i = 0; i < 2; ++i) {
    const receipt::ActionInput action{"did:aid:example.com:agent-7",
                                      "dat_01",
                                      "mcp:tool-call",
                                      bytes,
                                      "files.example.com",
                                      i == 0 ? std::optional<std::string_view>{} : "read_file",
                                      bytes,
                                      "success",
                                      12,
                                      "s-1"};
    ASSERT_TRUE(log.append(action, key, Instant{1767225600 + i, 0}).has_value());
  }
  const std::vector<std::string> valid = {*log.to_json(), "[]"};
  expect_both_paths_used(differential<std::vector<receipt::PrintedReceipt>>(valid, kRounds / 3, 15),
                         kRounds / 3);
}

// Records and generic values nest at most kMaxDepth deep, whichever path reads them; a member
// that is skipped is not counted.
TEST(JsonDifferentialTest, OneDepthLimit) {
  const auto nested = [](std::size_t depth) {
    return R"({"@context":[],"id":"d","controller":"c","verificationMethod":[],)"
           R"("authentication":[],"service":[{"id":"s","type":"t","serviceEndpoint":)" +
           std::string(depth, '[') + std::string(depth, ']') + "}]}";
  };
  // The document, the service list and the service are three levels.
  Tally tally;
  expect_same_reading<aid::AidDocument>(nested(kMaxDepth - 3), tally);
  expect_same_reading<aid::AidDocument>(nested(kMaxDepth - 2), tally);
  EXPECT_EQ(tally.scanned, 1);
  EXPECT_EQ(tally.accepted, 1);
  const auto refused = read<aid::AidDocument>(nested(kMaxDepth - 2));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().text(), "recursion limit exceeded");
  // At the bracket that opens the level past the limit.
  EXPECT_EQ(refused.error().column(), nested(0).size() - 3 + kMaxDepth - 2);

  const std::string skipped = R"({"created":"","did":"","version":1,"x":)" +
                              std::string(1000, '[') + std::string(1000, ']') + "}";
  EXPECT_TRUE(read<aid::SavedIdentity>(skipped).has_value());
}

}  // namespace
}  // namespace quorvex::json
