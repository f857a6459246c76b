#include "core/dat/json_io.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/base/decimal.hpp"

namespace quorvex::dat {
namespace {

using Json = nlohmann::json;

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr std::size_t kNone = static_cast<std::size_t>(-1);
// The letter after the backslash of the control characters that have a short escape.
constexpr std::string_view kShortEscapes("\0\0\0\0\0\0\0\0btn\0fr", 14);

// utf8_length: the length of the well-formed UTF-8 sequence at text[i], or 0.
std::size_t utf8_length(std::string_view text, std::size_t i) noexcept {
  const auto byte = [&](std::size_t k) -> unsigned {
    return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0U;
  };
  const auto tail = [&](std::size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
    return byte(k) >= lo && byte(k) <= hi;
  };
  const unsigned lead = byte(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return tail(1) ? 2 : 0;
  if (lead == 0xE0) return tail(1, 0xA0) && tail(2) ? 3 : 0;
  if (lead == 0xED) return tail(1, 0x80, 0x9F) && tail(2) ? 3 : 0;
  if (lead >= 0xE1 && lead <= 0xEF) return tail(1) && tail(2) ? 3 : 0;
  if (lead == 0xF0) return tail(1, 0x90) && tail(2) && tail(3) ? 4 : 0;
  if (lead >= 0xF1 && lead <= 0xF3) return tail(1) && tail(2) && tail(3) ? 4 : 0;
  if (lead == 0xF4) return tail(1, 0x80, 0x8F) && tail(2) && tail(3) ? 4 : 0;
  return 0;
}

// ---- Writing ----

// Writer appends compact JSON. It remembers the first byte of a text that is
// not UTF-8 and reports it from finish().
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  void begin_object() {
    out_ += '{';
    first_ = true;
  }
  void end_object() {
    out_ += '}';
    first_ = false;
  }
  void begin_array() {
    out_ += '[';
    first_ = true;
  }
  void end_array() {
    out_ += ']';
    first_ = false;
  }
  // element separates the values of an array begun with begin_array.
  void element() {
    if (!first_) out_ += ',';
    first_ = false;
  }
  void key(std::string_view name) {
    element();
    out_ += '"';
    out_ += name;
    out_ += "\":";
  }
  void text(std::string_view text);
  void signed_int(std::int64_t value) { append_decimal(out_, value); }
  void unsigned_int(std::uint64_t value) { append_decimal(out_, value); }
  void boolean(bool value) { out_ += value ? "true" : "false"; }
  void text_list(const std::vector<std::string>& texts) {
    out_ += '[';
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (i != 0) out_ += ',';
      text(texts[i]);
    }
    out_ += ']';
  }
  void byte_list(const std::vector<std::uint8_t>& values) {
    out_ += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i != 0) out_ += ',';
      append_decimal(out_, values[i]);
    }
    out_ += ']';
  }

  Result<void> finish() const {
    if (bad_index_ == kNone) return ok();
    std::string description = "invalid UTF-8 byte at index ";
    append_decimal(description, bad_index_);
    description += ": 0x";
    description += kHexDigits[bad_byte_ >> 4];
    description += kHexDigits[bad_byte_ & 0xF];
    return fail(CoreError::serialization(std::move(description)));
  }

 private:
  std::string& out_;
  bool first_ = true;
  std::size_t bad_index_ = kNone;
  unsigned bad_byte_ = 0;
};

void Writer::text(std::string_view text) {
  out_ += '"';
  std::size_t run = 0;  // start of the bytes not yet copied
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      std::size_t n = utf8_length(text, i);
      if (n == 0) {
        if (bad_index_ == kNone) {
          bad_index_ = i;
          bad_byte_ = c;
        }
        n = 1;
      }
      i += n;
      continue;
    }
    if (c >= 0x20 && c != '"' && c != '\\') {
      ++i;
      continue;
    }
    out_.append(text.data() + run, i - run);
    out_ += '\\';
    if (c == '"' || c == '\\') {
      out_ += static_cast<char>(c);
    } else if (c < kShortEscapes.size() && kShortEscapes[c] != '\0') {
      out_ += kShortEscapes[c];
    } else {
      out_ += "u00";
      out_ += kHexDigits[c >> 4];
      out_ += kHexDigits[c & 0xF];
    }
    run = ++i;
  }
  out_.append(text.data() + run, text.size() - run);
  out_ += '"';
}

void write_rate_limit(Writer& w, const RateLimit& rate_limit) {
  w.begin_object();
  w.key("max_actions");
  w.unsigned_int(rate_limit.max_actions);
  w.key("window_secs");
  w.unsigned_int(rate_limit.window_secs);
  w.end_object();
}

void write_time_window(Writer& w, const TimeWindow& window) {
  w.begin_object();
  w.key("start_hour");
  w.unsigned_int(window.start_hour);
  w.key("end_hour");
  w.unsigned_int(window.end_hour);
  if (window.days_of_week) {
    w.key("days_of_week");
    w.byte_list(*window.days_of_week);
  }
  w.end_object();
}

void write_constraints(Writer& w, const DatConstraints& c) {
  w.begin_object();
  if (c.max_actions) {
    w.key("maxActions");
    w.unsigned_int(*c.max_actions);
  }
  if (c.allowed_servers) {
    w.key("allowedServers");
    w.text_list(*c.allowed_servers);
  }
  if (c.require_receipt) {
    w.key("requireReceipt");
    w.boolean(*c.require_receipt);
  }
  if (c.rate_limit) {
    w.key("rateLimit");
    write_rate_limit(w, *c.rate_limit);
  }
  if (c.ip_allowlist) {
    w.key("ipAllowlist");
    w.text_list(*c.ip_allowlist);
  }
  if (c.ip_denylist) {
    w.key("ipDenylist");
    w.text_list(*c.ip_denylist);
  }
  if (c.min_trust_level) {
    w.key("minTrustLevel");
    w.unsigned_int(*c.min_trust_level);
  }
  if (c.max_delegation_depth) {
    w.key("maxDelegationDepth");
    w.unsigned_int(*c.max_delegation_depth);
  }
  if (c.allowed_countries) {
    w.key("allowedCountries");
    w.text_list(*c.allowed_countries);
  }
  if (c.time_windows) {
    w.key("timeWindows");
    w.begin_array();
    for (const TimeWindow& window : *c.time_windows) {
      w.element();
      write_time_window(w, window);
    }
    w.end_array();
  }
  if (c.required_config_hash) {
    w.key("requiredConfigHash");
    w.text(*c.required_config_hash);
  }
  w.end_object();
}

// ---- Reading ----

// What a JSON value is read into: scalars, lists, then the records.
enum class Kind : std::uint8_t {
  Text,
  I64,
  U64,
  U8,
  U32,
  Bool,
  TextList,
  U8List,
  TimeWindowList,
  Header,
  Claims,
  Constraints,
  RateLimit,
  TimeWindow
};

bool is_record(Kind kind) noexcept { return kind >= Kind::Header; }
bool is_list(Kind kind) noexcept { return kind >= Kind::TextList && kind < Kind::Header; }

template <typename Record, typename T>
Record record_type(T Record::*);

// at<&Record::m> gives the address of member m of a record given by address.
template <auto M>
void* at(void* record) {
  using Record = decltype(record_type(M));
  return &(static_cast<Record*>(record)->*M);
}

struct Field {
  std::string_view name;
  Kind kind;
  bool optional;
  void* (*member)(void* record);
};

constexpr std::array kHeaderFields{
    Field{"alg", Kind::Text, false, at<&DatHeader::alg>},
    Field{"typ", Kind::Text, false, at<&DatHeader::typ>},
    Field{"kid", Kind::Text, false, at<&DatHeader::kid>},
};
constexpr std::array kClaimsFields{
    Field{"iss", Kind::Text, false, at<&DatClaims::iss>},
    Field{"sub", Kind::Text, false, at<&DatClaims::sub>},
    Field{"iat", Kind::I64, false, at<&DatClaims::iat>},
    Field{"exp", Kind::I64, false, at<&DatClaims::exp>},
    Field{"nbf", Kind::I64, false, at<&DatClaims::nbf>},
    Field{"jti", Kind::Text, false, at<&DatClaims::jti>},
    Field{"scope", Kind::TextList, false, at<&DatClaims::scope>},
    Field{"constraints", Kind::Constraints, true, at<&DatClaims::constraints>},
    Field{"configAttestation", Kind::Text, true, at<&DatClaims::config_attestation>},
    Field{"delegationChain", Kind::TextList, true, at<&DatClaims::delegation_chain>},
};
constexpr std::array kConstraintsFields{
    Field{"maxActions", Kind::U64, true, at<&DatConstraints::max_actions>},
    Field{"allowedServers", Kind::TextList, true, at<&DatConstraints::allowed_servers>},
    Field{"requireReceipt", Kind::Bool, true, at<&DatConstraints::require_receipt>},
    Field{"rateLimit", Kind::RateLimit, true, at<&DatConstraints::rate_limit>},
    Field{"ipAllowlist", Kind::TextList, true, at<&DatConstraints::ip_allowlist>},
    Field{"ipDenylist", Kind::TextList, true, at<&DatConstraints::ip_denylist>},
    Field{"minTrustLevel", Kind::U8, true, at<&DatConstraints::min_trust_level>},
    Field{"maxDelegationDepth", Kind::U32, true, at<&DatConstraints::max_delegation_depth>},
    Field{"allowedCountries", Kind::TextList, true, at<&DatConstraints::allowed_countries>},
    Field{"timeWindows", Kind::TimeWindowList, true, at<&DatConstraints::time_windows>},
    Field{"requiredConfigHash", Kind::Text, true, at<&DatConstraints::required_config_hash>},
};
constexpr std::array kRateLimitFields{
    Field{"max_actions", Kind::U64, false, at<&RateLimit::max_actions>},
    Field{"window_secs", Kind::U64, false, at<&RateLimit::window_secs>},
};
constexpr std::array kTimeWindowFields{
    Field{"start_hour", Kind::U8, false, at<&TimeWindow::start_hour>},
    Field{"end_hour", Kind::U8, false, at<&TimeWindow::end_hour>},
    Field{"days_of_week", Kind::U8List, true, at<&TimeWindow::days_of_week>},
};

struct Record {
  std::string_view name;
  std::span<const Field> fields;
  bool strict;  // unknown members are an error rather than skipped
};

// In the order of the record kinds.
constexpr std::array<Record, 5> kRecords{{
    {"DatHeader", kHeaderFields, true},
    {"DatClaims", kClaimsFields, false},
    {"DatConstraints", kConstraintsFields, false},
    {"RateLimit", kRateLimitFields, false},
    {"TimeWindow", kTimeWindowFields, false},
}};

const Record& record_of(Kind kind) {
  QV_CHECK(is_record(kind));
  return kRecords[static_cast<std::size_t>(kind) - static_cast<std::size_t>(Kind::Header)];
}

Kind element_of(Kind list) noexcept {
  switch (list) {
    case Kind::TextList:
      return Kind::Text;
    case Kind::U8List:
      return Kind::U8;
    default:
      return Kind::TimeWindow;
  }
}

std::string expected_of(Kind kind) {
  // In the order of the kinds before the records.
  static constexpr std::array<std::string_view, 9> kExpected{
      "a string", "i64", "u64", "u8", "u32", "a boolean", "a sequence", "a sequence", "a sequence"};
  if (is_record(kind)) return std::string("struct ").append(record_of(kind).name);
  return std::string(kExpected[static_cast<std::size_t>(kind)]);
}

// One JSON value as the parser reports it.
struct Value {
  enum class Type : std::uint8_t { Null, Bool, Signed, Unsigned, Float, String, Map, Seq };
  Type type = Type::Null;
  bool boolean = false;
  std::int64_t signed_int = 0;       // Signed: always negative
  std::uint64_t unsigned_int = 0;    // Unsigned
  std::string* string = nullptr;     // String
  const std::string* raw = nullptr;  // Float: the number as written
};

// A text quoted for an error message: \" \\ \t \n \r escaped, other control
// characters written as \u{1b}.
void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c == '\t' || c == '\n' || c == '\r') {
      out += '\\';
      out += kShortEscapes[c];
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\u{";
      if (c >= 0x10) out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0xF];
      out += '}';
    } else {
      out += ch;
    }
  }
  out += '"';
}

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
      out += *v.raw;
      out += '`';
      return;
    case Value::Type::String:
      out += "string ";
      append_quoted(out, *v.string);
      return;
    case Value::Type::Map:
      out += "map";
      return;
    case Value::Type::Seq:
      out += "sequence";
      return;
  }
}

// Text with every ill-formed UTF-8 sequence replaced by U+FFFD.
std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = utf8_length(text, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

// ByteReader is the parser's input: an input iterator over the text that
// counts the bytes handed out, so that every failure has a position.
class ByteReader {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  ByteReader(const char* at, std::size_t* consumed) noexcept : at_(at), consumed_(consumed) {}
  reference operator*() const noexcept { return *at_; }
  ByteReader& operator++() noexcept {
    ++at_;
    ++*consumed_;
    return *this;
  }
  ByteReader operator++(int) noexcept {
    ByteReader before = *this;
    ++*this;
    return before;
  }
  bool operator==(const ByteReader& other) const noexcept { return at_ == other.at_; }

 private:
  const char* at_;
  std::size_t* consumed_;
};

// Reader receives the parser's events and fills one record. It keeps its own
// stack, bounded by the nesting of the records; a value it does not need is
// skipped by counting brackets, however deep it nests. A record in array form
// must list every member, optional ones as null: a shorter array fails with
// "invalid length 2, expected struct DatHeader with 3 elements", a longer one
// with "invalid length 4, expected fewer elements in array".
class Reader {
 public:
  Reader(std::string_view text, Kind root, void* target) noexcept
      : text_(text), root_(root), root_target_(target) {}

  // parse feeds the text to the parser. Only a counting parse knows where
  // a failure found by this reader happened.
  bool parse(bool counting);
  // error is the failure of a parse that returned false.
  CoreError error() const;

  bool null() { return value({}); }
  bool boolean(bool b) {
    Value v{Value::Type::Bool};
    v.boolean = b;
    return value(v);
  }
  bool number_integer(Json::number_integer_t n) {
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
  bool number_unsigned(Json::number_unsigned_t n) {
    Value v{Value::Type::Unsigned};
    v.unsigned_int = n;
    return value(v);
  }
  bool number_float(Json::number_float_t /*n*/, const Json::string_t& raw) {
    Value v{Value::Type::Float};
    v.raw = &raw;
    return value(v);
  }
  bool string(Json::string_t& s) {
    Value v{Value::Type::String};
    v.string = &s;
    return value(v);
  }
  bool binary(Json::binary_t& /*b*/) { return reject("unexpected binary value"); }
  bool start_object(std::size_t /*elements*/) { return value({Value::Type::Map}); }
  bool start_array(std::size_t /*elements*/) { return value({Value::Type::Seq}); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool key(Json::string_t& name);
  bool parse_error(std::size_t position, const std::string& /*last_token*/,
                   const Json::exception& error);

 private:
  static constexpr std::uint8_t kSkipField = 0xFF;

  struct Frame {
    Kind kind;           // a record or a list
    bool array_form;     // a record written as an array of its members' values
    std::uint8_t field;  // object: the field of the coming value, or kSkipField
    std::uint16_t seen;  // object: a bit per field already given
    std::size_t count;   // array form: the elements met so far
    void* target;
  };

  enum class Mode : std::uint8_t { Plain, Optional, Append, Skip };
  struct Slot {
    Kind kind;
    Mode mode;
    void* target;  // the member, its std::optional, or the list appended to
  };

  template <typename T>
  static T& place(const Slot& slot) {
    if constexpr (!std::is_same_v<T, bool>) {
      if (slot.mode == Mode::Append) {
        return static_cast<std::vector<T>*>(slot.target)->emplace_back();
      }
    }
    if (slot.mode == Mode::Optional) return static_cast<std::optional<T>*>(slot.target)->emplace();
    return *static_cast<T*>(slot.target);
  }

  Slot next_slot();
  bool value(const Value& v);
  bool integer(const Slot& slot, const Value& v);
  bool open(Kind kind, bool array_form, void* target);
  bool close();
  bool type_error(const Value& v, Kind expected);
  bool reject(std::string description) {
    description_ = std::move(description);
    failed_at_ = consumed_;
    return false;
  }

  std::string_view text_;
  Kind root_;
  void* root_target_;
  std::array<Frame, 6> stack_{};
  std::size_t depth_ = 0;
  std::size_t skip_depth_ = 0;  // open brackets of a value being skipped
  std::size_t consumed_ = 0;
  std::size_t failed_at_ = 0;
  std::string description_;
};

Reader::Slot Reader::next_slot() {
  if (depth_ == 0) return {root_, Mode::Plain, root_target_};
  Frame& frame = stack_[depth_ - 1];
  if (is_list(frame.kind)) return {element_of(frame.kind), Mode::Append, frame.target};
  const Record& record = record_of(frame.kind);
  std::size_t index = frame.field;
  if (frame.array_form) {
    index = frame.count++;
    if (index >= record.fields.size()) return {Kind::Text, Mode::Skip, nullptr};
  } else if (index == kSkipField) {
    return {Kind::Text, Mode::Skip, nullptr};
  }
  const Field& field = record.fields[index];
  return {field.kind, field.optional ? Mode::Optional : Mode::Plain, field.member(frame.target)};
}

bool Reader::value(const Value& v) {
  const bool opens = v.type == Value::Type::Map || v.type == Value::Type::Seq;
  if (skip_depth_ > 0) {
    if (opens) ++skip_depth_;
    return true;
  }
  const Slot slot = next_slot();
  if (slot.mode == Mode::Skip) {
    if (opens) skip_depth_ = 1;
    return true;
  }
  if (v.type == Value::Type::Null && slot.mode == Mode::Optional) return true;  // absent
  switch (slot.kind) {
    case Kind::Text:
      if (v.type != Value::Type::String) break;
      place<std::string>(slot) = *v.string;  // a copy leaves the parser its buffer
      return true;
    case Kind::I64:
    case Kind::U64:
    case Kind::U8:
    case Kind::U32:
      return integer(slot, v);
    case Kind::Bool:
      if (v.type != Value::Type::Bool) break;
      place<bool>(slot) = v.boolean;
      return true;
    case Kind::TextList:
      if (v.type != Value::Type::Seq) break;
      return open(slot.kind, false, &place<std::vector<std::string>>(slot));
    case Kind::U8List:
      if (v.type != Value::Type::Seq) break;
      return open(slot.kind, false, &place<std::vector<std::uint8_t>>(slot));
    case Kind::TimeWindowList:
      if (v.type != Value::Type::Seq) break;
      return open(slot.kind, false, &place<std::vector<TimeWindow>>(slot));
    case Kind::Header:
      if (!opens) break;
      return open(slot.kind, v.type == Value::Type::Seq, &place<DatHeader>(slot));
    case Kind::Claims:
      if (!opens) break;
      return open(slot.kind, v.type == Value::Type::Seq, &place<DatClaims>(slot));
    case Kind::Constraints:
      if (!opens) break;
      return open(slot.kind, v.type == Value::Type::Seq, &place<DatConstraints>(slot));
    case Kind::RateLimit:
      if (!opens) break;
      return open(slot.kind, v.type == Value::Type::Seq, &place<RateLimit>(slot));
    case Kind::TimeWindow:
      if (!opens) break;
      return open(slot.kind, v.type == Value::Type::Seq, &place<TimeWindow>(slot));
  }
  return type_error(v, slot.kind);
}

bool Reader::integer(const Slot& slot, const Value& v) {
  if (v.type != Value::Type::Signed && v.type != Value::Type::Unsigned) {
    return type_error(v, slot.kind);
  }
  std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  switch (slot.kind) {
    case Kind::I64:
      max = std::numeric_limits<std::int64_t>::max();
      break;
    case Kind::U8:
      max = std::numeric_limits<std::uint8_t>::max();
      break;
    case Kind::U32:
      max = std::numeric_limits<std::uint32_t>::max();
      break;
    default:
      break;
  }
  const bool negative_ok = slot.kind == Kind::I64;
  if ((v.type == Value::Type::Signed && !negative_ok) ||
      (v.type == Value::Type::Unsigned && v.unsigned_int > max)) {
    std::string description = "invalid value: ";
    append_unexpected(description, v);
    description += ", expected ";
    description += expected_of(slot.kind);
    return reject(std::move(description));
  }
  switch (slot.kind) {
    case Kind::I64:
      place<std::int64_t>(slot) =
          v.type == Value::Type::Signed ? v.signed_int : static_cast<std::int64_t>(v.unsigned_int);
      break;
    case Kind::U8:
      place<std::uint8_t>(slot) = static_cast<std::uint8_t>(v.unsigned_int);
      break;
    case Kind::U32:
      place<std::uint32_t>(slot) = static_cast<std::uint32_t>(v.unsigned_int);
      break;
    default:
      place<std::uint64_t>(slot) = v.unsigned_int;
      break;
  }
  return true;
}

bool Reader::open(Kind kind, bool array_form, void* target) {
  QV_CHECK(depth_ < stack_.size());
  stack_[depth_++] = Frame{kind, array_form, kSkipField, 0, 0, target};
  return true;
}

bool Reader::close() {
  if (skip_depth_ > 0) {
    --skip_depth_;
    return true;
  }
  QV_CHECK(depth_ > 0);
  const Frame& frame = stack_[depth_ - 1];
  if (is_record(frame.kind)) {
    const Record& record = record_of(frame.kind);
    const std::size_t fields = record.fields.size();
    if (frame.array_form && frame.count != fields) {
      std::string description = "invalid length ";
      append_decimal(description, frame.count);
      if (frame.count < fields) {
        description += ", expected struct ";
        description += record.name;
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
        if (record.fields[i].optional || (frame.seen & (1U << i)) != 0) continue;
        return reject(std::string("missing field `").append(record.fields[i].name).append("`"));
      }
    }
  }
  --depth_;
  return true;
}

bool Reader::key(Json::string_t& name) {
  if (skip_depth_ > 0) return true;
  QV_CHECK(depth_ > 0);
  Frame& frame = stack_[depth_ - 1];
  const Record& record = record_of(frame.kind);
  const std::size_t fields = record.fields.size();
  // Members usually come in declaration order: look after the previous one first.
  const std::size_t start = frame.field == kSkipField ? 0 : frame.field + 1U;
  for (std::size_t n = 0; n < fields; ++n) {
    const std::size_t i = (start + n) % fields;
    if (record.fields[i].name != name) continue;
    const auto bit = static_cast<std::uint16_t>(1U << i);
    if ((frame.seen & bit) != 0) return reject("duplicate field `" + name + "`");
    frame.seen = static_cast<std::uint16_t>(frame.seen | bit);
    frame.field = static_cast<std::uint8_t>(i);
    return true;
  }
  if (record.strict) {
    std::string description = "unknown field `" + name + "`, expected one of ";
    for (std::size_t i = 0; i < fields; ++i) {
      if (i != 0) description += ", ";
      description.append("`").append(record.fields[i].name).append("`");
    }
    return reject(std::move(description));
  }
  frame.field = kSkipField;
  return true;
}

bool Reader::type_error(const Value& v, Kind expected) {
  std::string description = "invalid type: ";
  append_unexpected(description, v);
  description += ", expected ";
  description += expected_of(expected);
  return reject(std::move(description));
}

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
  const char* begin = text_.data();
  const char* end = begin + text_.size();
  if (!counting) return Json::sax_parse(begin, end, this);
  return Json::sax_parse(ByteReader(begin, &consumed_), ByteReader(end, &consumed_), this);
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

template <typename T>
Result<T> read(std::string_view json, Kind kind) {
  T record;
  if (Reader(json, kind, &record).parse(false)) return record;
  // Failures are rare: only then is the text parsed again, counting bytes to place the error.
  T scratch;
  Reader counted(json, kind, &scratch);
  const bool parsed = counted.parse(true);
  QV_CHECK(!parsed);
  return fail(counted.error());
}

}  // namespace

Result<void> append_header_json(std::string& out, const DatHeader& header) {
  Writer w(out);
  w.begin_object();
  w.key("alg");
  w.text(header.alg);
  w.key("typ");
  w.text(header.typ);
  w.key("kid");
  w.text(header.kid);
  w.end_object();
  return w.finish();
}

Result<void> append_claims_json(std::string& out, const DatClaims& claims) {
  Writer w(out);
  w.begin_object();
  w.key("iss");
  w.text(claims.iss);
  w.key("sub");
  w.text(claims.sub);
  w.key("iat");
  w.signed_int(claims.iat);
  w.key("exp");
  w.signed_int(claims.exp);
  w.key("nbf");
  w.signed_int(claims.nbf);
  w.key("jti");
  w.text(claims.jti);
  w.key("scope");
  w.text_list(claims.scope);
  if (claims.constraints) {
    w.key("constraints");
    write_constraints(w, *claims.constraints);
  }
  if (claims.config_attestation) {
    w.key("configAttestation");
    w.text(*claims.config_attestation);
  }
  if (claims.delegation_chain) {
    w.key("delegationChain");
    w.text_list(*claims.delegation_chain);
  }
  w.end_object();
  return w.finish();
}

std::string encode_header(const DatHeader& header) {
  std::string out;
  out.reserve(64 + header.alg.size() + header.typ.size() + header.kid.size());
  static_cast<void>(append_header_json(out, header));
  return out;
}

std::string encode_claims(const DatClaims& claims) {
  std::string out;
  out.reserve(1024);
  static_cast<void>(append_claims_json(out, claims));
  return out;
}

Result<DatHeader> decode_header(std::string_view json) {
  return read<DatHeader>(json, Kind::Header);
}

Result<DatClaims> decode_claims(std::string_view json) {
  return read<DatClaims>(json, Kind::Claims);
}

}  // namespace quorvex::dat
