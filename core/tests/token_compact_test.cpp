#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/crypto/encoding.hpp"
#include "core/dat/token.hpp"
#include "core/dat/token_json.hpp"
#include "core/tests/token_test_util.hpp"

namespace quorvex::dat {
namespace {

using crypto::KeyPair;
using test_util::b64;
using test_util::bytes_of;
using test_util::claims_with;
using test_util::full_constraints;
using test_util::issue;
using test_util::kClaimsHead;
using test_util::key;

// Expects a failure displayed as `prefix`, or starting with it when it ends in a space.
void expect_error(const Result<void>& result, std::string_view prefix) {
  ASSERT_FALSE(result.has_value());
  const std::string display = result.error().display();
  if (prefix.ends_with(' ')) {
    EXPECT_EQ(display.substr(0, prefix.size()), prefix);
  } else {
    EXPECT_EQ(display, prefix);
  }
}

TEST(CompactTest, RoundTripAndSignature) {
  const KeyPair signer = key(3);
  const Dat dat = issue(signer, full_constraints());
  auto compact = dat.to_compact();
  ASSERT_TRUE(compact.has_value());
  EXPECT_EQ(compact->rfind(dat.signing_input() + ".", 0), 0U);

  auto parsed = Dat::from_compact(*compact);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->header(), dat.header());
  EXPECT_EQ(parsed->claims(), dat.claims());
  EXPECT_EQ(parsed->signature(), dat.signature());
  EXPECT_EQ(parsed->signing_input(), dat.signing_input());
  EXPECT_TRUE(parsed->verify_signature(signer.public_key_bytes()).has_value());
  expect_error(parsed->verify_signature(key(4).public_key_bytes()),
               "signature verification failed: ");
}

TEST(CompactTest, FailuresComeInOrder) {
  const auto error_of = [](std::string_view compact) {
    auto dat = Dat::from_compact(compact);
    return dat.has_value() ? std::string("ok") : dat.error().display();
  };
  const std::string parts = "invalid DAT: compact JWS must have 3 parts";
  EXPECT_EQ(error_of("a.b"), parts);
  EXPECT_EQ(error_of("a.b.c.d"), parts);
  EXPECT_EQ(error_of(""), parts);
  EXPECT_EQ(error_of("..."), parts);
  EXPECT_EQ(error_of(".."),
            "serialization error: syntax error while parsing value - unexpected end of input; "
            "expected '[', '{', or a literal at line 1 column 1");

  const std::string header = b64(R"({"alg":"none","typ":"t","kid":"k"})");
  const std::string claims = b64(claims_with(R"("delegationChain":[])"));
  EXPECT_EQ(error_of(header + "=." + claims + ".!"), "invalid DAT: header decode: Invalid padding");
  EXPECT_EQ(error_of("{A." + claims + ".AA"),
            "invalid DAT: header decode: Invalid symbol 123, offset 0.");
  EXPECT_EQ(error_of("e30.a+.!"), "invalid DAT: claims decode: Invalid symbol 43, offset 1.");
  EXPECT_EQ(error_of("e30." + claims + ".A"),
            "invalid DAT: signature decode: Invalid input length: 1");
  // Header JSON is read only after all three segments decoded, alg before the claims JSON.
  EXPECT_EQ(error_of("e30.e30.AA"), "serialization error: missing field `alg` at line 1 column 2");
  EXPECT_EQ(error_of(header + "." + claims + ".A"),
            "invalid DAT: signature decode: Invalid input length: 1");
  EXPECT_EQ(error_of(header + ".e30.AA"),
            "invalid DAT: unsupported algorithm 'none': only 'EdDSA' is permitted");
  EXPECT_EQ(error_of(b64(R"({"alg":"eddsa","typ":"t","kid":"k"})") + "." + claims + "."),
            "invalid DAT: unsupported algorithm 'eddsa': only 'EdDSA' is permitted");
  EXPECT_EQ(error_of(b64(R"(["EdDSA","t","k"])") + ".e30."),
            "serialization error: missing field `iss` at line 1 column 2");
  EXPECT_EQ(error_of(b64(R"(["EdDSA","t","k"])") + "." + claims + "."), "ok");
}

TEST(CompactTest, KeyIdMustNameTheIssuersKey) {
  EXPECT_TRUE(issue(key(3)).check_key_id().has_value());
  const auto key_id_error = [](std::string_view kid) {
    const std::string header = R"({"alg":"EdDSA","typ":"t","kid":")" + std::string(kid) + "\"}";
    auto dat = Dat::from_compact(b64(header) + "." + b64(claims_with("\"x\":0")) + ".");
    EXPECT_TRUE(dat.has_value());
    auto checked = dat->check_key_id();
    return checked ? std::string("ok") : checked.error().display();
  };
  EXPECT_EQ(key_id_error("i#key-ed25519"), "ok");
  for (const std::string_view kid : {"", "i", "i#key-ed25519 ", "j#key-ed25519", "#key-ed25519",
                                     "i#key-ed25519#key-ed25519", "I#key-ed25519"}) {
    EXPECT_EQ(key_id_error(kid), "invalid DAT: key id \"" + std::string(kid) +
                                     "\" does not name the issuer's key \"i#key-ed25519\"");
  }
}

TEST(CompactTest, VerifiesTheReceivedTextNotAReencoding) {
  const KeyPair signer = key(9);
  const std::string input =
      b64("{ \"typ\": \"x\", \"kid\": \"k\", \"alg\": \"EdDSA\" }") + "." +
      b64(R"({"extra":{"n":[1]},)" + std::string(kClaimsHead) + R"(,"delegationChain":[]})");
  const auto signature = signer.sign(bytes_of(input));
  auto dat = Dat::from_compact(input + "." + crypto::base64url_encode(signature));
  ASSERT_TRUE(dat.has_value());
  EXPECT_TRUE(dat->verify_signature(signer.public_key_bytes()).has_value());

  auto again = Dat::from_compact(*dat->to_compact());
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(encode_claims(again->claims()).find("extra"), std::string::npos);
  EXPECT_NE(again->signing_input(), input);
  EXPECT_EQ(again->claims(), dat->claims());
  expect_error(again->verify_signature(signer.public_key_bytes()),
               "signature verification failed: ");

  auto short_signature =
      Dat::from_compact(input + "." + crypto::base64url_encode(std::span(signature).first(63)));
  ASSERT_TRUE(short_signature.has_value());
  EXPECT_EQ(short_signature->signature().size(), 63U);
  expect_error(short_signature->verify_signature(signer.public_key_bytes()),
               "signature verification failed: invalid signature length");
}

TEST(CompactTest, MutationsNeverCrashOrVerify) {
  const KeyPair signer = key(5);
  const Dat dat = issue(signer, full_constraints());
  const std::string token = *dat.to_compact();
  const std::string claims_json = encode_claims(dat.claims());
  const std::string tail = token.substr(token.find('.', token.find('.') + 1));
  std::mt19937 rng(1234);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  int parsed = 0;
  for (int round = 0; round < 6000; ++round) {
    std::string text;
    switch (round % 4) {
      case 0: {
        text = token;
        char& c = text[pick(text.size())];
        c = static_cast<char>(static_cast<unsigned char>(c) ^ (1U << pick(8)));
        break;
      }
      case 1:
        text = token.substr(0, pick(token.size()));
        break;
      case 2: {  // swap two segments
        std::vector<std::string> seg;
        for (std::size_t start = 0, dot = 0; dot != std::string::npos; start = dot + 1) {
          dot = token.find('.', start);
          seg.push_back(token.substr(start, dot - start));
        }
        std::swap(seg[pick(3)], seg[pick(3)]);
        text = seg[0] + "." + seg[1] + "." + seg[2];
        break;
      }
      default: {  // damage the claims JSON itself, keeping a well-formed segment
        std::string json = claims_json;
        for (std::size_t n = 1 + pick(3); n > 0; --n) {
          if (pick(2) == 0) {
            json[pick(json.size())] = "{}[]\",:0-e.n\\ \x01\xff"[pick(17)];
          } else {
            json.erase(pick(json.size()), 1 + pick(4));
          }
        }
        text = token.substr(0, token.find('.')) + "." + b64(json) + tail;
        break;
      }
    }
    auto result = Dat::from_compact(text);
    if (!result.has_value()) {
      const ErrorKind kind = result.error().kind();
      EXPECT_TRUE(kind == ErrorKind::InvalidDat || kind == ErrorKind::Serialization) << text;
      if (kind == ErrorKind::Serialization) {
        EXPECT_GE(result.error().column(), 1U);
      }
      continue;
    }
    ++parsed;
    EXPECT_EQ(result->verify_signature(signer.public_key_bytes()).has_value(), text == token)
        << text;
  }
  EXPECT_GT(parsed, 100);
}

}  // namespace
}  // namespace quorvex::dat
