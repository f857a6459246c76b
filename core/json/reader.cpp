#include "core/json/reader.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/base/decimal.hpp"
#include "core/base/text.hpp"

namespace quorvex::json {
namespace {

using Json = nlohmann::json;

void append_unexpected(std::string& out, const Value& v) {
  switch (v.type) {
    case Value::Type::Null:
      out += "null";
      return;
    case Value::Type::Bool:
      out += v.boolean ? "boolean `true`" : "boolean `false`";
      return;
    case Value::Type::Signed:
      out += "integer `";
      append_decimal(out, v.signed_int);
      out += '`';
      return;
    case Value::Type::Unsigned:
      out += "integer `";
      append_decimal(out, v.unsigned_int);
      out += '`';
      return;
    case Value::Type::Float:
      out += "floating point `";
      append_excerpt(out, *v.raw);
      out += '`';
      return;
    case Value::Type::String:
      out += "string ";
      append_debug_excerpt(out, *v.string);
      return;
    case Value::Type::Map:
      out += "map";
      return;
    case Value::Type::Seq:
      out += "sequence";
      return;
  }
}

// TextInput is the parser's input, counting the bytes handed out (when given a counter) so
// that every failure has a position. The parser takes a NUL at the start of a token for the
// end of the input; outside strings TextInput hands a NUL out as kNulOutsideString instead,
// which the parser refuses as it refuses any other stray byte, at its place, and records as
// NUL in the failing token. A NUL inside a string goes out as it is: the parser refuses it
// as a control character.
class TextInput {
 public:
  using char_type = char;
  using int_type = std::char_traits<char>::int_type;
  static constexpr int_type kNulOutsideString = 0x100;

  TextInput(std::string_view text, std::size_t* consumed) noexcept
      : at_(text.data()), end_(text.data() + text.size()), consumed_(consumed) {}

  int_type get_character() noexcept {
    if (at_ == end_) return std::char_traits<char>::eof();
    const auto byte = static_cast<unsigned char>(*at_++);
    if (consumed_ != nullptr) ++*consumed_;
    if (in_string_) {
      if (escaped_) {
        escaped_ = false;
      } else if (byte == '\\') {
        escaped_ = true;
      } else if (byte == '"') {
        in_string_ = false;
      }
      return byte;
    }
    if (byte == '"') in_string_ = true;
    return byte == 0 ? kNulOutsideString : byte;
  }

 private:
  const char* at_;
  const char* end_;
  std::size_t* consumed_;
  // Up to the first failure the parser reads every byte once, in order, so this follows
  // its own view of where strings are.
  bool in_string_ = false;
  bool escaped_ = false;
};

// token_excerpt is the parser's quotation of the failing token: control characters as
// <U+XXXX>, the rest as it is, keeping at most kExcerptBytes of its end, led by "..." when
// cut. The token runs from the last string or number begun, so it can be the whole text.
std::string token_excerpt(std::string_view token) {
  const auto width = [](char c) -> std::size_t {
    return static_cast<unsigned char>(c) <= 0x1F ? 8 : 1;
  };
  std::size_t start = token.size();
  std::size_t used = 0;
  while (start > 0 && used + width(token[start - 1]) <= kExcerptBytes) {
    used += width(token[--start]);
  }
  std::string out;
  if (start > 0) {
    // Start at a character boundary.
    while (start < token.size() && (static_cast<unsigned char>(token[start]) & 0xC0) == 0x80) {
      ++start;
    }
    out += "...";
  }
  for (const char c : token.substr(start)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x1F) {
      out += "<U+00";
      out += "0123456789ABCDEF"[byte >> 4];
      out += "0123456789ABCDEF"[byte & 0xF];
      out += '>';
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace
}  // namespace quorvex::json

// The parser quotes the token it failed in through this: quoted whole, a token can be as
// long as the text, and take as long to write out.
template <>
std::string nlohmann::detail::lexer<nlohmann::json, quorvex::json::TextInput>::get_token_string()
    const {
  return quorvex::json::token_excerpt(std::string_view(token_string.data(), token_string.size()));
}

namespace quorvex::json {

bool Reader::reject(std::string description) {
  description_ = std::move(description);
  failed_at_ = consumed_;
  return false;
}

bool Reader::type_error(const Value& v, std::string_view expected) {
  std::string description = "invalid type: ";
  append_unexpected(description, v);
  description += ", expected ";
  description += expected;
  return reject(std::move(description));
}

bool Reader::value_error(const Value& v, std::string_view expected) {
  std::string description = "invalid value: ";
  append_unexpected(description, v);
  description += ", expected ";
  description += expected;
  return reject(std::move(description));
}

bool Reader::open(const FrameOps& ops, void* target, bool array_form) {
  if (stack_.size() >= kMaxDepth) return reject("recursion limit exceeded");
  stack_.push_back(Frame{&ops, target, array_form, kSkipField, 0, 0, {}});
  return true;
}

bool Reader::open_generic(nlohmann::json* target) {
  if (stack_.size() >= kMaxDepth) return reject("recursion limit exceeded");
  stack_.push_back(Frame{nullptr, target, false, kSkipField, 0, 0, {}});
  return true;
}

Slot Reader::next_slot() {
  if (stack_.empty()) {
    if (root_done_) return {};
    root_done_ = true;
    return root_;
  }
  Frame& frame = stack_.back();
  if (frame.ops == nullptr) {
    auto& generic = *static_cast<Json*>(frame.target);
    if (generic.is_array()) return slot_of(generic.emplace_back());
    return slot_of(generic[frame.pending_key]);
  }
  if (frame.ops->element_slot != nullptr) return frame.ops->element_slot(frame.target);
  std::size_t index = frame.field;
  if (frame.array_form) {
    index = frame.count++;
    if (index >= frame.ops->array_fields) return {};
  } else if (index == kSkipField) {
    return {};
  }
  return frame.ops->field_slot(frame.target, index);
}

bool Reader::value(const Value& v) {
  const bool opens = v.type == Value::Type::Map || v.type == Value::Type::Seq;
  if (skip_depth_ > 0) {
    if (opens) ++skip_depth_;
    return true;
  }
  const Slot slot = next_slot();
  if (slot.accept == nullptr) {  // a value nobody asked for
    if (opens) skip_depth_ = 1;
    return true;
  }
  return slot.accept(*this, slot.target, v);
}

bool Reader::close() {
  if (skip_depth_ > 0) {
    --skip_depth_;
    return true;
  }
  QV_CHECK(!stack_.empty());
  const Frame& frame = stack_.back();
  if (frame.ops != nullptr && frame.ops->element_slot == nullptr) {
    const FrameOps& record = *frame.ops;
    const std::size_t fields = frame.array_form ? record.array_fields : record.fields.size();
    if (frame.array_form && frame.count != fields) {
      std::string description = "invalid length ";
      append_decimal(description, frame.count);
      if (frame.count < fields) {
        description += ", expected struct ";
        description += record.record_name;
        description += " with ";
        append_decimal(description, fields);
        description += " elements";
      } else {
        description += ", expected fewer elements in array";
      }
      return reject(std::move(description));
    }
    if (!frame.array_form) {
      for (std::size_t i = 0; i < fields; ++i) {
        if (record.fields[i].optional || (frame.seen & (std::uint64_t{1} << i)) != 0) continue;
        return reject(std::string("missing field `").append(record.fields[i].name).append("`"));
      }
    }
  }
  stack_.pop_back();
  return true;
}

bool Reader::key(std::string& name) { return member(name); }

bool Reader::member(std::string_view name) {
  if (skip_depth_ > 0) return true;
  QV_CHECK(!stack_.empty());
  Frame& frame = stack_.back();
  if (frame.ops == nullptr) {
    frame.pending_key = name;
    return true;
  }
  const std::span<const FieldInfo> fields = frame.ops->fields;
  // Members usually come in declaration order: look after the previous one first.
  const std::size_t found =
      find_field(fields, name, frame.field == kSkipField ? 0 : frame.field + 1U);
  if (found != kNoField) {
    const std::uint64_t bit = std::uint64_t{1} << found;
    if ((frame.seen & bit) != 0) {
      return reject(std::string("duplicate field `").append(name).append("`"));
    }
    frame.seen |= bit;
    frame.field = found;
    return true;
  }
  if (frame.ops->strict) {
    std::string description = "unknown field `";
    append_excerpt(description, name);
    description += "`, expected one of ";
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (i != 0) description += ", ";
      description.append("`").append(fields[i].name).append("`");
    }
    return reject(std::move(description));
  }
  frame.field = kSkipField;
  return true;
}

bool Reader::null() { return value({}); }

bool Reader::boolean(bool b) {
  Value v{Value::Type::Bool};
  v.boolean = b;
  return value(v);
}

bool Reader::number_integer(std::int64_t n) {
  Value v;
  if (n >= 0) {  // "-0"
    v.type = Value::Type::Unsigned;
    v.unsigned_int = static_cast<std::uint64_t>(n);
  } else {
    v.type = Value::Type::Signed;
    v.signed_int = n;
  }
  return value(v);
}

bool Reader::number_unsigned(std::uint64_t n) {
  Value v{Value::Type::Unsigned};
  v.unsigned_int = n;
  return value(v);
}

bool Reader::number_float(double n, const std::string& raw) {
  Value v{Value::Type::Float};
  v.float_value = n;
  v.raw = &raw;
  return value(v);
}

bool Reader::string(std::string& s) {
  Value v{Value::Type::String};
  v.string = &s;
  return value(v);
}

bool Reader::binary(nlohmann::json::binary_t& /*b*/) { return reject("unexpected binary value"); }
bool Reader::start_object(std::size_t /*elements*/) { return value({Value::Type::Map}); }
bool Reader::start_array(std::size_t /*elements*/) { return value({Value::Type::Seq}); }
bool Reader::end_object() { return close(); }
bool Reader::end_array() { return close(); }

bool Reader::parse_error(std::size_t position, const std::string& /*last_token*/,
                         const Json::exception& error) {
  // what() reads "[json.exception.parse_error.101] parse error at line 1, column 2: {text}"
  // or "[json.exception.out_of_range.406] {text}"; the position is ours.
  std::string_view what = error.what();
  if (const auto end = what.find("] "); end != std::string_view::npos) what.remove_prefix(end + 2);
  if (what.starts_with("parse error")) {
    if (const auto end = what.find(": "); end != std::string_view::npos) {
      what.remove_prefix(end + 2);
    }
  }
  description_ = valid_utf8(what);  // the last token read is quoted raw
  failed_at_ = position;
  return false;
}

bool Reader::parse(bool counting) {
  stack_.reserve(kFramesReserved);
  nlohmann::detail::parser<Json, TextInput> parser(
      TextInput(text_, counting ? &consumed_ : nullptr));
  return parser.sax_parse(this);
}

CoreError Reader::error() const {
  // The last byte consumed, or just past the end when the text ran out.
  const std::size_t at = std::min(failed_at_ == 0 ? 0 : failed_at_ - 1, text_.size());
  std::uint64_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < at; ++i) {
    if (text_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return CoreError::serialization(description_.empty() ? "invalid JSON" : description_, line,
                                  at - line_start + 1);
}

}  // namespace quorvex::json
