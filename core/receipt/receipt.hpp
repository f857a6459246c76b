#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>

#include "core/base/clock.hpp"
#include "core/base/result.hpp"
#include "core/crypto/digest.hpp"
#include "core/crypto/keypair.hpp"
#include "core/crypto/ulid.hpp"
#include "core/json/schema.hpp"

namespace quorvex::receipt {

// Receipt texts are shared between receipts that repeat them (an agent's DID,
// a token id, an action type), so a long log holds each distinct text once.
// A null pointer is an absent optional text.
using SharedText = std::shared_ptr<const std::string>;

// A BLAKE3 digest, written as "blake3:" and 64 lower-case hex digits.
struct Digest {
  crypto::Blake3Digest bytes{};
  bool operator==(const Digest&) const = default;
};

// The previous receipt's digest, or the text "genesis" for the first receipt.
struct ChainLink {
  std::optional<Digest> digest;
  bool operator==(const ChainLink&) const = default;
};

// A member the log never holds: receipts made here carry no parent receipt or
// request id. Each gets its own type so that neither takes any room.
template <int N>
struct NotHeld {};

// A receipt's records take one of two forms: StoredForm, what the log holds,
// and PrintedForm, every text exactly as read from a printed log, so writing it
// again gives the bytes that were hashed and signed.
struct StoredForm {
  using Text = SharedText;
  using OptionalText = SharedText;  // null when absent
  using Hash = Digest;
  using OptionalHash = std::optional<Digest>;
  using Link = ChainLink;
  using Id = crypto::Ulid;
  using Time = Instant;
  using ParentId = NotHeld<0>;
  using RequestId = NotHeld<1>;
};

struct PrintedForm {
  using Text = std::string;
  using OptionalText = std::optional<std::string>;
  using Hash = std::string;
  using OptionalHash = std::optional<std::string>;
  using Link = std::string;
  using Id = std::string;
  using Time = std::string;
  using ParentId = std::optional<std::string>;
  using RequestId = std::optional<std::string>;
};

template <typename F>
struct ActionRecord {
  typename F::Text type;
  typename F::OptionalText server;
  typename F::OptionalText tool;
  typename F::Hash input_hash;
  typename F::OptionalHash output_hash;
  typename F::Text status;
  std::optional<std::uint64_t> duration_ms;
};

template <typename F>
struct ContextRecord {
  typename F::OptionalText session_id;
  [[no_unique_address]] typename F::ParentId parent_receipt_id{};
  [[no_unique_address]] typename F::RequestId request_id{};
};

template <typename F>
struct ChainRecord {
  typename F::Link previous_hash;
  std::uint64_t sequence_number = 0;
};

// A receipt body is everything a receipt holds except its signature: the part
// that is hashed into the chain.
template <typename F>
struct BodyRecord {
  typename F::Id id;
  typename F::Time timestamp;
  typename F::Text agent;
  typename F::Text dat;
  ActionRecord<F> action;
  std::optional<ContextRecord<F>> context;
  ChainRecord<F> chain;
};

using ReceiptAction = ActionRecord<StoredForm>;
using ReceiptContext = ContextRecord<StoredForm>;
using ReceiptChain = ChainRecord<StoredForm>;
using ReceiptBody = BodyRecord<StoredForm>;
static_assert(sizeof(ReceiptContext) == sizeof(SharedText));

struct Receipt {
  ReceiptBody body;
  crypto::Signature signature{};  // Ed25519, over signing_input
};

// A receipt as a printed log shows it: the body's members, then the signature.
struct PrintedReceipt : BodyRecord<PrintedForm> {
  std::string signature;
};

}  // namespace quorvex::receipt

// The one table of a receipt's member names, for both forms: the log's writer
// of the compact and pretty forms and the audit's reader of printed logs.
namespace quorvex::json {

template <typename F>
struct Schema<receipt::ActionRecord<F>> {
  using A = receipt::ActionRecord<F>;
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

template <typename F>
struct Schema<receipt::ContextRecord<F>> {
  using C = receipt::ContextRecord<F>;
  static constexpr std::string_view name = "ReceiptContext";
  static constexpr bool strict = true;
  static constexpr auto fields = std::tuple{
      field("sessionId", &C::session_id),
      field("parentReceiptId", &C::parent_receipt_id),
      field("requestId", &C::request_id),
  };
};

template <typename F>
struct Schema<receipt::ChainRecord<F>> {
  using C = receipt::ChainRecord<F>;
  static constexpr std::string_view name = "ReceiptChain";
  static constexpr bool strict = true;
  static constexpr auto fields = std::tuple{
      field("previousHash", &C::previous_hash),
      field("sequenceNumber", &C::sequence_number),
  };
};

template <typename F>
struct Schema<receipt::BodyRecord<F>> {
  using B = receipt::BodyRecord<F>;
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
  static constexpr std::string_view name = "Receipt";
  static constexpr bool strict = true;
  static constexpr auto fields =
      std::tuple_cat(Schema<receipt::BodyRecord<receipt::PrintedForm>>::fields,
                     std::tuple{field("signature", &receipt::PrintedReceipt::signature)});
};

}  // namespace quorvex::json

namespace quorvex::receipt {

// What an agent reports about one action. The byte strings are only digested.
struct ActionInput {
  std::string_view agent;
  std::string_view dat;
  std::string_view action_type;
  crypto::ByteView input;
  std::optional<std::string_view> server;
  std::optional<std::string_view> tool;
  std::optional<crypto::ByteView> output;
  std::string_view status;
  std::optional<std::uint64_t> duration_ms;
  std::optional<std::string_view> session_id;
};

// build_receipt makes and signs the receipt of one action at the given place in
// a chain, stamped with `now` (its id and its timestamp). `previous` lends texts equal to its own
// so they are shared. Fails with Serialization when a text is not UTF-8.
Result<Receipt> build_receipt(const ActionInput& action, const crypto::KeyPair& signing_key,
                              const ChainLink& previous_hash, std::uint64_t sequence_number,
                              const Receipt* previous, Instant now);

// unsigned_json: the compact JSON without the signature member, which
// compute_hash digests.
std::string unsigned_json(const Receipt& receipt);
// signing_input: the compact JSON with "signature":"" as its last member.
std::string signing_input(const Receipt& receipt);
// signed_json: the compact JSON with the signature as its last member, the
// receipt's one text outside a printed log (and its leaf in the log's tree).
std::string signed_json(const Receipt& receipt);
// signed_json_of: the same for a receipt read back from text. Fails when a
// text is not UTF-8.
Result<std::string> signed_json_of(const PrintedReceipt& receipt);
// append_compact_form writes a receipt body (any record with a receipt's
// members) as compact JSON: alone, the unsigned form that is hashed, or with
// `signing` followed by "signature":"", the signing input. Fails when a text is
// not UTF-8.
template <typename Body>
Result<void> append_compact_form(std::string& out, const Body& body, bool signing) {
  json::Writer w(out);
  w.begin_object();
  json::write_members(w, body);
  if (signing) {
    w.field("signature");
    w.ascii_text("");
  }
  w.end_object();
  return w.finish();
}

// compute_hash: the BLAKE3 digest of unsigned_json, computed afresh.
Digest compute_hash(const Receipt& receipt);
// compute_hashes: compute_hash of each receipt into out, several at a time.
void compute_hashes(std::span<const Receipt* const> receipts, std::span<Digest> out);

// DigestRun tells how many digests of a batch were written; when fewer than
// asked, `failure` is why the next receipt's compact form could not be.
struct DigestRun {
  std::size_t written = 0;
  std::optional<CoreError> failure;
};

// digest_each digests a batch of receipts of either form, several at a time,
// stopping at the first whose compact form cannot be written (a printed text
// that is not UTF-8). The log's own receipts always can be.
DigestRun digest_each(std::span<const Receipt* const> receipts, std::span<Digest> out);
DigestRun digest_each(std::span<const PrintedReceipt* const> receipts, std::span<Digest> out);

// The chain members of a receipt, and whether its link names `expected` (the
// previous receipt's digest; none for "genesis").
inline const ReceiptChain& chain_of(const Receipt& receipt) { return receipt.body.chain; }
inline const ChainRecord<PrintedForm>& chain_of(const PrintedReceipt& receipt) {
  return receipt.chain;
}
inline bool links_to(const ChainLink& link, const std::optional<Digest>& expected) {
  return link.digest == expected;
}
bool links_to(const std::string& printed, const std::optional<Digest>& expected);
std::string digest_text(const Digest& digest);

// append_pretty writes the receipt as pretty JSON, signature included, into a
// writer that may be inside an array.
void append_pretty(json::Writer& w, const Receipt& receipt);

}  // namespace quorvex::receipt
