#include "core/crypto/keypair.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/base/error.hpp"

namespace quorvex::crypto {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr const char* kCannotDecompress = "signature error: Cannot decompress Edwards point";
constexpr const char* kBadLength = "invalid signature length";
constexpr const char* kHighBit = "signature error: Cannot use scalar with high-bit set";
constexpr const char* kEquation = "signature error: Verification equation was not satisfied";

Bytes hex(const std::string& text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

PublicKey key_of(const Bytes& bytes) {
  PublicKey key{};
  EXPECT_EQ(bytes.size(), key.size());
  for (std::size_t i = 0; i < key.size() && i < bytes.size(); ++i) key[i] = bytes[i];
  return key;
}

std::span<const std::uint8_t, kSeedLen> seed_of(const Bytes& bytes) {
  EXPECT_EQ(bytes.size(), kSeedLen);
  return std::span<const std::uint8_t, kSeedLen>(bytes.data(), kSeedLen);
}

Bytes bytes_of(const Signature& signature) { return {signature.begin(), signature.end()}; }

std::string read_file(const std::string& name) {
  std::ifstream in(std::string(QUORVEX_VECTORS_DIR) + "/" + name);
  EXPECT_TRUE(in.good()) << name;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// verdict runs both verification paths (and the key pair's own, when given), requires them to
// agree and names the outcome the way verdicts.json does; a failure with an unexpected kind or
// text gets its own name.
std::string verdict(const PublicKey& key, const Bytes& message, const Bytes& signature,
                    const KeyPair* pair = nullptr) {
  const auto name = [](const Result<void>& result) -> std::string {
    if (result) return "valid";
    const CoreError& error = result.error();
    if (error.kind() == ErrorKind::InvalidKey && error.text() == kCannotDecompress) {
      return "invalid_key";
    }
    if (error.kind() == ErrorKind::VerificationFailed) {
      if (error.text() == kBadLength) return "bad_length";
      if (error.text() == kHighBit) return "high_bit";
      if (error.text() == kEquation) return "equation";
    }
    return "unexpected: " + error.text();
  };
  const std::string exact = name(verify_exact(key, message, signature));
  std::string fast = name(KeyPair::verify_signature(key, message, signature));
  EXPECT_EQ(exact, fast);
  if (pair != nullptr) {
    EXPECT_EQ(pair->public_key_bytes(), key);
    EXPECT_EQ(name(pair->verify(message, signature)), fast);
  }
  return fast;
}

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

// Every published vector, both verification paths, against the verdict of our rules. Entries
// that carry their seed are also checked through the key pair.
TEST(VerifyTest, PublishedVectorsMatchTheirVerdicts) {
  const nlohmann::json data = nlohmann::json::parse(read_file("verdicts.json"));
  const nlohmann::json& vectors = data.at("vectors");
  ASSERT_EQ(vectors.size(), 1222u);
  std::map<std::string, int> counts;
  for (const nlohmann::json& vector : vectors) {
    SCOPED_TRACE(vector.at("source").get<std::string>() + " " + vector.at("id").dump());
    const PublicKey key = key_of(hex(vector.at("pk").get<std::string>()));
    const Bytes message = hex(vector.at("msg").get<std::string>());
    const Bytes signature = hex(vector.at("sig").get<std::string>());
    const std::string expected = vector.at("verdict").get<std::string>();
    ++counts[expected];
    if (vector.contains("sk")) {
      const KeyPair pair = KeyPair::from_seed(seed_of(hex(vector.at("sk").get<std::string>())));
      EXPECT_EQ(verdict(key, message, signature, &pair), expected);
    } else {
      EXPECT_EQ(verdict(key, message, signature), expected);
    }
  }
  EXPECT_EQ(counts["valid"], 385);
  EXPECT_EQ(counts["bad_length"], 24);
  EXPECT_EQ(counts["high_bit"], 35);
  EXPECT_EQ(counts["equation"], 778);
}

constexpr PublicKey kIdentity = {0x01};

Bytes identity_signature() {
  Bytes signature(64, 0);
  signature[0] = 0x01;  // R is the identity's encoding, S is 0
  return signature;
}

TEST(VerifyTest, IdentityKeyAcceptsIdentitySignatureForAnyMessage) {
  for (const Bytes& message : {Bytes{}, Bytes{'a'}, Bytes(1000, 0x5a)}) {
    EXPECT_EQ(verdict(kIdentity, message, identity_signature()), "valid");
  }
}

// y >= p is taken mod p, and x = 0 keeps a set sign bit: all of these are the identity.
TEST(VerifyTest, NonCanonicalKeysDecode) {
  const char* encodings[] = {
      "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // y = p + 1
      "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",  // and the sign bit
      "0100000000000000000000000000000000000000000000000000000000000080",  // x = 0, sign bit set
  };
  for (const char* encoding : encodings) {
    SCOPED_TRACE(encoding);
    const PublicKey key = key_of(hex(encoding));
    EXPECT_EQ(verdict(key, {'m'}, identity_signature()), "valid");
    Bytes other_r = identity_signature();
    other_r[31] = 0x80;  // the identity again, but not its canonical encoding
    EXPECT_EQ(verdict(key, {'m'}, other_r), "equation");
  }
}

// y = 2 gives x^2 = 3 / (4d + 1), which is no square mod p.
TEST(VerifyTest, NonPointKeyIsRefusedWhateverTheSignatureLength) {
  const PublicKey key = {0x02};
  for (std::size_t length : {0u, 63u, 64u, 65u}) {
    SCOPED_TRACE(length);
    const Result<void> result = KeyPair::verify_signature(key, {}, Bytes(length, 0));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ErrorKind::InvalidKey);
    EXPECT_EQ(result.error().text(), kCannotDecompress);
    EXPECT_EQ(verdict(key, {}, Bytes(length, 0)), "invalid_key");
  }
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

// The signature library's own decoding is lenient too: adding the base point fails exactly for
// bytes that are no point encoding.
PublicKey base_point() {
  PublicKey point{};
  const std::array<std::uint8_t, 32> one = {1};
  EXPECT_EQ(crypto_scalarmult_ed25519_base_noclamp(point.data(), one.data()), 0);
  return point;
}

bool library_decodes(const PublicKey& encoding) {
  PublicKey sum{};
  return crypto_core_ed25519_add(sum.data(), encoding.data(), base_point().data()) == 0;
}

// k = SHA-512(R || A || M) mod L.
std::array<std::uint8_t, 32> challenge(const PublicKey& r, const PublicKey& key,
                                       const Bytes& message) {
  crypto_hash_sha512_state state;
  crypto_hash_sha512_init(&state);
  crypto_hash_sha512_update(&state, r.data(), r.size());
  crypto_hash_sha512_update(&state, key.data(), key.size());
  crypto_hash_sha512_update(&state, message.data(), message.size());
  std::array<std::uint8_t, 64> hash{};
  crypto_hash_sha512_final(&state, hash.data());
  std::array<std::uint8_t, 32> k{};
  crypto_core_ed25519_scalar_reduce(k.data(), hash.data());
  return k;
}

// A message, found by counting, whose k is `residue` modulo 8.
Bytes message_with_k(const PublicKey& r, const PublicKey& key, unsigned residue) {
  for (std::uint8_t n = 0;; ++n) {
    Bytes message = {'m', n};
    if ((challenge(r, key, message)[0] & 7U) == residue) return message;
  }
}

// A point of order 8 (its y is the first order-8 y of the small-order list); the eight small-order
// points are its multiples.
std::vector<PublicKey> small_order_points() {
  std::vector<PublicKey> points = {kIdentity, key_of(hex("26e8958fc2b227b045c3f489f2ef98f0"
                                                         "d5dfac05d3c63339b13802886d53fc05"))};
  while (points.size() < 8) {
    PublicKey next{};
    EXPECT_EQ(crypto_core_ed25519_add(next.data(), points.back().data(), points[1].data()), 0);
    points.push_back(next);
  }
  return points;
}

struct Encoding {
  PublicKey bytes;
  std::size_t multiple;  // of the order-8 point
  bool canonical;
};

// Each small-order point written canonically, with the other sign bit where x = 0, and as y + p
// where y < 19: fourteen encodings.
std::vector<Encoding> small_order_encodings() {
  const PublicKey p =
      key_of(hex("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"));
  std::vector<Encoding> out;
  const std::vector<PublicKey> points = small_order_points();
  for (std::size_t j = 0; j < points.size(); ++j) {
    const PublicKey& point = points[j];
    out.push_back({point, j, true});
    const bool x_is_zero = j % 4 == 0;
    if (x_is_zero) out.push_back({point, j, false});
    out.back().bytes[31] ^= x_is_zero ? 0x80 : 0;
    if (point[0] < 19 &&
        std::all_of(point.begin() + 1, point.end() - 1, [](auto b) { return b == 0; })) {
      PublicKey above = p;
      above[0] = static_cast<std::uint8_t>(p[0] + point[0]);
      above[31] |= point[31] & 0x80;
      out.push_back({above, j, false});
      if (x_is_zero) out.push_back({above, j, false});
      out.back().bytes[31] ^= x_is_zero ? 0x80 : 0;
    }
  }
  return out;
}

// The library refuses small-order and non-canonical encodings of the key and of R; our rules
// accept them where the equation holds, so each of them must still reach its exact verdict.
TEST(VerifyTest, SmallOrderEncodingsKeepTheirVerdicts) {
  const std::vector<Encoding> encodings = small_order_encodings();
  ASSERT_EQ(encodings.size(), 14u);
  const Bytes seed(32, 0x42);
  const KeyPair pair = KeyPair::from_seed(seed_of(seed));
  std::array<std::uint8_t, 64> expanded{};
  crypto_hash_sha512(expanded.data(), seed.data(), seed.size());
  expanded[0] &= 248;
  expanded[31] = static_cast<std::uint8_t>((expanded[31] & 127) | 64);
  std::fill(expanded.begin() + 32, expanded.end(), 0);
  std::array<std::uint8_t, 32> secret{};  // a mod L
  crypto_core_ed25519_scalar_reduce(secret.data(), expanded.data());

  // S = k a + x mod L
  const auto scalar_for = [&](const PublicKey& r, const PublicKey& key, const Bytes& message,
                              std::uint8_t x) {
    const std::array<std::uint8_t, 32> k = challenge(r, key, message);
    std::array<std::uint8_t, 32> ka{}, s{};
    crypto_core_ed25519_scalar_mul(ka.data(), k.data(), secret.data());
    const std::array<std::uint8_t, 32> shift = {x};
    crypto_core_ed25519_scalar_add(s.data(), ka.data(), shift.data());
    return s;
  };
  const auto signature_of = [](const PublicKey& r, const std::array<std::uint8_t, 32>& s) {
    Bytes out(64);
    std::copy(r.begin(), r.end(), out.begin());
    std::copy(s.begin(), s.end(), out.begin() + 32);
    return out;
  };
  PublicKey five_b{};  // R = [5]B, of prime order
  const std::array<std::uint8_t, 32> five = {5};
  ASSERT_EQ(crypto_scalarmult_ed25519_base_noclamp(five_b.data(), five.data()), 0);
  const std::array<std::uint8_t, 32> s_five = five;

  for (const Encoding& e : encodings) {
    SCOPED_TRACE(::testing::PrintToString(e.bytes));
    // As the key: with k a multiple of 8, [k]A vanishes and R = [S]B holds.
    const Bytes message = message_with_k(five_b, e.bytes, 0);
    EXPECT_EQ(verdict(e.bytes, message, signature_of(five_b, s_five)), "valid");
    // As R, under a key with an order-8 part T: with S = k a, [S]B - [k]A = -[k]T.
    PublicKey mixed{};
    ASSERT_EQ(crypto_core_ed25519_add(mixed.data(), pair.public_key_bytes().data(),
                                      small_order_points()[1].data()),
              0);
    const Bytes r_message =
        message_with_k(e.bytes, mixed, static_cast<unsigned>((8 - e.multiple) % 8));
    const auto s = scalar_for(e.bytes, mixed, r_message, 0);
    EXPECT_EQ(verdict(mixed, r_message, signature_of(e.bytes, s)),
              e.canonical ? "valid" : "equation");
  }

  // A key with an order-8 part and an ordinary R: the library decides, as our rules do.
  PublicKey mixed{};
  ASSERT_EQ(crypto_core_ed25519_add(mixed.data(), pair.public_key_bytes().data(),
                                    small_order_points()[1].data()),
            0);
  for (unsigned residue : {0u, 3u}) {
    const Bytes message = message_with_k(five_b, mixed, residue);
    const auto s = scalar_for(five_b, mixed, message, 5);
    EXPECT_EQ(verdict(mixed, message, signature_of(five_b, s)),
              residue == 0 ? "valid" : "equation");
  }
}

// Every y of p or more, y from 0 and up to p - 1 and down, the small-order points in all their
// encodings, and random keys in pairs one bit apart: refused as no point exactly where the
// library's decoding fails, whether the signature is refused for its length or by the library's
// equation.
TEST(VerifyTest, PointCheckMatchesTheLibrarysDecoding) {
  std::vector<PublicKey> keys;
  for (unsigned low = 0xed; low <= 0xff; ++low) {
    PublicKey key{};
    key.fill(0xff);
    key[0] = static_cast<std::uint8_t>(low);
    keys.push_back(key);
    key[31] = 0x7f;
    keys.push_back(key);
  }
  for (unsigned low = 0; low < 64; ++low) {
    for (std::uint8_t sign : {0x00, 0x80}) {
      PublicKey small{};  // y = low
      small[0] = static_cast<std::uint8_t>(low);
      small[31] = sign;
      keys.push_back(small);
      PublicKey below_p{};  // y = p - 1 - low
      below_p.fill(0xff);
      below_p[0] = static_cast<std::uint8_t>(0xec - low);
      below_p[31] = static_cast<std::uint8_t>(0x7f | sign);
      keys.push_back(below_p);
    }
  }
  for (const Encoding& e : small_order_encodings()) keys.push_back(e.bytes);
  std::mt19937 rng(99);
  for (int i = 0; i < 1000; ++i) {
    PublicKey key{};
    for (auto& byte : key) byte = static_cast<std::uint8_t>(rng());
    keys.push_back(key);
    key[31] ^= 0x01;  // right after it, a key differing only in its last byte
    keys.push_back(key);
  }
  const PublicKey base = base_point();  // R = B, S = 1
  Bytes signature(base.begin(), base.end());
  signature.resize(64);
  signature[32] = 1;
  int points = 0;
  for (std::size_t index = 0; index < keys.size(); ++index) {
    const PublicKey& key = keys[index];
    SCOPED_TRACE(::testing::PrintToString(key));
    const bool decodes = library_decodes(key);
    EXPECT_EQ(verdict(key, {'m'}, {}), decodes ? "bad_length" : "invalid_key");
    if (keys.size() - index <= 2000) {  // random keys: decided by the library's equation
      points += decodes ? 1 : 0;
      EXPECT_EQ(verdict(key, {'m'}, signature), decodes ? "equation" : "invalid_key");
    }
  }
  EXPECT_GT(points, 900);
  EXPECT_LT(points, 1100);
}

}  // namespace
}  // namespace quorvex::crypto
