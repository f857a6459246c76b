#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/base/result.hpp"
#include "core/receipt/receipt.hpp"

namespace quorvex::receipt {

// verify_chain walks receipts front to back: receipt i must hold sequence
// number i and link to the digest of receipt i-1 ("genesis" for the first).
// Fails with ReceiptChainBroken carrying the first position that does not.
// Signatures are not checked. Works on any sequence with size() and [].
template <typename Receipts>
Result<void> verify_chain(const Receipts& receipts) {
  // Receipts are digested a batch at a time, which lets the hash run on several at once.
  constexpr std::size_t kBatch = 64;
  std::array<const Receipt*, kBatch> batch{};
  std::array<Digest, kBatch> digests{};
  ChainLink expected;
  for (std::size_t start = 0; start < receipts.size(); start += kBatch) {
    const std::size_t count = std::min(kBatch, receipts.size() - start);
    for (std::size_t k = 0; k < count; ++k) batch[k] = &receipts[start + k];
    compute_hashes(std::span(batch.data(), count), std::span(digests.data(), count));
    for (std::size_t k = 0; k < count; ++k) {
      const ReceiptChain& chain = batch[k]->body.chain;
      if (chain.sequence_number != start + k || chain.previous_hash != expected) {
        return fail(CoreError::receipt_chain_broken(start + k));
      }
      expected.digest = digests[k];
    }
  }
  return ok();
}

// ReceiptLog is an append-only chain of signed receipts held in memory. Where
// the chain ends is derived from the last receipt each time, never stored.
class ReceiptLog {
 public:
  // append builds, signs and adds the receipt of one action. On failure (a
  // text that is not UTF-8) the log is unchanged.
  Result<void> append(const ActionInput& action, const crypto::KeyPair& signing_key);

  Result<void> verify_integrity() const { return verify_chain(*this); }
  // last_hash: "genesis" when empty, else the digest text of the last receipt.
  std::string last_hash() const;
  std::uint64_t next_sequence() const;
  std::size_t size() const noexcept { return size_; }
  const Receipt& operator[](std::size_t i) const { return chunks_[i / kChunk][i % kChunk]; }

  // to_json: the receipts as one pretty JSON array; "[]" when empty.
  Result<std::string> to_json() const;
  // repr_text: "ReceiptLog(entries=N, last_hash='...')".
  std::string repr_text() const;

 private:
  // Receipts live in fixed chunks, so growing the log never moves them and
  // never needs twice its memory at once.
  static constexpr std::size_t kChunk = 4096;
  const Receipt* last() const { return size_ == 0 ? nullptr : &(*this)[size_ - 1]; }

  std::vector<std::vector<Receipt>> chunks_;
  std::size_t size_ = 0;
};

}  // namespace quorvex::receipt
