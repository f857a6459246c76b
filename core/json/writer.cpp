#include "core/json/writer.hpp"

#include <array>

#include "core/base/decimal.hpp"
#include "core/base/text.hpp"

namespace quorvex::json {
namespace {

// The letter after the backslash of the control characters that have a short escape.
constexpr std::string_view kShortEscapes("\0\0\0\0\0\0\0\0btn\0fr", 14);

// Bytes a text cannot copy as they are: control characters, the quote, the
// backslash, and the bytes of non-ASCII sequences, which are checked for UTF-8.
constexpr std::array<bool, 256> kSpecial = [] {
  std::array<bool, 256> table{};
  for (std::size_t c = 0; c < 256; ++c) table[c] = c < 0x20 || c == '"' || c == '\\' || c >= 0x80;
  return table;
}();

}  // namespace

void Writer::newline_indent(std::size_t depth) {
  out_ += '\n';
  out_.append(2 * depth, ' ');
}

void Writer::next_item() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (empty_.empty()) return;
  if (empty_.back() == '0') out_ += ',';
  empty_.back() = '0';
  if (layout_ == Layout::Pretty) newline_indent(empty_.size());
}

void Writer::open(char bracket) {
  next_item();
  out_ += bracket;
  empty_.push_back('1');
}

void Writer::close(char bracket) {
  const bool was_empty = empty_.back() == '1';
  empty_.pop_back();
  if (layout_ == Layout::Pretty && !was_empty) newline_indent(empty_.size());
  out_ += bracket;
}

void Writer::key(std::string_view name) {
  next_item();
  escaped(name);
  out_ += layout_ == Layout::Pretty ? ": " : ":";
  after_key_ = true;
}

void Writer::field(std::string_view name) {
  next_item();
  out_ += '"';
  out_ += name;
  out_ += layout_ == Layout::Pretty ? "\": " : "\":";
  after_key_ = true;
}

void Writer::text(std::string_view value) {
  next_item();
  escaped(value);
}

void Writer::ascii_text(std::string_view value) {
  next_item();
  out_ += '"';
  out_ += value;
  out_ += '"';
}

void Writer::hex_text(std::string_view prefix, std::span<const std::uint8_t> bytes) {
  next_item();
  out_ += '"';
  out_ += prefix;
  append_hex(out_, bytes);
  out_ += '"';
}

void Writer::signed_integer(std::int64_t value) {
  next_item();
  append_decimal(out_, value);
}

void Writer::unsigned_integer(std::uint64_t value) {
  next_item();
  append_decimal(out_, value);
}

void Writer::boolean(bool value) {
  next_item();
  out_ += value ? "true" : "false";
}

void Writer::null() {
  next_item();
  out_ += "null";
}

void Writer::generic(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::object:
      begin_object();
      for (const auto& [name, member] : value.items()) {
        key(name);
        generic(member);
      }
      end_object();
      return;
    case nlohmann::json::value_t::array:
      begin_array();
      for (const auto& element : value) generic(element);
      end_array();
      return;
    case nlohmann::json::value_t::string:
      text(value.get_ref<const std::string&>());
      return;
    case nlohmann::json::value_t::boolean:
      boolean(value.get<bool>());
      return;
    case nlohmann::json::value_t::number_integer:
      signed_integer(value.get<std::int64_t>());
      return;
    case nlohmann::json::value_t::number_unsigned:
      unsigned_integer(value.get<std::uint64_t>());
      return;
    case nlohmann::json::value_t::number_float:
      next_item();
      out_ += value.dump();  // the shortest text that reads back as the same double
      return;
    case nlohmann::json::value_t::null:
    case nlohmann::json::value_t::discarded:
    case nlohmann::json::value_t::binary:
      null();
      return;
  }
}

void Writer::escaped(std::string_view value) {
  out_ += '"';
  std::size_t run = 0;  // start of the bytes not yet copied
  std::size_t i = 0;
  while (i < value.size()) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (!kSpecial[c]) {
      ++i;
      continue;
    }
    if (c >= 0x80) {
      std::size_t n = utf8_sequence_length(value, i);
      if (n == 0) {
        if (bad_index_ == static_cast<std::size_t>(-1)) {
          bad_index_ = i;
          bad_byte_ = c;
        }
        n = 1;
      }
      i += n;
      continue;
    }
    out_.append(value.data() + run, i - run);
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
  out_.append(value.data() + run, value.size() - run);
  out_ += '"';
}

Result<void> Writer::finish() const {
  if (bad_index_ == static_cast<std::size_t>(-1)) return ok();
  std::string description = "invalid UTF-8 byte at index ";
  append_decimal(description, bad_index_);
  description += ": 0x";
  description += kHexDigits[bad_byte_ >> 4];
  description += kHexDigits[bad_byte_ & 0xF];
  return fail(CoreError::serialization(std::move(description)));
}

}  // namespace quorvex::json
