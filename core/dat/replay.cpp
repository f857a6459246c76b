#include "core/dat/replay.hpp"

#include <cstring>

#include "core/crypto/digest.hpp"
#include "core/crypto/jwk.hpp"

namespace quorvex::dat {

ReplayKey replay_key(const crypto::PublicKey& holder, std::string_view jti) {
  const crypto::Sha256Digest digest =
      crypto::sha256({holder, {reinterpret_cast<const std::uint8_t*>(jti.data()), jti.size()}});
  ReplayKey key{};
  std::memcpy(key.data(), digest.data(), key.size());
  return key;
}

std::string replay_key_text(const crypto::PublicKey& holder, std::string_view jti) {
  std::string out = crypto::jwk_thumbprint(holder);
  out += ':';
  out += jti;
  return out;
}

std::size_t ReplayMemory::KeyHash::operator()(const ReplayKey& key) const noexcept {
  std::size_t hash = 0;
  std::memcpy(&hash, key.data(), sizeof hash);
  return hash;
}

ReplayMemory::Outcome ReplayMemory::remember(const ReplayKey& key, std::int64_t expires_at,
                                             std::int64_t now) {
  const std::scoped_lock lock(mutex_);
  // Entries come in time order, so the expired ones are at the front (an entry whose window
  // was longer than the next one's may wait a little past its expiry, which only costs room).
  while (!order_.empty() && order_.front().first <= now) {
    const auto found = entries_.find(order_.front().second);
    if (found != entries_.end() && found->second <= now) entries_.erase(found);
    order_.pop_front();
  }
  if (const auto found = entries_.find(key); found != entries_.end()) {
    return Outcome::Replayed;
  }
  if (entries_.size() >= capacity_) return Outcome::Full;
  entries_.emplace(key, expires_at);
  order_.emplace_back(expires_at, key);
  return Outcome::New;
}

std::size_t ReplayMemory::size() const {
  const std::scoped_lock lock(mutex_);
  return entries_.size();
}

ReplayMemory& process_replay_memory() {
  static ReplayMemory memory(kReplayCapacity);
  return memory;
}

}  // namespace quorvex::dat
