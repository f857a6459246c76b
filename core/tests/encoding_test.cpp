#include "core/crypto/encoding.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/crypto/digest.hpp"

namespace quorvex::crypto {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes random_bytes(std::mt19937& rng, std::size_t n) {
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

// Standard base64 from libcrypto, turned into the unpadded URL-safe form.
std::string reference_base64url(const Bytes& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (auto& c : out) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return out;
}

constexpr std::string_view kBase64UrlAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

TEST(Base58Test, MultibaseText) {
  EXPECT_EQ(multibase_base58btc(Bytes(32, 0)), std::string("z").append(32, '1'));
  Bytes one(32, 0);
  one[31] = 1;
  EXPECT_EQ(multibase_base58btc(one), std::string("z").append(31, '1').append("2"));
  EXPECT_EQ(multibase_base58btc(Bytes(32, 0xFF)), "zJEKNVnkbo3jma5nREBBJCDoXFVeKkD56V3xKrvRmWxFG");
  Bytes counting(32);
  for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(multibase_base58btc(counting), "z1thX6LZfHDZZKUs92febYZhYRcXddmzfzF2NvTkPNE");
  EXPECT_EQ(multibase_base58btc({}), "z");
}

TEST(Base58Test, DecodesWhatItEncodesWithLeadingZeros) {
  std::mt19937 rng(58);
  for (std::size_t zeros = 0; zeros <= 32; ++zeros) {
    for (std::size_t n :
         {std::size_t{0}, std::size_t{1}, std::size_t{31}, std::size_t{32}, std::size_t{64}}) {
      if (zeros > n) continue;
      Bytes data = random_bytes(rng, n);
      for (std::size_t i = 0; i < n; ++i) {
        if (i < zeros) {
          data[i] = 0;
        } else if (i == zeros && data[i] == 0) {
          data[i] = 1;
        }
      }
      const std::string text = multibase_base58btc(data);
      EXPECT_EQ(text.find_first_not_of('1', 1), zeros + 1 > n ? std::string::npos : zeros + 1);
      auto decoded = multibase_base58btc_decode(text);
      ASSERT_TRUE(decoded) << text << ": " << decoded.error().text();
      EXPECT_EQ(*decoded, data) << text;
    }
  }
  auto max = multibase_base58btc_decode("zJEKNVnkbo3jma5nREBBJCDoXFVeKkD56V3xKrvRmWxFG");
  ASSERT_TRUE(max);
  EXPECT_EQ(*max, Bytes(32, 0xFF));
  auto longest = multibase_base58btc(Bytes(64, 0xFF));
  EXPECT_LE(longest.size(), 1 + kMaxBase58Digits);
  EXPECT_TRUE(multibase_base58btc_decode(longest));
}

TEST(Base58Test, RejectsTextOutsideTheAlphabetOrBound) {
  struct Case {
    std::string text;
    std::string_view error;
  };
  const Case cases[] = {
      {"", "Missing multibase prefix 'z'"},
      {"J", "Missing multibase prefix 'z'"},
      {"Z2", "Missing multibase prefix 'z'"},
      {"f00", "Missing multibase prefix 'z'"},
      {"z0", "Invalid character '0' at position 1"},
      {"z11O", "Invalid character 'O' at position 3"},
      {"zI", "Invalid character 'I' at position 1"},
      {"z2l", "Invalid character 'l' at position 2"},
      {"z2+", "Invalid character '+' at position 2"},
      {"z2 ", "Invalid character ' ' at position 2"},
      {"z2\n", "Invalid character '\\n' at position 2"},
      {std::string("z\0", 2), "Invalid character '\\0' at position 1"},
      {"z2\xC3\xA9", "Invalid character '\xC3\x83' at position 2"},
      {"z" + std::string(kMaxBase58Digits + 1, '1'), "Longer than 90 base58 digits: 91"},
      // The bound is checked before any character.
      {"z" + std::string(kMaxBase58Digits + 1, '0'), "Longer than 90 base58 digits: 91"},
      {"z" + std::string(100000, '2'), "Longer than 90 base58 digits: 100000"},
  };
  for (const auto& c : cases) {
    auto decoded = multibase_base58btc_decode(c.text);
    ASSERT_FALSE(decoded) << c.text;
    EXPECT_EQ(decoded.error().kind(), ErrorKind::Other) << c.text;
    EXPECT_EQ(decoded.error().text(), c.error) << c.text;
  }
}

TEST(Base64UrlTest, EncodesWithoutPadding) {
  EXPECT_EQ(base64url_encode(Bytes{0xFB, 0xFF}), "-_8");
  EXPECT_EQ(base64url_encode(bytes_of("abc")), "YWJj");
  EXPECT_EQ(base64url_encode(bytes_of("a")), "YQ");
  EXPECT_EQ(base64url_encode({}), "");

  std::string out = "head.";
  base64url_encode_append(out, bytes_of("ab"));
  EXPECT_EQ(out, "head.YWI");
}

TEST(Base64UrlTest, DecodesCanonicalText) {
  struct Case {
    std::string_view text;
    Bytes bytes;
  };
  const Case cases[] = {
      {"", {}},
      {"-_8", {0xFB, 0xFF}},
      {"YWJj", bytes_of("abc")},
      {"YQ", bytes_of("a")},
      {"AAAAAAAA", Bytes(6, 0)},
  };
  for (const auto& c : cases) {
    auto decoded = base64url_decode(c.text);
    ASSERT_TRUE(decoded) << c.text << ": " << decoded.error().text();
    EXPECT_EQ(*decoded, c.bytes) << c.text;
  }
}

TEST(Base64UrlTest, RejectsNonCanonicalText) {
  struct Case {
    std::string_view text;
    std::string_view error;
  };
  const Case cases[] = {
      {"-_8=", "Invalid padding"},
      {"AA==", "Invalid padding"},
      {"AAA=", "Invalid padding"},
      {"AB=", "Invalid padding"},  // padding is named before the last symbol
      {"+", "Invalid symbol 43, offset 0."},
      {"/", "Invalid symbol 47, offset 0."},
      {"YW/j", "Invalid symbol 47, offset 2."},
      {"AAA+", "Invalid symbol 43, offset 3."},
      {"A", "Invalid input length: 1"},
      {"AAAAA", "Invalid input length: 5"},
      {"-_9", "Invalid last symbol 57, offset 2."},
      {"AB", "Invalid last symbol 66, offset 1."},
      {"AAAAAB", "Invalid last symbol 66, offset 5."},
      {"=", "Invalid symbol 61, offset 0."},
      {"A=", "Invalid symbol 61, offset 1."},
      {"A==", "Invalid symbol 61, offset 1."},
      {"AAAA=", "Invalid symbol 61, offset 4."},
      {"AAAAA==", "Invalid symbol 61, offset 5."},
      {"AA=A", "Invalid symbol 61, offset 2."},
      {"AA=\xFF", "Invalid symbol 61, offset 2."},  // the padding, not the bad byte after it
      {"AA=AAAAA", "Invalid symbol 61, offset 2."},
      {"AA===", "Invalid symbol 61, offset 2."},
      {"AAA=A", "Invalid symbol 61, offset 3."},
      {"\n", "Invalid symbol 10, offset 0."},
      {"AAAA\n", "Invalid symbol 10, offset 4."},
      {"+AAA\n", "Invalid symbol 10, offset 4."},  // a stray last byte is named first
      {"A\nAAAA", "Invalid symbol 10, offset 1."},
      {"A A", "Invalid symbol 32, offset 1."},
      {"AAAA AAA", "Invalid symbol 32, offset 4."},
      {"AA\xFF", "Invalid symbol 255, offset 2."},
  };
  for (const auto& c : cases) {
    auto decoded = base64url_decode(c.text);
    ASSERT_FALSE(decoded) << c.text;
    EXPECT_EQ(decoded.error().kind(), ErrorKind::Base64Decode) << c.text;
    EXPECT_EQ(decoded.error().text(), c.error) << c.text;
  }
}

TEST(Base64UrlTest, RoundTripsRandomDataOfEveryLength) {
  std::mt19937 rng(42);
  for (std::size_t n = 0; n <= 100; ++n) {
    const Bytes data = random_bytes(rng, n);
    const std::string text = base64url_encode(data);
    ASSERT_EQ(text, reference_base64url(data)) << n;
    auto decoded = base64url_decode(text);
    ASSERT_TRUE(decoded) << n << ": " << decoded.error().text();
    EXPECT_EQ(*decoded, data) << n;

    // Setting an unused low bit of the last symbol makes the text non-canonical.
    if (n % 3 != 0) {
      std::string tweaked = text;
      tweaked.back() = kBase64UrlAlphabet[kBase64UrlAlphabet.find(text.back()) | 1];
      auto refused = base64url_decode(tweaked);
      ASSERT_FALSE(refused) << tweaked;
      std::string expected = "Invalid last symbol ";
      expected += std::to_string(static_cast<int>(tweaked.back()));
      expected += ", offset ";
      expected += std::to_string(tweaked.size() - 1);
      expected += '.';
      EXPECT_EQ(refused.error().text(), expected);
    }
  }
}

TEST(HexTest, EncodesLowerCase) {
  EXPECT_EQ(hex_encode(Bytes{0x00, 0xAB, 0xCD, 0xEF, 0x10, 0xFF}), "00abcdef10ff");
  EXPECT_EQ(hex_encode({}), "");
}

TEST(HexTest, DecodesEitherCase) {
  auto decoded = hex_decode("ABcd");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, (Bytes{0xAB, 0xCD}));
  decoded = hex_decode("0123456789abcdefABCDEF");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(hex_encode(*decoded), "0123456789abcdefabcdef");
  decoded = hex_decode("");
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->empty());
}

TEST(HexTest, RejectsOddLengthAndNonDigits) {
  struct Case {
    std::string_view text;
    std::string_view error;
  };
  const Case cases[] = {
      {"abc", "Odd number of digits"},
      {"xyz", "Odd number of digits"},  // length is checked before any character
      {"0g", "Invalid character 'g' at position 1"},
      {"g0", "Invalid character 'g' at position 0"},
      {"00zz", "Invalid character 'z' at position 2"},
      {"0 ", "Invalid character ' ' at position 1"},
      {"0\"", "Invalid character '\"' at position 1"},
      {std::string_view("0\0", 2), "Invalid character '\\0' at position 1"},
      {"0\t", "Invalid character '\\t' at position 1"},
      {"0\r", "Invalid character '\\r' at position 1"},
      {"0\n", "Invalid character '\\n' at position 1"},
      {"0'", "Invalid character '\\'' at position 1"},
      {"0\\", "Invalid character '\\\\' at position 1"},
      {"0\x01", "Invalid character '\\u{1}' at position 1"},
      {"0\x1B", "Invalid character '\\u{1b}' at position 1"},
      {"0\x7F", "Invalid character '\\u{7f}' at position 1"},
      // Bytes above 0x7F are shown as the code point of the same value.
      {"0\x80", "Invalid character '\\u{80}' at position 1"},
      {"0\xA0", "Invalid character '\\u{a0}' at position 1"},
      {"0\xAD", "Invalid character '\\u{ad}' at position 1"},
      {"0\xE9", "Invalid character '\xC3\xA9' at position 1"},
      {"0\xFF", "Invalid character '\xC3\xBF' at position 1"},
  };
  for (const auto& c : cases) {
    auto decoded = hex_decode(c.text);
    ASSERT_FALSE(decoded) << c.text;
    EXPECT_EQ(decoded.error().kind(), ErrorKind::Other) << c.text;
    EXPECT_EQ(decoded.error().text(), c.error) << c.text;
  }
}

TEST(DigestTest, Blake3KnownValues) {
  EXPECT_EQ(blake3_digest_text({}),
            "blake3:af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
  EXPECT_EQ(blake3_digest_text(bytes_of("abc")),
            "blake3:6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85");
  EXPECT_EQ(hex_encode(blake3(bytes_of("abc"))),
            "6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85");
}

// FIPS 180-2's examples, and parts hashing as their concatenation does.
TEST(DigestTest, Sha256KnownValuesInParts) {
  EXPECT_EQ(hex_encode(sha256({})),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex_encode(sha256("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string_view two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const std::string expected = "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
  EXPECT_EQ(hex_encode(sha256(two_blocks)), expected);
  const Bytes whole = bytes_of(two_blocks);
  const std::span<const std::uint8_t> bytes(whole);
  EXPECT_EQ(hex_encode(sha256({bytes.first(5), {}, bytes.subspan(5, 50), bytes.subspan(55)})),
            expected);
}

}  // namespace
}  // namespace quorvex::crypto
