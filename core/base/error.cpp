#include "core/base/error.hpp"

#include <array>
#include <string_view>

#include "core/base/decimal.hpp"

namespace quorvex {
namespace {

// Display prefix of each kind; the payload follows it.
constexpr std::array<std::string_view, kErrorKindCount> kPrefixes = {
    "key generation failed: ",
    "signing failed: ",
    "signature verification failed: ",
    "invalid key material: ",
    "invalid AID identifier: ",
    "AID document validation failed: ",
    "AID not found: ",
    "invalid DAT: ",
    "DAT expired",
    "DAT not yet valid",
    "DAT revoked: ",
    "scope not permitted: ",
    "constraint violated: ",
    "delegation chain invalid: ",
    "receipt chain integrity violation at sequence ",
    "invalid receipt: ",
    "trust verification failed for level ",
    "serialization error: ",
    "base64 decode error: ",
    "",
};

}  // namespace

CoreError CoreError::receipt_chain_broken(std::uint64_t sequence) {
  CoreError e(ErrorKind::ReceiptChainBroken);
  e.number_ = sequence;
  return e;
}

CoreError CoreError::trust_verification(std::string level, std::string reason) {
  CoreError e(ErrorKind::TrustVerification, std::move(level));
  e.reason_ = std::move(reason);
  return e;
}

CoreError CoreError::serialization(std::string description, std::uint64_t line,
                                   std::uint64_t column) {
  CoreError e(ErrorKind::Serialization, std::move(description));
  e.number_ = line;
  e.column_ = column;
  return e;
}

std::string_view CoreError::prefix() const noexcept {
  return kPrefixes[static_cast<std::size_t>(kind_)];
}

std::string CoreError::detail() const {
  std::string out;
  switch (kind_) {
    case ErrorKind::DatExpired:
    case ErrorKind::DatNotYetValid:
      break;
    case ErrorKind::ReceiptChainBroken:
      append_decimal(out, number_);
      break;
    case ErrorKind::TrustVerification:
      out += text_;
      out += ": ";
      out += reason_;
      break;
    case ErrorKind::Serialization:
      out += text_;
      if (number_ != 0) {
        out += " at line ";
        append_decimal(out, number_);
        out += " column ";
        append_decimal(out, column_);
      }
      break;
    case ErrorKind::KeyGeneration:
    case ErrorKind::Signing:
    case ErrorKind::VerificationFailed:
    case ErrorKind::InvalidKey:
    case ErrorKind::InvalidAid:
    case ErrorKind::AidValidation:
    case ErrorKind::AidNotFound:
    case ErrorKind::InvalidDat:
    case ErrorKind::DatRevoked:
    case ErrorKind::ScopeNotPermitted:
    case ErrorKind::ConstraintViolated:
    case ErrorKind::DelegationChainInvalid:
    case ErrorKind::InvalidReceipt:
    case ErrorKind::Base64Decode:
    case ErrorKind::Other:
      out += text_;
      break;
  }
  return out;
}

void internal_fault(const char* what) { throw InternalFault(what); }

}  // namespace quorvex
