#include "core/receipt/receipt.hpp"

#include <string_view>
#include <utility>
#include <vector>

#include "core/base/text.hpp"
#include "core/json/timestamp.hpp"
#include "core/json/writer.hpp"

namespace quorvex::json {

template <>
struct Codec<receipt::SharedText> {
  static bool absent(const receipt::SharedText& text) { return text == nullptr; }
  static void write(Writer& w, const receipt::SharedText& text) { w.text(*text); }
};

template <>
struct Codec<receipt::Digest> {
  static void write(Writer& w, const receipt::Digest& digest) {
    w.hex_text("blake3:", digest.bytes);
  }
};

template <>
struct Codec<receipt::ChainLink> {
  static void write(Writer& w, const receipt::ChainLink& link) {
    if (link.digest) {
      w.hex_text("blake3:", link.digest->bytes);
    } else {
      w.ascii_text("genesis");
    }
  }
};

template <>
struct Codec<crypto::Ulid> {
  static void write(Writer& w, const crypto::Ulid& id) { w.ascii_text(crypto::ulid_text(id)); }
};

template <int N>
struct Codec<receipt::NotHeld<N>> {
  static bool absent(const receipt::NotHeld<N>& /*unheld*/) { return true; }
  static void write(Writer& /*w*/, const receipt::NotHeld<N>& /*unheld*/) {}
};

}  // namespace quorvex::json

namespace quorvex::receipt {
namespace {

// share reuses the previous receipt's copy of an equal text.
SharedText share(std::string_view text, const SharedText& previous) {
  if (previous != nullptr && *previous == text) return previous;
  return std::make_shared<const std::string>(text);
}

SharedText share(const std::optional<std::string_view>& text, const SharedText& previous) {
  if (!text) return nullptr;
  return share(*text, previous);
}

Result<void> append_compact(std::string& out, const Receipt& receipt, bool signing) {
  return append_compact_form(out, receipt.body, signing);
}

Result<void> append_compact(std::string& out, const PrintedReceipt& receipt, bool signing) {
  return append_compact_form(out, static_cast<const BodyRecord<PrintedForm>&>(receipt), signing);
}

// digest_batch writes the unsigned compact forms one after another in one
// buffer and digests them together.
template <typename R>
DigestRun digest_batch(std::span<const R* const> receipts, std::span<Digest> out) {
  thread_local std::string buffer;
  buffer.clear();
  DigestRun run;
  std::vector<std::size_t> ends;
  ends.reserve(receipts.size());
  for (const R* receipt : receipts) {
    if (auto written = append_compact(buffer, *receipt, false); !written) {
      run.failure = written.error();
      break;
    }
    ends.push_back(buffer.size());
  }
  std::vector<crypto::ByteView> inputs;
  inputs.reserve(ends.size());
  std::size_t start = 0;
  for (const std::size_t end : ends) {
    inputs.emplace_back(reinterpret_cast<const std::uint8_t*>(buffer.data()) + start, end - start);
    start = end;
  }
  std::vector<crypto::Blake3Digest> digests(inputs.size());
  crypto::blake3_each(inputs, digests);
  for (std::size_t i = 0; i < digests.size(); ++i) out[i] = Digest{digests[i]};
  run.written = digests.size();
  return run;
}

}  // namespace

std::string digest_text(const Digest& digest) {
  std::string text;
  text.reserve(71);
  text += "blake3:";
  append_hex(text, digest.bytes);
  return text;
}

std::string unsigned_json(const Receipt& receipt) {
  std::string out;
  out.reserve(512);
  static_cast<void>(append_compact(out, receipt, false));
  return out;
}

std::string signing_input(const Receipt& receipt) {
  std::string out;
  out.reserve(512);
  static_cast<void>(append_compact(out, receipt, true));
  return out;
}

std::string signed_json(const Receipt& receipt) {
  std::string out;
  out.reserve(640);
  json::Writer w(out);
  w.begin_object();
  json::write_members(w, receipt.body);
  w.field("signature");
  w.hex_text("", receipt.signature);
  w.end_object();
  static_cast<void>(w.finish());  // the log's own texts are UTF-8
  return out;
}

Result<std::string> signed_json_of(const PrintedReceipt& receipt) {
  std::string out;
  out.reserve(640);
  json::Writer w(out);
  w.begin_object();
  json::write_members(w, receipt);
  w.end_object();
  if (auto written = w.finish(); !written) return fail(written.error());
  return out;
}

Digest compute_hash(const Receipt& receipt) {
  const std::string json = unsigned_json(receipt);
  return Digest{crypto::blake3({reinterpret_cast<const std::uint8_t*>(json.data()), json.size()})};
}

void compute_hashes(std::span<const Receipt* const> receipts, std::span<Digest> out) {
  static_cast<void>(digest_batch(receipts, out));
}

DigestRun digest_each(std::span<const Receipt* const> receipts, std::span<Digest> out) {
  return digest_batch(receipts, out);
}

DigestRun digest_each(std::span<const PrintedReceipt* const> receipts, std::span<Digest> out) {
  return digest_batch(receipts, out);
}

bool links_to(const std::string& printed, const std::optional<Digest>& expected) {
  if (!expected) return printed == "genesis";
  constexpr std::string_view kPrefix = "blake3:";
  if (printed.size() != kPrefix.size() + 2 * expected->bytes.size()) return false;
  if (std::string_view(printed).substr(0, kPrefix.size()) != kPrefix) return false;
  constexpr std::string_view kDigits = "0123456789abcdef";
  std::size_t at = kPrefix.size();
  for (const std::uint8_t byte : expected->bytes) {
    if (printed[at] != kDigits[static_cast<std::size_t>(byte >> 4)] ||
        printed[at + 1] != kDigits[static_cast<std::size_t>(byte & 0x0f)]) {
      return false;
    }
    at += 2;
  }
  return true;
}

void append_pretty(json::Writer& w, const Receipt& receipt) {
  w.begin_object();
  json::write_members(w, receipt.body);
  w.field("signature");
  w.hex_text("", receipt.signature);
  w.end_object();
}

Result<Receipt> build_receipt(const ActionInput& action, const crypto::KeyPair& signing_key,
                              const ChainLink& previous_hash, std::uint64_t sequence_number,
                              const Receipt* previous, Instant now) {
  static const Receipt kNone{};
  const Receipt& last = previous != nullptr ? *previous : kNone;
  Receipt receipt;
  ReceiptBody& body = receipt.body;
  body.id = crypto::new_ulid(now.unix_millis());
  body.chain = ReceiptChain{previous_hash, sequence_number};
  body.agent = share(action.agent, last.body.agent);
  body.dat = share(action.dat, last.body.dat);
  body.action.type = share(action.action_type, last.body.action.type);
  body.action.server = share(action.server, last.body.action.server);
  body.action.tool = share(action.tool, last.body.action.tool);
  body.action.input_hash = Digest{crypto::blake3(action.input)};
  if (action.output) body.action.output_hash = Digest{crypto::blake3(*action.output)};
  body.action.status = share(action.status, last.body.action.status);
  body.action.duration_ms = action.duration_ms;
  if (action.session_id) {
    const SharedText& last_session =
        last.body.context ? last.body.context->session_id : SharedText{};
    body.context = ReceiptContext{share(action.session_id, last_session)};
  }
  body.timestamp = now;

  std::string input;
  input.reserve(512);
  if (auto written = append_compact(input, receipt, true); !written) return fail(written.error());
  receipt.signature =
      signing_key.sign({reinterpret_cast<const std::uint8_t*>(input.data()), input.size()});
  return receipt;
}

}  // namespace quorvex::receipt
