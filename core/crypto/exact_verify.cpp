#include <openssl/evp.h>
#include <sodium.h>

#include <algorithm>
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

// The group order L, little-endian like S.
constexpr std::array<std::uint8_t, 32> kGroupOrder = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

// is_point_encoding decodes leniently: y is the low 255 bits taken mod p (so y >= p is fine)
// and the top bit only picks the sign of x, even when x = 0. The bytes are refused only when
// x^2 = (y^2 - 1) / (d y^2 + 1) has no root. The signature library's point addition decodes its
// operands by exactly these rules and fails only when one does not decode; the other operand
// is the identity.
bool is_point_encoding(std::span<const std::uint8_t, kPublicKeyLen> encoding) {
  // The addition costs about a quarter of a verification, and a verifier meets the same key
  // again and again, so each thread remembers the last key that decoded.
  thread_local PublicKey last_point{};
  thread_local bool remembered = false;
  if (remembered && std::equal(encoding.begin(), encoding.end(), last_point.begin())) return true;
  static const bool ready = sodium_init() >= 0;
  if (!ready) internal_fault("the signature library could not be initialised");
  static constexpr PublicKey kIdentity = {1};
  PublicKey sum{};
  if (crypto_core_ed25519_add(sum.data(), encoding.data(), kIdentity.data()) != 0) return false;
  std::copy(encoding.begin(), encoding.end(), last_point.begin());
  remembered = true;
  return true;
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
