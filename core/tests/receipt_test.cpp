#include "core/receipt/receipt.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "core/json/reader.hpp"
#include "core/json/writer.hpp"
#include "core/receipt/audit.hpp"
#include "core/receipt/log.hpp"

namespace quorvex::receipt {
namespace {

using crypto::KeyPair;

crypto::ByteView bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

SharedText text(std::string_view value) { return std::make_shared<const std::string>(value); }

KeyPair key() {
  std::array<std::uint8_t, crypto::kSeedLen> seed{};
  seed.fill(7);
  return KeyPair::from_seed(seed);
}

// A receipt with every member fixed, so its JSON can be compared whole.
Receipt fixed_receipt() {
  Receipt r;
  r.body.id = crypto::Ulid{0x0192'0000'0000'0001ULL, 2};
  r.body.timestamp = Instant{1767605400, 250'000'000};  // 2026-01-05T09:30:00.250Z
  r.body.agent = text("did:aid:a.b:agent");
  r.body.dat = text("dat_1");
  r.body.action.type = text("mcp:tool-call");
  r.body.action.input_hash = Digest{crypto::blake3({})};
  r.body.action.status = text("success");
  r.body.chain = ReceiptChain{ChainLink{}, 0};
  return r;
}

// Every receipt built here is made at this instant: 2026-01-05T09:30:00.250Z.
constexpr Instant kNow{1767605400, 250'000'000};

constexpr std::string_view kEmptyDigest =
    "blake3:af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262";

TEST(ReceiptJsonTest, UnsignedFormAndSigningInputDifferOnlyInTheSignatureMember) {
  const Receipt r = fixed_receipt();
  const std::string body =
      R"({"id":"01J8000000000G000000000002","timestamp":"2026-01-05T09:30:00.250Z",)"
      R"("agent":"did:aid:a.b:agent","dat":"dat_1","action":{"type":"mcp:tool-call",)"
      R"("inputHash":")" +
      std::string(kEmptyDigest) +
      R"(","status":"success"},"chain":{"previousHash":"genesis","sequenceNumber":0})";
  EXPECT_EQ(unsigned_json(r), body + "}");
  EXPECT_EQ(signing_input(r), body + R"(,"signature":""})");
}

TEST(ReceiptJsonTest, OptionalMembersEscapesAndTimestamps) {
  Receipt r = fixed_receipt();
  r.body.agent = text(std::string("q\"b\\n\n\x01\x7f/\xC3\xA9\0z", 13));
  r.body.action.server = text("");
  r.body.action.output_hash = Digest{crypto::blake3({})};
  r.body.action.duration_ms = 0;
  r.body.context = ReceiptContext{text("s1")};
  r.body.chain = ReceiptChain{ChainLink{Digest{}}, 18446744073709551615ULL};
  const std::string json = unsigned_json(r);
  EXPECT_NE(json.find(R"("agent":"q\"b\\n\n\u0001)"
                      "\x7f/\xC3\xA9"
                      R"(\u0000z")"),
            std::string::npos);
  EXPECT_NE(json.find(R"("server":"","inputHash":)"), std::string::npos);
  EXPECT_NE(json.find(R"("outputHash":")" + std::string(kEmptyDigest) +
                      R"(","status":"success","durationMs":0},"context":{"sessionId":"s1"},)"),
            std::string::npos);
  EXPECT_NE(json.find(R"("previousHash":"blake3:)" + std::string(64, '0') +
                      R"(","sequenceNumber":18446744073709551615})"),
            std::string::npos);

  const std::pair<std::uint32_t, std::string_view> fractions[] = {
      {0, "09:30:00Z"},
      {250'000'000, "09:30:00.250Z"},
      {1'000, "09:30:00.000001Z"},
      {123'456'700, "09:30:00.123456700Z"},
      {1, "09:30:00.000000001Z"},
  };
  for (const auto& [nanos, suffix] : fractions) {
    r.body.timestamp.nanos = nanos;
    EXPECT_NE(unsigned_json(r).find(std::string("\"2026-01-05T") + std::string(suffix) + "\""),
              std::string::npos)
        << nanos;
  }
}

TEST(ReceiptJsonTest, PrettyFormIndentsNestedObjects) {
  Receipt r = fixed_receipt();
  r.body.context = ReceiptContext{};
  r.signature.fill(0xAB);
  std::string out;
  json::Writer w(out, json::Layout::Pretty);
  w.begin_array();
  append_pretty(w, r);
  append_pretty(w, r);
  w.end_array();
  std::string signature;
  for (int i = 0; i < 64; ++i) signature += "ab";
  const std::string one =
      "  {\n    \"id\": \"01J8000000000G000000000002\",\n"
      "    \"timestamp\": \"2026-01-05T09:30:00.250Z\",\n"
      "    \"agent\": \"did:aid:a.b:agent\",\n    \"dat\": \"dat_1\",\n"
      "    \"action\": {\n      \"type\": \"mcp:tool-call\",\n"
      "      \"inputHash\": \"" +
      std::string(kEmptyDigest) +
      "\",\n      \"status\": \"success\"\n    },\n    \"context\": {},\n"
      "    \"chain\": {\n      \"previousHash\": \"genesis\",\n"
      "      \"sequenceNumber\": 0\n    },\n    \"signature\": \"" +
      signature + "\"\n  }";
  EXPECT_EQ(out, "[\n" + one + ",\n" + one + "\n]");
}

TEST(ReceiptTest, BuildSignsTheSigningInputAndDigestsTheData) {
  const KeyPair signer = key();
  ActionInput action{
      "did:aid:a.b:agent", "dat_1", "mcp:tool-call", bytes_of("in"), {}, {}, {}, "success", {}, {}};
  auto plain = build_receipt(action, signer, ChainLink{}, 0, nullptr, kNow);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(plain->body.id.high >> 16, kNow.unix_millis());
  EXPECT_NE(unsigned_json(*plain).find(R"("timestamp":"2026-01-05T09:30:00.250Z")"),
            std::string::npos);
  EXPECT_TRUE(signer.verify(bytes_of(signing_input(*plain)), plain->signature));
  EXPECT_EQ(plain->body.action.input_hash.bytes, crypto::blake3(bytes_of("in")));
  EXPECT_FALSE(plain->body.action.output_hash.has_value());
  EXPECT_FALSE(plain->body.context.has_value());

  action.output = bytes_of("");
  action.session_id = "s";
  auto full = build_receipt(action, signer, ChainLink{}, 0, &*plain, kNow);
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(full->body.action.output_hash, Digest{crypto::blake3({})});
  EXPECT_EQ(*full->body.context->session_id, "s");
  EXPECT_NE(full->body.id.low, plain->body.id.low);
  EXPECT_EQ(full->body.agent, plain->body.agent);  // equal texts are shared

  action.agent = "\xff";
  auto bad = build_receipt(action, signer, ChainLink{}, 0, nullptr, kNow);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().display(), "serialization error: invalid UTF-8 byte at index 0: 0xff");
}

TEST(ReceiptChainTest, PrintedLinkNamesTheDigestInLowerCaseHex) {
  Digest digest;
  for (std::size_t i = 0; i < digest.bytes.size(); ++i) {
    digest.bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
  }
  const std::string text = digest_text(digest);
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string last_digit = text;
  last_digit.back() = last_digit.back() == '0' ? '1' : '0';
  const std::optional<Digest> none;
  const std::tuple<std::string, std::optional<Digest>, bool> cases[] = {
      {"genesis", none, true},     {"genesis", digest, false},
      {"", none, false},           {text, digest, true},
      {text, none, false},         {"blake3:" + upper.substr(7), digest, false},
      {last_digit, digest, false}, {text.substr(0, 70), digest, false},
      {text + "0", digest, false}, {"blake2:" + text.substr(7), digest, false},
  };
  for (const auto& [printed, expected, links] : cases) {
    EXPECT_EQ(links_to(printed, expected), links) << printed;
  }
}

TEST(DigestTest, ManyAtOnceMatchesOneByOne) {
  // Every length up to two chunks, so each block count and the one-by-one path are covered.
  std::string data(2100, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 3);
  std::vector<crypto::ByteView> inputs;
  for (std::size_t n = 0; n <= data.size(); n += 13) inputs.push_back(bytes_of(data).first(n));
  for (std::size_t n = 1015; n <= 1090; ++n) inputs.push_back(bytes_of(data).first(n));
  std::vector<crypto::Blake3Digest> digests(inputs.size());
  crypto::blake3_each(inputs, digests);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    EXPECT_EQ(digests[i], crypto::blake3(inputs[i])) << inputs[i].size();
  }
}

class ReceiptLogTest : public ::testing::Test {
 protected:
  void append(std::string_view status = "success") {
    ActionInput action{
        "did:aid:a.b:agent", "dat_1", "t", bytes_of("in"), {}, {}, {}, status, {}, {}};
    ASSERT_TRUE(log_.append(action, signer_, kNow).has_value());
  }
  std::vector<Receipt> copy() const {
    std::vector<Receipt> receipts;
    for (std::size_t i = 0; i < log_.size(); ++i) receipts.push_back(log_[i]);
    return receipts;
  }
  KeyPair signer_ = key();
  ReceiptLog log_;
};

TEST_F(ReceiptLogTest, EmptyLog) {
  EXPECT_EQ(log_.size(), 0U);
  EXPECT_EQ(log_.last_hash(), "genesis");
  EXPECT_EQ(log_.next_sequence(), 0U);
  EXPECT_TRUE(log_.verify_integrity().has_value());
  EXPECT_EQ(*log_.to_json(), "[]");
  EXPECT_EQ(log_.repr_text(), "ReceiptLog(entries=0, last_hash='genesis')");
}

TEST_F(ReceiptLogTest, AppendsLinkEachReceiptToTheOneBefore) {
  for (int i = 0; i < 5; ++i) append();
  ASSERT_EQ(log_.size(), 5U);
  EXPECT_EQ(log_[0].body.chain.previous_hash, ChainLink{});
  for (std::size_t i = 1; i < 5; ++i) {
    EXPECT_EQ(log_[i].body.chain.sequence_number, i);
    EXPECT_EQ(log_[i].body.chain.previous_hash.digest, compute_hash(log_[i - 1]));
  }
  EXPECT_EQ(log_.next_sequence(), 5U);
  EXPECT_EQ(log_.last_hash(), digest_text(compute_hash(log_[4])));
  EXPECT_EQ(log_.repr_text(), "ReceiptLog(entries=5, last_hash='" + log_.last_hash() + "')");
  EXPECT_TRUE(log_.verify_integrity().has_value());

  const std::string json = *log_.to_json();
  EXPECT_EQ(json.substr(0, 14), "[\n  {\n    \"id\"");
  EXPECT_EQ(json.substr(json.size() - 7), "\"\n  }\n]");

  ActionInput bad{"\xc3", "d", "t", bytes_of(""), {}, {}, {}, "success", {}, {}};
  EXPECT_FALSE(log_.append(bad, signer_, kNow).has_value());
  EXPECT_EQ(log_.size(), 5U);
}

TEST_F(ReceiptLogTest, DamageAtPositionTwoIsReportedThere) {
  for (int i = 0; i < 5; ++i) append();
  for (int i = 0; i < 70; ++i) append("s");  // past one batch of the chain check
  EXPECT_TRUE(log_.verify_integrity().has_value());
  const std::vector<void (*)(Receipt&)> edits = {
      [](Receipt& r) { r.body.chain.sequence_number = 7; },
      [](Receipt& r) { r.body.chain.previous_hash = ChainLink{}; },
      [](Receipt& r) { r.body.chain.previous_hash.digest->bytes[31] ^= 1; },
  };
  for (const auto& edit : edits) {
    std::vector<Receipt> receipts = copy();
    edit(receipts[2]);
    edit(receipts[4]);  // later damage does not hide the first
    auto result = verify_chain(receipts);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(), "receipt chain integrity violation at sequence 2");
  }
  // Any other member of receipt 1 breaks the link that receipt 2 holds.
  const std::vector<void (*)(Receipt&)> body_edits = {
      [](Receipt& r) { r.body.id.low ^= 1; },
      [](Receipt& r) { r.body.timestamp.nanos += 1; },
      [](Receipt& r) { r.body.agent = text("did:aid:a.b:other"); },
      [](Receipt& r) { r.body.action.status = text("failure"); },
      [](Receipt& r) { r.body.action.duration_ms = 1; },
      [](Receipt& r) { r.body.context = ReceiptContext{}; },
  };
  for (const auto& edit : body_edits) {
    std::vector<Receipt> receipts = copy();
    edit(receipts[1]);
    auto result = verify_chain(receipts);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(), "receipt chain integrity violation at sequence 2");
  }
  std::vector<Receipt> receipts = copy();
  receipts[2].signature.fill(0);
  EXPECT_TRUE(verify_chain(receipts).has_value());
}

}  // namespace
}  // namespace quorvex::receipt

namespace quorvex::receipt {
namespace {

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
