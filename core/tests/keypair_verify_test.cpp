#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "core/base/error.hpp"
#include "core/crypto/keypair.hpp"
#include "core/tests/keypair_test_util.hpp"

namespace quorvex::crypto {
namespace {

using test_util::Bytes;
using test_util::hex;
using test_util::kCannotDecompress;
using test_util::key_of;
using test_util::read_file;
using test_util::seed_of;
using test_util::verdict;

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
