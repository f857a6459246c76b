#pragma once

#include <cassert>
#include <utility>
#include <variant>

#include "core/base/error.hpp"

namespace quorvex {

struct Failure {
  CoreError error;
};

inline Failure fail(ErrorKind kind, std::string detail = {}) {
  return {CoreError(kind, std::move(detail))};
}
inline Failure fail(CoreError error) { return {std::move(error)}; }

// Result<T> holds a value or the CoreError that prevented it.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value)
      : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT(google-explicit-constructor)
  Result(Failure f) : state_(std::in_place_index<1>, std::move(f.error)) {}  // NOLINT

  bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& operator*() & {
    assert(has_value());
    return *std::get_if<0>(&state_);
  }
  const T& operator*() const& {
    assert(has_value());
    return *std::get_if<0>(&state_);
  }
  T&& operator*() && {
    assert(has_value());
    return std::move(*std::get_if<0>(&state_));
  }
  T* operator->() {
    assert(has_value());
    return std::get_if<0>(&state_);
  }
  const T* operator->() const {
    assert(has_value());
    return std::get_if<0>(&state_);
  }
  const CoreError& error() const& {
    assert(!has_value());
    return *std::get_if<1>(&state_);
  }
  CoreError&& error() && {
    assert(!has_value());
    return std::move(*std::get_if<1>(&state_));
  }

 private:
  std::variant<T, CoreError> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure f) : error_(std::move(f.error)), failed_(true) {}  // NOLINT

  bool has_value() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return has_value(); }
  const CoreError& error() const& {
    assert(failed_);
    return error_;
  }

 private:
  CoreError error_{ErrorKind::Other};
  bool failed_ = false;
};

inline Result<void> ok() { return {}; }

}  // namespace quorvex
