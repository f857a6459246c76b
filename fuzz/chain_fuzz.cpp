// A delegated token whose chain a service reads and checks link by link, against the key of
// the seed 00 01 02 ... 1f, which signed the seeds' roots.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/dat/chain.hpp"

namespace {

constexpr std::array<std::uint8_t, quorvex::crypto::kPublicKeyLen> kPublicKey = {
    0x03, 0xa1, 0x07, 0xbf, 0xf3, 0xce, 0x10, 0xbe, 0x1d, 0x70, 0xdd, 0x18, 0xe7, 0x4b, 0xc0, 0x99,
    0x67, 0xe4, 0xd6, 0x30, 0x9b, 0xa5, 0x0d, 0x5f, 0x1d, 0xdc, 0x86, 0x64, 0x12, 0x55, 0x31, 0xb8};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto leaf = quorvex::dat::Dat::from_compact(text);
  if (!leaf) return 0;
  auto chain = quorvex::dat::read_chain(*leaf);
  if (!chain) return 0;
  quorvex::dat::AuthorizeRequest request;
  request.verify.public_key = kPublicKey;
  request.verify.required_scope = "mcp:tool:files:read";
  request.verify.now = 1'765'000'000;
  request.proof = "a.b.c";
  request.method = "GET";
  request.url = "https://api.example.com/";
  static_cast<void>(quorvex::dat::authorize_token(*leaf, *chain, request));
  return 0;
}
