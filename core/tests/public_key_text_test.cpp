#include "core/crypto/public_key_text.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/crypto/encoding.hpp"

namespace quorvex::crypto {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(PublicKeyTextTest, ReadsMultibaseAndHexOfExactlyThirtyTwoBytes) {
  Bytes counting(32);
  for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<std::uint8_t>(i);
  const std::string hex = hex_encode(counting);
  std::string upper = hex;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& text : {multibase_base58btc(counting), hex, upper}) {
    auto key = public_key_from_text(text);
    ASSERT_TRUE(key) << text;
    EXPECT_EQ(Bytes(key->begin(), key->end()), counting) << text;
  }
  // Not a curve point: the bytes are returned all the same.
  auto zeros = public_key_from_text(std::string("z").append(32, '1'));
  ASSERT_TRUE(zeros);
  EXPECT_EQ(Bytes(zeros->begin(), zeros->end()), Bytes(32, 0));

  const std::string refused[] = {
      "",
      multibase_base58btc(Bytes(31, 7)),
      multibase_base58btc(Bytes(33, 7)),
      std::string("z").append(31, '1'),
      hex.substr(2),
      hex + "00",
      hex.substr(1) + "g",
      "0x" + hex.substr(2),
      hex_encode(counting).insert(0, "z"),
      multibase_base58btc(counting) + " ",
      "did:key:" + multibase_base58btc(counting),
  };
  for (const auto& text : refused) {
    auto key = public_key_from_text(text);
    ASSERT_FALSE(key) << text;
    EXPECT_EQ(key.error().kind(), ErrorKind::Other) << text;
    EXPECT_EQ(key.error().text(), public_key_forms_message()) << text;
  }
  EXPECT_EQ(public_key_forms_message(),
            "public key must be multibase base58btc text ('z...'), a did:key ('did:key:z...'), an "
            "Ed25519 JWK ({\"kty\": \"OKP\", \"crv\": \"Ed25519\", \"x\": ...}) or 64 hex digits");
}

TEST(PublicKeyTextTest, ReadsDidKeyAndJwkTextToo) {
  Bytes counting(32);
  for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<std::uint8_t>(i);
  PublicKey key{};
  std::copy(counting.begin(), counting.end(), key.begin());
  const std::string did = did_key(key);
  const std::string jwk =
      R"({"kty":"OKP","crv":"Ed25519","x":")" + base64url_encode(counting) + R"("})";
  for (const std::string& text : {did, did + "#" + did.substr(8), jwk, " \n" + jwk}) {
    auto read = public_key_from_text(text);
    ASSERT_TRUE(read) << text << ": " << read.error().text();
    EXPECT_EQ(*read, key) << text;
  }
  // A JWK's own refusal is the text's.
  auto refused = public_key_from_text(R"({"kty":"OKP","crv":"Ed25519","d":"","x":")" +
                                      base64url_encode(counting) + R"("})");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text(), R"(a JWK with "d" is a private key, not a public key)");
}

TEST(DidKeyTest, WritesAndReadsTheEd25519Identifier) {
  // The W3C CCG did:key method's Ed25519 test vectors: the key pair of a seed of 32 zero
  // bytes, and of the seed 00..01.
  struct Vector {
    std::uint8_t last_seed_byte;
    std::string_view did;
  };
  for (const Vector& v : {Vector{0, "did:key:z6MkiTBz1ymuepAQ4HEHYSF1H8quG5GLVVQR3djdX3mDooWp"},
                          Vector{1, "did:key:z6MkjchhfUsD6mmvni8mCdXHw216Xrm9bQe2mBH1P5RDjVJG"}}) {
    std::array<std::uint8_t, kSeedLen> seed{};
    seed.back() = v.last_seed_byte;
    const KeyPair pair = KeyPair::from_seed(seed);
    EXPECT_EQ(did_key(pair.public_key_bytes()), v.did);
    auto read = public_key_from_did_key(v.did);
    ASSERT_TRUE(read) << v.did;
    EXPECT_EQ(*read, pair.public_key_bytes());
  }
  EXPECT_EQ(did_key(PublicKey{}), "did:key:z6MkeTG3bFFSLYVU7VqhgZxqr6YzpaGrQtFMh1uvqGy1vDnP");
  auto zeros = public_key_from_did_key("did:key:z6MkeTG3bFFSLYVU7VqhgZxqr6YzpaGrQtFMh1uvqGy1vDnP");
  ASSERT_TRUE(zeros);
  EXPECT_EQ(*zeros, PublicKey{});
}

TEST(DidKeyTest, RefusesOtherKeysAndFragments) {
  const std::string did = "did:key:z6MkiTBz1ymuepAQ4HEHYSF1H8quG5GLVVQR3djdX3mDooWp";
  const std::string id = did.substr(8);
  PublicKey key{};
  key[0] = 1;
  std::vector<std::uint8_t> x25519 = {0xEC, 0x01};
  x25519.insert(x25519.end(), key.begin(), key.end());
  std::vector<std::uint8_t> short_key = {0xED, 0x01};
  short_key.insert(short_key.end(), key.begin(), key.end() - 1);
  std::vector<std::uint8_t> long_key = {0xED, 0x01};
  long_key.insert(long_key.end(), key.begin(), key.end());
  long_key.push_back(0);
  const std::string refused[] = {
      "did:key:",
      "did:key:z",
      did + "#",
      did + "#key-1",
      did + "#" + id + "#" + id,
      did + "#z6MkjchhfUsD6mmvni8mCdXHw216Xrm9bQe2mBH1P5RDjVJG",
      did + " ",
      "DID:key:" + id,
      "did:key:" + id.substr(1),
      "did:web:" + id,
      "did:key:" + multibase_base58btc(key),  // our publicKeyMultibase: no multicodec prefix
      "did:key:" + multibase_base58btc(x25519),
      "did:key:" + multibase_base58btc(short_key),
      "did:key:" + multibase_base58btc(long_key),
  };
  for (const auto& text : refused) {
    EXPECT_FALSE(public_key_from_did_key(text)) << text;
    auto read = public_key_from_text(text);
    ASSERT_FALSE(read) << text;
    EXPECT_EQ(read.error().text(), public_key_forms_message()) << text;
  }
}

TEST(PublicKeyMultibaseTest, ReadsOnlyMultibaseTextOfThirtyTwoBytes) {
  PublicKey key{};
  key[5] = 9;
  auto read = public_key_from_multibase(multibase_base58btc(key));
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, key);
  struct Case {
    std::string text;
    std::string_view error;
  };
  const Case cases[] = {
      {hex_encode(key), "publicKeyMultibase is not a public key: Missing multibase prefix 'z'"},
      {"z0", "publicKeyMultibase is not a public key: Invalid character '0' at position 1"},
      {multibase_base58btc(Bytes(31, 1)),
       "publicKeyMultibase is not a public key: 31 bytes, not 32"},
      {"z", "publicKeyMultibase is not a public key: 0 bytes, not 32"},
  };
  for (const auto& c : cases) {
    auto refused = public_key_from_multibase(c.text);
    ASSERT_FALSE(refused) << c.text;
    EXPECT_EQ(refused.error().kind(), ErrorKind::Other) << c.text;
    EXPECT_EQ(refused.error().text(), c.error) << c.text;
  }
}

}  // namespace
}  // namespace quorvex::crypto
