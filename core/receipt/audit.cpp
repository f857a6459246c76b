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
#include "core/crypto/encoding.hpp"
#include "core/json/reader.hpp"
#include "core/json/writer.hpp"
#include "core/receipt/log.hpp"
#include "core/receipt/receipt.hpp"

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
    json::write_members(w, static_cast<const BodyRecord<PrintedForm>&>(receipt));
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

// Receipts [begin, end) of a log, their signatures checked on one thread.
struct Chunk {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t failed_at = kNone;  // the first receipt of the chunk that failed
  std::optional<CoreError> failure;
  std::exception_ptr fault;  // an InternalFault or bad_alloc, for the caller to rethrow
};

// check_chunk stops at the first receipt of the chunk whose signature fails.
// `lowest` is the lowest failing index any thread has found: past it nothing
// can change the result.
void check_chunk(const SignedReceipts& signed_receipts, std::atomic<std::size_t>& lowest,
                 Chunk& chunk) {
  const auto failed = [&](std::size_t i, CoreError error) {
    chunk.failed_at = i;
    chunk.failure = std::move(error);
    std::size_t seen = lowest.load(std::memory_order_relaxed);
    while (i < seen && !lowest.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
    }
  };
  const std::uint64_t first = signed_receipts.first_position;
  std::string text;
  text.reserve(1024);
  for (std::size_t i = chunk.begin; i < chunk.end; ++i) {
    if (i > lowest.load(std::memory_order_relaxed)) return;
    const PrintedReceipt& receipt = signed_receipts.receipts[i];
    const auto& key =
        signed_receipts.keys.size() == 1 ? signed_receipts.keys[0] : signed_receipts.keys[i];
    text.clear();
    const BodyRecord<PrintedForm>& body = receipt;
    if (auto written = append_compact_form(text, body, true); !written) {
      return failed(i, written.error());
    }
    auto signature = crypto::hex_decode(receipt.signature);
    if (!signature || signature->size() != crypto::kSignatureLen) {
      return failed(i, bad_signature(first + i).error);
    }
    auto verified = crypto::KeyPair::verify_signature(key, bytes_of(text), *signature);
    if (!verified) {
      if (verified.error().kind() == ErrorKind::InvalidKey) return failed(i, verified.error());
      return failed(i, bad_signature(first + i).error);
    }
  }
}

void run_chunk(const SignedReceipts& signed_receipts, std::atomic<std::size_t>& lowest,
               Chunk& chunk) noexcept {
  try {
    check_chunk(signed_receipts, lowest, chunk);
  } catch (...) {
    chunk.fault = std::current_exception();
    lowest.store(0, std::memory_order_relaxed);  // the others can stop
  }
}

std::size_t thread_count(std::size_t requested, std::size_t receipts) {
  if (requested == 0) requested = std::max(1U, std::thread::hardware_concurrency());
  return std::clamp(receipts / kReceiptsPerThread, std::size_t{1}, requested);
}

}  // namespace

Result<void> check_signatures(const SignedReceipts& signed_receipts, std::size_t threads) {
  const std::size_t n = signed_receipts.receipts.size();
  if (n == 0) return ok();
  QV_CHECK(signed_receipts.keys.size() == 1 || signed_receipts.keys.size() == n);
  std::vector<Chunk> chunks(thread_count(threads, n));
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    chunks[k].begin = n * k / chunks.size();
    chunks[k].end = n * (k + 1) / chunks.size();
  }
  std::atomic<std::size_t> lowest{kNone};
  {
    const auto run = [&](Chunk& chunk) { run_chunk(signed_receipts, lowest, chunk); };
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
  // A chunk stops at its first failure, so the lowest of those is the first of all.
  const std::size_t first_failed = lowest.load();
  for (const Chunk& chunk : chunks) {
    if (chunk.failure && chunk.failed_at == first_failed) return fail(*chunk.failure);
  }
  return ok();
}

Result<std::size_t> audit_printed_log(
    std::string_view json, std::span<const std::uint8_t, crypto::kPublicKeyLen> public_key,
    std::size_t threads) {
  auto receipts = json::read<std::vector<PrintedReceipt>>(json);
  if (!receipts) return fail(receipts.error());
  if (auto canonical = check_canonical(json, *receipts); !canonical) {
    return fail(canonical.error());
  }

  // The chain is checked first, on this thread. Only the receipts before its
  // first break can fail earlier, by their signatures, which are independent
  // per receipt and checked in contiguous chunks on several threads.
  std::optional<ChainBreak> broken = find_chain_break(*receipts);
  const std::size_t n = broken ? broken->position : receipts->size();
  PublicKey key{};
  std::copy(public_key.begin(), public_key.end(), key.begin());
  if (auto verified =
          check_signatures({std::span(receipts->data(), n), std::span(&key, 1), 0}, threads);
      !verified) {
    return fail(verified.error());
  }
  if (broken) return fail(std::move(broken->error));
  return receipts->size();
}

}  // namespace quorvex::receipt
