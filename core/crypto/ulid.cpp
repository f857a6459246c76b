#include "core/crypto/ulid.hpp"

#include <cstddef>
#include <string>

#include "core/base/random.hpp"

namespace quorvex::crypto {
namespace {

constexpr char kCrockford[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr std::uint64_t kMillisMask = (std::uint64_t{1} << 48) - 1;

std::uint64_t load_be(const std::uint8_t* bytes, std::size_t count) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

}  // namespace

Ulid new_ulid(std::uint64_t unix_millis) {
  // 16 random bits below the time, then 64 more.
  std::uint8_t random[10];
  fill_fast_random(random, sizeof(random));
  Ulid ulid;
  ulid.high = ((unix_millis & kMillisMask) << 16) | load_be(random, 2);
  ulid.low = load_be(random + 2, 8);
  return ulid;
}

std::string ulid_text(const Ulid& ulid) {
  // 26 digits of 5 bits cover 130 bits; the first digit holds only the top 3.
  std::string text(26, '0');
  for (std::size_t i = 0; i < 26; ++i) {
    const std::size_t shift = 125 - 5 * i;
    std::uint64_t digit;
    if (shift >= 64) {
      digit = ulid.high >> (shift - 64);
    } else if (shift + 5 <= 64) {
      digit = ulid.low >> shift;
    } else {
      digit = (ulid.low >> shift) | (ulid.high << (64 - shift));
    }
    text[i] = kCrockford[digit & 0x1F];
  }
  return text;
}

std::string new_dat_id(std::uint64_t unix_millis) {
  return "dat_" + ulid_text(new_ulid(unix_millis));
}

}  // namespace quorvex::crypto
