// A proof of possession sent with a request, checked as a verifier checks it for the seeds'
// token, method and URL; and the URL comparison's normal form, taken of any text.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/dat/proof.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  quorvex::dat::ProofRequest request;
  request.proof = text;
  request.token = "token";
  request.method = "POST";
  request.url = "https://api.example.com/tools/files";
  // The seeds' proofs were made at about this time; the widest window keeps them in it.
  request.now = 1'765'000'000;
  request.window = quorvex::dat::kMaxProofWindow;
  static_cast<void>(quorvex::dat::check_proof(request, std::nullopt));
  // A normal form is its own normal form.
  if (auto once = quorvex::dat::target_uri(text)) {
    auto twice = quorvex::dat::target_uri(*once);
    if (!twice || *twice != *once) __builtin_trap();
  }
  return 0;
}
