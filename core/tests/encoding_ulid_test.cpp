#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "core/base/clock.hpp"
#include "core/crypto/ulid.hpp"

namespace quorvex::crypto {
namespace {

constexpr std::string_view kCrockford = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

TEST(UlidTest, TextOfFixedValues) {
  EXPECT_EQ(ulid_text({0, 0}), std::string(26, '0'));
  EXPECT_EQ(ulid_text({~0ULL, ~0ULL}), "7ZZZZZZZZZZZZZZZZZZZZZZZZZ");
  EXPECT_EQ(ulid_text({0, 1}), "00000000000000000000000001");
  EXPECT_EQ(ulid_text({1, 0}), "0000000000000G000000000000");  // bit 64 straddles a digit
  EXPECT_EQ(ulid_text({0x0123456789ABCDEF, 0xFEDCBA9876543210}), "014D2PF2DBSQQZXQ5TK1V58CGG");
  EXPECT_EQ(ulid_text({0x01563E3AB5D3D676, 0x4C61EFB99302BD5B}), "01ARZ3NDEKTSV4RRFFQ69G5FAV");
}

TEST(UlidTest, TimeFillsTheTopFortyEightBits) {
  struct Case {
    std::uint64_t millis;
    std::string_view prefix;
  };
  const Case cases[] = {
      {0, "0000000000"},
      {1469918176385, "01ARYZ6S41"},
      {(1ULL << 48) - 1, "7ZZZZZZZZZ"},
      // Only the low 48 bits are kept.
      {1ULL << 48, "0000000000"},
      {~0ULL, "7ZZZZZZZZZ"},
  };
  for (const auto& c : cases) {
    const Ulid ulid = new_ulid(c.millis);
    EXPECT_EQ(ulid.high >> 16, c.millis & ((1ULL << 48) - 1));
    EXPECT_EQ(ulid_text(ulid).substr(0, 10), c.prefix) << c.millis;
  }
}

TEST(UlidTest, SameMillisecondSharesOnlyTheTime) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string text = ulid_text(new_ulid(1700000000000));
    ASSERT_EQ(text.size(), 26u);
    EXPECT_EQ(text.find_first_not_of(kCrockford), std::string::npos) << text;
    EXPECT_LE(text[0], '7');
    EXPECT_EQ(text.substr(0, 10), "01HF7YAT00");
    EXPECT_TRUE(seen.insert(text.substr(10)).second) << text;
  }
}

TEST(UlidTest, ForkedChildDrawsOtherIdsThanItsParent) {
  ulid_text(new_ulid(0));  // the parent's stream is keyed before the fork
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::string text = ulid_text(new_ulid(0));
    const bool written = ::write(fds[1], text.data(), text.size()) == 26;
    ::_exit(written ? 0 : 1);
  }
  ::close(fds[1]);
  std::string from_child(26, '\0');
  EXPECT_EQ(::read(fds[0], from_child.data(), from_child.size()), 26);
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  EXPECT_NE(from_child, ulid_text(new_ulid(0)));
}

TEST(UlidTest, DatIdIsPrefixedUlid) {
  const std::string id = new_dat_id(0);
  ASSERT_EQ(id.size(), 30u);
  EXPECT_EQ(id.substr(0, 14), "dat_0000000000");
  EXPECT_EQ(id.find_first_not_of(kCrockford, 4), std::string::npos) << id;
}

TEST(ClockTest, UnixMillis) {
  EXPECT_EQ((Instant{0, 0}.unix_millis()), 0u);
  EXPECT_EQ((Instant{-1, 999'999'999}.unix_millis()), 0u);
  EXPECT_EQ((Instant{-100000, 0}.unix_millis()), 0u);
  EXPECT_EQ((Instant{0, 999'999}.unix_millis()), 0u);
  EXPECT_EQ((Instant{1, 1'000'000}.unix_millis()), 1001u);
  EXPECT_EQ((Instant{1700000000, 123'999'999}.unix_millis()), 1700000000123u);
}

}  // namespace
}  // namespace quorvex::crypto
