#include "core/dat/ip.hpp"

#include <arpa/inet.h>

#include <cstddef>
#include <cstring>

#include "core/base/text.hpp"

namespace quorvex::dat {
namespace {

// Longer than any IPv6 text inet_pton accepts (45 characters at most).
constexpr std::size_t kMaxAddressText = 63;

void append_decimal(std::string& out, unsigned value) {
  if (value >= 100) out.push_back(static_cast<char>('0' + value / 100));
  if (value >= 10) out.push_back(static_cast<char>('0' + value / 10 % 10));
  out.push_back(static_cast<char>('0' + value % 10));
}

void append_dotted(std::string& out, const std::uint8_t* bytes) {
  for (std::size_t i = 0; i < 4; ++i) {
    if (i != 0) out.push_back('.');
    append_decimal(out, bytes[i]);
  }
}

void append_hex_group(std::string& out, unsigned group) {
  bool started = false;
  for (int shift = 12; shift >= 0; shift -= 4) {
    const unsigned digit = (group >> static_cast<unsigned>(shift)) & 0xfU;
    if (digit != 0 || started || shift == 0) {
      out.push_back(kHexDigits[digit]);
      started = true;
    }
  }
}

bool is_v4_mapped(const std::array<std::uint8_t, 16>& b) {
  for (std::size_t i = 0; i < 10; ++i) {
    if (b[i] != 0) return false;
  }
  return b[10] == 0xff && b[11] == 0xff;
}

std::string v6_text(const std::array<std::uint8_t, 16>& b) {
  std::string out;
  if (is_v4_mapped(b)) {
    out = "::ffff:";
    append_dotted(out, b.data() + 12);
    return out;
  }
  std::array<unsigned, 8> groups{};
  for (std::size_t i = 0; i < groups.size(); ++i) {
    groups[i] = static_cast<unsigned>(b[2 * i]) << 8U | b[2 * i + 1];
  }
  // The longest run of at least two zero groups becomes "::"; the first wins a tie.
  std::size_t best_start = groups.size();
  std::size_t best_len = 1;
  for (std::size_t i = 0; i < groups.size();) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < groups.size() && groups[end] == 0) ++end;
    if (end - i > best_len) {
      best_start = i;
      best_len = end - i;
    }
    i = end;
  }
  for (std::size_t i = 0; i < groups.size();) {
    if (i == best_start) {
      out.append("::");
      i += best_len;
      continue;
    }
    if (i != 0 && i != best_start + best_len) out.push_back(':');
    append_hex_group(out, groups[i]);
    ++i;
  }
  return out;
}

}  // namespace

std::optional<IpAddress> parse_ip(std::string_view text) noexcept {
  if (text.empty() || text.size() > kMaxAddressText) return std::nullopt;
  // inet_pton reads a C string; an embedded NUL would cut the text short.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  char buffer[kMaxAddressText + 1];
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  IpAddress ip;
  if (inet_pton(AF_INET, buffer, ip.bytes.data()) == 1) return ip;
  if (inet_pton(AF_INET6, buffer, ip.bytes.data()) == 1) {
    ip.v6 = true;
    return ip;
  }
  return std::nullopt;
}

std::optional<IpAddress> mapped_v4(const IpAddress& ip) noexcept {
  if (!ip.v6 || !is_v4_mapped(ip.bytes)) return std::nullopt;
  IpAddress v4;
  std::memcpy(v4.bytes.data(), ip.bytes.data() + 12, 4);
  return v4;
}

std::string ip_text(const IpAddress& ip) {
  if (ip.v6) return v6_text(ip.bytes);
  std::string out;
  append_dotted(out, ip.bytes.data());
  return out;
}

bool IpNetwork::contains(const IpAddress& ip) const noexcept {
  if (ip.v6 != address.v6) return false;
  const std::size_t bits = prefix;
  const std::size_t whole = bits / 8;
  if (std::memcmp(address.bytes.data(), ip.bytes.data(), whole) != 0) return false;
  const unsigned rest = bits % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xffU << (8 - rest));
  return (address.bytes[whole] & mask) == (ip.bytes[whole] & mask);
}

std::optional<IpNetwork> parse_network(std::string_view text) noexcept {
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) {
    const auto ip = parse_ip(text);
    if (!ip) return std::nullopt;
    return IpNetwork{*ip, static_cast<std::uint8_t>(ip->v6 ? 128 : 32)};
  }
  const auto ip = parse_ip(text.substr(0, slash));
  if (!ip) return std::nullopt;
  const std::string_view len_text = text.substr(slash + 1);
  if (len_text.empty()) return std::nullopt;
  const unsigned max_len = ip->v6 ? 128 : 32;
  unsigned len = 0;
  for (const char c : len_text) {
    if (c < '0' || c > '9') return std::nullopt;
    len = len * 10 + static_cast<unsigned>(c - '0');
    if (len > max_len) return std::nullopt;
  }
  return IpNetwork{*ip, static_cast<std::uint8_t>(len)};
}

}  // namespace quorvex::dat
