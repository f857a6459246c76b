#pragma once

// The positioned JSON reader: it fills a record declared with a Schema
// (schema.hpp) from text. Every failure is a Serialization error whose
// description ends up " at line L column C" and quotes at most a short excerpt
// of the text (kExcerptBytes), however long the text. A NUL is refused like
// any other stray byte; it ends no text. Exactly one JSON value is read;
// members are matched by exact name; a member given twice is an error; null
// stands for an absent optional member; unknown members are skipped (or, for a
// strict record, refused); a record may also be written as the array of its
// member values, optional ones as null, with exactly one element per member.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "core/base/result.hpp"
#include "core/json/scanner.hpp"
#include "core/json/schema.hpp"

namespace quorvex::json {

// One JSON value as the parser reports it.
struct Value {
  enum class Type : std::uint8_t { Null, Bool, Signed, Unsigned, Float, String, Map, Seq };
  Type type = Type::Null;
  bool boolean = false;
  std::int64_t signed_int = 0;       // Signed: always negative
  std::uint64_t unsigned_int = 0;    // Unsigned
  double float_value = 0;            // Float
  std::string* string = nullptr;     // String
  const std::string* raw = nullptr;  // Float: the number as written
};

class Reader;

// Slot is where the next value goes: a typed accept function and its target.
using AcceptFn = bool (*)(Reader&, void*, const Value&);
struct Slot {
  AcceptFn accept = nullptr;
  void* target = nullptr;
};

// FrameOps is what the reader needs to know of an open record or list.
struct FrameOps {
  std::string_view record_name;  // empty for a list
  bool strict = false;
  std::span<const FieldInfo> fields;
  Slot (*field_slot)(void* record, std::size_t index) = nullptr;
  Slot (*element_slot)(void* list) = nullptr;
  std::size_t array_fields = 0;  // the leading fields a record's array form holds
};

class Reader {
 public:
  Reader(std::string_view text, Slot root) noexcept : text_(text), root_(root) {}

  // parse feeds the text to the parser. Only a counting parse knows where a
  // failure found by this reader happened.
  bool parse(bool counting);
  // error is the failure of a parse that returned false.
  CoreError error() const;

  // For accept functions: start filling a record or list, or a generic value.
  bool open(const FrameOps& ops, void* target, bool array_form);
  bool open_generic(nlohmann::json* target);
  // "invalid type: <value>, expected <expected>"
  bool type_error(const Value& v, std::string_view expected);
  // "invalid value: <value>, expected <expected>"
  bool value_error(const Value& v, std::string_view expected);
  bool reject(std::string description);

  // The parser's events.
  bool null();
  bool boolean(bool b);
  bool number_integer(std::int64_t n);
  bool number_unsigned(std::uint64_t n);
  bool number_float(double n, const std::string& raw);
  bool string(std::string& s);
  bool binary(nlohmann::json::binary_t& b);
  bool start_object(std::size_t elements);
  bool start_array(std::size_t elements);
  bool end_object();
  bool end_array();
  bool key(std::string& name);
  bool parse_error(std::size_t position, const std::string& last_token,
                   const nlohmann::json::exception& error);

 private:
  struct Frame {
    const FrameOps* ops;      // nullptr for a generic value
    void* target;             // the record, the list, or the nlohmann::json
    bool array_form;          // a record written as an array of its members' values
    std::size_t field;        // object: the field of the coming value, or kSkipField
    std::uint64_t seen;       // object: a bit per field already given
    std::size_t count;        // array form: the elements met so far
    std::string pending_key;  // generic object: the coming member's name
  };
  static constexpr std::size_t kSkipField = static_cast<std::size_t>(-1);
  static constexpr std::size_t kFramesReserved = 8;

  bool value(const Value& v);
  bool close();
  bool member(std::string_view name);
  Slot next_slot();

  std::string_view text_;
  Slot root_;
  bool root_done_ = false;
  std::vector<Frame> stack_;
  std::size_t skip_depth_ = 0;  // open brackets of a value being skipped
  std::size_t consumed_ = 0;
  std::size_t failed_at_ = 0;
  std::string description_;
};

template <typename T>
std::string expected_of();

template <typename T>
bool accept(Reader& r, void* target, const Value& v);

template <typename T>
Slot slot_of(T& target) {
  return {&accept<T>, &target};
}

template <HasSchema R>
struct RecordOps {
  static Slot field_slot(void* record, std::size_t index) {
    R& r = *static_cast<R*>(record);
    Slot slot;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((index == I ? (slot = slot_of(r.*(std::get<I>(Schema<R>::fields).member)), 0) : 0), ...);
    }
    (std::make_index_sequence<field_count<R>>{});
    return slot;
  }

  static_assert(field_count<R> <= 64, "a record has at most 64 members");
  static constexpr FrameOps ops{Schema<R>::name, Schema<R>::strict, field_infos<R>,
                                &field_slot,     nullptr,           array_field_count<R>};
};

template <typename T>
struct ListOps {
  static Slot element_slot(void* list) {
    auto& elements = *static_cast<std::vector<T>*>(list);
    if (elements.capacity() == 0) elements.reserve(4);  // lists are short: grow once, not twice
    return slot_of(elements.emplace_back());
  }
  static constexpr FrameOps ops{{}, false, {}, nullptr, &element_slot};
};

template <typename T>
std::string expected_of() {
  if constexpr (IsOptional<T>::value) {
    return expected_of<typename T::value_type>();
  } else if constexpr (IsVector<T>::value) {
    return "a sequence";
  } else if constexpr (std::same_as<T, std::string>) {
    return "a string";
  } else if constexpr (std::same_as<T, bool>) {
    return "a boolean";
  } else if constexpr (Integer<T>) {
    std::string name(std::is_signed_v<T> ? "i" : "u");
    return name + std::to_string(8 * sizeof(T));
  } else if constexpr (std::same_as<T, nlohmann::json>) {
    return "any value";
  } else if constexpr (HasSchema<T>) {
    return std::string("struct ").append(Schema<T>::name);
  } else {
    return std::string(Codec<T>::expected);
  }
}

template <typename T>
bool accept(Reader& r, void* target, const Value& v) {
  using Type = Value::Type;
  T& out = *static_cast<T*>(target);
  if constexpr (IsOptional<T>::value) {
    if (v.type == Type::Null) return true;  // null: absent
    return accept<typename T::value_type>(r, &out.emplace(), v);
  } else if constexpr (IsVector<T>::value) {
    if (v.type != Type::Seq) return r.type_error(v, expected_of<T>());
    return r.open(ListOps<typename T::value_type>::ops, &out, false);
  } else if constexpr (std::same_as<T, std::string>) {
    if (v.type != Type::String) return r.type_error(v, expected_of<T>());
    out = *v.string;  // a copy leaves the parser its buffer
    return true;
  } else if constexpr (std::same_as<T, bool>) {
    if (v.type != Type::Bool) return r.type_error(v, expected_of<T>());
    out = v.boolean;
    return true;
  } else if constexpr (Integer<T>) {
    if (v.type == Type::Signed) {
      if constexpr (std::is_signed_v<T>) {
        if (v.signed_int >= std::numeric_limits<T>::min()) {
          out = static_cast<T>(v.signed_int);
          return true;
        }
      }
      return r.value_error(v, expected_of<T>());
    }
    if (v.type != Type::Unsigned) return r.type_error(v, expected_of<T>());
    if (v.unsigned_int > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
      return r.value_error(v, expected_of<T>());
    }
    out = static_cast<T>(v.unsigned_int);
    return true;
  } else if constexpr (std::same_as<T, nlohmann::json>) {
    switch (v.type) {
      case Type::Null:
        out = nullptr;
        return true;
      case Type::Bool:
        out = v.boolean;
        return true;
      case Type::Signed:
        out = v.signed_int;
        return true;
      case Type::Unsigned:
        out = v.unsigned_int;
        return true;
      case Type::Float:
        out = v.float_value;
        return true;
      case Type::String:
        out = *v.string;
        return true;
      case Type::Map:
        out = nlohmann::json::object();
        return r.open_generic(&out);
      case Type::Seq:
        out = nlohmann::json::array();
        return r.open_generic(&out);
    }
    return false;
  } else if constexpr (HasSchema<T>) {
    if (v.type != Type::Map && v.type != Type::Seq) return r.type_error(v, expected_of<T>());
    return r.open(RecordOps<T>::ops, &out, v.type == Type::Seq);
  } else {
    return Codec<T>::read(r, out, v);
  }
}

// read_parsed reads json with the parser alone, counting bytes so that a failure has its
// position.
template <typename T>
Result<T> read_parsed(std::string_view json) {
  T value;
  Reader reader(json, slot_of(value));
  if (reader.parse(true)) return value;
  return fail(reader.error());
}

// read parses json into a new T: plain JSON by the scanner, the rest (failures included) by
// the parser.
template <typename T>
Result<T> read(std::string_view json) {
  if constexpr (scannable<T>()) {
    T value;
    if (scan(json, value)) return value;
  }
  return read_parsed<T>(json);
}

}  // namespace quorvex::json
