#include "core/receipt/merkle.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/base/text.hpp"
#include "core/crypto/encoding.hpp"

namespace quorvex::receipt::merkle {
namespace {

Hash hash_of(std::string_view hex) {
  auto bytes = crypto::hex_decode(hex);
  Hash out{};
  EXPECT_TRUE(bytes && bytes->size() == out.size());
  if (bytes) std::copy(bytes->begin(), bytes->end(), out.begin());
  return out;
}

std::vector<Hash> hashes_of(std::initializer_list<std::string_view> hexes) {
  std::vector<Hash> out;
  for (const auto hex : hexes) out.push_back(hash_of(hex));
  return out;
}

// The reference tree every RFC 6962/9162 implementation tests against: eight
// leaves, the root at every size and some proofs, as published with the
// certificate-transparency reference code (data only).
const std::vector<std::string> kReferenceLeaves = {"",
                                                   "00",
                                                   "10",
                                                   "2021",
                                                   "3031",
                                                   "40414243",
                                                   "5051525354555657",
                                                   "606162636465666768696a6b6c6d6e6f"};
const std::vector<std::string_view> kReferenceRoots = {
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
    "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d",
    "fac54203e7cc696cf0dfcb42c92a1d9dbaf70ad9e621f4bd8d98662f00e3c125",
    "aeb6bcfe274b70a14fb067a5e5578264db0fa9b51af5e0ba159158f329e06e77",
    "d37ee418976dd95753c1c73862b9398fa2a2cf9b4ff0fdfe8b30cd95209614b7",
    "4e3bbb1f7b478dcfe71fb631631519a3bca12c9aefca1612bfce4c13a86264d4",
    "76e67dadbcdf1e10e1b74ddc608abd2f98dfb16fbce75277b5232a127f2087ef",
    "ddb89be403809e325750d3d263cd78929c2942b7942a34b77e122c9594a74c8c",
    "5dc9da79a70659a9ad559cb701ded9a2ab9d823aad2f4960cfe370eff4604328"};

MemoryTree reference_tree() {
  MemoryTree tree;
  for (const std::string& hex : kReferenceLeaves) {
    auto bytes = crypto::hex_decode(hex);
    tree.append(leaf_hash(std::span<const std::uint8_t>(*bytes)));
  }
  return tree;
}

TEST(MerkleReferenceTest, RootsAndProofsMatchThePublishedValues) {
  const MemoryTree tree = reference_tree();
  EXPECT_EQ(empty_root(), hash_of(kReferenceRoots[0]));
  for (std::uint64_t size = 0; size <= 8; ++size) {
    auto r = root(size, tree.reader());
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, hash_of(kReferenceRoots[size])) << size;
  }
  struct Inclusion {
    std::uint64_t index, size;
    std::vector<Hash> proof;
  };
  const Inclusion inclusions[] = {
      {0, 8,
       hashes_of({"96a296d224f285c67bee93c30f8a309157f0daa35dc5b87e410b78630a09cfc7",
                  "5f083f0a1a33ca076a95279832580db3e0ef4584bdff1f54c8a360f50de3031e",
                  "6b47aaf29ee3c2af9af889bc1fb9254dabd31177f16232dd6aab035ca39bf6e4"})},
      {5, 8,
       hashes_of({"bc1a0643b12e4d2d7c77918f44e0f4f79a838b6cf9ec5b5c283e1f4d88599e6b",
                  "ca854ea128ed050b41b35ffc1b87b8eb2bde461e9e3b5596ece6b9d5975a0ae0",
                  "d37ee418976dd95753c1c73862b9398fa2a2cf9b4ff0fdfe8b30cd95209614b7"})},
  };
  for (const Inclusion& c : inclusions) {
    auto proof = inclusion_proof(c.index, c.size, tree.reader());
    ASSERT_TRUE(proof);
    EXPECT_EQ(*proof, c.proof) << c.index;
  }
  struct Consistency {
    std::uint64_t old_size, new_size;
    std::vector<Hash> proof;
  };
  const Consistency consistencies[] = {
      {2, 8,
       hashes_of({"5f083f0a1a33ca076a95279832580db3e0ef4584bdff1f54c8a360f50de3031e",
                  "6b47aaf29ee3c2af9af889bc1fb9254dabd31177f16232dd6aab035ca39bf6e4"})},
      {6, 8,
       hashes_of({"0ebc5d3437fbe2db158b9f126a1d118e308181031d0a949f8dededebc558ef6a",
                  "ca854ea128ed050b41b35ffc1b87b8eb2bde461e9e3b5596ece6b9d5975a0ae0",
                  "d37ee418976dd95753c1c73862b9398fa2a2cf9b4ff0fdfe8b30cd95209614b7"})},
      {2, 5,
       hashes_of({"5f083f0a1a33ca076a95279832580db3e0ef4584bdff1f54c8a360f50de3031e",
                  "bc1a0643b12e4d2d7c77918f44e0f4f79a838b6cf9ec5b5c283e1f4d88599e6b"})},
  };
  for (const Consistency& c : consistencies) {
    auto proof = consistency_proof(c.old_size, c.new_size, tree.reader());
    ASSERT_TRUE(proof);
    EXPECT_EQ(*proof, c.proof) << c.old_size << "->" << c.new_size;
  }
}

// The tree as RFC 9162 defines it, recursively, over leaf hashes.
struct NaiveTree {
  std::vector<Hash> leaves;

  static std::uint64_t split(std::uint64_t n) {
    std::uint64_t k = 1;
    while (k * 2 < n) k *= 2;
    return k;
  }
  Hash mth(std::uint64_t begin, std::uint64_t end) const {
    if (end - begin == 1) return leaves[begin];
    const std::uint64_t k = split(end - begin);
    return node_hash(mth(begin, begin + k), mth(begin + k, end));
  }
  std::vector<Hash> path(std::uint64_t m, std::uint64_t begin, std::uint64_t end) const {
    if (end - begin == 1) return {};
    const std::uint64_t k = split(end - begin);
    std::vector<Hash> out;
    if (m < k) {
      out = path(m, begin, begin + k);
      out.push_back(mth(begin + k, end));
    } else {
      out = path(m - k, begin + k, end);
      out.push_back(mth(begin, begin + k));
    }
    return out;
  }
  std::vector<Hash> subproof(std::uint64_t m, std::uint64_t begin, std::uint64_t end,
                             bool b) const {
    const std::uint64_t n = end - begin;
    if (m == n) return b ? std::vector<Hash>{} : std::vector<Hash>{mth(begin, end)};
    const std::uint64_t k = split(n);
    std::vector<Hash> out;
    if (m <= k) {
      out = subproof(m, begin, begin + k, b);
      out.push_back(mth(begin + k, end));
    } else {
      out = subproof(m - k, begin + k, end, false);
      out.push_back(mth(begin, begin + k));
    }
    return out;
  }
};

// Every proof of every tree up to this many leaves is compared with the
// recursive definitions, and checked by the verifiers against damage.
constexpr std::uint64_t kSizes = 260;

TEST(MerkleNaiveTest, EveryRootAndProofIsTheRecursiveDefinitions) {
  MemoryTree tree;
  NaiveTree naive;
  for (std::uint64_t i = 0; i < kSizes; ++i) {
    const std::string data = "leaf " + std::to_string(i);
    naive.leaves.push_back(leaf_hash(data));
    tree.append(naive.leaves.back());
  }
  ASSERT_EQ(tree.size(), kSizes);
  for (std::uint64_t size = 1; size <= kSizes; ++size) {
    const Hash r = naive.mth(0, size);
    ASSERT_EQ(*root(size, tree.reader()), r) << size;
    for (std::uint64_t index = 0; index < size; ++index) {
      auto proof = inclusion_proof(index, size, tree.reader());
      ASSERT_EQ(*proof, naive.path(index, 0, size)) << index << "/" << size;
      const Hash& leaf = naive.leaves[index];
      ASSERT_TRUE(verify_inclusion(leaf, index, size, *proof, r));
      EXPECT_FALSE(verify_inclusion(leaf, index + 1, size, *proof, r));
      EXPECT_FALSE(verify_inclusion(leaf, index, index, *proof, r));
      if (!proof->empty()) {
        auto flipped = *proof;
        flipped[index % flipped.size()][7] ^= 0x10;
        EXPECT_FALSE(verify_inclusion(leaf, index, size, flipped, r));
        auto shorter = *proof;
        shorter.pop_back();
        EXPECT_FALSE(verify_inclusion(leaf, index, size, shorter, r));
      }
      auto longer = *proof;
      longer.push_back(r);
      EXPECT_FALSE(verify_inclusion(leaf, index, size, longer, r));
    }
    for (std::uint64_t old_size = 1; old_size <= size; ++old_size) {
      auto proof = consistency_proof(old_size, size, tree.reader());
      const std::vector<Hash> expected =
          old_size == size ? std::vector<Hash>{} : naive.subproof(old_size, 0, size, true);
      ASSERT_EQ(*proof, expected) << old_size << "->" << size;
      const Hash old_root = naive.mth(0, old_size);
      ASSERT_TRUE(verify_consistency(old_size, size, old_root, r, *proof));
      if (old_size == size) continue;
      EXPECT_FALSE(verify_consistency(old_size, size, r, r, *proof));
      EXPECT_FALSE(verify_consistency(old_size - 1, size, old_root, r, *proof));
      EXPECT_FALSE(verify_consistency(size, old_size, r, old_root, *proof));
      EXPECT_FALSE(verify_consistency(old_size, size, old_root, r, {}));
      auto flipped = *proof;
      flipped.back()[0] ^= 1;
      EXPECT_FALSE(verify_consistency(old_size, size, old_root, r, flipped));
      auto longer = *proof;
      longer.push_back(r);
      EXPECT_FALSE(verify_consistency(old_size, size, old_root, r, longer));
    }
  }
  // The empty tree is consistent with every tree, by no proof at all.
  EXPECT_TRUE(verify_consistency(0, 5, empty_root(), naive.mth(0, 5), {}));
  EXPECT_FALSE(verify_consistency(0, 5, naive.mth(0, 5), naive.mth(0, 5), {}));
  EXPECT_TRUE(consistency_proof(0, 5, tree.reader())->empty());
}

TEST(MerkleStoredNodesTest, CompletedNodesAreWhatATreeHolds) {
  // A store keeps exactly the nodes completed_by names: about two per leaf,
  // each the hash of the leaves below it.
  NaiveTree naive;
  std::vector<std::pair<Node, Hash>> stored;
  const NodeReader from_stored = [&](std::span<const Node> nodes, std::span<Hash> out) {
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const auto at = std::find_if(stored.begin(), stored.end(),
                                   [&](const auto& entry) { return entry.first == nodes[i]; });
      if (at == stored.end()) return Result<void>(fail(ErrorKind::Other, "missing"));
      out[i] = at->second;
    }
    return ok();
  };
  for (std::uint64_t n = 0; n < 64; ++n) {
    naive.leaves.push_back(leaf_hash(std::to_string(n)));
    auto nodes = completed_by(n, naive.leaves.back(), from_stored);
    ASSERT_TRUE(nodes);
    for (const auto& [node, hash] : *nodes) {
      EXPECT_EQ(hash, naive.mth(node.index << node.level, (node.index + 1) << node.level));
      EXPECT_EQ(((node.index + 1) << node.level) - 1, n);  // each ends at the new leaf
      stored.emplace_back(node, hash);
    }
  }
  EXPECT_EQ(stored.size(), 127U);
  EXPECT_EQ(*root(64, from_stored), naive.mth(0, 64));
  EXPECT_EQ(*inclusion_proof(37, 50, from_stored), naive.path(37, 0, 50));
}

}  // namespace
}  // namespace quorvex::receipt::merkle
