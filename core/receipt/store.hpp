#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/base/result.hpp"
#include "core/crypto/keypair.hpp"
#include "core/receipt/merkle.hpp"

namespace quorvex::receipt {

// StoredRow: one receipt as a store keeps it. `json` is the receipt's compact
// JSON with its signature, the exact text of the log's Merkle leaf; the other
// members are copies of what it says, for the store's indexes, and the key
// that signed it.
struct StoredRow {
  std::string json;
  crypto::PublicKey public_key{};
  std::string agent;
  std::string dat;
  std::uint64_t unix_millis = 0;
};

// ReceiptQuery selects receipts by what they say; an absent member selects all.
// Times are inclusive bounds in Unix milliseconds. Results come in log order.
struct ReceiptQuery {
  std::optional<std::string> agent;
  std::optional<std::string> dat;
  std::optional<std::uint64_t> since_millis;
  std::optional<std::uint64_t> until_millis;
  std::optional<std::uint64_t> limit;
};

using TreeNodes = std::vector<std::pair<merkle::Node, merkle::Hash>>;

// ReceiptStore is everything a durable log needs of its storage: whole rows and
// tree nodes appended in order and read back by position. It knows nothing of
// chains or signatures; StoredLog keeps those rules. Any database that can
// hold these two sequences and give one writer at a time can serve as a store.
class ReceiptStore {
 public:
  virtual ~ReceiptStore() = default;

  // A write: begin_write waits for the store's single writer place and holds
  // it, so the size read after it stays the size until commit; commit makes
  // every row appended since durable at once; rollback drops them.
  virtual Result<void> begin_write() = 0;
  virtual Result<void> commit() = 0;
  virtual void rollback() noexcept = 0;

  // size: the number of rows; row i is entry i of the log.
  virtual Result<std::uint64_t> size() = 0;
  // append_batch adds rows at positions first.. (first being size()) and the
  // tree nodes they complete. Only inside a write; a position already taken
  // fails.
  virtual Result<void> append_batch(std::uint64_t first, std::span<const StoredRow> rows,
                                    const TreeNodes& nodes) = 0;
  // read_range: rows [first, first + count), fewer where the store ends.
  virtual Result<std::vector<StoredRow>> read_range(std::uint64_t first, std::size_t count) = 0;
  // read_nodes: a merkle::NodeReader over the stored nodes.
  virtual Result<void> read_nodes(std::span<const merkle::Node> nodes,
                                  std::span<merkle::Hash> out) = 0;
  // find: the positions and texts of the rows a query selects.
  virtual Result<std::vector<std::pair<std::uint64_t, std::string>>> find(
      const ReceiptQuery& query) = 0;
};

// open_sqlite_store opens, or creates, the SQLite receipt store at `path`.
// Fails with Other naming the path when the file is not a receipt store, is of
// a newer layout than this build reads, or cannot be opened.
Result<std::unique_ptr<ReceiptStore>> open_sqlite_store(const std::string& path);

}  // namespace quorvex::receipt
