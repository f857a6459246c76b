#pragma once

#include <cstdint>
#include <string>

namespace quorvex::crypto {

// A ULID: 48 bits of Unix milliseconds above 80 random bits.
struct Ulid {
  std::uint64_t high = 0;  // time in the upper 48 bits, then 16 random bits
  std::uint64_t low = 0;   // 64 random bits
};

// new_ulid stamps unix_millis (low 48 bits kept) with fresh random bits from the
// calling thread's generator. Throws InternalFault if the system source fails.
Ulid new_ulid(std::uint64_t unix_millis);

// ulid_text: 26 upper-case Crockford base32 characters, the first one 0 to 7.
std::string ulid_text(const Ulid& ulid);

// new_dat_id: "dat_" followed by the text of a new ULID.
std::string new_dat_id(std::uint64_t unix_millis);

}  // namespace quorvex::crypto
