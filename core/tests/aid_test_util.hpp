#pragma once

// Helpers shared by the AID document tests and the identity store tests.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/aid/document.hpp"
#include "core/aid/document_json.hpp"
#include "core/base/clock.hpp"
#include "core/base/error.hpp"
#include "core/base/result.hpp"
#include "core/crypto/keypair.hpp"

namespace quorvex::aid::test_util {

using crypto::KeyPair;

inline constexpr Instant kCreated{1767605400, 123456700};  // 2026-01-05T09:30:00.1234567Z

inline KeyPair key(std::uint8_t fill) {
  std::array<std::uint8_t, crypto::kSeedLen> seed{};
  seed.fill(fill);
  return KeyPair::from_seed(seed);
}

template <typename T>
void expect_error(const Result<T>& result, ErrorKind kind, std::string_view display) {
  ASSERT_FALSE(result.has_value()) << display;
  EXPECT_EQ(result.error().kind(), kind);
  EXPECT_EQ(result.error().display(), display);
}

inline std::string to_json(const AidDocument& document) {
  auto text = document_to_json(document);
  EXPECT_TRUE(text.has_value());
  return text ? *text : std::string();
}

}  // namespace quorvex::aid::test_util
