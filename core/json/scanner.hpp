#pragma once

// The reader's fast path: plain JSON read straight into a record's fields, with no parser
// events and no frames. It takes structure, literals, integers within 64 bits and strings in
// well-formed UTF-8 whose escapes are single characters. Anything else (a \u escape, a
// fraction or exponent, a larger integer, a record written as an array, a skipped value
// nested past kMaxDepth) and every failure make it decline, and the text goes to the parser
// (reader.hpp), which owns every error text and position. tests/json_differential_test.cpp
// holds the two to the same values for every record the system reads.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/json/schema.hpp"

namespace quorvex::json {

// Scanner reads the tokens of plain JSON. A method returns false where the token is not
// there or not plain. Whitespace before a token is skipped.
class Scanner {
 public:
  explicit Scanner(std::string_view text) noexcept
      : at_(text.data()), end_(text.data() + text.size()) {}

  // take consumes c.
  bool take(char c) noexcept {
    skip_space();
    if (at_ == end_ || *at_ != c) return false;
    ++at_;
    return true;
  }
  // peek is the first byte of the next token, or 0 at the end.
  char peek() noexcept {
    skip_space();
    return at_ == end_ ? '\0' : *at_;
  }
  bool literal(std::string_view word) noexcept {
    skip_space();
    if (static_cast<std::size_t>(end_ - at_) < word.size()) return false;
    if (std::string_view(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }
  // take_name consumes a string token holding exactly these bytes, written without
  // escapes; name holds no quote or backslash.
  bool take_name(std::string_view name) noexcept {
    skip_space();
    if (static_cast<std::size_t>(end_ - at_) < name.size() + 2 || at_[0] != '"' ||
        at_[name.size() + 1] != '"') {
      return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
      if (at_[i + 1] != name[i]) return false;
    }
    at_ += name.size() + 2;
    return true;
  }
  // integer reads "-0" as negative with magnitude 0.
  bool integer(bool& negative, std::uint64_t& magnitude) noexcept;
  // string reads a string token; the text stays valid until the next call.
  bool string(std::string_view& text);
  // skip_value passes over one value of any kind, at most kMaxDepth deep.
  bool skip_value();
  // generic reads one value of any kind as the parser builds it.
  bool generic(nlohmann::json& out);
  // enter counts a record, list or generic container opened, declining where the reader
  // would refuse it for its depth; leave counts it closed.
  bool enter() noexcept {
    if (depth_ == kMaxDepth) return false;
    ++depth_;
    return true;
  }
  void leave() noexcept { --depth_; }
  // at_end: only whitespace is left.
  bool at_end() noexcept {
    skip_space();
    return at_ == end_;
  }

 private:
  void skip_space() noexcept {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) ++at_;
  }

  const char* at_;
  const char* end_;
  std::size_t depth_ = 0;
  std::string unescaped_;
};

// scannable: records, lists, optionals, texts, booleans, integers, generic values and Codec
// types that declare `scan(std::string_view, T&)` (read from a string) can be scanned; other
// Codec types are left to the parser.
template <typename T>
constexpr bool scannable() {
  if constexpr (IsOptional<T>::value || IsVector<T>::value) {
    return scannable<typename T::value_type>();
  } else if constexpr (std::same_as<T, std::string> || std::same_as<T, bool> || Integer<T> ||
                       std::same_as<T, nlohmann::json>) {
    return true;
  } else if constexpr (HasSchema<T>) {
    return std::apply(
        [](const auto&... fields) {
          return (scannable<std::remove_cvref_t<decltype(std::declval<T&>().*(fields.member))>>() &&
                  ...);
        },
        Schema<T>::fields);
  } else {
    return requires(std::string_view text, T & out) { Codec<T>::scan(text, out); };
  }
}

template <HasSchema R>
bool scan_record(Scanner& s, R& record);

// scan_value reads a value of T as the parser would, or returns false where the parser
// would fail or where the text is not plain JSON; out is then partly filled.
template <typename T>
bool scan_value(Scanner& s, T& out) {
  if constexpr (IsOptional<T>::value) {
    if (s.peek() == 'n') return s.literal("null");  // null: absent
    return scan_value(s, out.emplace());
  } else if constexpr (IsVector<T>::value) {
    if (!s.take('[') || !s.enter()) return false;
    if (!s.take(']')) {
      out.reserve(4);
      do {
        if (!scan_value(s, out.emplace_back())) return false;
      } while (s.take(','));
      if (!s.take(']')) return false;
    }
    s.leave();
    return true;
  } else if constexpr (std::same_as<T, std::string>) {
    std::string_view text;
    if (!s.string(text)) return false;
    out.assign(text);
    return true;
  } else if constexpr (std::same_as<T, bool>) {
    out = s.peek() == 't';
    return s.literal(out ? "true" : "false");
  } else if constexpr (Integer<T>) {
    bool negative = false;
    std::uint64_t magnitude = 0;
    if (!s.integer(negative, magnitude)) return false;
    if (!negative || magnitude == 0) {  // "-0" is read as 0
      if (magnitude > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) return false;
      out = static_cast<T>(magnitude);
      return true;
    }
    if constexpr (std::is_signed_v<T>) {
      const auto limit = static_cast<std::uint64_t>(-(std::numeric_limits<T>::min() + 1)) + 1;
      if (magnitude > limit) return false;
      out = static_cast<T>(-static_cast<std::int64_t>(magnitude - 1) - 1);
      return true;
    }
    return false;
  } else if constexpr (std::same_as<T, nlohmann::json>) {
    return s.generic(out);
  } else if constexpr (HasSchema<T>) {
    return scan_record(s, out);
  } else {
    static_assert(scannable<T>(), "scan_value takes scannable types only");
    std::string_view text;
    return s.string(text) && Codec<T>::scan(text, out);
  }
}

template <HasSchema R>
bool scan_field(Scanner& s, R& record, std::size_t index) {
  bool read = false;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    static_cast<void>(
        ((index == I &&
          (read = scan_value(s, record.*(std::get<I>(Schema<R>::fields).member)), true)) ||
         ...));
  }
  (std::make_index_sequence<field_count<R>>{});
  return read;
}

template <HasSchema R>
bool scan_record(Scanner& s, R& record) {
  constexpr auto& infos = field_infos<R>;
  constexpr std::uint64_t kRequired = [] {
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < infos.size(); ++i) {
      if (!infos[i].optional) mask |= std::uint64_t{1} << i;
    }
    return mask;
  }();
  if (!s.take('{') || !s.enter()) return false;
  std::uint64_t seen = 0;
  if (!s.take('}')) {
    std::size_t next = 0;
    do {
      // The next member in declaration order is tried first, without copying its name.
      std::size_t index = next;
      if (next == infos.size() || !s.take_name(infos[next].name)) {
        std::string_view name;
        if (!s.string(name)) return false;
        index = find_field(infos, name, next);
      }
      if (!s.take(':')) return false;
      if (index == kNoField) {
        if (Schema<R>::strict || !s.skip_value()) return false;
        continue;
      }
      const std::uint64_t bit = std::uint64_t{1} << index;
      if ((seen & bit) != 0 || !scan_field(s, record, index)) return false;
      seen |= bit;
      next = index + 1;
    } while (s.take(','));
    if (!s.take('}')) return false;
  }
  s.leave();
  return (seen & kRequired) == kRequired;
}

// scan reads the whole of json into out, or returns false, leaving out partly filled.
template <typename T>
bool scan(std::string_view json, T& out) {
  Scanner scanner(json);
  return scan_value(scanner, out) && scanner.at_end();
}

}  // namespace quorvex::json
