#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/base/result.hpp"
#include "core/crypto/keypair.hpp"

namespace quorvex::receipt {

// audit_printed_log checks a log as ReceiptLog::to_json prints it, from the
// text alone: receipt i must hold sequence number i, link to the digest of
// receipt i-1 ("genesis" for the first), and carry a signature that verifies
// against the agent's public key. Returns the number of receipts when all do.
// Fails with Serialization (with line and column) when the text is not such a
// log (unknown members included), InvalidKey when the key is no point, and at
// the first bad receipt with ReceiptChainBroken (a link or sequence number) or
// InvalidReceipt "signature verification failed at sequence N".
Result<std::size_t> audit_printed_log(
    std::string_view json, std::span<const std::uint8_t, crypto::kPublicKeyLen> public_key);

}  // namespace quorvex::receipt
