#include "core/crypto/digest.hpp"

#include <blake3.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "core/base/error.hpp"
#include "core/crypto/encoding.hpp"

#if QUORVEX_BLAKE3_INTERNALS
// The reference library's own building blocks, present when it is built from
// its sources here: one compression, and one chunk's blocks for many inputs at once.
extern "C" {
void blake3_compress_in_place(std::uint32_t cv[8], const std::uint8_t block[64],
                              std::uint8_t block_len, std::uint64_t counter, std::uint8_t flags);
void blake3_hash_many(const std::uint8_t* const* inputs, std::size_t num_inputs, std::size_t blocks,
                      const std::uint32_t key[8], std::uint64_t counter, bool increment_counter,
                      std::uint8_t flags, std::uint8_t flags_start, std::uint8_t flags_end,
                      std::uint8_t* out);
}
#endif

namespace quorvex::crypto {
namespace {

#if QUORVEX_BLAKE3_INTERNALS
constexpr std::uint32_t kIv[8] = {0x6A09E667U, 0xBB67AE85U, 0x3C6EF372U, 0xA54FF53AU,
                                  0x510E527FU, 0x9B05688CU, 0x1F83D9ABU, 0x5BE0CD19U};
constexpr std::uint8_t kChunkStart = 1;
constexpr std::uint8_t kChunkEnd = 2;
constexpr std::uint8_t kRoot = 8;
constexpr std::size_t kBlockLen = 64;
constexpr std::size_t kChunkLen = 1024;
constexpr std::size_t kBatch = 16;

std::size_t block_count(std::size_t length) {
  return length == 0 ? 1 : (length + kBlockLen - 1) / kBlockLen;
}

// Hashes inputs that all fit one chunk and have the same number of blocks: the
// blocks before the last for all of them together, then each last block.
void hash_batch(const std::uint8_t* const* inputs, const std::size_t* lengths, std::size_t count,
                std::size_t blocks, Blake3Digest* out) {
  std::uint8_t cvs[kBatch * 32];
  if (blocks > 1) {
    blake3_hash_many(inputs, count, blocks - 1, kIv, 0, false, 0, kChunkStart, 0, cvs);
  }
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t cv[8];
    if (blocks > 1) {
      for (std::size_t w = 0; w < 8; ++w) {
        const std::uint8_t* b = cvs + 32 * i + 4 * w;
        cv[w] = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
                static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
      }
    } else {
      std::memcpy(cv, kIv, sizeof cv);
    }
    const std::size_t offset = (blocks - 1) * kBlockLen;
    const std::size_t last_len = lengths[i] - offset;
    std::uint8_t block[kBlockLen] = {};
    if (last_len != 0) std::memcpy(block, inputs[i] + offset, last_len);
    const auto flags =
        static_cast<std::uint8_t>(kChunkEnd | kRoot | (blocks == 1 ? kChunkStart : 0));
    blake3_compress_in_place(cv, block, static_cast<std::uint8_t>(last_len), 0, flags);
    for (std::size_t w = 0; w < 8; ++w) {
      for (std::size_t k = 0; k < 4; ++k) {
        out[i][4 * w + k] = static_cast<std::uint8_t>(cv[w] >> (8 * k));
      }
    }
  }
}
#endif

}  // namespace

Sha256Digest sha256(std::initializer_list<std::span<const std::uint8_t>> parts) {
  // The algorithm is looked up once, and each thread reuses one context, so a
  // hash of a tree node allocates nothing.
  static const EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  QV_CHECK(md != nullptr);
  struct Free {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
  };
  thread_local const std::unique_ptr<EVP_MD_CTX, Free> ctx(EVP_MD_CTX_new());
  QV_CHECK(ctx != nullptr && EVP_DigestInit_ex2(ctx.get(), md, nullptr) == 1);
  for (const auto& part : parts) {
    QV_CHECK(EVP_DigestUpdate(ctx.get(), part.data(), part.size()) == 1);
  }
  Sha256Digest out{};
  unsigned int written = 0;
  QV_CHECK(EVP_DigestFinal_ex(ctx.get(), out.data(), &written) == 1 && written == out.size());
  return out;
}

Blake3Digest blake3(std::span<const std::uint8_t> bytes) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, bytes.data(), bytes.size());
  Blake3Digest digest;
  blake3_hasher_finalize(&hasher, digest.data(), digest.size());
  return digest;
}

void blake3_each(std::span<const std::span<const std::uint8_t>> inputs,
                 std::span<Blake3Digest> out) {
  QV_CHECK(inputs.size() == out.size());
#if QUORVEX_BLAKE3_INTERNALS
  // Group single-chunk inputs by their number of blocks; longer ones go one by one.
  std::vector<std::size_t> order;
  order.reserve(inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (inputs[i].size() <= kChunkLen) {
      order.push_back(i);
    } else {
      out[i] = blake3(inputs[i]);
    }
  }
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return block_count(inputs[a].size()) < block_count(inputs[b].size());
  });
  std::size_t at = 0;
  while (at < order.size()) {
    const std::size_t blocks = block_count(inputs[order[at]].size());
    const std::uint8_t* data[kBatch];
    std::size_t lengths[kBatch];
    Blake3Digest digests[kBatch];
    std::size_t count = 0;
    while (at + count < order.size() && count < kBatch &&
           block_count(inputs[order[at + count]].size()) == blocks) {
      data[count] = inputs[order[at + count]].data();
      lengths[count] = inputs[order[at + count]].size();
      ++count;
    }
    hash_batch(data, lengths, count, blocks, digests);
    for (std::size_t k = 0; k < count; ++k) out[order[at + k]] = digests[k];
    at += count;
  }
#else
  for (std::size_t i = 0; i < inputs.size(); ++i) out[i] = blake3(inputs[i]);
#endif
}

std::string blake3_digest_text(std::span<const std::uint8_t> bytes) {
  const Blake3Digest digest = blake3(bytes);
  std::string text;
  text.reserve(7 + 2 * digest.size());
  text += "blake3:";
  text += hex_encode(digest);
  return text;
}

}  // namespace quorvex::crypto
