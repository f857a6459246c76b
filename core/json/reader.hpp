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

// Scanner reads the tokens of plain JSON: structure, literals, integers within 64
// bits, and strings in well-formed UTF-8 whose escapes are single characters.
// Anything else (a \u escape, a fraction or exponent, a larger integer, more than
// kMaxOpen open arrays and objects) and every syntax error make a method return
// false, leaving the text to the parser. Whitespace before a token is skipped.
class Scanner {
 public:
  static constexpr std::size_t kMaxOpen = 64;

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
  // skip_value passes over one value of any kind.
  bool skip_value();
  // walk passes over one value, reporting its tokens to events (reader.cpp).
  template <typename Events>
  bool walk(Events& events);
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
  std::string unescaped_;
};

// Slot is where the next value goes: a typed accept function and its target.
using AcceptFn = bool (*)(Reader&, void*, const Value&);
struct Slot {
  AcceptFn accept = nullptr;
  void* target = nullptr;
};

struct FieldInfo {
  std::string_view name;
  bool optional;
};

inline constexpr std::size_t kNoField = static_cast<std::size_t>(-1);
// find_field is the index of the field with this name, looking from `start` on and
// round to the beginning, or kNoField.
std::size_t find_field(std::span<const FieldInfo> fields, std::string_view name,
                       std::size_t start) noexcept;

// FrameOps is what the reader needs to know of an open record or list.
struct FrameOps {
  std::string_view record_name;  // empty for a list
  bool strict = false;
  std::span<const FieldInfo> fields;
  Slot (*field_slot)(void* record, std::size_t index) = nullptr;
  Slot (*element_slot)(void* list) = nullptr;
};

class Reader {
 public:
  Reader(std::string_view text, Slot root) noexcept : text_(text), root_(root) {}

  // parse feeds the text to the parser. Only a counting parse knows where a
  // failure found by this reader happened.
  bool parse(bool counting);
  // parse_quick reads plain JSON (see Scanner) with a Scanner, delivering the
  // events the parser would. It returns false for any other text as for any
  // failure, leaving both to parse.
  bool parse_quick();
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
  static constexpr std::size_t kMaxDepth = 128;
  static constexpr std::size_t kFramesReserved = 8;

  class ScanEvents;  // reader.cpp

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
constexpr std::size_t field_count = std::tuple_size_v<decltype(Schema<R>::fields)>;

template <HasSchema R>
struct RecordOps {
  static constexpr auto infos = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<FieldInfo, sizeof...(I)>{FieldInfo{
        std::get<I>(Schema<R>::fields).name,
        IsOptional<std::remove_cvref_t<
            decltype(std::declval<R&>().*(std::get<I>(Schema<R>::fields).member))>>::value}...};
  }
  (std::make_index_sequence<field_count<R>>{});
  static_assert(field_count<R> <= 64, "a record has at most 64 members");

  static Slot field_slot(void* record, std::size_t index) {
    R& r = *static_cast<R*>(record);
    Slot slot;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((index == I ? (slot = slot_of(r.*(std::get<I>(Schema<R>::fields).member)), 0) : 0), ...);
    }
    (std::make_index_sequence<field_count<R>>{});
    return slot;
  }

  static constexpr FrameOps ops{Schema<R>::name, Schema<R>::strict, infos, &field_slot, nullptr};
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

// Records, lists, optionals, texts, booleans and integers can be read straight from a
// Scanner into their fields, without the reader's frames; nlohmann::json values and
// Codec types cannot.
template <typename T>
constexpr bool scannable() {
  if constexpr (IsOptional<T>::value || IsVector<T>::value) {
    return scannable<typename T::value_type>();
  } else if constexpr (std::same_as<T, std::string> || std::same_as<T, bool> || Integer<T>) {
    return true;
  } else if constexpr (HasSchema<T>) {
    return std::apply(
        [](const auto&... fields) {
          return (scannable<std::remove_cvref_t<decltype(std::declval<T&>().*(fields.member))>>() &&
                  ...);
        },
        Schema<T>::fields);
  } else {
    return false;
  }
}

template <HasSchema R>
bool scan_record(Scanner& s, R& record);

// scan_value reads a value of T as the reader would, or returns false where the reader
// would fail or where it is not plain JSON; out is then partly filled. A record must be
// an object here, its array form is left to the reader.
template <typename T>
bool scan_value(Scanner& s, T& out) {
  if constexpr (IsOptional<T>::value) {
    if (s.peek() == 'n') return s.literal("null");  // null: absent
    return scan_value(s, out.emplace());
  } else if constexpr (IsVector<T>::value) {
    if (!s.take('[')) return false;
    if (s.take(']')) return true;
    out.reserve(4);
    do {
      if (!scan_value(s, out.emplace_back())) return false;
    } while (s.take(','));
    return s.take(']');
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
  } else {
    static_assert(HasSchema<T>, "scan_value takes scannable types only");
    return scan_record(s, out);
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
  constexpr auto& infos = RecordOps<R>::infos;
  constexpr std::uint64_t kRequired = [] {
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < infos.size(); ++i) {
      if (!infos[i].optional) mask |= std::uint64_t{1} << i;
    }
    return mask;
  }();
  if (!s.take('{')) return false;
  std::uint64_t seen = 0;
  if (!s.take('}')) {
    std::size_t next = 0;
    do {
      // Members usually come in declaration order: the next one's name is tried first.
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
  return (seen & kRequired) == kRequired;
}

// read parses json into a new T.
template <typename T>
Result<T> read(std::string_view json) {
  if constexpr (scannable<T>()) {
    T value;
    Scanner scanner(json);
    if (scan_value(scanner, value) && scanner.at_end()) return value;
  }
  // What the scanner leaves, failures included, goes to the reader: driven by the scanner
  // for plain JSON, else by the parser, counting bytes so that a failure has its position.
  T value;
  if (Reader(json, slot_of(value)).parse_quick()) return value;
  T again;
  Reader counted(json, slot_of(again));
  if (counted.parse(true)) return again;
  return fail(counted.error());
}

}  // namespace quorvex::json
