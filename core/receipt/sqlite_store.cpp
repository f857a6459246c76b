// The receipt store on SQLite: one file, WAL journal, every commit synced.
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/base/decimal.hpp"
#include "core/receipt/store.hpp"

namespace quorvex::receipt {
namespace {

// The file says what it is: application_id marks a receipt store, and
// user_version is its layout, raised whenever the tables change.
constexpr int kApplicationId = 0x51525643;  // "QRVC"
constexpr int kLayout = 1;
// How long a writer waits for another process's write to finish.
constexpr int kBusyMillis = 60'000;

constexpr const char* kSchema = R"sql(
CREATE TABLE receipt (
  seq INTEGER PRIMARY KEY,
  json TEXT NOT NULL,
  public_key BLOB NOT NULL,
  agent TEXT NOT NULL,
  dat TEXT NOT NULL,
  unix_millis INTEGER NOT NULL,
  tree BLOB NOT NULL
);
CREATE INDEX receipt_agent ON receipt (agent);
CREATE INDEX receipt_dat ON receipt (dat);
CREATE INDEX receipt_time ON receipt (unix_millis);
)sql";
// A receipt's row holds, in `tree`, the hashes of the tree nodes its leaf
// completes, level 0 first: node (l, i) is in row ((i + 1) << l) - 1 at byte
// 32 l. A commit then writes one table page and the indexes' pages.

struct DbClose {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct StmtFinalize {
  void operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }
};
using Db = std::unique_ptr<sqlite3, DbClose>;
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalize>;
// SQLite's SQLITE_STATIC: the bound bytes outlive the statement's use of them.
constexpr sqlite3_destructor_type kStatic = nullptr;

class SqliteStore final : public ReceiptStore {
 public:
  SqliteStore(Db db, std::string path) : db_(std::move(db)), path_(std::move(path)) {}

  Result<void> prepare_all();
  Result<void> check_layout();
  Result<void> exec(const char* sql) {
    if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
      return failure(sql);
    }
    return ok();
  }

  Result<void> begin_write() override { return exec("BEGIN IMMEDIATE"); }
  Result<void> commit() override { return exec("COMMIT"); }
  void rollback() noexcept override {
    sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  }

  Result<std::uint64_t> size() override {
    // Every statement is reset as soon as it is read: one left running keeps
    // its read transaction open, and a write begun on a stale snapshot fails
    // at once, without waiting for the other writer.
    sqlite3_stmt* s = size_.get();
    const int rc = sqlite3_step(s);
    const bool empty = rc == SQLITE_ROW && sqlite3_column_type(s, 0) == SQLITE_NULL;
    const auto last = rc == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
    sqlite3_reset(s);
    if (rc != SQLITE_ROW) return failure("reading the store's size");
    if (empty) return std::uint64_t{0};
    if (last < 0) return damaged("a negative position");
    return static_cast<std::uint64_t>(last) + 1;
  }

  Result<void> append_batch(std::uint64_t first, std::span<const StoredRow> rows,
                            const TreeNodes& nodes) override {
    sqlite3_stmt* s = insert_row_.get();
    std::size_t next_node = 0;
    std::string tree;
    for (std::size_t k = 0; k < rows.size(); ++k) {
      const StoredRow& row = rows[k];
      const std::uint64_t seq = first + k;
      // The nodes come in order of the leaves that complete them, level 0 first.
      tree.clear();
      while (next_node < nodes.size()) {
        const merkle::Node& node = nodes[next_node].first;
        if (((node.index + 1) << node.level) - 1 != seq) break;
        QV_CHECK(node.level * merkle::Hash{}.size() == tree.size());
        tree.append(reinterpret_cast<const char*>(nodes[next_node].second.data()),
                    merkle::Hash{}.size());
        ++next_node;
      }
      QV_CHECK(!tree.empty());
      sqlite3_reset(s);
      sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(seq));
      sqlite3_bind_text(s, 2, row.json.data(), static_cast<int>(row.json.size()), kStatic);
      sqlite3_bind_blob(s, 3, row.public_key.data(), static_cast<int>(row.public_key.size()),
                        kStatic);
      sqlite3_bind_text(s, 4, row.agent.data(), static_cast<int>(row.agent.size()), kStatic);
      sqlite3_bind_text(s, 5, row.dat.data(), static_cast<int>(row.dat.size()), kStatic);
      sqlite3_bind_int64(s, 6, static_cast<sqlite3_int64>(row.unix_millis));
      sqlite3_bind_blob(s, 7, tree.data(), static_cast<int>(tree.size()), kStatic);
      const int rc = sqlite3_step(s);
      sqlite3_clear_bindings(s);
      if (rc != SQLITE_DONE) return failure("appending a receipt");
    }
    QV_CHECK(next_node == nodes.size());
    return ok();
  }

  Result<std::vector<StoredRow>> read_range(std::uint64_t first, std::size_t count) override {
    std::vector<StoredRow> rows;
    if (count == 0) return rows;
    rows.reserve(std::min<std::size_t>(count, 4096));
    sqlite3_stmt* s = read_rows_.get();
    sqlite3_reset(s);
    sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(first));
    sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(first + count - 1));
    int rc;
    std::uint64_t expected = first;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      // A missing position ends the range: the log's chain check names it.
      if (static_cast<std::uint64_t>(sqlite3_column_int64(s, 0)) != expected++) break;
      StoredRow row;
      row.json = column_text(s, 1);
      const void* key = sqlite3_column_blob(s, 2);
      if (key == nullptr || sqlite3_column_bytes(s, 2) != static_cast<int>(row.public_key.size())) {
        sqlite3_reset(s);
        return damaged_at("a public key that is not 32 bytes", expected - 1);
      }
      std::memcpy(row.public_key.data(), key, row.public_key.size());
      row.agent = column_text(s, 3);
      row.dat = column_text(s, 4);
      row.unix_millis = static_cast<std::uint64_t>(sqlite3_column_int64(s, 5));
      rows.push_back(std::move(row));
    }
    sqlite3_reset(s);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return failure("reading receipts");
    return rows;
  }

  Result<void> read_nodes(std::span<const merkle::Node> nodes,
                          std::span<merkle::Hash> out) override {
    // Outside a write, the reads share one read transaction: each statement
    // on its own would take and drop the file's locks, which costs more than
    // the read.
    if (sqlite3_get_autocommit(db_.get()) == 0) return read_nodes_in(nodes, out);
    if (auto begun = exec("BEGIN"); !begun) return begun;
    auto read = read_nodes_in(nodes, out);
    if (sqlite3_exec(db_.get(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) rollback();
    return read;
  }

  Result<std::vector<std::pair<std::uint64_t, std::string>>> find(
      const ReceiptQuery& query) override {
    std::string sql = "SELECT seq, json FROM receipt WHERE 1";
    if (query.agent) sql += " AND agent = ?1";
    if (query.dat) sql += " AND dat = ?2";
    if (query.since_millis) sql += " AND unix_millis >= ?3";
    if (query.until_millis) sql += " AND unix_millis <= ?4";
    sql += " ORDER BY seq";
    if (query.limit) sql += " LIMIT ?5";
    auto stmt = prepare(sql.c_str());
    if (!stmt) return fail(stmt.error());
    sqlite3_stmt* s = stmt->get();
    if (query.agent) {
      sqlite3_bind_text(s, 1, query.agent->data(), static_cast<int>(query.agent->size()), kStatic);
    }
    if (query.dat) {
      sqlite3_bind_text(s, 2, query.dat->data(), static_cast<int>(query.dat->size()), kStatic);
    }
    const auto bind_u64 = [&](int at, std::uint64_t value) {
      const std::uint64_t top = static_cast<std::uint64_t>(INT64_MAX);
      sqlite3_bind_int64(s, at, static_cast<sqlite3_int64>(std::min(value, top)));
    };
    if (query.since_millis) bind_u64(3, *query.since_millis);
    if (query.until_millis) bind_u64(4, *query.until_millis);
    if (query.limit) bind_u64(5, *query.limit);
    std::vector<std::pair<std::uint64_t, std::string>> found;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      found.emplace_back(static_cast<std::uint64_t>(sqlite3_column_int64(s, 0)), column_text(s, 1));
    }
    if (rc != SQLITE_DONE) return failure("querying receipts");
    return found;
  }

 private:
  Result<void> read_nodes_in(std::span<const merkle::Node> nodes, std::span<merkle::Hash> out) {
    sqlite3_stmt* s = read_node_.get();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const merkle::Node& node = nodes[i];
      sqlite3_reset(s);
      sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(((node.index + 1) << node.level) - 1));
      const int rc = sqlite3_step(s);
      const std::size_t at = std::size_t{node.level} * out[i].size();
      if (rc == SQLITE_ROW &&
          static_cast<std::size_t>(sqlite3_column_bytes(s, 0)) >= at + out[i].size()) {
        std::memcpy(out[i].data(), static_cast<const std::uint8_t*>(sqlite3_column_blob(s, 0)) + at,
                    out[i].size());
        continue;
      }
      sqlite3_reset(s);
      if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
        std::string what = "tree node ";
        append_decimal(what, node.level);
        what += '/';
        append_decimal(what, node.index);
        what += " is missing";
        return damaged(what);
      }
      return failure("reading tree nodes");
    }
    sqlite3_reset(s);
    return ok();
  }

  static std::string column_text(sqlite3_stmt* s, int column) {
    const auto* text = sqlite3_column_text(s, column);
    if (text == nullptr) return {};
    return {reinterpret_cast<const char*>(text),
            static_cast<std::size_t>(sqlite3_column_bytes(s, column))};
  }

  Result<Stmt> prepare(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
        SQLITE_OK) {
      return failure("preparing a statement");
    }
    return Stmt(stmt);
  }

  Result<int> pragma_int(const char* sql) {
    auto stmt = prepare(sql);
    if (!stmt) return fail(stmt.error());
    if (sqlite3_step(stmt->get()) != SQLITE_ROW) return failure(sql);
    return sqlite3_column_int(stmt->get(), 0);
  }

  // failure: the database's own words for what went wrong while doing `what`.
  Failure failure(std::string_view what) const {
    std::string text = "receipt store ";
    text += path_;
    text += ": ";
    text += what;
    text += " failed: ";
    text += sqlite3_errmsg(db_.get());
    return fail(ErrorKind::Other, std::move(text));
  }

  Failure damaged(std::string_view what) const {
    std::string text = "receipt store ";
    text += path_;
    text += " is damaged: ";
    text += what;
    return fail(ErrorKind::InvalidReceipt, std::move(text));
  }

  Failure damaged_at(std::string_view what, std::uint64_t seq) const {
    std::string text(what);
    text += " at sequence ";
    append_decimal(text, seq);
    return damaged(text);
  }

  Db db_;
  std::string path_;
  Stmt size_, insert_row_, read_rows_, read_node_;
};

Result<void> SqliteStore::check_layout() {
  auto app = pragma_int("PRAGMA application_id");
  if (!app) {
    std::string text = "receipt store ";
    text += path_;
    text += " cannot be read: it is not a receipt store";
    return fail(ErrorKind::Other, std::move(text));
  }
  auto layout = pragma_int("PRAGMA user_version");
  if (!layout) return fail(layout.error());
  if (*app == 0 && *layout == 0) {
    auto tables = pragma_int("SELECT count(*) FROM sqlite_schema");
    if (!tables) return fail(tables.error());
    if (*tables == 0) {
      // A new file: made a store inside one write, which a second process
      // creating the same file at the same time waits for, then sees. Pages of
      // 1 KiB hold a receipt each and cut what a one-receipt commit writes and
      // syncs to a quarter of the default 4 KiB pages.
      if (auto paged = exec("PRAGMA page_size = 1024"); !paged) return paged;
      if (auto begun = begin_write(); !begun) return begun;
      auto again = pragma_int("SELECT count(*) FROM sqlite_schema");
      if (again && *again == 0) {
        std::string sql = kSchema;
        sql += "PRAGMA application_id = ";
        append_decimal(sql, static_cast<std::uint64_t>(kApplicationId));
        sql += "; PRAGMA user_version = ";
        append_decimal(sql, static_cast<std::uint64_t>(kLayout));
        sql += ';';
        if (auto made = exec(sql.c_str()); !made) {
          rollback();
          return made;
        }
      }
      if (auto committed = commit(); !committed) {
        rollback();
        return committed;
      }
      return check_layout();
    }
  }
  std::string text = "receipt store ";
  text += path_;
  if (*app != kApplicationId) {
    text += " cannot be read: it is not a receipt store";
    return fail(ErrorKind::Other, std::move(text));
  }
  if (*layout > kLayout) {
    text += " has layout ";
    append_decimal(text, static_cast<std::uint64_t>(*layout));
    text += ", newer than this version reads (";
    append_decimal(text, static_cast<std::uint64_t>(kLayout));
    text += ')';
    return fail(ErrorKind::Other, std::move(text));
  }
  return ok();
}

Result<void> SqliteStore::prepare_all() {
  const std::pair<Stmt*, const char*> statements[] = {
      {&size_, "SELECT max(seq) FROM receipt"},
      {&insert_row_,
       "INSERT INTO receipt (seq, json, public_key, agent, dat, unix_millis, tree) "
       "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"},
      {&read_rows_,
       "SELECT seq, json, public_key, agent, dat, unix_millis FROM receipt "
       "WHERE seq BETWEEN ?1 AND ?2 ORDER BY seq"},
      {&read_node_, "SELECT tree FROM receipt WHERE seq = ?1"},
  };
  for (const auto& [slot, sql] : statements) {
    auto stmt = prepare(sql);
    if (!stmt) return fail(stmt.error());
    *slot = std::move(*stmt);
  }
  return ok();
}

}  // namespace

Result<std::unique_ptr<ReceiptStore>> open_sqlite_store(const std::string& path) {
  sqlite3* raw = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  Db db(raw);
  if (rc != SQLITE_OK) {
    std::string text = "receipt store ";
    text += path;
    text += " cannot be opened: ";
    text += raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    return fail(ErrorKind::Other, std::move(text));
  }
  sqlite3_busy_timeout(raw, kBusyMillis);
  auto store = std::make_unique<SqliteStore>(std::move(db), path);
  if (auto layout = store->check_layout(); !layout) return fail(layout.error());
  // WAL lets readers run beside the writer; FULL syncs the journal at every
  // commit, so a commit that returned survives a crash or a power cut.
  if (auto wal = store->exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL"); !wal) {
    return fail(wal.error());
  }
  if (auto prepared = store->prepare_all(); !prepared) return fail(prepared.error());
  return std::unique_ptr<ReceiptStore>(std::move(store));
}

}  // namespace quorvex::receipt
