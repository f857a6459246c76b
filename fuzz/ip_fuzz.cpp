// Request addresses and the entries of a token's IP lists.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/dat/ip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvex::dat;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto ip = parse_ip(text)) {
    // The written form reads back as the same address, and a plain address is its own network.
    if (parse_ip(ip_text(*ip)) != ip) __builtin_trap();
    const auto network = parse_network(text);
    if (!network || !network->contains(*ip)) __builtin_trap();
    if (const auto v4 = mapped_v4(*ip); v4 && v4->v6) __builtin_trap();
  } else if (const auto network = parse_network(text)) {
    static_cast<void>(network->contains(network->address));
  }
  return 0;
}
