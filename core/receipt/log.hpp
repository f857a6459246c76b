#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/base/clock.hpp"
#include "core/base/error.hpp"
#include "core/base/result.hpp"
#include "core/receipt/merkle.hpp"
#include "core/receipt/receipt.hpp"
#include "core/receipt/store.hpp"

namespace quorvex::receipt {

// ChainBreak: the first position where a chain fails, and the error to report.
struct ChainBreak {
  std::size_t position = 0;
  CoreError error;
};

// ChainCursor: where a check of a chain stands, the position of the next
// receipt and the digest it must link to (none: "genesis").
struct ChainCursor {
  std::uint64_t position = 0;
  std::optional<Digest> expected;
};

// find_chain_break is the chain rule, for the log's receipts, a printed log's
// and a store's alike. It walks receipts front to back from `cursor`: the
// receipt at position p must hold sequence number p and link to the digest of
// the receipt before ("genesis" for the first). Finds the first position that
// does not (ReceiptChainBroken), or whose compact form cannot be written to
// digest it (its error); otherwise leaves the cursor after the last receipt, so
// a long chain can be checked a part at a time. Signatures are not checked.
// Works on any sequence with size() and [] of either receipt form.
template <typename Receipts>
std::optional<ChainBreak> find_chain_break(const Receipts& receipts, ChainCursor& cursor) {
  using R = std::remove_cvref_t<decltype(receipts[0])>;
  // Receipts are digested a batch at a time, which lets the hash run on several at once.
  constexpr std::size_t kBatch = 64;
  std::array<const R*, kBatch> batch{};
  std::array<Digest, kBatch> digests{};
  for (std::size_t start = 0; start < receipts.size(); start += kBatch) {
    const std::size_t count = std::min(kBatch, receipts.size() - start);
    for (std::size_t k = 0; k < count; ++k) batch[k] = &receipts[start + k];
    DigestRun run = digest_each(std::span<const R* const>(batch.data(), count),
                                std::span(digests.data(), count));
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint64_t position = cursor.position;
      const auto& chain = chain_of(*batch[k]);
      if (chain.sequence_number != position || !links_to(chain.previous_hash, cursor.expected)) {
        return ChainBreak{position, CoreError::receipt_chain_broken(position)};
      }
      if (k == run.written) return ChainBreak{position, std::move(*run.failure)};
      cursor.expected = digests[k];
      ++cursor.position;
    }
  }
  return std::nullopt;
}

template <typename Receipts>
std::optional<ChainBreak> find_chain_break(const Receipts& receipts) {
  ChainCursor cursor;
  return find_chain_break(receipts, cursor);
}

// verify_chain: find_chain_break's error, if there is a break.
template <typename Receipts>
Result<void> verify_chain(const Receipts& receipts) {
  if (auto broken = find_chain_break(receipts)) return fail(std::move(broken->error));
  return ok();
}

// ReceiptLog is an append-only chain of signed receipts held in memory. Where
// the chain ends is derived from the last receipt each time, never stored.
class ReceiptLog {
 public:
  // append builds, signs and adds the receipt of one action, made at `now`. On
  // failure (a text that is not UTF-8) the log is unchanged.
  Result<void> append(const ActionInput& action, const crypto::KeyPair& signing_key, Instant now);

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

  // query: the positions and signed_json of the receipts `query` selects.
  std::vector<std::pair<std::uint64_t, std::string>> query(const ReceiptQuery& query) const;

  // The log's Merkle tree, whose leaves are the receipts' signed_json.
  const merkle::MemoryTree& tree() const noexcept { return tree_; }

 private:
  // Receipts live in fixed chunks, so growing the log never moves them and
  // never needs twice its memory at once.
  static constexpr std::size_t kChunk = 4096;
  const Receipt* last() const { return size_ == 0 ? nullptr : &(*this)[size_ - 1]; }

  std::vector<std::vector<Receipt>> chunks_;
  std::size_t size_ = 0;
  merkle::MemoryTree tree_;
};

}  // namespace quorvex::receipt
