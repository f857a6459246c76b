#include "core/crypto/keypair.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "core/base/error.hpp"
#include "core/tests/keypair_test_util.hpp"

namespace quorvex::crypto {
namespace {

using test_util::Bytes;
using test_util::hex;
using test_util::kBadLength;
using test_util::kEquation;
using test_util::key_of;
using test_util::read_file;
using test_util::seed_of;
using test_util::verdict;

Bytes bytes_of(const Signature& signature) { return {signature.begin(), signature.end()}; }

struct RfcVector {
  const char* seed;
  const char* public_key;
  const char* signature;
};

// The RFC 8032 section 7.1 vectors TEST 1, 2 and 3; TEST 1024 is checked separately because
// its 1023-byte message is taken from sign.input.
void check_rfc_vector(const RfcVector& vector, const Bytes& message) {
  const Bytes seed = hex(vector.seed);
  const KeyPair pair = KeyPair::from_seed(seed_of(seed));
  EXPECT_EQ(pair.public_key_bytes(), key_of(hex(vector.public_key)));
  const Signature first = pair.sign(message);
  EXPECT_EQ(bytes_of(first), hex(vector.signature));
  EXPECT_EQ(first, pair.sign(message));
  EXPECT_TRUE(pair.verify(message, first));
  EXPECT_EQ(verdict(pair.public_key_bytes(), message, bytes_of(first)), "valid");
}

constexpr RfcVector kRfcTest1 = {
    "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
    "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a",
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
    "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"};
constexpr RfcVector kRfcTest2 = {
    "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
    "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c",
    "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
    "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"};
constexpr RfcVector kRfcTest3 = {
    "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
    "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025",
    "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac"
    "18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"};
constexpr RfcVector kRfcTest1024 = {
    "f5e5767cf153319517630f226876b86c8160cc583bc013744c6bf255f5cc0ee5",
    "278117fc144c72340f67d0f2316e8386ceffbf2b2428c9c51fef7c597f1d426e",
    "0aab4c900501b3e24d7cdf4663326a3a87df5e4843b2cbdb67cbf6e460fec350"
    "aa5371b1508f9f4528ecea23c436d94b5e8fcd4f681e30a6ac00a9704a188a03"};

std::vector<std::vector<std::string>> sign_input_lines() {
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(read_file("sign.input"));
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::istringstream fields_in(line);
    for (std::string field; std::getline(fields_in, field, ':');) fields.push_back(field);
    lines.push_back(fields);
  }
  return lines;
}

TEST(KeyPairTest, Rfc8032Vectors) {
  check_rfc_vector(kRfcTest1, {});
  check_rfc_vector(kRfcTest2, hex("72"));
  check_rfc_vector(kRfcTest3, hex("af82"));
  const auto lines = sign_input_lines();
  ASSERT_EQ(lines.size(), 1024u);
  const Bytes message = hex(lines[1023].at(2));
  ASSERT_EQ(message.size(), 1023u);
  ASSERT_EQ(message[0], 0x08);
  check_rfc_vector(kRfcTest1024, message);
}

// Each line: seed and public key, public key, message, signature and message.
TEST(KeyPairTest, SignInputLinesSignAndVerify) {
  const auto lines = sign_input_lines();
  ASSERT_EQ(lines.size(), 1024u);
  for (std::size_t n = 0; n < lines.size(); ++n) {
    SCOPED_TRACE("line " + std::to_string(n));
    ASSERT_EQ(lines[n].size(), 4u);
    const Bytes secret = hex(lines[n][0]);
    const Bytes message = hex(lines[n][2]);
    ASSERT_EQ(message.size(), n);
    const KeyPair pair = KeyPair::from_seed(seed_of(Bytes(secret.begin(), secret.begin() + 32)));
    EXPECT_EQ(pair.public_key_bytes(), key_of(hex(lines[n][1])));
    const Signature signature = pair.sign(message);
    const Bytes signed_message = hex(lines[n][3]);
    EXPECT_EQ(bytes_of(signature), Bytes(signed_message.begin(), signed_message.begin() + 64));
    EXPECT_TRUE(pair.verify(message, signature));
  }
}

TEST(KeyPairTest, GenerateGivesFreshKeysThatRoundTripTheirSeed) {
  const KeyPair first = KeyPair::generate();
  const KeyPair second = KeyPair::generate();
  EXPECT_NE(first.public_key_bytes(), second.public_key_bytes());
  const Bytes message = {'h', 'i'};
  const Signature signature = first.sign(message);
  EXPECT_TRUE(first.verify(message, signature));
  const Result<void> other = second.verify(message, signature);
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().kind(), ErrorKind::VerificationFailed);
  EXPECT_EQ(other.error().text(), kEquation);
  const KeyPair restored = KeyPair::from_seed(first.seed());
  EXPECT_EQ(restored.public_key_bytes(), first.public_key_bytes());
  EXPECT_EQ(restored.sign(message), signature);
}

class SignedMessageTest : public ::testing::Test {
 protected:
  const Bytes seed_ = hex(kRfcTest3.seed);
  const KeyPair pair_ = KeyPair::from_seed(seed_of(seed_));
  const Bytes message_ = hex("af82");
  const Bytes signature_ = bytes_of(pair_.sign(message_));
};

TEST_F(SignedMessageTest, SignatureOf63Or65BytesHasBadLength) {
  Bytes longer = signature_;
  longer.push_back(0);
  for (const Bytes& signature :
       {Bytes(signature_.begin(), signature_.end() - 1), longer, Bytes{}}) {
    const Result<void> result = pair_.verify(message_, signature);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ErrorKind::VerificationFailed);
    EXPECT_EQ(result.error().text(), kBadLength);
  }
}

// S + L is the same scalar mod L, so only the canonical-S rule refuses it.
TEST_F(SignedMessageTest, ScalarNotBelowTheGroupOrderIsRefused) {
  const Bytes order = hex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  Bytes shifted = signature_;
  unsigned carry = 0;
  for (std::size_t i = 0; i < 32; ++i) {
    const unsigned sum = shifted[32 + i] + order[i] + carry;
    shifted[32 + i] = static_cast<std::uint8_t>(sum);
    carry = sum >> 8;
  }
  EXPECT_EQ(verdict(pair_.public_key_bytes(), message_, shifted, &pair_), "high_bit");
  Bytes top_bit = signature_;
  top_bit[63] |= 0x80;
  EXPECT_EQ(verdict(pair_.public_key_bytes(), message_, top_bit, &pair_), "high_bit");
  Bytes exactly_l = signature_;
  std::copy(order.begin(), order.end(), exactly_l.begin() + 32);
  EXPECT_EQ(verdict(pair_.public_key_bytes(), message_, exactly_l, &pair_), "high_bit");
  exactly_l[32] -= 1;  // L - 1 is canonical
  EXPECT_EQ(verdict(pair_.public_key_bytes(), message_, exactly_l, &pair_), "equation");
}

TEST_F(SignedMessageTest, FlippingAnyBitOfMessageOrRFailsTheEquation) {
  for (std::size_t bit = 0; bit < message_.size() * 8; ++bit) {
    Bytes message = message_;
    message[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_EQ(verdict(pair_.public_key_bytes(), message, signature_, &pair_), "equation") << bit;
  }
  for (std::size_t bit = 0; bit < 256; ++bit) {
    Bytes signature = signature_;
    signature[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    const Result<void> result = pair_.verify(message_, signature);
    ASSERT_FALSE(result) << bit;
    EXPECT_EQ(result.error().kind(), ErrorKind::VerificationFailed);
    EXPECT_EQ(result.error().text(), kEquation) << bit;
  }
}

}  // namespace
}  // namespace quorvex::crypto
