// The printed-log audit from C++: one thread against all of them, and both against
// the floor of one libsodium verification per receipt. Prints one JSON object of
// nanoseconds per receipt.
#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/base/clock.hpp"
#include "core/receipt/audit.hpp"
#include "core/receipt/log.hpp"

namespace {

using quorvex::crypto::KeyPair;

template <typename F>
double best_ns(F&& f, int repeats) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    f();
    const auto end = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::nano>(end - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) return 1;
  const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100000;
  const int repeats = argc > 2 ? static_cast<int>(std::strtol(argv[2], nullptr, 10)) : 3;
  const KeyPair key = KeyPair::generate();
  quorvex::receipt::ReceiptLog log;
  const std::string data(64, 'x');
  const quorvex::crypto::ByteView bytes(reinterpret_cast<const std::uint8_t*>(data.data()),
                                        data.size());
  for (long i = 0; i < count; ++i) {
    const quorvex::receipt::ActionInput action{"did:aid:example.com:agent-7",
                                               "dat_01JGZ8Y4R3X0P9Q7V5T2M6K1NB",
                                               "mcp:tool-call",
                                               bytes,
                                               "files.example.com",
                                               "read_file",
                                               bytes,
                                               "success",
                                               12,
                                               "s-1"};
    if (!log.append(action, key, quorvex::now())) return 1;
  }
  const std::string json = *log.to_json();
  std::vector<std::string> inputs;
  inputs.reserve(log.size());
  for (std::size_t i = 0; i < log.size(); ++i) inputs.push_back(signing_input(log[i]));
  const auto& pk = key.public_key_bytes();
  const double n = static_cast<double>(log.size());
  volatile std::size_t sink = 0;

  const auto audit = [&](std::size_t threads) {
    auto audited = quorvex::receipt::audit_printed_log(json, pk, threads);
    if (!audited) std::abort();
    sink = sink + *audited;
  };
  const double one = best_ns([&] { audit(1); }, repeats) / n;
  const double all = best_ns([&] { audit(0); }, repeats) / n;
  const double verify = best_ns(
                            [&] {
                              for (std::size_t i = 0; i < inputs.size(); ++i) {
                                const auto& input = inputs[i];
                                sink =
                                    sink + static_cast<std::size_t>(crypto_sign_verify_detached(
                                               log[i].signature.data(),
                                               reinterpret_cast<const unsigned char*>(input.data()),
                                               input.size(), pk.data()));
                              }
                            },
                            repeats) /
                        n;
  std::printf(
      "{\"receipts\": %zu, \"threads\": %u, \"audit_one_thread\": %.1f, "
      "\"audit_all_threads\": %.1f, \"verify\": %.1f, \"json_bytes\": %zu}\n",
      log.size(), std::max(1U, std::thread::hardware_concurrency()), one, all, verify, json.size());
  return sink == 12345 ? 2 : 0;
}
