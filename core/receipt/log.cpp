#include "core/receipt/log.hpp"

#include <utility>

#include "core/base/decimal.hpp"
#include "core/json/writer.hpp"

namespace quorvex::receipt {

Result<void> ReceiptLog::append(const ActionInput& action, const crypto::KeyPair& signing_key,
                                Instant now) {
  const Receipt* previous = last();
  ChainLink link;
  if (previous != nullptr) link.digest = compute_hash(*previous);
  auto receipt = build_receipt(action, signing_key, link, next_sequence(), previous, now);
  if (!receipt) return fail(receipt.error());
  if (size_ % kChunk == 0) {
    chunks_.emplace_back();
    chunks_.back().reserve(kChunk);
  }
  tree_.append(merkle::leaf_hash(signed_json(*receipt)));
  chunks_.back().push_back(std::move(*receipt));
  ++size_;
  return ok();
}

std::string ReceiptLog::last_hash() const {
  const Receipt* previous = last();
  return previous == nullptr ? std::string("genesis") : digest_text(compute_hash(*previous));
}

std::uint64_t ReceiptLog::next_sequence() const {
  const Receipt* previous = last();
  return previous == nullptr ? 0 : previous->body.chain.sequence_number + 1;
}

Result<std::string> ReceiptLog::to_json() const {
  std::string out;
  out.reserve(size_ * 900 + 2);
  json::Writer w(out, json::Layout::Pretty);
  w.begin_array();
  for (std::size_t i = 0; i < size_; ++i) append_pretty(w, (*this)[i]);
  w.end_array();
  if (auto written = w.finish(); !written) return fail(written.error());
  return out;
}

std::vector<std::pair<std::uint64_t, std::string>> ReceiptLog::query(
    const ReceiptQuery& query) const {
  std::vector<std::pair<std::uint64_t, std::string>> found;
  for (std::size_t i = 0; i < size_; ++i) {
    if (query.limit && found.size() >= *query.limit) break;
    const ReceiptBody& body = (*this)[i].body;
    const std::uint64_t millis = body.timestamp.unix_millis();
    if ((query.agent && *body.agent != *query.agent) || (query.dat && *body.dat != *query.dat) ||
        (query.since_millis && millis < *query.since_millis) ||
        (query.until_millis && millis > *query.until_millis)) {
      continue;
    }
    found.emplace_back(i, signed_json((*this)[i]));
  }
  return found;
}

std::string ReceiptLog::repr_text() const {
  std::string text = "ReceiptLog(entries=";
  append_decimal(text, size_);
  text += ", last_hash='";
  text += last_hash();
  text += "')";
  return text;
}

}  // namespace quorvex::receipt
