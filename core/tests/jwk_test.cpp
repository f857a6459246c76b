#include "core/crypto/jwk.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/crypto/encoding.hpp"
#include "core/crypto/public_key_text.hpp"

namespace quorvex::crypto {
namespace {

// RFC 8037 appendix A.1: the example Ed25519 key (d is its seed), and appendix A.3: its
// RFC 7638 thumbprint.
constexpr std::string_view kRfcSeed = "nWGxne_9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A";
constexpr std::string_view kRfcX = "11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo";
constexpr std::string_view kRfcThumbprint = "kPrK_qmxVWaYVA9wwBF6Iuo3vVzz7TxHCTwXBygrS4k";
constexpr std::string_view kRfcKeyHex =
    "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";

PublicKey rfc_key() {
  auto key = public_key_from_text(kRfcKeyHex);
  EXPECT_TRUE(key);
  return *key;
}

TEST(JwkTest, WritesTheRfcExampleKeyAndThumbprint) {
  auto seed = base64url_decode(kRfcSeed);
  ASSERT_TRUE(seed);
  ASSERT_EQ(seed->size(), kSeedLen);
  const KeyPair pair = KeyPair::from_seed(std::span<const std::uint8_t, kSeedLen>(*seed));
  EXPECT_EQ(pair.public_key_bytes(), rfc_key());

  const PublicJwk jwk = public_jwk(rfc_key());
  EXPECT_EQ(jwk.kty, "OKP");
  EXPECT_EQ(jwk.crv, "Ed25519");
  EXPECT_EQ(jwk.x, kRfcX);
  EXPECT_EQ(jwk_thumbprint_input(rfc_key()),
            R"({"crv":"Ed25519","kty":"OKP","x":"11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo"})");
  EXPECT_EQ(jwk_thumbprint(rfc_key()), kRfcThumbprint);
}

TEST(JwkTest, ReadsAnEd25519PublicKeyWhateverElseTheObjectHolds) {
  const std::string x(kRfcX);
  const std::string accepted[] = {
      R"({"kty":"OKP","crv":"Ed25519","x":")" + x + R"("})",
      R"({"x":")" + x + R"(","crv":"Ed25519","kty":"OKP"})",
      " \t\r\n{ \"kty\" : \"OKP\" , \"crv\" : \"Ed25519\" , \"x\" : \"" + x + "\" }\n",
      // Other members are passed over whatever they hold, a nested "d" or "x" too.
      R"({"kid":"k1","alg":"EdDSA","use":"sig","key_ops":["verify"],"kty":"OKP",)"
      R"("ext":{"d":"secret","x":[1,2.5e3,null,true,false,{"y":-1}]},"crv":"Ed25519","x":")" +
          x + R"("})",
      R"({"kty":"OKP","crv":"Ed25519","x":")" + x +
          R"(","x5c":[[[[[]]]]],"n":18446744073709551615})",
      // null stands for an absent member, as in every record read: no private key here.
      R"({"d":null,"kty":"OKP","crv":"Ed25519","x":")" + x + R"("})",
  };
  for (const auto& text : accepted) {
    auto key = public_key_from_jwk_json(text);
    ASSERT_TRUE(key) << text << ": " << key.error().text();
    EXPECT_EQ(*key, rfc_key()) << text;
  }
}

TEST(JwkTest, RefusesAnythingButAnEd25519PublicKey) {
  const std::string x(kRfcX);
  const auto jwk = [](std::string_view kty, std::string_view crv, std::string_view x_value) {
    return R"({"kty":)" + std::string(kty) + R"(,"crv":)" + std::string(crv) + R"(,"x":)" +
           std::string(x_value) + "}";
  };
  const std::string quoted_x = "\"" + x + "\"";
  const std::string refused[] = {
      "", " ", "{", "[]", "null", R"("x")", "{}",
      "[" + jwk(R"("OKP")", R"("Ed25519")", quoted_x) + "]",
      jwk(R"("OKP")", R"("Ed25519")", quoted_x) + " x",
      jwk(R"("OKP")", R"("Ed25519")", quoted_x) + "{}", jwk(R"("okp")", R"("Ed25519")", quoted_x),
      jwk(R"("EC")", R"("Ed25519")", quoted_x), jwk(R"("OKP")", R"("X25519")", quoted_x),
      jwk(R"("OKP")", R"("Ed448")", quoted_x), jwk(R"("OKP")", R"("ed25519")", quoted_x),
      jwk("null", R"("Ed25519")", quoted_x), jwk(R"("OKP")", R"(["Ed25519"])", quoted_x),
      jwk(R"("OKP")", R"("Ed25519")", "null"), jwk(R"("OKP")", R"("Ed25519")", "32"),
      jwk(R"("OKP")", R"("Ed25519")", "\"" + x + "=\""),                // padded
      jwk(R"("OKP")", R"("Ed25519")", "\"" + x.substr(1) + "\""),       // not canonical
      jwk(R"("OKP")", R"("Ed25519")", "\"" + x.substr(0, 42) + "p\""),  // unused bits set
      jwk(R"("OKP")", R"("Ed25519")", "\"" + x + "AA\""),               // 33 bytes
      jwk(R"("OKP")", R"("Ed25519")", R"("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA")"),  // 31
      jwk(R"("OKP")", R"("Ed25519")", "\"" + x.substr(0, 20) + "+" + x.substr(21) + "\""),
      R"({"kty":"OKP","crv":"Ed25519"})", R"({"kty":"OKP","x":")" + x + R"("})",
      // A member the key depends on, named twice.
      R"({"kty":"OKP","crv":"Ed25519","x":")" + x + R"(","x":")" + x + R"("})",
      R"({"kty":"OKP","kty":"OKP","crv":"Ed25519","x":")" + x + R"("})",
      R"({"kty":"OKP","crv":"Ed25519","x":")" + x + std::string("\"}\0", 3),
      std::string("\0", 1) + R"({"kty":"OKP","crv":"Ed25519","x":")" + x + R"("})",
      R"({"kty":"OKP","crv":"Ed25519","x":")" + x + std::string("\",\"kid\":\"\0\"}", 12),
      "{\"kty\":\"OKP\",\"crv\":\"Ed25519\",\"x\":\"" + x + "\",\"kid\":\"\xFF\"}",  // no UTF-8
  };
  for (const auto& text : refused) {
    auto key = public_key_from_jwk_json(text);
    ASSERT_FALSE(key) << text;
    EXPECT_EQ(key.error().kind(), ErrorKind::Other) << text;
    EXPECT_EQ(key.error().text(), public_key_forms_message()) << text;
  }
}

TEST(JwkTest, RefusesAPrivateKey) {
  const std::string x(kRfcX);
  const std::string with_d[] = {
      R"({"kty":"OKP","crv":"Ed25519","d":")" + std::string(kRfcSeed) + R"(","x":")" + x + R"("})",
      R"({"kty":"RSA","d":""})",
  };
  for (const auto& text : with_d) {
    auto key = public_key_from_jwk_json(text);
    ASSERT_FALSE(key) << text;
    EXPECT_EQ(key.error().text(), R"(a JWK with "d" is a private key, not a public key)") << text;
  }
  auto key = public_key_from_jwk({"OKP", "Ed25519", kRfcX, true});
  ASSERT_FALSE(key);
  EXPECT_EQ(key.error().text(), private_jwk_message());

  // The same rules read members handed over one by one.
  key = public_key_from_jwk({"OKP", "Ed25519", kRfcX, false});
  ASSERT_TRUE(key);
  EXPECT_EQ(*key, rfc_key());
  for (const JwkMembers& members :
       {JwkMembers{std::nullopt, "Ed25519", kRfcX, false},
        JwkMembers{"OKP", std::nullopt, kRfcX, false}, JwkMembers{"OKP", "Ed25519", std::nullopt},
        JwkMembers{"OKP", "Ed25519", kRfcX.substr(1), false}}) {
    key = public_key_from_jwk(members);
    ASSERT_FALSE(key);
    EXPECT_EQ(key.error().text(), public_key_forms_message());
  }
}

}  // namespace
}  // namespace quorvex::crypto
