#include "core/receipt/stored_log.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/json/reader.hpp"
#include "core/receipt/log.hpp"
#include "receipt_test_util.hpp"

namespace quorvex::receipt {
namespace {

using test_util::bytes_of;

ReceiptLog log_of(std::size_t n) {
  ReceiptLog log;
  const auto key = test_util::key();
  for (std::size_t i = 0; i < n; ++i) {
    const std::string input = std::to_string(i);
    const ActionInput action{"did:aid:a.b:agent", "dat_x",      "t",          bytes_of(input),
                             std::nullopt,        std::nullopt, std::nullopt, "success",
                             std::nullopt,        std::nullopt};
    EXPECT_TRUE(log.append(action, key, Instant{1767605400 + static_cast<std::int64_t>(i), 0}));
  }
  return log;
}

TEST(ChainCursorTest, CheckingInPartsFindsWhatCheckingWholeFinds) {
  const ReceiptLog log = log_of(10);
  std::vector<PrintedReceipt> printed;
  for (std::size_t i = 0; i < log.size(); ++i) {
    auto read = json::read<PrintedReceipt>(signed_json(log[i]));
    ASSERT_TRUE(read);
    printed.push_back(std::move(*read));
  }
  ChainCursor cursor;
  for (std::size_t first = 0; first < printed.size(); first += 3) {
    const std::size_t end = std::min(first + 3, printed.size());
    std::vector<PrintedReceipt> part(printed.begin() + static_cast<std::ptrdiff_t>(first),
                                     printed.begin() + static_cast<std::ptrdiff_t>(end));
    EXPECT_FALSE(find_chain_break(part, cursor));
  }
  EXPECT_EQ(cursor.position, 10U);
  EXPECT_EQ(digest_text(*cursor.expected), log.last_hash());

  // A part that starts anywhere but where the cursor stands breaks at once.
  std::vector<PrintedReceipt> skipped(printed.begin() + 5, printed.end());
  ChainCursor at_four{4, std::nullopt};
  auto broken = find_chain_break(skipped, at_four);
  ASSERT_TRUE(broken);
  EXPECT_EQ(broken->position, 4U);
  EXPECT_EQ(broken->error.display(), "receipt chain integrity violation at sequence 4");
}

TEST(ReceiptLogQueryTest, SelectsByEachMemberInLogOrder) {
  const ReceiptLog log = log_of(4);
  ReceiptQuery all;
  EXPECT_EQ(log.query(all).size(), 4U);
  ReceiptQuery late;
  late.since_millis = 1767605402000;
  late.limit = 1;
  const auto found = log.query(late);
  ASSERT_EQ(found.size(), 1U);
  EXPECT_EQ(found[0].first, 2U);
  EXPECT_EQ(found[0].second, signed_json(log[2]));
  ReceiptQuery nobody;
  nobody.agent = "did:aid:a.b:other";
  EXPECT_TRUE(log.query(nobody).empty());
}

TEST(TreeRangeTest, EachRangeRuleNamesTheValueOutOfRange) {
  struct Case {
    std::uint64_t first, second, log_size;
    TreeRange range;
    std::string error;  // empty: accepted
  };
  const Case cases[] = {
      {0, 0, 0, TreeRange::Root, ""},
      {0, 3, 3, TreeRange::Root, ""},
      {0, 4, 3, TreeRange::Root, "tree size 4 is larger than the log's size 3"},
      {2, 3, 3, TreeRange::Inclusion, ""},
      {3, 3, 3, TreeRange::Inclusion, "receipt index 3 is not below the tree size 3"},
      {0, 0, 3, TreeRange::Inclusion, "receipt index 0 is not below the tree size 0"},
      {3, 3, 3, TreeRange::Consistency, ""},
      {0, 3, 3, TreeRange::Consistency, ""},
      {3, 2, 3, TreeRange::Consistency, "old tree size 3 is larger than the new tree size 2"},
      {1, 5, 3, TreeRange::Consistency, "tree size 5 is larger than the log's size 3"},
  };
  for (const Case& c : cases) {
    auto checked = check_tree_range(c.first, c.second, c.log_size, c.range);
    EXPECT_EQ(checked ? std::string() : checked.error().display(), c.error);
  }
}

}  // namespace
}  // namespace quorvex::receipt
