#include "core/base/random.hpp"

#include <pthread.h>
#include <sodium.h>
#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <system_error>

#include "core/base/error.hpp"

namespace quorvex {
namespace {

constexpr std::uint64_t kDrawsPerKey = 4096;

// Bumped in the child of every fork: the child inherits its parent's streams
// and would otherwise draw the same bytes as the parent.
std::atomic<std::uint64_t> fork_generation{0};

void on_fork_child() noexcept { fork_generation.fetch_add(1, std::memory_order_relaxed); }

// ThreadGenerator is one thread's stream: a key, a counter used as the nonce,
// how many draws the key has left, and the fork generation it was keyed in.
// It wipes its key when the thread ends.
struct ThreadGenerator {
  unsigned char key[crypto_stream_chacha20_KEYBYTES] = {};
  std::uint64_t counter = 0;
  std::uint64_t draws_left = 0;
  std::uint64_t generation = 0;

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
  static const bool fork_handler = pthread_atfork(nullptr, nullptr, on_fork_child) == 0;
  if (!fork_handler) internal_fault("cannot watch for fork");
  thread_local ThreadGenerator generator;
  const std::uint64_t generation = fork_generation.load(std::memory_order_relaxed);
  if (generator.draws_left == 0 || generator.generation != generation) {
    fill_os_random(generator.key, sizeof generator.key);
    generator.counter = 0;
    generator.draws_left = kDrawsPerKey;
    generator.generation = generation;
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
