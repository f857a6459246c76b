#pragma once

// Helpers shared by the key pair tests and the verification tests.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "core/base/error.hpp"
#include "core/crypto/keypair.hpp"

namespace quorvex::crypto::test_util {

using Bytes = std::vector<std::uint8_t>;

inline constexpr const char* kCannotDecompress = "signature error: Cannot decompress Edwards point";
inline constexpr const char* kBadLength = "invalid signature length";
inline constexpr const char* kHighBit = "signature error: Cannot use scalar with high-bit set";
inline constexpr const char* kEquation = "signature error: Verification equation was not satisfied";

inline Bytes hex(const std::string& text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline PublicKey key_of(const Bytes& bytes) {
  PublicKey key{};
  EXPECT_EQ(bytes.size(), key.size());
  for (std::size_t i = 0; i < key.size() && i < bytes.size(); ++i) key[i] = bytes[i];
  return key;
}

inline std::span<const std::uint8_t, kSeedLen> seed_of(const Bytes& bytes) {
  EXPECT_EQ(bytes.size(), kSeedLen);
  return std::span<const std::uint8_t, kSeedLen>(bytes.data(), kSeedLen);
}

inline std::string read_file(const std::string& name) {
  std::ifstream in(std::string(QUORVEX_VECTORS_DIR) + "/" + name);
  EXPECT_TRUE(in.good()) << name;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// verdict runs both verification paths (and the key pair's own, when given), requires them to
// agree and names the outcome the way verdicts.json does; a failure with an unexpected kind or
// text gets its own name.
inline std::string verdict(const PublicKey& key, const Bytes& message, const Bytes& signature,
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

}  // namespace quorvex::crypto::test_util
