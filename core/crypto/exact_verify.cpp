#include <openssl/bn.h>
#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/base/error.hpp"
#include "core/crypto/keypair.hpp"

namespace quorvex::crypto {
namespace {

// The curve constant d = -121665/121666 mod p, big-endian.
constexpr std::array<std::uint8_t, 32> kCurveD = {
    0x52, 0x03, 0x6c, 0xee, 0x2b, 0x6f, 0xfe, 0x73, 0x8c, 0xc7, 0x40, 0x79, 0x77, 0x79, 0xe8, 0x98,
    0x00, 0x70, 0x0a, 0x4d, 0x41, 0x41, 0xd8, 0xab, 0x75, 0xeb, 0x4d, 0xca, 0x13, 0x59, 0x78, 0xa3};

// The group order L, little-endian like S.
constexpr std::array<std::uint8_t, 32> kGroupOrder = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

struct BnFree {
  void operator()(BIGNUM* bn) const noexcept { BN_free(bn); }
};
struct BnCtxFree {
  void operator()(BN_CTX* ctx) const noexcept { BN_CTX_free(ctx); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn new_bn() {
  Bn bn(BN_new());
  QV_CHECK(bn != nullptr);
  return bn;
}

// is_point_encoding decodes leniently: y is the low 255 bits taken mod p (so y >= p is fine)
// and the top bit only picks the sign of x, even when x = 0. The bytes are refused only when
// x^2 = (y^2 - 1) / (d y^2 + 1) has no root. The denominator is never 0 (-1/d is no square),
// so the quotient is a square exactly when (y^2 - 1)(d y^2 + 1) is: a Legendre symbol.
bool is_point_encoding(std::span<const std::uint8_t, kPublicKeyLen> encoding) {
  std::array<std::uint8_t, kPublicKeyLen> y_bytes{};
  for (std::size_t i = 0; i < y_bytes.size(); ++i) y_bytes[i] = encoding[i];
  y_bytes[31] &= 0x7f;

  const std::unique_ptr<BN_CTX, BnCtxFree> ctx(BN_CTX_new());
  QV_CHECK(ctx != nullptr);
  const Bn p = new_bn();
  const Bn d = new_bn();
  const Bn y = new_bn();
  const Bn y2 = new_bn();
  const Bn u = new_bn();
  const Bn v = new_bn();
  const Bn half = new_bn();
  QV_CHECK(BN_set_bit(p.get(), 255) == 1 && BN_sub_word(p.get(), 19) == 1);
  QV_CHECK(BN_bin2bn(kCurveD.data(), static_cast<int>(kCurveD.size()), d.get()) != nullptr);
  QV_CHECK(BN_lebin2bn(y_bytes.data(), static_cast<int>(y_bytes.size()), y.get()) != nullptr);
  QV_CHECK(BN_nnmod(y.get(), y.get(), p.get(), ctx.get()) == 1);
  QV_CHECK(BN_mod_sqr(y2.get(), y.get(), p.get(), ctx.get()) == 1);
  QV_CHECK(BN_mod_sub(u.get(), y2.get(), BN_value_one(), p.get(), ctx.get()) == 1);
  QV_CHECK(BN_mod_mul(v.get(), d.get(), y2.get(), p.get(), ctx.get()) == 1);
  QV_CHECK(BN_mod_add(v.get(), v.get(), BN_value_one(), p.get(), ctx.get()) == 1);
  QV_CHECK(BN_mod_mul(u.get(), u.get(), v.get(), p.get(), ctx.get()) == 1);
  QV_CHECK(BN_copy(half.get(), p.get()) != nullptr && BN_sub_word(half.get(), 1) == 1 &&
           BN_rshift1(half.get(), half.get()) == 1);
  QV_CHECK(BN_mod_exp(u.get(), u.get(), half.get(), p.get(), ctx.get()) == 1);
  return BN_is_zero(u.get()) == 1 || BN_is_one(u.get()) == 1;
}

// scalar_is_canonical reports whether the little-endian scalar is below L.
bool scalar_is_canonical(ByteView scalar) {
  for (std::size_t i = kGroupOrder.size(); i-- > 0;) {
    if (scalar[i] != kGroupOrder[i]) return scalar[i] < kGroupOrder[i];
  }
  return false;
}

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

}  // namespace

Result<void> verify_exact(std::span<const std::uint8_t, kPublicKeyLen> public_key, ByteView message,
                          ByteView signature) {
  if (!is_point_encoding(public_key)) {
    return fail(ErrorKind::InvalidKey, "signature error: Cannot decompress Edwards point");
  }
  if (signature.size() != kSignatureLen) {
    return fail(ErrorKind::VerificationFailed, "invalid signature length");
  }
  if (!scalar_is_canonical(signature.subspan(32))) {
    return fail(ErrorKind::VerificationFailed,
                "signature error: Cannot use scalar with high-bit set");
  }
  if (!equation_holds(public_key, message, signature)) {
    return fail(ErrorKind::VerificationFailed,
                "signature error: Verification equation was not satisfied");
  }
  return ok();
}

}  // namespace quorvex::crypto
