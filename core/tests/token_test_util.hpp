#pragma once

// Helpers shared by the token JSON tests and the compact form tests.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/crypto/encoding.hpp"
#include "core/crypto/keypair.hpp"
#include "core/dat/token.hpp"

namespace quorvex::dat::test_util {

using crypto::KeyPair;

inline std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline std::string b64(std::string_view text) { return crypto::base64url_encode(bytes_of(text)); }

inline KeyPair key(std::uint8_t fill) {
  std::array<std::uint8_t, crypto::kSeedLen> seed{};
  seed.fill(fill);
  return KeyPair::from_seed(seed);
}

inline DatConstraints full_constraints() {
  DatConstraints c;
  c.max_actions = 18446744073709551615ULL;
  c.allowed_servers = std::vector<std::string>{"srv"};
  c.require_receipt = false;
  c.rate_limit = RateLimit{10, 3600};
  c.ip_allowlist = std::vector<std::string>{"10.0.0.0/8", "::1"};
  c.ip_denylist = std::vector<std::string>{};
  c.min_trust_level = 255;
  c.max_delegation_depth = 4294967295U;
  c.allowed_countries = std::vector<std::string>{"US"};
  c.time_windows = std::vector<TimeWindow>{{9, 17, std::vector<std::uint8_t>{0, 4}}, {22, 6, {}}};
  c.required_config_hash = "abc";
  return c;
}

inline Dat issue(const KeyPair& signer, std::optional<DatConstraints> constraints = {}) {
  auto dat = Dat::issue("did:aid:example.com:alice", "did:aid:example.com:bot",
                        {"mcp:tool:*:read", "read"}, 1700003600, std::move(constraints), {}, signer,
                        1700000000, 1700000000123ULL);
  EXPECT_TRUE(dat.has_value());
  return std::move(*dat);
}

inline constexpr std::string_view kClaimsHead =
    R"("iss":"i","sub":"s","iat":1,"exp":2,"nbf":3,"jti":"j","scope":["a"])";

inline std::string claims_with(std::string_view members) {
  return "{" + std::string(kClaimsHead) + "," + std::string(members) + "}";
}

}  // namespace quorvex::dat::test_util
