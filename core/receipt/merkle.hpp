#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "core/base/result.hpp"

// A Merkle tree over a log's entries, hashed as RFC 9162 section 2.1 says:
// a leaf is SHA-256(0x00 || data), an interior node SHA-256(0x01 || left ||
// right), the tree of n leaves splits at the largest power of two below n.
namespace quorvex::receipt::merkle {

using Hash = std::array<std::uint8_t, 32>;

Hash leaf_hash(std::span<const std::uint8_t> data);
Hash leaf_hash(std::string_view data);
Hash node_hash(const Hash& left, const Hash& right);
// empty_root: the root of the empty tree, SHA-256 of no bytes.
Hash empty_root();

// Node: a complete, aligned subtree, over leaves [index << level, (index + 1) << level).
// Level 0 nodes are the leaves' hashes.
struct Node {
  std::uint32_t level = 0;
  std::uint64_t index = 0;
  bool operator==(const Node&) const = default;
};

// NodeReader fills out[i] with the hash of nodes[i], every node complete in
// the tree it reads; it fails with the store's own error. A proof or a root
// asks for all its nodes in one call.
using NodeReader = std::function<Result<void>(std::span<const Node> nodes, std::span<Hash> out)>;

// completed_by: the nodes that appending leaf `n` (0-based) completes, its own
// level 0 node first, then each node above it whose range ends at leaf n.
// `siblings` reads their left halves, which are complete already.
Result<std::vector<std::pair<Node, Hash>>> completed_by(std::uint64_t n, const Hash& leaf,
                                                        const NodeReader& siblings);

// root: the tree head of the first `size` leaves (empty_root() for 0).
Result<Hash> root(std::uint64_t size, const NodeReader& read);

// inclusion_proof: RFC 9162 section 2.1.3.1 PATH(index, D[size]); requires
// index < size. consistency_proof: section 2.1.4.1 PROOF(old_size, D[new_size]);
// requires old_size <= new_size (empty when old_size is 0 or equal to new_size).
// Each reads O(log size) nodes, in one call.
Result<std::vector<Hash>> inclusion_proof(std::uint64_t index, std::uint64_t size,
                                          const NodeReader& read);
Result<std::vector<Hash>> consistency_proof(std::uint64_t old_size, std::uint64_t new_size,
                                            const NodeReader& read);

// The verifiers of sections 2.1.3.2 and 2.1.4.2: true when the proof shows it.
bool verify_inclusion(const Hash& leaf, std::uint64_t index, std::uint64_t size,
                      std::span<const Hash> proof, const Hash& root);
bool verify_consistency(std::uint64_t old_size, std::uint64_t new_size, const Hash& old_root,
                        const Hash& new_root, std::span<const Hash> proof);

// MemoryTree keeps every complete node of a growing tree in memory (about two
// hashes per leaf) and reads them for the functions above.
class MemoryTree {
 public:
  void append(const Hash& leaf);
  std::uint64_t size() const noexcept;
  NodeReader reader() const;

 private:
  std::vector<std::vector<Hash>> levels_;  // levels_[l][i]: Node{l, i}
};

}  // namespace quorvex::receipt::merkle
