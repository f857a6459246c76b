#include "core/receipt/stored_log.hpp"

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "core/base/decimal.hpp"
#include "core/json/reader.hpp"
#include "core/json/writer.hpp"
#include "core/receipt/audit.hpp"

namespace quorvex::receipt {
namespace {

// Receipts are read, parsed and checked this many at a time, so a check or a
// print of any length holds only one part in memory.
constexpr std::size_t kPart = 4096;

Failure not_canonical(std::uint64_t position) {
  std::string text = "stored receipt is not in its compact form at sequence ";
  append_decimal(text, position);
  return fail(ErrorKind::InvalidReceipt, std::move(text));
}

Failure unreadable(std::uint64_t position, const CoreError& error) {
  std::string text = "stored receipt cannot be read at sequence ";
  append_decimal(text, position);
  text += ": ";
  text += error.display();
  return fail(ErrorKind::InvalidReceipt, std::move(text));
}

// parse_row reads a stored row back as a receipt, required to be exactly its
// own compact form, so that the text a leaf hashes is the receipt's one text.
Result<PrintedReceipt> parse_row(const StoredRow& row, std::uint64_t position) {
  auto receipt = json::read<PrintedReceipt>(row.json);
  if (!receipt) return unreadable(position, receipt.error());
  auto form = signed_json_of(*receipt);
  if (!form || *form != row.json) return not_canonical(position);
  return receipt;
}

// ParsedRows: the receipts of the rows before the first that does not parse,
// and why that one does not.
struct ParsedRows {
  std::vector<PrintedReceipt> receipts;
  std::optional<CoreError> failure;
};

// parse_rows parses rows at positions first.., on `threads` threads for long
// parts, up to the first row that does not parse.
ParsedRows parse_rows(const std::vector<StoredRow>& rows, std::uint64_t first,
                      std::size_t threads = 1) {
  const std::size_t n = rows.size();
  ParsedRows parsed;
  parsed.receipts.resize(n);
  std::vector<std::optional<CoreError>> failures(n);
  const auto run = [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      auto receipt = parse_row(rows[i], first + i);
      if (!receipt) {
        failures[i] = receipt.error();
        return;
      }
      parsed.receipts[i] = std::move(*receipt);
    }
  };
  if (threads == 0) threads = std::max(1U, std::thread::hardware_concurrency());
  threads = std::clamp<std::size_t>(n / 256, 1, threads);
  {
    std::vector<std::jthread> workers;  // joined on every way out of this block
    for (std::size_t k = 1; k < threads; ++k) {
      try {
        workers.emplace_back(run, n * k / threads, n * (k + 1) / threads);
      } catch (const std::system_error&) {
        run(n * k / threads, n * (k + 1) / threads);
      }
    }
    run(0, n / threads);
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (failures[i]) {
      parsed.receipts.resize(i);
      parsed.failure = std::move(failures[i]);
      break;
    }
  }
  return parsed;
}

Failure tree_mismatch(const merkle::Node& node) {
  std::string text = "stored tree node ";
  append_decimal(text, node.level);
  text += '/';
  append_decimal(text, node.index);
  text += " does not match the receipts below it (first receipt at sequence ";
  append_decimal(text, node.index << node.level);
  text += ')';
  return fail(ErrorKind::InvalidReceipt, std::move(text));
}

}  // namespace

Result<void> check_tree_range(std::uint64_t first, std::uint64_t second, std::uint64_t log_size,
                              TreeRange range) {
  const auto refuse = [](std::string_view what, std::uint64_t value, std::string_view than,
                         std::uint64_t bound) -> Result<void> {
    std::string text(what);
    text += ' ';
    append_decimal(text, value);
    text += than;
    append_decimal(text, bound);
    return fail(ErrorKind::Other, std::move(text));
  };
  if (second > log_size) {
    return refuse("tree size", second, " is larger than the log's size ", log_size);
  }
  if (range == TreeRange::Inclusion && first >= second) {
    return refuse("receipt index", first, " is not below the tree size ", second);
  }
  if (range == TreeRange::Consistency && first > second) {
    return refuse("old tree size", first, " is larger than the new tree size ", second);
  }
  return ok();
}

Result<std::unique_ptr<StoredLog>> StoredLog::open(const std::string& path) {
  auto store = open_sqlite_store(path);
  if (!store) return fail(store.error());
  return std::make_unique<StoredLog>(std::move(*store));
}

StoredLog::~StoredLog() {
  if (group_depth_ > 0 && !store_->commit()) store_->rollback();
}

merkle::NodeReader StoredLog::reader() {
  return [this](std::span<const merkle::Node> nodes, std::span<merkle::Hash> out) {
    return store_->read_nodes(nodes, out);
  };
}

Result<StoredLog::Tail> StoredLog::read_tail() {
  auto size = store_->size();
  if (!size) return fail(size.error());
  Tail tail{*size, std::nullopt};
  if (*size == 0) return tail;
  auto rows = store_->read_range(*size - 1, 1);
  if (!rows) return fail(rows.error());
  if (rows->size() != 1) return fail(CoreError::receipt_chain_broken(*size - 1));
  auto receipt = parse_row(rows->front(), *size - 1);
  if (!receipt) return fail(receipt.error());
  const PrintedReceipt* last = &*receipt;
  Digest digest;
  DigestRun run = digest_each(std::span(&last, 1), std::span(&digest, 1));
  if (run.written != 1) return unreadable(*size - 1, *run.failure);
  tail.digest = digest;
  return tail;
}

Result<void> StoredLog::append_in_write(const ActionInput& action,
                                        const crypto::KeyPair& signing_key, Instant now) {
  Tail tail;
  if (group_tail_) {
    tail = *group_tail_;
  } else {
    auto read = read_tail();
    if (!read) return fail(read.error());
    tail = *read;
  }
  auto receipt =
      build_receipt(action, signing_key, ChainLink{tail.digest}, tail.size, nullptr, now);
  if (!receipt) return fail(receipt.error());
  StoredRow row;
  row.json = signed_json(*receipt);
  row.public_key = signing_key.public_key_bytes();
  row.agent = *receipt->body.agent;
  row.dat = *receipt->body.dat;
  row.unix_millis = now.unix_millis();
  auto nodes = merkle::completed_by(tail.size, merkle::leaf_hash(row.json), reader());
  if (!nodes) return fail(nodes.error());
  if (auto stored = store_->append_batch(tail.size, std::span(&row, 1), *nodes); !stored) {
    return stored;
  }
  if (group_depth_ > 0) group_tail_ = Tail{tail.size + 1, compute_hash(*receipt)};
  return ok();
}

Result<void> StoredLog::append(const ActionInput& action, const crypto::KeyPair& signing_key,
                               Instant now) {
  std::lock_guard lock(mutex_);
  if (group_depth_ > 0) return append_in_write(action, signing_key, now);
  if (auto begun = store_->begin_write(); !begun) return begun;
  auto appended = append_in_write(action, signing_key, now);
  if (!appended) {
    store_->rollback();
    return appended;
  }
  if (auto committed = store_->commit(); !committed) {
    store_->rollback();
    return committed;
  }
  return ok();
}

Result<void> StoredLog::begin_group() {
  std::lock_guard lock(mutex_);
  if (group_depth_ == 0) {
    if (auto begun = store_->begin_write(); !begun) return begun;
    auto tail = read_tail();
    if (!tail) {
      store_->rollback();
      return fail(tail.error());
    }
    group_tail_ = *tail;
  }
  ++group_depth_;
  return ok();
}

Result<void> StoredLog::end_group() {
  std::lock_guard lock(mutex_);
  if (group_depth_ == 0) return ok();
  if (--group_depth_ > 0) return ok();
  group_tail_.reset();
  if (auto committed = store_->commit(); !committed) {
    store_->rollback();
    return committed;
  }
  return ok();
}

Result<std::uint64_t> StoredLog::size() {
  std::lock_guard lock(mutex_);
  return store_->size();
}

Result<std::string> StoredLog::last_hash_locked() {
  auto tail = read_tail();
  if (!tail) return fail(tail.error());
  if (!tail->digest) return std::string("genesis");
  return digest_text(*tail->digest);
}

Result<std::string> StoredLog::last_hash() {
  std::lock_guard lock(mutex_);
  return last_hash_locked();
}

Result<std::uint64_t> StoredLog::next_sequence() { return size(); }

Result<std::string> StoredLog::repr_text() {
  std::lock_guard lock(mutex_);
  auto tail = read_tail();
  if (!tail) return fail(tail.error());
  std::string text = "ReceiptLog(entries=";
  append_decimal(text, tail->size);
  text += ", last_hash='";
  text += tail->digest ? digest_text(*tail->digest) : std::string("genesis");
  text += "')";
  return text;
}

std::optional<Failure> StoredLog::check_tree_part(const std::vector<StoredRow>& rows,
                                                  std::uint64_t first,
                                                  std::vector<merkle::Hash>& frontier) {
  // Every node the rows complete, computed from the leaves and then read back
  // in one call.
  std::vector<merkle::Node> nodes;
  std::vector<merkle::Hash> expected;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::uint64_t n = first + i;
    merkle::Hash hash = merkle::leaf_hash(rows[i].json);
    nodes.push_back({0, n});
    expected.push_back(hash);
    for (std::uint32_t level = 1; ((n + 1) & ((std::uint64_t{1} << level) - 1)) == 0; ++level) {
      hash = merkle::node_hash(frontier[level - 1], hash);
      nodes.push_back({level, ((n + 1) >> level) - 1});
      expected.push_back(hash);
    }
    const auto level = static_cast<std::size_t>(nodes.back().level);
    if (frontier.size() <= level) frontier.resize(level + 1);
    frontier[level] = hash;
  }
  std::vector<merkle::Hash> stored(nodes.size());
  if (auto read = store_->read_nodes(nodes, stored); !read) return fail(read.error());
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    if (stored[k] != expected[k]) return tree_mismatch(nodes[k]);
  }
  return std::nullopt;
}

Result<std::uint64_t> StoredLog::verify_integrity(std::size_t threads) {
  std::lock_guard lock(mutex_);
  auto size = store_->size();
  if (!size) return fail(size.error());
  ChainCursor cursor;
  // The tree is rebuilt from the leaves, a complete node at a time, and each
  // node compared with the one stored.
  std::vector<merkle::Hash> frontier;  // frontier[l]: the last complete node at level l

  // A part of the log read, parsed and chain-checked, its signatures to check.
  struct Part {
    std::uint64_t first = 0;
    std::size_t count = 0;
    std::vector<StoredRow> rows;
    ParsedRows parsed;
    std::optional<ChainBreak> broken;
    std::vector<PublicKey> keys;  // of the receipts before any break
    std::optional<CoreError> unread;
  };
  const auto prepare = [&](std::uint64_t first) {
    Part part;
    part.first = first;
    part.count = static_cast<std::size_t>(std::min<std::uint64_t>(kPart, *size - first));
    auto rows = store_->read_range(first, part.count);
    if (!rows) {
      part.unread = rows.error();
      return part;
    }
    part.rows = std::move(*rows);
    part.parsed = parse_rows(part.rows, first, threads);
    part.broken = find_chain_break(part.parsed.receipts, cursor);
    const std::size_t sound =
        part.broken ? part.broken->position - first : part.parsed.receipts.size();
    part.keys.reserve(sound);
    for (std::size_t i = 0; i < sound; ++i) part.keys.push_back(part.rows[i].public_key);
    return part;
  };

  // As in an audit, the first fault is the lowest of: the chain's first break,
  // a row that does not parse, and a receipt before either whose signature
  // fails; the tree is checked when all of those hold. The signatures, nearly
  // all the work, are checked on other threads while this one checks the
  // part's tree and reads the next part.
  std::optional<Part> current;
  if (*size > 0) current = prepare(0);
  while (current) {
    Part& part = *current;
    if (part.unread) return fail(std::move(*part.unread));
    Result<void> signatures = ok();
    std::exception_ptr fault;
    std::optional<Failure> tree_fault;
    std::optional<Part> next;
    {
      std::jthread checker([&]() noexcept {
        try {
          signatures = check_signatures(
              {std::span(part.parsed.receipts.data(), part.keys.size()), part.keys, part.first},
              threads);
        } catch (...) {
          fault = std::current_exception();
        }
      });
      tree_fault = check_tree_part(part.rows, part.first, frontier);
      if (part.first + part.count < *size && !part.broken && !part.parsed.failure) {
        next = prepare(part.first + part.count);
      }
    }
    if (fault) std::rethrow_exception(fault);
    if (!signatures) return fail(signatures.error());
    if (part.broken) return fail(std::move(part.broken->error));
    if (part.parsed.failure) return fail(std::move(*part.parsed.failure));
    if (part.parsed.receipts.size() < part.count) {
      return fail(CoreError::receipt_chain_broken(part.first + part.parsed.receipts.size()));
    }
    if (tree_fault) return std::move(*tree_fault);
    current = std::move(next);
  }
  return *size;
}

Result<std::string> StoredLog::to_json() {
  std::lock_guard lock(mutex_);
  auto size = store_->size();
  if (!size) return fail(size.error());
  std::string out;
  json::Writer w(out, json::Layout::Pretty);
  w.begin_array();
  for (std::uint64_t first = 0; first < *size; first += kPart) {
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(kPart, *size - first));
    auto rows = store_->read_range(first, count);
    if (!rows) return fail(rows.error());
    ParsedRows parsed = parse_rows(*rows, first);
    if (parsed.failure) return fail(std::move(*parsed.failure));
    for (const PrintedReceipt& receipt : parsed.receipts) {
      w.begin_object();
      json::write_members(w, receipt);
      w.end_object();
    }
  }
  w.end_array();
  if (auto written = w.finish(); !written) return fail(written.error());
  return out;
}

Result<std::optional<std::string>> StoredLog::receipt_json(std::uint64_t index) {
  std::lock_guard lock(mutex_);
  auto rows = store_->read_range(index, 1);
  if (!rows) return fail(rows.error());
  if (rows->empty()) return std::optional<std::string>();
  return std::optional<std::string>(std::move(rows->front().json));
}

Result<std::vector<std::pair<std::uint64_t, std::string>>> StoredLog::query(
    const ReceiptQuery& query) {
  std::lock_guard lock(mutex_);
  return store_->find(query);
}

merkle::NodeReader StoredLog::node_reader() {
  return [this](std::span<const merkle::Node> nodes, std::span<merkle::Hash> out) {
    std::lock_guard lock(mutex_);
    return store_->read_nodes(nodes, out);
  };
}

}  // namespace quorvex::receipt
