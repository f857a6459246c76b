#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

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

struct ReceiptAction {
  SharedText type;
  SharedText server;
  SharedText tool;
  Digest input_hash;
  std::optional<Digest> output_hash;
  SharedText status;
  std::optional<std::uint64_t> duration_ms;
};

// Receipts made here only ever carry a session id; the format's parent
// receipt and request ids stay absent, so they are not held.
struct ReceiptContext {
  SharedText session_id;
};

struct ReceiptChain {
  ChainLink previous_hash;
  std::uint64_t sequence_number = 0;
};

// ReceiptBody is everything a receipt holds except its signature: the part
// that is hashed into the chain.
struct ReceiptBody {
  crypto::Ulid id;
  Instant timestamp;
  SharedText agent;
  SharedText dat;
  ReceiptAction action;
  std::optional<ReceiptContext> context;
  ReceiptChain chain;
};

struct Receipt {
  ReceiptBody body;
  crypto::Signature signature{};  // Ed25519, over signing_input
};

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
// a chain. `previous` lends texts equal to its own so they are shared. Fails
// with Serialization when a text is not UTF-8.
Result<Receipt> build_receipt(const ActionInput& action, const crypto::KeyPair& signing_key,
                              const ChainLink& previous_hash, std::uint64_t sequence_number,
                              const Receipt* previous);

// unsigned_json: the compact JSON without the signature member, which
// compute_hash digests.
std::string unsigned_json(const Receipt& receipt);
// signing_input: the compact JSON with "signature":"" as its last member.
std::string signing_input(const Receipt& receipt);
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
std::string digest_text(const Digest& digest);

// append_pretty writes the receipt as pretty JSON, signature included, into a
// writer that may be inside an array.
void append_pretty(json::Writer& w, const Receipt& receipt);

}  // namespace quorvex::receipt
