#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/result.hpp"

namespace quorvex::json {

enum class Layout : std::uint8_t {
  Compact,  // no whitespace outside strings: what is signed and hashed
  Pretty,   // a member or element per line, two spaces per level, ": " after keys
};

// Writer appends JSON to a string. Both layouts share one escaping rule: the
// quote, the backslash, \b \t \n \f \r, other control characters as \u00xx; the rest
// (the solidus, U+007F and all non-ASCII text) as its UTF-8 bytes. Empty
// objects and arrays are "{}" and "[]" in both layouts, and nothing follows the
// last closing bracket. A text that is not UTF-8 is copied as it is and
// reported by finish().
class Writer {
 public:
  explicit Writer(std::string& out, Layout layout = Layout::Compact) : out_(out), layout_(layout) {}

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  // key starts an object member; the member's value is written next.
  void key(std::string_view name);
  // field starts a member whose name is known to need no escaping (a schema's).
  void field(std::string_view name);

  void text(std::string_view value);
  // ascii_text writes text known to hold only printable ASCII other than the
  // quote and the backslash (digests, identifiers, timestamps) without scanning it.
  void ascii_text(std::string_view value);
  // hex_text writes prefix followed by the lower-case hex digits of bytes.
  void hex_text(std::string_view prefix, std::span<const std::uint8_t> bytes);
  void signed_integer(std::int64_t value);
  void unsigned_integer(std::uint64_t value);
  void boolean(bool value);
  void null();
  // generic writes a value of the JSON library's own type; its objects are
  // ordered by key.
  void generic(const nlohmann::json& value);

  // finish fails with Serialization ("invalid UTF-8 byte at index 3: 0xff",
  // no position) when a text was not valid UTF-8.
  Result<void> finish() const;

 private:
  // Before every value and key: the separator and, when pretty, the line break
  // and indentation the position needs.
  void next_item();
  void open(char bracket);
  void close(char bracket);
  void newline_indent(std::size_t depth);
  void escaped(std::string_view value);

  std::string& out_;
  Layout layout_;
  std::string empty_;  // per open container, '1' while nothing is written in it yet
  bool after_key_ = false;
  std::size_t bad_index_ = static_cast<std::size_t>(-1);
  unsigned bad_byte_ = 0;
};

}  // namespace quorvex::json
