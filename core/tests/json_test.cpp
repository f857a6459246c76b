#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "core/base/text.hpp"
#include "core/json/reader.hpp"

namespace quorvex::json {
namespace {

struct Sample {
  std::string name;
  std::uint64_t count = 0;
  std::optional<std::vector<std::string>> tags;
};

// Holds values of any kind. (The JSON library's destructor allocates while freeing nested
// values, hence the NOLINT.)
struct Loose {  // NOLINT(bugprone-exception-escape)
  std::string name;
  nlohmann::json count;
  std::optional<nlohmann::json> tags;
};

}  // namespace

template <>
struct Schema<Sample> {
  static constexpr std::string_view name = "Sample";
  static constexpr bool strict = true;
  static constexpr auto fields = std::tuple{
      field("name", &Sample::name),
      field("count", &Sample::count),
      field("tags", &Sample::tags),
  };
};

template <>
struct Schema<Loose> {
  static constexpr std::string_view name = "Loose";
  static constexpr bool strict = false;
  static constexpr auto fields = std::tuple{
      field("name", &Loose::name),
      field("count", &Loose::count),
      field("tags", &Loose::tags),
  };
};

namespace {

using namespace std::string_literals;

std::string error_of(std::string_view text) {
  const auto read_result = read<Sample>(text);
  if (read_result) return "accepted";
  return read_result.error().display();
}

// Expects every way of reading text to refuse it with this description at this position:
// the scanner declines it, and the parser, counting or not, and read()
// for either record all report the same failure.
void expect_refused_everywhere(const std::string& text, const std::string& description, int line,
                               int column) {
  SCOPED_TRACE(testing::PrintToString(text));
  const std::string display = "serialization error: " + description + " at line " +
                              std::to_string(line) + " column " + std::to_string(column);
  Sample direct;
  EXPECT_FALSE(scan(text, direct));
  for (const bool counting : {false, true}) {
    Sample parsed;
    Reader reader(text, slot_of(parsed));
    ASSERT_FALSE(reader.parse(counting));
    EXPECT_EQ(reader.error().display(), display);
  }
  EXPECT_EQ(error_of(text), display);
  const auto loose = read<Loose>(text);
  ASSERT_FALSE(loose.has_value());
  EXPECT_EQ(loose.error().kind(), ErrorKind::Serialization);
  EXPECT_EQ(loose.error().display(), display);
}

constexpr std::string_view kValue = R"({"name":"a","count":12,"tags":["x"]})";

TEST(JsonReaderTest, ReadsTheSampleEverywhere) {
  const auto sample = read<Sample>(kValue);
  ASSERT_TRUE(sample.has_value());
  EXPECT_EQ(sample->tags, std::vector<std::string>{"x"});
  const auto loose = read<Loose>(kValue);
  ASSERT_TRUE(loose.has_value());
  EXPECT_EQ(loose->count, 12);
}

// A NUL is no end of the text: outside a string it is a stray byte, inside one a control
// character, refused at its place by every reader.
TEST(JsonReaderTest, NulIsASyntaxErrorAtItsPlace) {
  const std::string value(kValue);
  const std::string stray = "syntax error while parsing value - invalid literal; last read: ";
  const std::string object = "syntax error while parsing object - invalid literal; last read: ";
  const std::string key = "syntax error while parsing object key - invalid literal; last read: ";
  const std::string nul_in_string =
      "syntax error while parsing value - invalid string: control character U+0000 (NUL) must "
      "be escaped to \\u0000; last read: ";
  struct Case {
    std::string text;
    std::string description;
    int line;
    int column;
  };
  const std::vector<Case> cases = {
      {"\0"s + value, stray + "'<U+0000>'", 1, 1},
      {" \n\0"s, stray + "' <U+000A><U+0000>'", 2, 1},
      {value + "\0 anything"s, stray + "'\"x\"]}<U+0000>'; expected end of input", 1, 37},
      {value + "\n\0"s, stray + "'\"x\"]}<U+000A><U+0000>'; expected end of input", 2, 1},
      {R"({"name":)" + "\0"s + R"("a"})", stray + "'\"name\":<U+0000>'", 1, 9},
      {R"({"name":"a",)" + "\0"s + "}", key + "'\"a\",<U+0000>'; expected string literal", 1, 13},
      {R"({"name":"a","count":1)" + "\0"s + "2}", object + "'1<U+0000>'; expected '}'", 1, 22},
      {R"({"name":"a","tags":nu)" + "\0"s + "ll}", stray + "'\"tags\":nu<U+0000>'", 1, 22},
      {R"({"name":"a)" + "\0"s + R"(b"})", nul_in_string + "'\"a<U+0000>'", 1, 11},
      // After an escaped quote the string goes on.
      {R"({"name":"a\")" + "\0"s + R"("})", nul_in_string + "'\"a\\\"<U+0000>'", 1, 13},
      {R"({"name":"a\)" + "\0"s + R"("})",
       "syntax error while parsing value - invalid string: forbidden character after "
       "backslash; last read: '\"a\\<U+0000>'",
       1, 12},
      // A string closed before the NUL leaves it outside.
      {R"({"name":"a\\")" + "\0"s + "}", object + "'\"a\\\\\"<U+0000>'; expected '}'", 1, 14},
  };
  for (const Case& c : cases) expect_refused_everywhere(c.text, c.description, c.line, c.column);
}

// A message quotes at most a short excerpt of the text, whatever the text's size.
TEST(JsonReaderTest, MessagesQuoteAShortExcerpt) {
  const std::string stray = "syntax error while parsing value - invalid literal; last read: ";
  const std::string newline = "<U+000A>";
  std::string seven_newlines;
  for (int i = 0; i < 7; ++i) seven_newlines += newline;
  struct Case {
    std::string text;
    std::string description;
    int line;
    int column;
  };
  const std::vector<Case> cases = {
      // 64 bytes of quotation are kept whole; one more and the start is cut.
      {std::string(63, ' ') + "x", stray + "'" + std::string(63, ' ') + "x'", 1, 64},
      {std::string(64, ' ') + "x", stray + "'..." + std::string(63, ' ') + "x'", 1, 65},
      {std::string(7, '\n') + "x", stray + "'" + seven_newlines + "x'", 8, 1},
      {std::string(100, '\n') + "x", stray + "'..." + seven_newlines + "x'", 101, 1},
      {"\"" + std::string(100, 'a') + "\x01\"",
       "syntax error while parsing value - invalid string: control character U+0001 (SOH) must "
       "be escaped to \\u0001; last read: '..." +
           std::string(56, 'a') + "<U+0001>'",
       1, 102},
      // A cut quotation starts at a character boundary.
      {"\"\xC3\xA9" + std::string(63, 'a') + "\x01\"",
       "syntax error while parsing value - invalid string: control character U+0001 (SOH) must "
       "be escaped to \\u0001; last read: '..." +
           std::string(56, 'a') + "<U+0001>'",
       1, 67},
      {"1" + std::string(100, '0') + "e400",
       "number overflow parsing '..." + std::string(60, '0') + "e400'", 1, 105},
      {R"({"name":"a","count":")" + std::string(100, 'a') + "\"}",
       "invalid type: string \"" + std::string(64, 'a') + "...\", expected u64", 1, 122},
      {R"({"name":"a","count":1.)" + std::string(100, '0') + "}",
       "invalid type: floating point `1." + std::string(62, '0') + "...`, expected u64", 1, 123},
      {"{\"" + std::string(100, 'k') + "\":1}",
       "unknown field `" + std::string(64, 'k') + "...`, expected one of `name`, `count`, `tags`",
       1, 103},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.size() > 80 ? c.text.substr(0, 80) : c.text);
    EXPECT_EQ(error_of(c.text), "serialization error: " + c.description + " at line " +
                                    std::to_string(c.line) + " column " + std::to_string(c.column));
  }
}

TEST(JsonReaderTest, MessageSizeDoesNotGrowWithTheText) {
  constexpr std::size_t kBig = std::size_t{4} << 20;
  const std::vector<std::string> texts = {
      std::string(kBig, '\n') + "x",
      std::string(kBig, ' ') + "\0"s,
      "\"" + std::string(kBig, 'a') + "\x01\"",
      "[" + std::string(kBig / 8, '1') + ".5e99999]",
      R"({"name":"a","count":")" + std::string(kBig, '\t') + "\"}",
      R"({"name":"a","count":")" + std::string(kBig, 'a') + "\"}",
      R"({"name":"a","count":1.)" + std::string(kBig, '0') + "}",
      "{\"" + std::string(kBig, 'k') + "\":1}",
  };
  for (const std::string& text : texts) {
    const std::string display = error_of(text);
    EXPECT_NE(display, "accepted");
    EXPECT_LE(display.size(), 300U) << display.substr(0, 300);
  }
}

TEST(TextTest, ExcerptsKeepAtMost64BytesAndWholeCharacters) {
  const std::string e_acute = "\xC3\xA9";
  const auto repeat = [](std::string_view piece, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += piece;
    return out;
  };
  const std::vector<std::pair<std::string, std::string>> debug = {
      {"", R"("")"},
      {std::string(64, 'a'), "\"" + std::string(64, 'a') + "\""},
      {std::string(65, 'a'), "\"" + std::string(64, 'a') + "...\""},
      {std::string(63, 'a') + e_acute, "\"" + std::string(63, 'a') + "...\""},
      // Escapes count as written.
      {std::string(32, '\n'), "\"" + repeat("\\n", 32) + "\""},
      {std::string(33, '\n'), "\"" + repeat("\\n", 32) + "...\""},
      {std::string(13, '\x01'), "\"" + repeat("\\u{1}", 12) + "...\""},
  };
  for (const auto& [text, expected] : debug) {
    std::string out = "<";
    append_debug_excerpt(out, text);
    EXPECT_EQ(out, "<" + expected);
  }
  const std::vector<std::pair<std::string, std::string>> raw = {
      {"", ""},
      {std::string(64, '\n'), std::string(64, '\n')},
      {std::string(65, 'a'), std::string(64, 'a') + "..."},
      {std::string(63, 'a') + e_acute, std::string(63, 'a') + "..."},
      {std::string(62, 'a') + e_acute + "b", std::string(62, 'a') + e_acute + "..."},
  };
  for (const auto& [text, expected] : raw) {
    std::string out = "<";
    append_excerpt(out, text);
    EXPECT_EQ(out, "<" + expected);
  }
}

}  // namespace
}  // namespace quorvex::json
