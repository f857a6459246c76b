#include <gtest/gtest.h>

#include <cctype>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/json/reader.hpp"
#include "core/json/writer.hpp"
#include "core/receipt/audit.hpp"
#include "core/receipt/log.hpp"
#include "core/receipt/receipt.hpp"
#include "core/tests/receipt_test_util.hpp"

namespace quorvex::receipt {
namespace {

using crypto::KeyPair;
using test_util::bytes_of;
using test_util::fixed_receipt;
using test_util::key;
using test_util::kNow;
using test_util::text;

class AuditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* texts[] = {"plain", "q\"b\\n\n\x01\x7f \xC3\xA9", "", "last"};
    for (const char* text : texts) {
      ActionInput action{text,
                         "dat_1",
                         text,
                         bytes_of(text),
                         text,
                         {},
                         bytes_of(""),
                         "success",
                         7,
                         std::string_view(text).empty() ? std::optional<std::string_view>()
                                                        : std::string_view(text)};
      ASSERT_TRUE(log_.append(action, signer_, kNow).has_value());
    }
    json_ = *log_.to_json();
  }
  Result<std::size_t> audit(const std::string& json) const {
    return audit_printed_log(json, signer_.public_key_bytes());
  }
  // replace swaps the first occurrence of `from` after the n-th receipt's id for `to`.
  std::string edited(std::size_t n, std::string_view from, std::string_view to) const {
    std::size_t at = 0;
    for (std::size_t k = 0; k <= n; ++k) at = json_.find("\"id\"", at + 1);
    std::string copy = json_;
    copy.replace(copy.find(from, at), from.size(), to);
    return copy;
  }
  KeyPair signer_ = key();
  ReceiptLog log_;
  std::string json_;
};

TEST_F(AuditTest, PrintedLogPassesFromItsTextAlone) {
  EXPECT_EQ(*audit(json_), 4U);
  EXPECT_EQ(*audit("[]"), 0U);
}

TEST_F(AuditTest, FirstBadReceiptIsNamed) {
  const std::pair<std::string, std::string> cases[] = {
      // An edited receipt no longer matches its own signature, before the next link breaks.
      {edited(1, "\"success\"", "\"failure\""),
       "invalid receipt: signature verification failed at sequence 1"},
      {edited(3, "\"sequenceNumber\": 3", "\"sequenceNumber\": 4"),
       "receipt chain integrity violation at sequence 3"},
      {edited(2, "\"signature\": \"", "\"signature\": \"00"),
       "invalid receipt: signature verification failed at sequence 2"},
      {edited(0, "\"durationMs\": 7", "\"durationMs\": 8"),
       "invalid receipt: signature verification failed at sequence 0"},
      {edited(2, "\"previousHash\": \"blake3:", "\"previousHash\": \"blake3:0"),
       "receipt chain integrity violation at sequence 2"},
  };
  for (const auto& [json, message] : cases) {
    auto result = audit(json);
    ASSERT_FALSE(result.has_value()) << message;
    EXPECT_EQ(result.error().display(), message);
  }

  auto other_key = audit_printed_log(json_, KeyPair::generate().public_key_bytes());
  ASSERT_FALSE(other_key.has_value());
  EXPECT_EQ(other_key.error().kind(), ErrorKind::InvalidReceipt);
}

TEST_F(AuditTest, TextThatIsNoPrintedLogIsRefusedWithItsPosition) {
  auto extra = audit(edited(0, "\"agent\"", "\"extra\": 1,\n    \"agent\""));
  ASSERT_FALSE(extra.has_value());
  EXPECT_EQ(extra.error().display(),
            "serialization error: unknown field `extra`, expected one of `id`, `timestamp`, "
            "`agent`, `dat`, `action`, `context`, `chain`, `signature` at line 5 column 11");
  auto object = audit("{}");
  ASSERT_FALSE(object.has_value());
  EXPECT_EQ(object.error().display(),
            "serialization error: invalid type: map, expected a sequence at line 1 column 1");
}

// A printed log of n fixed receipts, chained and signed, so that every byte of it is known:
// receipt i spans lines 2 + 18 i to 19 + 18 i, and "]" is the last line.
std::string printed_log(std::size_t n, const KeyPair& signer) {
  std::string out;
  json::Writer w(out, json::Layout::Pretty);
  w.begin_array();
  ChainLink link;
  for (std::size_t i = 0; i < n; ++i) {
    Receipt r = fixed_receipt();
    r.body.id.low += i;
    r.body.action.server = text("files");
    r.body.action.duration_ms = 0;
    r.body.chain = ReceiptChain{link, i};
    r.signature = signer.sign(bytes_of(signing_input(r)));
    link.digest = compute_hash(r);
    append_pretty(w, r);
  }
  w.end_array();
  return out;
}

// edit replaces the first `from` at or after receipt n's opening brace.
std::string edit(std::string json, std::size_t n, std::string_view from, std::string_view to) {
  std::size_t at = 0;
  for (std::size_t k = 0; k <= n; ++k) at = json.find("\n  {", at + 1);
  return json.replace(json.find(from, at), from.size(), to);
}

class CanonicalAuditTest : public ::testing::Test {
 protected:
  std::string audit_error(const std::string& json) const {
    auto result = audit_printed_log(json, signer_.public_key_bytes());
    if (result) return "accepted";
    EXPECT_EQ(result.error().kind(), ErrorKind::Serialization);
    return result.error().detail();
  }
  KeyPair signer_ = key();
  std::string json_ = printed_log(2, signer_);
};

TEST_F(CanonicalAuditTest, OtherSpellingsOfTheSameLogAreRefusedAtTheirFirstOtherByte) {
  ASSERT_EQ(*audit_printed_log(json_, signer_.public_key_bytes()), 2U);
  const std::size_t signature_at = json_.rfind("\"signature\": \"") + 14;
  std::string upper = json_;
  for (std::size_t i = signature_at; i < signature_at + 128; ++i) {
    upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
  }
  const std::size_t first_letter = json_.find_first_of("abcdef", signature_at) - signature_at;
  const std::string prefix = "printed log is not in canonical form at line ";
  const std::pair<std::string, std::string> cases[] = {
      {"\xEF\xBB\xBF" + json_, "1 column 1"},
      {" " + json_, "1 column 1"},
      {edit(json_, 0, "\n", "\r\n"), "1 column 2"},
      {edit(json_, 0, "\"id\": \"", "\"id\":\""), "3 column 10"},
      {edit(json_, 0, "\"id\"", "\"\\u0069d\""), "3 column 6"},
      {edit(json_, 0, "\"agent\": \"did:aid:a.b:agent\",\n    \"dat\": \"dat_1\",",
            "\"dat\": \"dat_1\",\n    \"agent\": \"did:aid:a.b:agent\","),
       "5 column 6"},
      {edit(json_, 0, "\"inputHash\"", "\"tool\": null,\n      \"inputHash\""), "10 column 8"},
      {edit(json_, 0, "\"durationMs\": 0", "\"durationMs\": -0"), "12 column 21"},
      {edit(json_, 0, "{\n      \"previousHash\": \"genesis\",\n      \"sequenceNumber\": 0\n    }",
            "[\"genesis\", 0]"),
       "14 column 14"},
      {edit(json_, 1, "\"did:aid", "\"\\u0064id:aid"), "23 column 15"},
      {upper, "36 column " + std::to_string(19 + first_letter)},
      {json_ + " ", "38 column 2"},
      {json_ + "\n\n", "39 column 1"},
      {json_ + "\n ", "39 column 1"},
      {"[ ]", "1 column 2"},
  };
  for (const auto& [json, position] : cases) EXPECT_EQ(audit_error(json), prefix + position);
  EXPECT_EQ(audit_error(json_ + "\n"), "accepted");
  EXPECT_EQ(audit_error("[]\n"), "accepted");
}

// A printed log may carry the context members the log never holds; they are
// hashed and signed like the rest.
TEST_F(CanonicalAuditTest, ContextMembersTheLogDoesNotHoldAreAuditedToo) {
  auto receipts = json::read<std::vector<PrintedReceipt>>(printed_log(1, signer_));
  ASSERT_TRUE(receipts.has_value());
  PrintedReceipt& receipt = receipts->front();
  receipt.context = ContextRecord<PrintedForm>{"s", "p", "r"};
  std::string input;
  ASSERT_TRUE(
      append_compact_form(input, static_cast<BodyRecord<PrintedForm>&>(receipt), true).has_value());
  EXPECT_NE(input.find(R"("context":{"sessionId":"s","parentReceiptId":"p","requestId":"r"})"),
            std::string::npos);
  std::string json;
  json::Writer w(json, json::Layout::Pretty);
  w.begin_array();
  w.begin_object();
  json::write_members(w, static_cast<BodyRecord<PrintedForm>&>(receipt));
  w.field("signature");
  w.hex_text("", signer_.sign(bytes_of(input)));
  w.end_object();
  w.end_array();
  EXPECT_EQ(audit_error(json), "accepted");
  EXPECT_EQ(audit_printed_log(edit(json, 0, "\"p\"", "\"q\""), signer_.public_key_bytes())
                .error()
                .display(),
            "invalid receipt: signature verification failed at sequence 0");
}

TEST(ThreadedAuditTest, FirstBadReceiptIsTheSameOnAnyNumberOfThreads) {
  const KeyPair signer = key();
  // On 4 threads the chunks start at receipts 0, 130, 260 and 390.
  const std::string json = printed_log(520, signer);
  const auto bad_signature = [](std::string text, std::size_t n) {
    std::size_t at = 0;
    for (std::size_t k = 0; k <= n; ++k) at = text.find("\"signature\": \"", at + 1);
    char& digit = text[at + 14];
    digit = digit == '0' ? '1' : '0';
    return text;
  };
  const auto other_status = [](std::string text, std::size_t n) {
    return edit(std::move(text), n, "\"success\"", "\"failure\"");
  };
  const auto other_sequence = [](std::string text, std::size_t n) {
    const std::string number = std::to_string(n);
    return edit(std::move(text), n, "\"sequenceNumber\": " + number,
                "\"sequenceNumber\": " + std::to_string(n + 1));
  };
  const std::string signature_at = "invalid receipt: signature verification failed at sequence ";
  const std::string link_at = "receipt chain integrity violation at sequence ";
  const std::pair<std::string, std::string> cases[] = {
      {bad_signature(json, 3), signature_at + "3"},
      {bad_signature(json, 260), signature_at + "260"},
      {bad_signature(bad_signature(json, 519), 518), signature_at + "518"},
      {other_status(json, 3), signature_at + "3"},
      {other_status(json, 129), signature_at + "129"},
      {other_status(json, 300), signature_at + "300"},
      {other_status(json, 519), signature_at + "519"},
      {other_status(other_status(json, 140), 400), signature_at + "140"},
      {other_status(other_sequence(json, 130), 300), link_at + "130"},
      {other_sequence(other_status(json, 100), 400), signature_at + "100"},
      {other_sequence(json, 519), link_at + "519"},
  };
  for (const std::size_t threads : {1U, 2U, 4U}) {
    EXPECT_EQ(*audit_printed_log(json, signer.public_key_bytes(), threads), 520U);
    for (const auto& [text, message] : cases) {
      auto result = audit_printed_log(text, signer.public_key_bytes(), threads);
      ASSERT_FALSE(result.has_value()) << message;
      EXPECT_EQ(result.error().display(), message) << threads << " threads";
    }
  }
}

}  // namespace
}  // namespace quorvex::receipt
