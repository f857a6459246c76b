#include "core/base/random.hpp"

#include <sodium.h>
#include <sys/random.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "core/base/error.hpp"

namespace quorvex {
namespace {

constexpr std::uint64_t kDrawsPerKey = 4096;

// ThreadGenerator is one thread's stream: a key, a counter used as the nonce,
// and how many draws the key has left. It wipes its key when the thread ends.
struct ThreadGenerator {
  unsigned char key[crypto_stream_chacha20_KEYBYTES] = {};
  std::uint64_t counter = 0;
  std::uint64_t draws_left = 0;

  ThreadGenerator() = default;
  ThreadGenerator(const ThreadGenerator&) = delete;
  ThreadGenerator& operator=(const ThreadGenerator&) = delete;
  ThreadGenerator(ThreadGenerator&&) = delete;
  ThreadGenerator& operator=(ThreadGenerator&&) = delete;
  ~ThreadGenerator() { sodium_memzero(key, sizeof key); }
};

}  // namespace

void fill_os_random(std::uint8_t* out, std::size_t size) {
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t got = getrandom(out + filled, size - filled, 0);
    if (got < 0) {
      const int code = errno;
      if (code == EINTR) continue;
      const std::string text = "Error: " + std::system_category().message(code) + " (os error " +
                               std::to_string(code) + ")";
      internal_fault(text.c_str());
    }
    filled += static_cast<std::size_t>(got);
  }
}

void fill_fast_random(std::uint8_t* out, std::size_t size) {
  thread_local ThreadGenerator generator;
  if (generator.draws_left == 0) {
    fill_os_random(generator.key, sizeof generator.key);
    generator.counter = 0;
    generator.draws_left = kDrawsPerKey;
  }
  --generator.draws_left;
  unsigned char nonce[crypto_stream_chacha20_NONCEBYTES] = {};
  const std::uint64_t n = generator.counter++;
  for (std::size_t i = 0; i < sizeof nonce; ++i) {
    nonce[i] = static_cast<unsigned char>(n >> (8 * i));
  }
  if (crypto_stream_chacha20(out, size, nonce, generator.key) != 0) {
    internal_fault("random stream failed");
  }
}

}  // namespace quorvex
