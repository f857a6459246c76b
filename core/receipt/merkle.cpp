#include "core/receipt/merkle.hpp"

#include <bit>

#include "core/crypto/digest.hpp"

namespace quorvex::receipt::merkle {
namespace {

Hash sha256_prefixed(std::uint8_t prefix, std::span<const std::uint8_t> a,
                     std::span<const std::uint8_t> b = {}) {
  return crypto::sha256({std::span(&prefix, 1), a, b});
}

// The aligned complete subtrees of [begin, end), left to right, largest first.
void decompose(std::uint64_t begin, std::uint64_t end, std::vector<Node>& out) {
  while (begin < end) {
    std::uint32_t level = begin == 0 ? 63U : static_cast<std::uint32_t>(std::countr_zero(begin));
    while (level > 0 && (std::uint64_t{1} << level) > end - begin) --level;
    out.push_back({level, begin >> level});
    begin += std::uint64_t{1} << level;
  }
}

// A range hash: the fold, right to left, of its decomposition.
struct Range {
  std::size_t first;  // into the node list
  std::size_t count;
};

Hash fold(const std::vector<Hash>& hashes, Range r) {
  Hash h = hashes[r.first + r.count - 1];
  for (std::size_t k = r.count - 1; k-- > 0;) h = node_hash(hashes[r.first + k], h);
  return h;
}

// Plan: ranges whose hashes an answer needs, read in one call.
struct Plan {
  std::vector<Node> nodes;
  std::vector<Range> ranges;
  void add(std::uint64_t begin, std::uint64_t end) {
    const std::size_t first = nodes.size();
    decompose(begin, end, nodes);
    ranges.push_back({first, nodes.size() - first});
  }
  Result<std::vector<Hash>> run(const NodeReader& read) const {
    std::vector<Hash> hashes(nodes.size());
    if (!nodes.empty()) {
      if (auto r = read(nodes, hashes); !r) return fail(r.error());
    }
    std::vector<Hash> out;
    out.reserve(ranges.size());
    for (const Range& r : ranges) out.push_back(fold(hashes, r));
    return out;
  }
};

std::uint64_t split_of(std::uint64_t n) {  // largest power of two below n (n >= 2)
  return std::bit_floor(n - 1);
}

// PATH(m, D[begin:end]) as ranges, leaf to root order.
void path(std::uint64_t m, std::uint64_t begin, std::uint64_t end, Plan& plan) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> stack;
  while (end - begin > 1) {
    const std::uint64_t k = split_of(end - begin);
    if (m < k) {
      stack.emplace_back(begin + k, end);
      end = begin + k;
    } else {
      stack.emplace_back(begin, begin + k);
      begin += k;
      m -= k;
    }
  }
  for (auto it = stack.rbegin(); it != stack.rend(); ++it) plan.add(it->first, it->second);
}

// SUBPROOF(m, D[begin:end], b), leaf-side first.
void subproof(std::uint64_t m, std::uint64_t begin, std::uint64_t end, bool b, Plan& plan) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> stack;
  for (;;) {
    const std::uint64_t n = end - begin;
    if (m == n) {
      if (!b) stack.emplace_back(begin, end);
      break;
    }
    const std::uint64_t k = split_of(n);
    if (m <= k) {
      stack.emplace_back(begin + k, end);
      end = begin + k;
    } else {
      stack.emplace_back(begin, begin + k);
      begin += k;
      m -= k;
      b = false;
    }
  }
  for (auto it = stack.rbegin(); it != stack.rend(); ++it) plan.add(it->first, it->second);
}

}  // namespace

Hash leaf_hash(std::span<const std::uint8_t> data) { return sha256_prefixed(0x00, data); }
Hash leaf_hash(std::string_view data) {
  return leaf_hash({reinterpret_cast<const std::uint8_t*>(data.data()), data.size()});
}
Hash node_hash(const Hash& left, const Hash& right) { return sha256_prefixed(0x01, left, right); }
Hash empty_root() { return crypto::sha256({}); }

Result<std::vector<std::pair<Node, Hash>>> completed_by(std::uint64_t n, const Hash& leaf,
                                                        const NodeReader& siblings) {
  std::vector<Node> lefts;
  for (std::uint32_t level = 1; ((n + 1) & ((std::uint64_t{1} << level) - 1)) == 0; ++level) {
    lefts.push_back({level - 1, ((n + 1) >> (level - 1)) - 2});
  }
  std::vector<Hash> left_hashes(lefts.size());
  if (!lefts.empty()) {
    if (auto r = siblings(lefts, left_hashes); !r) return fail(r.error());
  }
  std::vector<std::pair<Node, Hash>> out;
  out.push_back({{0, n}, leaf});
  Hash h = leaf;
  for (std::size_t k = 0; k < lefts.size(); ++k) {
    h = node_hash(left_hashes[k], h);
    out.push_back({{lefts[k].level + 1, lefts[k].index / 2}, h});
  }
  return out;
}

Result<Hash> root(std::uint64_t size, const NodeReader& read) {
  if (size == 0) return empty_root();
  Plan plan;
  plan.add(0, size);
  auto hashes = plan.run(read);
  if (!hashes) return fail(hashes.error());
  return hashes->front();
}

Result<std::vector<Hash>> inclusion_proof(std::uint64_t index, std::uint64_t size,
                                          const NodeReader& read) {
  QV_CHECK(index < size);
  Plan plan;
  path(index, 0, size, plan);
  return plan.run(read);
}

Result<std::vector<Hash>> consistency_proof(std::uint64_t old_size, std::uint64_t new_size,
                                            const NodeReader& read) {
  QV_CHECK(old_size <= new_size);
  if (old_size == 0 || old_size == new_size) return std::vector<Hash>{};
  Plan plan;
  subproof(old_size, 0, new_size, true, plan);
  return plan.run(read);
}

bool verify_inclusion(const Hash& leaf, std::uint64_t index, std::uint64_t size,
                      std::span<const Hash> proof, const Hash& root) {
  if (index >= size) return false;
  std::uint64_t fn = index;
  std::uint64_t sn = size - 1;
  Hash r = leaf;
  for (const Hash& p : proof) {
    if (sn == 0) return false;
    if ((fn & 1) != 0 || fn == sn) {
      r = node_hash(p, r);
      if ((fn & 1) == 0) {
        while ((fn & 1) == 0 && fn != 0) {
          fn >>= 1;
          sn >>= 1;
        }
      }
    } else {
      r = node_hash(r, p);
    }
    fn >>= 1;
    sn >>= 1;
  }
  return sn == 0 && r == root;
}

bool verify_consistency(std::uint64_t old_size, std::uint64_t new_size, const Hash& old_root,
                        const Hash& new_root, std::span<const Hash> proof) {
  if (old_size > new_size) return false;
  if (old_size == new_size) return proof.empty() && old_root == new_root;
  // The empty tree is a prefix of every tree, and needs no proof.
  if (old_size == 0) return proof.empty() && old_root == empty_root();
  if (proof.empty()) return false;
  std::size_t at = 0;
  std::vector<Hash> path(proof.begin(), proof.end());
  if (std::has_single_bit(old_size)) path.insert(path.begin(), old_root);
  std::uint64_t fn = old_size - 1;
  std::uint64_t sn = new_size - 1;
  while ((fn & 1) != 0) {
    fn >>= 1;
    sn >>= 1;
  }
  Hash fr = path[at];
  Hash sr = path[at];
  for (++at; at < path.size(); ++at) {
    const Hash& c = path[at];
    if (sn == 0) return false;
    if ((fn & 1) != 0 || fn == sn) {
      fr = node_hash(c, fr);
      sr = node_hash(c, sr);
      if ((fn & 1) == 0) {
        while ((fn & 1) == 0 && fn != 0) {
          fn >>= 1;
          sn >>= 1;
        }
      }
    } else {
      sr = node_hash(sr, c);
    }
    fn >>= 1;
    sn >>= 1;
  }
  return fr == old_root && sr == new_root && sn == 0;
}

void MemoryTree::append(const Hash& leaf) {
  const std::uint64_t n = size();
  auto nodes = completed_by(n, leaf, reader());
  QV_CHECK(nodes.has_value());
  for (const auto& [node, hash] : *nodes) {
    if (levels_.size() <= node.level) levels_.resize(node.level + 1);
    levels_[node.level].push_back(hash);
  }
}

std::uint64_t MemoryTree::size() const noexcept { return levels_.empty() ? 0 : levels_[0].size(); }

NodeReader MemoryTree::reader() const {
  return [this](std::span<const Node> nodes, std::span<Hash> out) -> Result<void> {
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      QV_CHECK(nodes[i].level < levels_.size() && nodes[i].index < levels_[nodes[i].level].size());
      out[i] = levels_[nodes[i].level][nodes[i].index];
    }
    return ok();
  };
}

}  // namespace quorvex::receipt::merkle
