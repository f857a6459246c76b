// A delegated token whose chain a service reads and checks link by link, against the key of
// the seed 00 01 02 ... 1f, which signed the seeds' roots.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/dat/chain.hpp"
#include "seed_key.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto leaf = quorvex::dat::Dat::from_compact(text);
  if (!leaf) return 0;
  auto chain = quorvex::dat::read_chain(*leaf);
  if (!chain) return 0;
  quorvex::dat::AuthorizeRequest request;
  request.verify.public_key = quorvex::fuzz::kSeedPublicKey;
  request.verify.required_scope = "mcp:tool:files:read";
  request.verify.now = 1'765'000'000;
  request.proof = "a.b.c";
  request.method = "GET";
  request.url = "https://api.example.com/";
  static_cast<void>(quorvex::dat::authorize_token(*leaf, *chain, request));
  return 0;
}
