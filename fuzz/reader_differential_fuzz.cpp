// The JSON reader has two ways through a text: the scanner straight into the record, and the
// parser. The scanner may decline any text, leaving it to the parser, but what it accepts the
// parser must accept as the same value; read() must give exactly the parser's verdict,
// position included. Each input is read as every record the system reads: token claims, a
// token header (strict), an AID document (with generic values), identity metadata, a JWK and
// a printed receipt log.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "core/aid/document_json.hpp"
#include "core/aid/saved_identity.hpp"
#include "core/crypto/jwk.hpp"
#include "core/dat/token.hpp"
#include "core/dat/token_json.hpp"
#include "core/json/reader.hpp"
#include "core/receipt/receipt.hpp"

namespace {

namespace json = quorvex::json;

[[noreturn]] void disagree(std::string_view record, std::string_view what) {
  std::fprintf(stderr, "reader paths disagree on %.*s: %.*s\n", static_cast<int>(record.size()),
               record.data(), static_cast<int>(what.size()), what.data());
  std::abort();
}

// The written JSON stands for the value: not every record has ==.
template <typename T>
bool same_value(const T& a, const T& b) {
  std::string a_text;
  std::string b_text;
  json::Writer a_writer(a_text);
  json::Writer b_writer(b_text);
  json::write_value(a_writer, a);
  json::write_value(b_writer, b);
  return a_text == b_text;
}

template <typename T>
void compare(std::string_view text) {
  const std::string_view name = typeid(T).name();
  T full;
  json::Reader parser(text, json::slot_of(full));
  const bool full_read = parser.parse(true);

  if constexpr (json::scannable<T>()) {
    T direct;
    if (json::scan(text, direct)) {
      if (!full_read) disagree(name, "the scanner accepts what the parser refuses");
      if (!same_value(direct, full)) disagree(name, "the scanner reads another value");
    }
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
  compare<quorvex::aid::SavedIdentity>(text);
  compare<quorvex::crypto::JwkRecord>(text);
  compare<std::vector<quorvex::receipt::PrintedReceipt>>(text);
  return 0;
}
