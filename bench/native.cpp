// Floors for the Python benchmarks: the libsodium calls quorvex makes, timed
// from C++. Prints one JSON object of nanoseconds per call.
#include <blake3.h>
#include <sodium.h>
#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

template <typename F>
double best_ns_per_call(F&& f, int calls, int repeats = 7) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) f();
    const auto end = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::nano>(end - start).count() / calls);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) return 1;
  const long token_len = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 560;
  const long receipt_len = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 480;
  const long data_len = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 1024;
  unsigned char seed[32], pk[32], sk[64], sig[64];
  randombytes_buf(seed, sizeof seed);
  crypto_sign_seed_keypair(pk, sk, seed);
  std::vector<unsigned char> message(64, 'm');
  std::vector<unsigned char> token_input(static_cast<std::size_t>(token_len), 'e');
  crypto_sign_detached(sig, nullptr, message.data(), message.size(), sk);
  unsigned char token_sig[64];
  crypto_sign_detached(token_sig, nullptr, token_input.data(), token_input.size(), sk);
  volatile int sink = 0;

  const double sign = best_ns_per_call(
      [&] { sink = sink + crypto_sign_detached(sig, nullptr, message.data(), message.size(), sk); },
      4000);
  const double verify = best_ns_per_call(
      [&] { sink = sink + crypto_sign_verify_detached(sig, message.data(), message.size(), pk); },
      2000);
  const double keygen = best_ns_per_call(
      [&] {
        unsigned char s[32], p[32], k[64];
        sink = sink + static_cast<int>(getrandom(s, sizeof s, 0));
        sink = sink + crypto_sign_seed_keypair(p, k, s);
        sodium_memzero(s, sizeof s);
        sodium_memzero(k, sizeof k);
      },
      4000);
  const double sign_token = best_ns_per_call(
      [&] {
        sink =
            sink + crypto_sign_detached(sig, nullptr, token_input.data(), token_input.size(), sk);
      },
      4000);
  const double verify_token = best_ns_per_call(
      [&] {
        sink = sink +
               crypto_sign_verify_detached(token_sig, token_input.data(), token_input.size(), pk);
      },
      2000);
  // A receipt: the digests of its input and output, then one signature.
  std::vector<unsigned char> receipt_input(static_cast<std::size_t>(receipt_len), 'r');
  std::vector<unsigned char> data(static_cast<std::size_t>(data_len), 'd');
  const double receipt = best_ns_per_call(
      [&] {
        unsigned char digest[32];
        for (int k = 0; k < 2; ++k) {
          blake3_hasher hasher;
          blake3_hasher_init(&hasher);
          blake3_hasher_update(&hasher, data.data(), data.size());
          blake3_hasher_finalize(&hasher, digest, sizeof digest);
          sink = sink + digest[0];
        }
        sink = sink +
               crypto_sign_detached(sig, nullptr, receipt_input.data(), receipt_input.size(), sk);
      },
      4000);
  std::printf(
      "{\"sign\": %.1f, \"verify\": %.1f, \"keygen\": %.1f, \"sign_token\": %.1f, "
      "\"verify_token\": %.1f, \"receipt\": %.1f}\n",
      sign, verify, keygen, sign_token, verify_token, receipt);
  return sink == 12345 ? 2 : 0;
}
