#pragma once

// Helpers shared by the receipt and receipt log tests and the printed-log audit tests.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/base/clock.hpp"
#include "core/crypto/digest.hpp"
#include "core/crypto/keypair.hpp"
#include "core/crypto/ulid.hpp"
#include "core/receipt/receipt.hpp"

namespace quorvex::receipt::test_util {

using crypto::KeyPair;

inline crypto::ByteView bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline SharedText text(std::string_view value) {
  return std::make_shared<const std::string>(value);
}

inline KeyPair key() {
  std::array<std::uint8_t, crypto::kSeedLen> seed{};
  seed.fill(7);
  return KeyPair::from_seed(seed);
}

// A receipt with every member fixed, so its JSON can be compared whole.
inline Receipt fixed_receipt() {
  Receipt r;
  r.body.id = crypto::Ulid{0x0192'0000'0000'0001ULL, 2};
  r.body.timestamp = Instant{1767605400, 250'000'000};  // 2026-01-05T09:30:00.250Z
  r.body.agent = text("did:aid:a.b:agent");
  r.body.dat = text("dat_1");
  r.body.action.type = text("mcp:tool-call");
  r.body.action.input_hash = Digest{crypto::blake3({})};
  r.body.action.status = text("success");
  r.body.chain = ReceiptChain{ChainLink{}, 0};
  return r;
}

// Every receipt built here is made at this instant: 2026-01-05T09:30:00.250Z.
inline constexpr Instant kNow{1767605400, 250'000'000};

}  // namespace quorvex::receipt::test_util
