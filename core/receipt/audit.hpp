#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/base/result.hpp"
#include "core/crypto/keypair.hpp"
#include "core/receipt/receipt.hpp"

namespace quorvex::receipt {

// audit_printed_log checks a log as ReceiptLog::to_json prints it, from the
// text alone: receipt i must hold sequence number i, link to the digest of
// receipt i-1 ("genesis" for the first), and carry a signature that verifies
// against the agent's public key. Returns the number of receipts when all do.
// The text must be byte for byte what to_json prints, optionally followed by
// one "\n", so that a log has one printed form.
// Fails with Serialization (with line and column) when the text is not such a
// log (unknown members included), or "printed log is not in canonical form"
// at the first byte that differs from that form; InvalidKey when the key is no
// point; and at the first bad receipt with ReceiptChainBroken (a link or
// sequence number) or InvalidReceipt "signature verification failed at
// sequence N". Long logs are checked on `threads` threads (0: one per
// processor) with the same result as on one.
Result<std::size_t> audit_printed_log(
    std::string_view json, std::span<const std::uint8_t, crypto::kPublicKeyLen> public_key,
    std::size_t threads = 0);

using crypto::PublicKey;

// SignedReceipts: receipts read back from text, at positions first_position..
// of their log, and the key each was signed with (one key for all, or one per
// receipt).
struct SignedReceipts {
  std::span<const PrintedReceipt> receipts;
  std::span<const PublicKey> keys;
  std::uint64_t first_position = 0;
};

// check_signatures verifies every receipt's signature over its signing input,
// on `threads` threads (0: one per processor), and fails as the audit does at
// the first receipt that does not verify, naming its position.
Result<void> check_signatures(const SignedReceipts& signed_receipts, std::size_t threads = 0);

}  // namespace quorvex::receipt
