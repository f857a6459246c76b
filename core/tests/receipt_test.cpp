#include "core/receipt/receipt.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "core/crypto/digest.hpp"
#include "core/json/writer.hpp"
#include "core/receipt/log.hpp"
#include "core/tests/receipt_test_util.hpp"

namespace quorvex::receipt {
namespace {

using crypto::KeyPair;
using test_util::bytes_of;
using test_util::fixed_receipt;
using test_util::key;
using test_util::kNow;
using test_util::text;

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
