#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/base/clock.hpp"
#include "core/base/result.hpp"
#include "core/crypto/keypair.hpp"
#include "core/receipt/log.hpp"
#include "core/receipt/merkle.hpp"
#include "core/receipt/receipt.hpp"
#include "core/receipt/store.hpp"

namespace quorvex::receipt {

// StoredLog is a receipt log kept in a ReceiptStore: the same chain and tree as
// ReceiptLog, read from the store whenever asked, so several logs (in several
// threads or processes) may append to one store and each sees the others'
// receipts. Its methods may be called from any thread.
class StoredLog {
 public:
  explicit StoredLog(std::unique_ptr<ReceiptStore> store) : store_(std::move(store)) {}
  // A group still open when its log dies is committed: its receipts record
  // actions already taken.
  ~StoredLog();
  StoredLog(const StoredLog&) = delete;
  StoredLog& operator=(const StoredLog&) = delete;
  StoredLog(StoredLog&&) = delete;
  StoredLog& operator=(StoredLog&&) = delete;

  // open: a log in the SQLite store at `path`, created if absent.
  static Result<std::unique_ptr<StoredLog>> open(const std::string& path);

  // append builds, signs and stores the receipt of one action, linked to the
  // store's last receipt in the same write. Outside a group it is durable when
  // it returns; inside one, when the group ends. On failure nothing is stored.
  Result<void> append(const ActionInput& action, const crypto::KeyPair& signing_key, Instant now);

  // A group makes every append between begin_group and end_group one write,
  // committed by the outermost end_group (groups nest). The store's writer
  // place is held meanwhile: other processes' appends wait for it.
  Result<void> begin_group();
  Result<void> end_group();

  Result<std::uint64_t> size();
  // last_hash: "genesis" when empty, else the digest text of the last receipt.
  Result<std::string> last_hash();
  Result<std::uint64_t> next_sequence();
  // repr_text: "ReceiptLog(entries=N, last_hash='...')".
  Result<std::string> repr_text();

  // verify_integrity checks every stored receipt from the first: each row's
  // text is its receipt's compact form, the chain links as ReceiptLog's do,
  // each signature verifies with the key stored beside it, and every stored
  // tree node is the hash of the receipts below it. Fails at the first fault
  // with its position. Signatures are checked on `threads` threads (0: all).
  Result<std::uint64_t> verify_integrity(std::size_t threads = 0);

  // to_json: the receipts printed as ReceiptLog::to_json prints its own.
  Result<std::string> to_json();

  // receipt_json: receipt `index`'s signed_json as stored; none past the end.
  Result<std::optional<std::string>> receipt_json(std::uint64_t index);
  Result<std::vector<std::pair<std::uint64_t, std::string>>> query(const ReceiptQuery& query);

  // node_reader reads the store's tree nodes, for merkle's roots and proofs
  // (their arguments within the log as check_tree_range requires). Not for use
  // inside another of this log's calls.
  merkle::NodeReader node_reader();

 private:
  // Tail: where the chain ends, read inside a write.
  struct Tail {
    std::uint64_t size = 0;
    std::optional<Digest> digest;
  };
  Result<Tail> read_tail();
  Result<void> append_in_write(const ActionInput& action, const crypto::KeyPair& signing_key,
                               Instant now);
  Result<std::string> last_hash_locked();
  merkle::NodeReader reader();  // for calls that hold the mutex
  // check_tree_part compares the stored nodes that rows (at positions first..)
  // complete with those their leaves give, carrying the last complete node of
  // each level from part to part in frontier.
  std::optional<Failure> check_tree_part(const std::vector<StoredRow>& rows, std::uint64_t first,
                                         std::vector<merkle::Hash>& frontier);

  std::mutex mutex_;
  std::unique_ptr<ReceiptStore> store_;
  std::size_t group_depth_ = 0;
  std::optional<Tail> group_tail_;  // the chain's end while a group holds the write
};

// check_tree_range is the rule for a proof's or a root's arguments against a
// log of log_size receipts, in-memory or stored: Inclusion(index, size) needs
// index < size <= log_size; Consistency(old_size, new_size) needs old_size <=
// new_size <= log_size; Root(0, size) needs size <= log_size. Fails with Other
// naming the value that is out of range.
enum class TreeRange { Root, Inclusion, Consistency };
Result<void> check_tree_range(std::uint64_t first, std::uint64_t second, std::uint64_t log_size,
                              TreeRange range);

}  // namespace quorvex::receipt
