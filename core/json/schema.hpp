#pragma once

// A record's JSON members are named once, in a Schema specialisation, and both
// write_record and the reader walk that one table. A member's JSON kind follows
// from its C++ type, so a table cannot pair a name with the wrong kind:
//   std::string            a string
//   bool                   true or false
//   std::uint8_t ... int64 an integer within the type's range
//   std::vector<T>         an array of T
//   std::optional<T>       T, or absent (null on input, left out on output)
//   a type with a Schema   a nested object (or the array of its member values)
//   nlohmann::json         any JSON value
//   a type with a Codec    whatever its Codec reads and writes

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/json/writer.hpp"

namespace quorvex::json {

template <typename Record, typename Member>
struct Field {
  std::string_view name;
  Member Record::*member;
};

template <typename Record, typename Member>
constexpr Field<Record, Member> field(std::string_view name, Member Record::*member) {
  return {name, member};
}

// Schema<R> declares `name` (as shown in errors: "struct R"), `strict` (unknown
// members are an error instead of being skipped) and `fields`, a tuple of
// field(...) in declaration order.
template <typename R>
struct Schema;

// Codec<T> gives a leaf type its own JSON form: `write(Writer&, const T&)`,
// and for types that are read, `expected` and `read` (see reader.hpp), and where the
// value is a string the scanner may read, `scan(std::string_view, T&)` (scanner.hpp).
// `absent(const T&)`, when declared, lets an empty value be left out.
template <typename T>
struct Codec;

template <typename T>
concept HasSchema = requires {
  Schema<T>::fields;
};

// Records, lists and generic values nest at most this deep in a text that is read; one
// more is refused ("recursion limit exceeded"). Members that are skipped do not count.
inline constexpr std::size_t kMaxDepth = 128;

template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <typename T>
struct IsVector : std::false_type {};
template <typename T>
struct IsVector<std::vector<T>> : std::true_type {};

template <typename T>
concept Integer = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char>;

// What the readers need to know of a record's member: its name, and whether it may be absent.
struct FieldInfo {
  std::string_view name;
  bool optional;
};

template <HasSchema R>
constexpr std::size_t field_count = std::tuple_size_v<decltype(Schema<R>::fields)>;

// array_field_count is how many leading fields a record's array form holds: all of them,
// unless the schema declares array_fields, so that members added later leave the array form
// as it was.
template <HasSchema R>
constexpr std::size_t array_field_count = [] {
  if constexpr (requires { Schema<R>::array_fields; }) {
    static_assert(Schema<R>::array_fields <= field_count<R>);
    return std::size_t{Schema<R>::array_fields};
  } else {
    return field_count<R>;
  }
}();

template <HasSchema R>
inline constexpr auto field_infos = []<std::size_t... I>(std::index_sequence<I...>) {
  return std::array<FieldInfo, sizeof...(I)>{FieldInfo{
      std::get<I>(Schema<R>::fields).name,
      IsOptional<std::remove_cvref_t<
          decltype(std::declval<R&>().*(std::get<I>(Schema<R>::fields).member))>>::value}...};
}
(std::make_index_sequence<field_count<R>>{});

inline constexpr std::size_t kNoField = static_cast<std::size_t>(-1);

// find_field is the index of the field with this name, looking from `start` on and round to
// the beginning, or kNoField. Members usually come in declaration order, so a reader starts
// just after the member it read last.
constexpr std::size_t find_field(std::span<const FieldInfo> fields, std::string_view name,
                                 std::size_t start) noexcept {
  for (std::size_t n = 0, i = start; n < fields.size(); ++n, ++i) {
    if (i >= fields.size()) i -= fields.size();
    const std::string_view candidate = fields[i].name;
    if (candidate.size() != name.size()) continue;
    bool same = true;  // compared in place: the names are short
    for (std::size_t c = 0; c < name.size() && same; ++c) same = candidate[c] == name[c];
    if (same) return i;
  }
  return kNoField;
}

template <typename T>
bool is_absent(const T& value) {
  if constexpr (IsOptional<T>::value) {
    return !value.has_value();
  } else if constexpr (requires { Codec<T>::absent(value); }) {
    return Codec<T>::absent(value);
  } else {
    return false;
  }
}

template <typename T>
void write_value(Writer& w, const T& value);

// write_members writes a record's members into an object the caller has opened.
template <HasSchema R>
void write_members(Writer& w, const R& record) {
  std::apply(
      [&](const auto&... fields) {
        const auto member = [&](const auto& f) {
          const auto& value = record.*(f.member);
          if (is_absent(value)) return;
          w.field(f.name);
          write_value(w, value);
        };
        (member(fields), ...);
      },
      Schema<R>::fields);
}

template <HasSchema R>
void write_record(Writer& w, const R& record) {
  w.begin_object();
  write_members(w, record);
  w.end_object();
}

template <typename T>
void write_value(Writer& w, const T& value) {
  if constexpr (IsOptional<T>::value) {
    write_value(w, *value);
  } else if constexpr (IsVector<T>::value) {
    w.begin_array();
    for (const auto& element : value) write_value(w, element);
    w.end_array();
  } else if constexpr (std::same_as<T, std::string>) {
    w.text(value);
  } else if constexpr (std::same_as<T, bool>) {
    w.boolean(value);
  } else if constexpr (Integer<T> && std::is_signed_v<T>) {
    w.signed_integer(value);
  } else if constexpr (Integer<T>) {
    w.unsigned_integer(value);
  } else if constexpr (std::same_as<T, nlohmann::json>) {
    w.generic(value);
  } else if constexpr (HasSchema<T>) {
    write_record(w, value);
  } else {
    Codec<T>::write(w, value);
  }
}

// to_json writes one record; the result fails only when a text is not UTF-8.
template <HasSchema R>
Result<std::string> to_json(const R& record, Layout layout) {
  std::string out;
  Writer w(out, layout);
  write_record(w, record);
  if (auto done = w.finish(); !done) return fail(done.error());
  return out;
}

}  // namespace quorvex::json
