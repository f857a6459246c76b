// The JSON reader has three ways through a text: the scanner straight into the record, the
// scanner driving the reader's events, and the parser driving them. The first two may decline
// any text, leaving it to the parser, but what they accept the parser must accept as the same
// value, and a record the reader refuses while the scanner drives it the parser must refuse
// with the same words. read() must then give exactly the parser's verdict, position included.
// Each input is read as token claims, a token header (strict) and an AID document (which has
// values the scanner cannot take straight).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/aid/document_json.hpp"
#include "core/dat/token.hpp"
#include "core/dat/token_json.hpp"
#include "core/json/reader.hpp"

namespace {

namespace json = quorvex::json;

[[noreturn]] void disagree(std::string_view record, std::string_view what) {
  std::fprintf(stderr, "reader paths disagree on %.*s: %.*s\n", static_cast<int>(record.size()),
               record.data(), static_cast<int>(what.size()), what.data());
  std::abort();
}

template <typename T>
bool same_value(const T& a, const T& b) {
  return a == b;
}

// Documents have no ==; the written JSON stands for the value.
template <>
bool same_value(const quorvex::aid::AidDocument& a, const quorvex::aid::AidDocument& b) {
  auto a_text = quorvex::aid::document_to_json(a);
  auto b_text = quorvex::aid::document_to_json(b);
  if (a_text && b_text) return *a_text == *b_text;
  return !a_text && !b_text && a_text.error().text() == b_text.error().text();
}

template <typename T>
void compare(std::string_view text) {
  const std::string_view name = json::Schema<T>::name;
  T full;
  json::Reader parser(text, json::slot_of(full));
  const bool full_read = parser.parse(true);

  if constexpr (json::scannable<T>()) {
    T direct;
    json::Scanner scanner(text);
    if (json::scan_value(scanner, direct) && scanner.at_end()) {
      if (!full_read) disagree(name, "the scanner accepts what the parser refuses");
      if (!same_value(direct, full)) disagree(name, "the scanner reads another value");
    }
  }

  T quick;
  json::Reader scanned(text, json::slot_of(quick));
  if (scanned.parse_quick()) {
    if (!full_read) disagree(name, "the scanner's events are accepted, the parser's refused");
    if (!same_value(quick, full)) disagree(name, "the scanner's events give another value");
  } else if (const std::string refused = scanned.error().text(); refused != "invalid JSON") {
    if (full_read) disagree(name, "the reader refuses the scanner's events, not the parser's");
    if (parser.error().text() != refused) disagree(name, "the refusals are worded differently");
  }

  T uncounted;
  json::Reader plain(text, json::slot_of(uncounted));
  if (plain.parse(false) != full_read) disagree(name, "counting bytes changes the verdict");
  if (full_read && !same_value(uncounted, full)) disagree(name, "counting changes the value");
  if (!full_read && plain.error().text() != parser.error().text()) {
    disagree(name, "counting bytes changes the refusal");
  }

  auto read = json::read<T>(text);
  if (read.has_value() != full_read) disagree(name, "read() and the parser differ in verdict");
  if (full_read) {
    if (!same_value(*read, full)) disagree(name, "read() and the parser differ in value");
  } else {
    const quorvex::CoreError expected = parser.error();
    const quorvex::CoreError& got = read.error();
    if (got.text() != expected.text() || got.line() != expected.line() ||
        got.column() != expected.column()) {
      disagree(name, "read() and the parser differ in refusal");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  compare<quorvex::dat::DatClaims>(text);
  compare<quorvex::dat::DatHeader>(text);
  compare<quorvex::aid::AidDocument>(text);
  return 0;
}
