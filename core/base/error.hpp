#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvex {

// Every kind of failure a core operation can report, in its fixed order.
enum class ErrorKind : std::uint8_t {
  KeyGeneration,
  Signing,
  VerificationFailed,
  InvalidKey,
  InvalidAid,
  AidValidation,
  AidNotFound,
  InvalidDat,
  DatExpired,
  DatNotYetValid,
  DatRevoked,
  ScopeNotPermitted,
  ConstraintViolated,
  DelegationChainInvalid,
  ReceiptChainBroken,
  InvalidReceipt,
  TrustVerification,
  Serialization,
  Base64Decode,
  Other,
};

inline constexpr std::size_t kErrorKindCount = 20;

// CoreError is the one error value of every fallible core operation. Most kinds
// carry a text; ReceiptChainBroken carries a sequence number, TrustVerification
// a level and a reason, Serialization a description and an optional position.
class CoreError {
 public:
  explicit CoreError(ErrorKind kind, std::string text = {}) : kind_(kind), text_(std::move(text)) {}

  static CoreError receipt_chain_broken(std::uint64_t sequence);
  static CoreError trust_verification(std::string level, std::string reason);
  // serialization: a JSON failure; line 0 means the failure has no position.
  static CoreError serialization(std::string description, std::uint64_t line = 0,
                                 std::uint64_t column = 0);

  ErrorKind kind() const noexcept { return kind_; }
  // text is the payload text: the description for Serialization, the level
  // for TrustVerification, empty for kinds without a text.
  const std::string& text() const noexcept { return text_; }
  const std::string& reason() const noexcept { return reason_; }
  std::uint64_t sequence() const noexcept { return number_; }
  std::uint64_t line() const noexcept { return number_; }
  std::uint64_t column() const noexcept { return column_; }

  // display renders the kind's one-line text with its payload inserted verbatim.
  std::string display() const { return std::string(prefix()) + detail(); }
  // detail is display without the kind's own words: for Serialization the
  // description and its position ("missing field `id` at line 1 column 2"),
  // for messages that embed it after words of their own.
  std::string detail() const;

 private:
  std::string_view prefix() const noexcept;

  ErrorKind kind_;
  std::string text_;
  std::string reason_;
  std::uint64_t number_ = 0;
  std::uint64_t column_ = 0;
};

// InternalFault is a bug or a fatal platform failure, never a CoreError. It is
// the only exception (besides std::bad_alloc) that may leave the core.
class InternalFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void internal_fault(const char* what);

}  // namespace quorvex

#define QV_CHECK(cond)                                                                           \
  do {                                                                                           \
    if (!(cond)) ::quorvex::internal_fault("internal invariant broken: " #cond " at " __FILE__); \
  } while (false)
