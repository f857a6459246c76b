#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/crypto/keypair.hpp"

namespace quorvex::dat {

// ReplayKey names one proof: the first 16 bytes of SHA-256(holder key || jti). Two holders'
// proofs never share one, whatever jti they choose.
using ReplayKey = std::array<std::uint8_t, 16>;
ReplayKey replay_key(const crypto::PublicKey& holder, std::string_view jti);

// replay_key_text is the name a shared replay store is given for a proof: the holder key's
// RFC 7638 thumbprint, a colon, and the jti.
std::string replay_key_text(const crypto::PublicKey& holder, std::string_view jti);

// ReplayMemory remembers the proofs it has accepted until each could no longer be accepted
// again, and refuses a second sight. An entry lives until its expiry; each call first forgets
// the entries whose expiry has passed, so memory follows the proofs of one window, not the
// number ever seen. Past capacity it refuses rather than forgets. Safe to share between
// threads.
class ReplayMemory {
 public:
  enum class Outcome : std::uint8_t { New, Replayed, Full };

  explicit ReplayMemory(std::size_t capacity) : capacity_(capacity) {}

  // remember records key until expires_at (Unix seconds); Replayed if it is remembered
  // already, Full if capacity entries are still live.
  Outcome remember(const ReplayKey& key, std::int64_t expires_at, std::int64_t now);
  std::size_t size() const;

 private:
  struct KeyHash {
    std::size_t operator()(const ReplayKey& key) const noexcept;
  };
  std::size_t capacity_;
  mutable std::mutex mutex_;
  std::unordered_map<ReplayKey, std::int64_t, KeyHash> entries_;
  std::deque<std::pair<std::int64_t, ReplayKey>> order_;  // by time of entry
};

// The process's own replay memory, used unless a verifier plugs in a shared one: a million
// live proofs at most.
inline constexpr std::size_t kReplayCapacity = 1'000'000;
ReplayMemory& process_replay_memory();

}  // namespace quorvex::dat
