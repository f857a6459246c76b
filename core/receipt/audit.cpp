#include "core/receipt/audit.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/base/decimal.hpp"
#include "core/base/text.hpp"
#include "core/crypto/digest.hpp"
#include "core/crypto/encoding.hpp"
#include "core/json/reader.hpp"
#include "core/json/writer.hpp"
#include "core/receipt/receipt.hpp"

namespace quorvex::receipt {
namespace {

// A receipt as printed: every text kept exactly as read, so writing it again
// gives the bytes that were hashed and signed.
struct PrintedAction {
  std::string type;
  std::optional<std::string> server;
  std::optional<std::string> tool;
  std::string input_hash;
  std::optional<std::string> output_hash;
  std::string status;
  std::optional<std::uint64_t> duration_ms;
};

struct PrintedContext {
  std::optional<std::string> session_id;
  std::optional<std::string> parent_receipt_id;
  std::optional<std::string> request_id;
};

struct PrintedChain {
  std::string previous_hash;
  std::uint64_t sequence_number = 0;
};

struct PrintedBody {
  std::string id;
  std::string timestamp;
  std::string agent;
  std::string dat;
  PrintedAction action;
  std::optional<PrintedContext> context;
  PrintedChain chain;
};

struct PrintedReceipt : PrintedBody {
  std::string signature;
};

}  // namespace
}  // namespace quorvex::receipt

namespace quorvex::json {

template <>
struct Schema<receipt::PrintedAction> {
  using A = receipt::PrintedAction;
  static constexpr std::string_view name = "ReceiptAction";
  static constexpr bool strict = true;
  static constexpr auto fields = std::tuple{
      field("type", &A::type),
      field("server", &A::server),
      field("tool", &A::tool),
      field("inputHash", &A::input_hash),
      field("outputHash", &A::output_hash),
      field("status", &A::status),
      field("durationMs", &A::duration_ms),
  };
};

template <>
struct Schema<receipt::PrintedContext> {
  using C = receipt::PrintedContext;
  static constexpr std::string_view name = "ReceiptContext";
  static constexpr bool strict = true;
  static constexpr auto fields = std::tuple{
      field("sessionId", &C::session_id),
      field("parentReceiptId", &C::parent_receipt_id),
      field("requestId", &C::request_id),
  };
};

template <>
struct Schema<receipt::PrintedChain> {
  using C = receipt::PrintedChain;
  static constexpr std::string_view name = "ReceiptChain";
  static constexpr bool strict = true;
  static constexpr auto fields = std::tuple{
      field("previousHash", &C::previous_hash),
      field("sequenceNumber", &C::sequence_number),
  };
};

// The members that are hashed: everything but the signature.
template <>
struct Schema<receipt::PrintedBody> {
  using B = receipt::PrintedBody;
  static constexpr std::string_view name = "Receipt";
  static constexpr bool strict = true;
  static constexpr auto fields = std::tuple{
      field("id", &B::id),       field("timestamp", &B::timestamp), field("agent", &B::agent),
      field("dat", &B::dat),     field("action", &B::action),       field("context", &B::context),
      field("chain", &B::chain),
  };
};

template <>
struct Schema<receipt::PrintedReceipt> {
  using R = receipt::PrintedReceipt;
  static constexpr std::string_view name = "Receipt";
  static constexpr bool strict = true;
  static constexpr auto fields = std::tuple{
      field("id", &R::id),       field("timestamp", &R::timestamp), field("agent", &R::agent),
      field("dat", &R::dat),     field("action", &R::action),       field("context", &R::context),
      field("chain", &R::chain), field("signature", &R::signature),
  };
};

}  // namespace quorvex::json

namespace quorvex::receipt {
namespace {

// Below this many receipts per thread, starting a thread costs more than it saves.
constexpr std::size_t kReceiptsPerThread = 128;
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

crypto::ByteView bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Failure bad_signature(std::size_t position) {
  std::string text = "signature verification failed at sequence ";
  append_decimal(text, position);
  return fail(ErrorKind::InvalidReceipt, std::move(text));
}

// not_canonical names the byte at `at`, counted the way the reader counts.
Failure not_canonical(std::string_view json, std::size_t at) {
  std::uint64_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < at; ++i) {
    if (json[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return fail(
      CoreError::serialization("printed log is not in canonical form", line, at - line_start + 1));
}

// A signature is printed as lower-case hex; any other text is left as read, for
// the signature check to refuse.
void write_signature(json::Writer& w, const std::string& signature) {
  if (signature.size() == 2 * crypto::kSignatureLen) {
    if (auto bytes = crypto::hex_decode(signature)) {
      w.hex_text("", *bytes);
      return;
    }
  }
  w.text(signature);
}

// check_canonical compares json with the pretty form of what was read, one
// receipt at a time, so the form is never held whole.
Result<void> check_canonical(std::string_view json, const std::vector<PrintedReceipt>& receipts) {
  std::string form;
  json::Writer w(form, json::Layout::Pretty);
  std::size_t checked = 0;
  const auto differs = [&] {
    const std::string_view rest = json.substr(checked);
    const std::size_t n = std::min(rest.size(), form.size());
    const auto at =
        std::mismatch(form.begin(), form.begin() + static_cast<std::ptrdiff_t>(n), rest.begin());
    if (at.first != form.begin() + static_cast<std::ptrdiff_t>(n) || n < form.size()) {
      checked += static_cast<std::size_t>(at.first - form.begin());
      return true;
    }
    checked += form.size();
    form.clear();
    return false;
  };
  w.begin_array();
  for (const PrintedReceipt& receipt : receipts) {
    w.begin_object();
    json::write_members(w, static_cast<const PrintedBody&>(receipt));
    w.field("signature");
    write_signature(w, receipt.signature);
    w.end_object();
    if (differs()) return not_canonical(json, checked);
  }
  w.end_array();
  if (differs()) return not_canonical(json, checked);
  const std::string_view rest = json.substr(checked);
  if (rest.empty() || rest == "\n") return ok();
  return not_canonical(json, rest.front() == '\n' ? checked + 1 : checked);
}

// Receipts [begin, end) of a log, hashed and their signatures checked on one thread.
struct Chunk {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t failed_at = kNone;  // the first receipt of the chunk that failed
  std::optional<CoreError> failure;
  std::exception_ptr fault;  // an InternalFault or bad_alloc, for the caller to rethrow
};

// check_chunk writes the digest of each receipt of the chunk and stops at the
// first whose compact form or signature fails. `lowest` is the lowest failing
// position any thread has found: past it nothing can change the result.
void check_chunk(const std::vector<PrintedReceipt>& receipts,
                 std::span<const std::uint8_t, crypto::kPublicKeyLen> public_key,
                 std::span<crypto::Blake3Digest> digests, std::atomic<std::size_t>& lowest,
                 Chunk& chunk) {
  const auto failed = [&](std::size_t i, CoreError error) {
    chunk.failed_at = i;
    chunk.failure = std::move(error);
    std::size_t seen = lowest.load(std::memory_order_relaxed);
    while (i < seen && !lowest.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
    }
  };
  std::string text;
  text.reserve(1024);
  for (std::size_t i = chunk.begin; i < chunk.end; ++i) {
    if (i > lowest.load(std::memory_order_relaxed)) return;
    const PrintedReceipt& receipt = receipts[i];
    const PrintedBody& body = receipt;
    text.clear();
    if (auto written = append_compact_form(text, body, false); !written) {
      return failed(i, written.error());
    }
    digests[i] = crypto::blake3(bytes_of(text));
    text.clear();
    static_cast<void>(append_compact_form(text, body, true));  // the same texts again
    auto signature = crypto::hex_decode(receipt.signature);
    if (!signature || signature->size() != crypto::kSignatureLen) {
      return failed(i, bad_signature(i).error);
    }
    auto verified = crypto::KeyPair::verify_signature(public_key, bytes_of(text), *signature);
    if (!verified) {
      if (verified.error().kind() == ErrorKind::InvalidKey) return failed(i, verified.error());
      return failed(i, bad_signature(i).error);
    }
  }
}

void run_chunk(const std::vector<PrintedReceipt>& receipts,
               std::span<const std::uint8_t, crypto::kPublicKeyLen> public_key,
               std::span<crypto::Blake3Digest> digests, std::atomic<std::size_t>& lowest,
               Chunk& chunk) noexcept {
  try {
    check_chunk(receipts, public_key, digests, lowest, chunk);
  } catch (...) {
    chunk.fault = std::current_exception();
    lowest.store(0, std::memory_order_relaxed);  // the others can stop
  }
}

bool links_to(const std::string& previous_hash, const crypto::Blake3Digest& digest,
              std::string& scratch) {
  scratch.assign("blake3:");
  append_hex(scratch, digest);
  return previous_hash == scratch;
}

std::size_t thread_count(std::size_t requested, std::size_t receipts) {
  if (requested == 0) requested = std::max(1U, std::thread::hardware_concurrency());
  return std::clamp(receipts / kReceiptsPerThread, std::size_t{1}, requested);
}

}  // namespace

Result<std::size_t> audit_printed_log(
    std::string_view json, std::span<const std::uint8_t, crypto::kPublicKeyLen> public_key,
    std::size_t threads) {
  auto receipts = json::read<std::vector<PrintedReceipt>>(json);
  if (!receipts) return fail(receipts.error());
  if (auto canonical = check_canonical(json, *receipts); !canonical) {
    return fail(canonical.error());
  }

  // Digests and signatures are independent per receipt and split in contiguous
  // chunks; the links between them are then checked in order on this thread.
  const std::size_t n = receipts->size();
  std::vector<crypto::Blake3Digest> digests(n);
  std::vector<Chunk> chunks(thread_count(threads, n));
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    chunks[k].begin = n * k / chunks.size();
    chunks[k].end = n * (k + 1) / chunks.size();
  }
  std::atomic<std::size_t> lowest{kNone};
  {
    const auto run = [&](Chunk& chunk) {
      run_chunk(*receipts, public_key, digests, lowest, chunk);
    };
    std::vector<std::jthread> workers;  // joined on every way out of this block
    workers.reserve(chunks.size() - 1);
    for (std::size_t k = 1; k < chunks.size(); ++k) {
      try {
        workers.emplace_back(run, std::ref(chunks[k]));
      } catch (const std::system_error&) {
        run(chunks[k]);  // no thread to be had: this one does the work
      }
    }
    run(chunks[0]);
  }
  for (const Chunk& chunk : chunks) {
    if (chunk.fault) std::rethrow_exception(chunk.fault);
  }

  // A chunk stops at its first failure, so the lowest of those is the first of all;
  // every receipt before it was hashed.
  const std::size_t first_failed = lowest.load();
  const Chunk* failing = nullptr;
  for (const Chunk& chunk : chunks) {
    if (chunk.failure && chunk.failed_at == first_failed) failing = &chunk;
  }
  std::string scratch;
  for (std::size_t i = 0; i < n; ++i) {
    const PrintedChain& chain = (*receipts)[i].chain;
    const bool linked = i == 0 ? chain.previous_hash == "genesis"
                               : links_to(chain.previous_hash, digests[i - 1], scratch);
    if (chain.sequence_number != i || !linked) return fail(CoreError::receipt_chain_broken(i));
    if (i == first_failed && failing != nullptr) return fail(*failing->failure);
  }
  return n;
}

}  // namespace quorvex::receipt
