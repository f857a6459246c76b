#include "core/receipt/proof_check.hpp"

#include <string>
#include <utility>

#include "core/base/decimal.hpp"
#include "core/receipt/stored_log.hpp"

namespace quorvex::receipt {
namespace {

Failure does_not_hold(std::string text) { return fail(ErrorKind::InvalidReceipt, std::move(text)); }

// origin_of: the origin to open a note under, the note's first line when the
// caller named none.
std::string_view origin_of(std::string_view note, std::string_view origin) {
  if (!origin.empty()) return origin;
  return note.substr(0, note.find('\n'));
}

}  // namespace

Result<Checkpoint> verify_checkpoint(std::string_view note, std::string_view origin,
                                     KeyView public_key) {
  return open_checkpoint(note, origin_of(note, origin), public_key);
}

Result<Checkpoint> verify_inclusion(std::string_view receipt_json, std::uint64_t index,
                                    std::span<const merkle::Hash> proof, std::string_view note,
                                    std::string_view origin, KeyView public_key) {
  auto checkpoint = verify_checkpoint(note, origin, public_key);
  if (!checkpoint) return fail(checkpoint.error());
  if (index >= checkpoint->size) {
    std::string text = "receipt index ";
    append_decimal(text, index);
    text += " is not below the checkpoint's tree size ";
    append_decimal(text, checkpoint->size);
    return does_not_hold(std::move(text));
  }
  if (!merkle::verify_inclusion(merkle::leaf_hash(receipt_json), index, checkpoint->size, proof,
                                checkpoint->root)) {
    std::string text = "inclusion proof does not verify: the receipt is not entry ";
    append_decimal(text, index);
    text += " of the checkpoint's tree of size ";
    append_decimal(text, checkpoint->size);
    return does_not_hold(std::move(text));
  }
  return checkpoint;
}

Result<std::pair<Checkpoint, Checkpoint>> verify_consistency(std::string_view old_note,
                                                             std::string_view new_note,
                                                             std::span<const merkle::Hash> proof,
                                                             std::string_view origin,
                                                             KeyView public_key) {
  auto older = verify_checkpoint(old_note, origin, public_key);
  if (!older) return fail(older.error());
  auto newer = verify_checkpoint(new_note, origin.empty() ? older->origin : origin, public_key);
  if (!newer) return fail(newer.error());
  if (older->size > newer->size) {
    std::string text = "consistency proof does not verify: the old checkpoint's tree size ";
    append_decimal(text, older->size);
    text += " is larger than the new one's ";
    append_decimal(text, newer->size);
    return does_not_hold(std::move(text));
  }
  if (!merkle::verify_consistency(older->size, newer->size, older->root, newer->root, proof)) {
    std::string text = "consistency proof does not verify: the tree of size ";
    append_decimal(text, newer->size);
    text += " does not extend the tree of size ";
    append_decimal(text, older->size);
    return does_not_hold(std::move(text));
  }
  return std::pair{std::move(*older), std::move(*newer)};
}

Result<std::uint64_t> check_proof_bundle(std::string_view bundle, std::string_view receipt_json,
                                         std::string_view origin, KeyView public_key) {
  auto parsed = parse_proof_bundle(bundle);
  if (!parsed) return fail(parsed.error());
  auto checked = verify_inclusion(receipt_json, parsed->index, parsed->proof, parsed->checkpoint,
                                  origin, public_key);
  if (!checked) return fail(checked.error());
  return parsed->index;
}

Result<std::string> make_proof_bundle(std::uint64_t index, std::string_view note,
                                      std::uint64_t log_size, const merkle::NodeReader& read) {
  auto checkpoint = read_checkpoint(note);
  if (!checkpoint) return fail(checkpoint.error());
  if (checkpoint->size > log_size) {
    std::string text = "checkpoint is not of this log: its tree size ";
    append_decimal(text, checkpoint->size);
    text += " is larger than the log's ";
    append_decimal(text, log_size);
    return does_not_hold(std::move(text));
  }
  auto root = merkle::root(checkpoint->size, read);
  if (!root) return fail(root.error());
  if (*root != checkpoint->root) {
    std::string text =
        "checkpoint is not of this log: its root is not the log's tree head at size ";
    append_decimal(text, checkpoint->size);
    return does_not_hold(std::move(text));
  }
  if (auto in_range = check_tree_range(index, checkpoint->size, log_size, TreeRange::Inclusion);
      !in_range) {
    return fail(in_range.error());
  }
  auto proof = merkle::inclusion_proof(index, checkpoint->size, read);
  if (!proof) return fail(proof.error());
  return format_proof_bundle({index, std::move(*proof), std::string(note), {}});
}

}  // namespace quorvex::receipt
