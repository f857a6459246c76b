#pragma once

#include <sodium.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quorvex::crypto {

// SecretBytes holds key material and overwrites it with zeros when it dies.
// Copies and moves duplicate the bytes; every instance wipes its own.
template <std::size_t N>
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(std::span<const std::uint8_t, N> bytes) {
    for (std::size_t i = 0; i < N; ++i) bytes_[i] = bytes[i];
  }
  SecretBytes(const SecretBytes&) = default;
  SecretBytes& operator=(const SecretBytes&) = default;
  SecretBytes(SecretBytes&&) noexcept = default;
  SecretBytes& operator=(SecretBytes&&) noexcept = default;
  ~SecretBytes() { sodium_memzero(bytes_.data(), bytes_.size()); }

  std::uint8_t* data() noexcept { return bytes_.data(); }
  const std::uint8_t* data() const noexcept { return bytes_.data(); }
  static constexpr std::size_t size() noexcept { return N; }
  std::span<const std::uint8_t, N> view() const noexcept { return bytes_; }

 private:
  std::array<std::uint8_t, N> bytes_{};
};

}  // namespace quorvex::crypto
