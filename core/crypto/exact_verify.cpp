#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "core/base/error.hpp"
#include "core/crypto/keypair.hpp"

namespace quorvex::crypto {
namespace {

// Field elements mod p = 2^255 - 19 as five 51-bit limbs, least significant first. Limbs may
// run a few bits over 51 between operations; only canonical() fully reduces.
__extension__ typedef unsigned __int128 Wide;  // NOLINT(modernize-use-using): needs __extension__
using Fe = std::array<std::uint64_t, 5>;

constexpr std::uint64_t kLimbMask = (std::uint64_t{1} << 51) - 1;

// fe_from_bytes reads the low 255 bits of a little-endian encoding; the value may be p or more.
constexpr Fe fe_from_bytes(std::span<const std::uint8_t, 32> bytes) {
  std::array<std::uint64_t, 4> w{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    w[i / 8] |= std::uint64_t{bytes[i]} << (8 * (i % 8));
  }
  w[3] &= ~(std::uint64_t{1} << 63);
  return {w[0] & kLimbMask, ((w[0] >> 51) | (w[1] << 13)) & kLimbMask,
          ((w[1] >> 38) | (w[2] << 26)) & kLimbMask, ((w[2] >> 25) | (w[3] << 39)) & kLimbMask,
          w[3] >> 12};
}

// The curve constant d = -121665/121666 mod p, little-endian.
constexpr std::array<std::uint8_t, 32> kCurveDBytes = {
    0xa3, 0x78, 0x59, 0x13, 0xca, 0x4d, 0xeb, 0x75, 0xab, 0xd8, 0x41, 0x41, 0x4d, 0x0a, 0x70, 0x00,
    0x98, 0xe8, 0x79, 0x77, 0x79, 0x40, 0xc7, 0x8c, 0x73, 0xfe, 0x6f, 0x2b, 0xee, 0x6c, 0x03, 0x52};
constexpr Fe kCurveD = fe_from_bytes(kCurveDBytes);
constexpr Fe kOne = {1, 0, 0, 0, 0};

// The group order L, little-endian like S.
constexpr std::array<std::uint8_t, 32> kGroupOrder = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

Wide wide_mul(std::uint64_t a, std::uint64_t b) noexcept { return static_cast<Wide>(a) * b; }

// carry takes five column sums below 2^116 to limbs of at most 51 bits (the second limb 52).
Fe carry(Wide c0, Wide c1, Wide c2, Wide c3, Wide c4) noexcept {
  Fe h{};
  c1 += c0 >> 51;
  h[0] = static_cast<std::uint64_t>(c0) & kLimbMask;
  c2 += c1 >> 51;
  h[1] = static_cast<std::uint64_t>(c1) & kLimbMask;
  c3 += c2 >> 51;
  h[2] = static_cast<std::uint64_t>(c2) & kLimbMask;
  c4 += c3 >> 51;
  h[3] = static_cast<std::uint64_t>(c3) & kLimbMask;
  h[4] = static_cast<std::uint64_t>(c4) & kLimbMask;
  h[0] += static_cast<std::uint64_t>(c4 >> 51) * 19;  // 2^255 = 19 mod p
  h[1] += h[0] >> 51;
  h[0] &= kLimbMask;
  return h;
}

// Products take limbs below 2^54.
Fe fe_mul(const Fe& f, const Fe& g) noexcept {
  const std::uint64_t g1 = 19 * g[1], g2 = 19 * g[2], g3 = 19 * g[3], g4 = 19 * g[4];
  return carry(wide_mul(f[0], g[0]) + wide_mul(f[1], g4) + wide_mul(f[2], g3) + wide_mul(f[3], g2) +
                   wide_mul(f[4], g1),
               wide_mul(f[0], g[1]) + wide_mul(f[1], g[0]) + wide_mul(f[2], g4) +
                   wide_mul(f[3], g3) + wide_mul(f[4], g2),
               wide_mul(f[0], g[2]) + wide_mul(f[1], g[1]) + wide_mul(f[2], g[0]) +
                   wide_mul(f[3], g4) + wide_mul(f[4], g3),
               wide_mul(f[0], g[3]) + wide_mul(f[1], g[2]) + wide_mul(f[2], g[1]) +
                   wide_mul(f[3], g[0]) + wide_mul(f[4], g4),
               wide_mul(f[0], g[4]) + wide_mul(f[1], g[3]) + wide_mul(f[2], g[2]) +
                   wide_mul(f[3], g[1]) + wide_mul(f[4], g[0]));
}

// fe_square squares `times` times in a row.
Fe fe_square(Fe f, int times = 1) noexcept {
  for (int i = 0; i < times; ++i) {
    const std::uint64_t d0 = 2 * f[0], d1 = 2 * f[1], d2 = 2 * f[2], d3 = 2 * f[3];
    const std::uint64_t f3_19 = 19 * f[3], f4_19 = 19 * f[4];
    f = carry(wide_mul(f[0], f[0]) + wide_mul(d1, f4_19) + wide_mul(d2, f3_19),
              wide_mul(d0, f[1]) + wide_mul(d2, f4_19) + wide_mul(f[3], f3_19),
              wide_mul(d0, f[2]) + wide_mul(f[1], f[1]) + wide_mul(d3, f4_19),
              wide_mul(d0, f[3]) + wide_mul(d1, f[2]) + wide_mul(f[4], f4_19),
              wide_mul(d0, f[4]) + wide_mul(d1, f[3]) + wide_mul(f[2], f[2]));
  }
  return f;
}

Fe fe_add(const Fe& f, const Fe& g) noexcept {
  return {f[0] + g[0], f[1] + g[1], f[2] + g[2], f[3] + g[3], f[4] + g[4]};
}

// fe_sub adds 4p first, so that limbs of g below 2^53 never borrow.
Fe fe_sub(const Fe& f, const Fe& g) noexcept {
  constexpr std::uint64_t kLow = 4 * (kLimbMask - 18), kHigh = 4 * kLimbMask;
  return {f[0] + kLow - g[0], f[1] + kHigh - g[1], f[2] + kHigh - g[2], f[3] + kHigh - g[3],
          f[4] + kHigh - g[4]};
}

// canonical reduces a carried element (limbs of at most 52 bits) to its value below p.
Fe canonical(Fe h) noexcept {
  for (std::size_t i = 0; i < 4; ++i) {
    h[i + 1] += h[i] >> 51;
    h[i] &= kLimbMask;
  }
  h[0] += (h[4] >> 51) * 19;
  h[4] &= kLimbMask;
  h[1] += h[0] >> 51;
  h[0] &= kLimbMask;
  // Now below 2^255 + 19; subtract p once when the value reaches it.
  std::uint64_t q = (h[0] + 19) >> 51;
  for (std::size_t i = 1; i < 5; ++i) q = (h[i] + q) >> 51;
  h[0] += 19 * q;
  for (std::size_t i = 0; i < 4; ++i) {
    h[i + 1] += h[i] >> 51;
    h[i] &= kLimbMask;
  }
  h[4] &= kLimbMask;
  return h;
}

// legendre_power raises z to (p - 1) / 2 = 2^254 - 10, giving 0, 1 or p - 1.
Fe legendre_power(const Fe& z) noexcept {
  const Fe z2 = fe_square(z);
  const Fe z9 = fe_mul(fe_square(z2, 2), z);
  const Fe z11 = fe_mul(z9, z2);
  const Fe e5 = fe_mul(fe_square(z11), z9);  // eN = z^(2^N - 1)
  const Fe e10 = fe_mul(fe_square(e5, 5), e5);
  const Fe e20 = fe_mul(fe_square(e10, 10), e10);
  const Fe e40 = fe_mul(fe_square(e20, 20), e20);
  const Fe e50 = fe_mul(fe_square(e40, 10), e10);
  const Fe e100 = fe_mul(fe_square(e50, 50), e50);
  const Fe e200 = fe_mul(fe_square(e100, 100), e100);
  const Fe e250 = fe_mul(fe_square(e200, 50), e50);
  const Fe z6 = fe_square(fe_mul(z2, z));
  return canonical(fe_mul(fe_square(e250, 4), z6));  // z^(2^254 - 16) z^6
}

// is_point_encoding decodes leniently: y is the low 255 bits taken mod p (so y >= p is fine)
// and the top bit only picks the sign of x, even when x = 0. The bytes are refused only when
// x^2 = (y^2 - 1) / (d y^2 + 1) has no root. The denominator is never 0 (-1/d is no square),
// so the quotient is a square exactly when (y^2 - 1)(d y^2 + 1) is: a Legendre symbol.
bool is_point_encoding(std::span<const std::uint8_t, kPublicKeyLen> encoding) noexcept {
  const Fe y = fe_from_bytes(encoding);
  const Fe y2 = fe_square(y);
  const Fe chi = legendre_power(fe_mul(fe_sub(y2, kOne), fe_add(fe_mul(kCurveD, y2), kOne)));
  const bool above_one = (chi[1] | chi[2] | chi[3] | chi[4]) != 0 || chi[0] > 1;
  return !above_one;
}

// scalar_is_canonical reports whether the little-endian scalar is below L.
bool scalar_is_canonical(ByteView scalar) noexcept {
  for (std::size_t i = kGroupOrder.size(); i-- > 0;) {
    if (scalar[i] != kGroupOrder[i]) return scalar[i] < kGroupOrder[i];
  }
  return false;
}

struct PkeyFree {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};

// equation_holds checks that [S]B - [k]A encodes to the R bytes, k = SHA-512(R || A || M) mod L
// over the key bytes as given. OpenSSL computes exactly this for every key that decodes,
// small-order and non-canonical ones included, and compares R as bytes.
bool equation_holds(std::span<const std::uint8_t, kPublicKeyLen> public_key, ByteView message,
                    ByteView signature) {
  const std::unique_ptr<EVP_PKEY, PkeyFree> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), public_key.size()));
  QV_CHECK(key != nullptr);
  const std::unique_ptr<EVP_MD_CTX, MdCtxFree> md(EVP_MD_CTX_new());
  QV_CHECK(md != nullptr);
  QV_CHECK(EVP_DigestVerifyInit(md.get(), nullptr, nullptr, nullptr, key.get()) == 1);
  static constexpr std::uint8_t kNoByte = 0;
  const std::uint8_t* data = message.empty() ? &kNoByte : message.data();
  const int verdict =
      EVP_DigestVerify(md.get(), signature.data(), signature.size(), data, message.size());
  QV_CHECK(verdict == 0 || verdict == 1);
  return verdict == 1;
}

// check_in_order applies the rules in their order; `equation` decides the last one when reached.
template <typename Equation>
Result<void> check_in_order(std::span<const std::uint8_t, kPublicKeyLen> public_key,
                            ByteView signature, bool key_is_point, Equation&& equation) {
  if (!key_is_point && !is_point_encoding(public_key)) {
    return fail(ErrorKind::InvalidKey, "signature error: Cannot decompress Edwards point");
  }
  if (signature.size() != kSignatureLen) {
    return fail(ErrorKind::VerificationFailed, "invalid signature length");
  }
  if (!scalar_is_canonical(signature.subspan(32))) {
    return fail(ErrorKind::VerificationFailed,
                "signature error: Cannot use scalar with high-bit set");
  }
  if (!equation()) {
    return fail(ErrorKind::VerificationFailed,
                "signature error: Verification equation was not satisfied");
  }
  return ok();
}

}  // namespace

Result<void> verify_exact(std::span<const std::uint8_t, kPublicKeyLen> public_key, ByteView message,
                          ByteView signature) {
  return check_in_order(public_key, signature, false,
                        [&] { return equation_holds(public_key, message, signature); });
}

Failure refusal_reason(std::span<const std::uint8_t, kPublicKeyLen> public_key, ByteView signature,
                       bool key_is_point) {
  auto refused = check_in_order(public_key, signature, key_is_point, [] { return false; });
  return fail(std::move(refused).error());
}

}  // namespace quorvex::crypto
