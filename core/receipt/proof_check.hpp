#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/base/result.hpp"
#include "core/crypto/keypair.hpp"
#include "core/receipt/checkpoint.hpp"
#include "core/receipt/merkle.hpp"

// Offline checks of a log's claims, from texts and a public key alone: a
// signed checkpoint, a receipt's inclusion under it, one checkpoint extending
// another, and a proof bundle. Each failure is InvalidReceipt, saying what
// does not hold.
namespace quorvex::receipt {

using KeyView = std::span<const std::uint8_t, crypto::kPublicKeyLen>;

// verify_checkpoint opens a signed checkpoint by `public_key`. An empty origin
// accepts the note's own first line as its origin (the key must still have
// signed under that name).
Result<Checkpoint> verify_checkpoint(std::string_view note, std::string_view origin,
                                     KeyView public_key);

// verify_inclusion: receipt_json (a receipt's signed_json) is leaf `index` of
// the tree the checkpoint signs, by `proof`.
Result<Checkpoint> verify_inclusion(std::string_view receipt_json, std::uint64_t index,
                                    std::span<const merkle::Hash> proof, std::string_view note,
                                    std::string_view origin, KeyView public_key);

// verify_consistency: the tree new_note signs extends the one old_note signs,
// by `proof`; both signed by the key under the same origin.
Result<std::pair<Checkpoint, Checkpoint>> verify_consistency(std::string_view old_note,
                                                             std::string_view new_note,
                                                             std::span<const merkle::Hash> proof,
                                                             std::string_view origin,
                                                             KeyView public_key);

// check_proof_bundle: verify_inclusion with the index, proof and checkpoint a
// bundle carries; returns the index.
Result<std::uint64_t> check_proof_bundle(std::string_view bundle, std::string_view receipt_json,
                                         std::string_view origin, KeyView public_key);

// make_proof_bundle: the bundle for entry `index` of a log of log_size entries
// whose tree `read` reads, to the tree a checkpoint of that log signs. The
// note is not opened (its signer may be anyone); its size must be within the
// log and its root the log's own at that size, else it is no checkpoint of
// this log (InvalidReceipt), and the index must be below its size (Other).
Result<std::string> make_proof_bundle(std::uint64_t index, std::string_view note,
                                      std::uint64_t log_size, const merkle::NodeReader& read);

}  // namespace quorvex::receipt
