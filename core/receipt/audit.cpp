#include "core/receipt/audit.hpp"

#include <optional>
#include <string>
#include <vector>

#include "core/base/decimal.hpp"
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

crypto::ByteView bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Failure bad_signature(std::size_t position) {
  std::string text = "signature verification failed at sequence ";
  append_decimal(text, position);
  return fail(ErrorKind::InvalidReceipt, std::move(text));
}

}  // namespace

Result<std::size_t> audit_printed_log(
    std::string_view json, std::span<const std::uint8_t, crypto::kPublicKeyLen> public_key) {
  auto receipts = json::read<std::vector<PrintedReceipt>>(json);
  if (!receipts) return fail(receipts.error());
  std::string expected = "genesis";
  std::string text;
  for (std::size_t i = 0; i < receipts->size(); ++i) {
    const PrintedReceipt& receipt = (*receipts)[i];
    if (receipt.chain.sequence_number != i || receipt.chain.previous_hash != expected) {
      return fail(CoreError::receipt_chain_broken(i));
    }
    const PrintedBody& body = receipt;
    text.clear();
    if (auto written = append_compact_form(text, body, false); !written) {
      return fail(written.error());
    }
    expected = "blake3:" + crypto::hex_encode(crypto::blake3(bytes_of(text)));
    text.clear();
    static_cast<void>(append_compact_form(text, body, true));  // the same texts again
    auto signature = crypto::hex_decode(receipt.signature);
    if (!signature || signature->size() != crypto::kSignatureLen) return bad_signature(i);
    auto verified = crypto::KeyPair::verify_signature(public_key, bytes_of(text), *signature);
    if (!verified) {
      if (verified.error().kind() == ErrorKind::InvalidKey) return fail(verified.error());
      return bad_signature(i);
    }
  }
  return receipts->size();
}

}  // namespace quorvex::receipt
