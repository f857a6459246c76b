#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvex::dat {

// IpAddress is an IPv4 address (first four bytes used) or an IPv6 address.
struct IpAddress {
  bool v6 = false;
  std::array<std::uint8_t, 16> bytes{};
  bool operator==(const IpAddress&) const = default;
};

// parse_ip accepts dotted-decimal IPv4 and the standard IPv6 text forms (no
// brackets, zone or prefix length).
std::optional<IpAddress> parse_ip(std::string_view text) noexcept;

// mapped_v4: the IPv4 address an IPv4-mapped IPv6 address (::ffff:a.b.c.d)
// carries; nullopt for every other address.
std::optional<IpAddress> mapped_v4(const IpAddress& ip) noexcept;

// ip_text: dotted decimal, or RFC 5952 IPv6 text ("::ffff:a.b.c.d" for mapped).
std::string ip_text(const IpAddress& ip);

// IpNetwork: an address with a prefix length; host bits may be set.
struct IpNetwork {
  IpAddress address;
  std::uint8_t prefix = 0;
  bool contains(const IpAddress& ip) const noexcept;
};

// parse_network accepts "addr/len" (len no longer than the address) or a plain
// address (the single-address network); nullopt for anything else.
std::optional<IpNetwork> parse_network(std::string_view text) noexcept;

}  // namespace quorvex::dat
