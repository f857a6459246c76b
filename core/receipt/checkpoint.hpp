#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/result.hpp"
#include "core/crypto/keypair.hpp"
#include "core/receipt/merkle.hpp"

// Signed checkpoints of a log, as transparency logs write them: a checkpoint
// body (origin, tree size, root hash) in a signed note with Ed25519 signature
// lines, and a proof bundle that carries one entry's inclusion proof with the
// checkpoint it leads to.
namespace quorvex::receipt {

struct Checkpoint {
  std::string origin;
  std::uint64_t size = 0;
  merkle::Hash root{};
};

// note_key_id: the 4-byte key ID of an Ed25519 key named `name`, the first four
// bytes of SHA-256(name || "\n" || 0x01 || public key), as a big-endian number.
std::uint32_t note_key_id(std::string_view name,
                          std::span<const std::uint8_t, crypto::kPublicKeyLen> public_key);

// checkpoint_body: "<origin>\n<size>\n<base64 root>\n", the signed text.
std::string checkpoint_body(const Checkpoint& checkpoint);

// sign_checkpoint: the note text, the body then a blank line and one signature
// line by `key` under the name `checkpoint.origin`. Fails with Other when the
// origin is no key name (empty, or holding a Unicode space, a plus sign or a
// control character).
Result<std::string> sign_checkpoint(const Checkpoint& checkpoint, const crypto::KeyPair& key);

// open_checkpoint reads a note and returns its checkpoint when a signature line
// named `origin` with the key ID of `public_key` verifies over its text, and
// the text's first line is `origin`. Signature lines of other keys (another
// name or key ID) are ignored; one of this key that fails rejects the note.
// Fails with InvalidReceipt, its text saying what is wrong ("checkpoint is
// malformed: ...", "checkpoint has no signature by this key", "checkpoint
// signature does not verify", "checkpoint origin is X, not Y"), or InvalidKey
// when the key is no point. A note is at most 1 MiB with 100 signature lines.
Result<Checkpoint> open_checkpoint(std::string_view note, std::string_view origin,
                                   std::span<const std::uint8_t, crypto::kPublicKeyLen> public_key);

// ProofBundle: one entry's inclusion proof and the checkpoint note it verifies
// against, in the tlog-proof text format.
struct ProofBundle {
  std::uint64_t index = 0;
  std::vector<merkle::Hash> proof;
  std::string checkpoint;           // the whole signed note
  std::vector<std::uint8_t> extra;  // opaque, unauthenticated; none when empty
};

// read_checkpoint reads a note's checkpoint body without opening its signatures.
Result<Checkpoint> read_checkpoint(std::string_view note);

std::string format_proof_bundle(const ProofBundle& bundle);
// parse_proof_bundle reads the format only; the checkpoint it carries is not
// opened. Fails with InvalidReceipt "proof bundle is malformed: ...".
Result<ProofBundle> parse_proof_bundle(std::string_view text);

}  // namespace quorvex::receipt
