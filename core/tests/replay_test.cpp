#include "core/dat/replay.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorvex::dat {
namespace {

using Outcome = ReplayMemory::Outcome;

const crypto::PublicKey kHolder{1, 2, 3};
const crypto::PublicKey kOther{9};

TEST(ReplayMemoryTest, RefusesASecondSightUntilTheEntryExpires) {
  ReplayMemory memory(10);
  const ReplayKey key = replay_key(kHolder, "jti-1");
  EXPECT_EQ(memory.remember(key, 160, 100), Outcome::New);
  EXPECT_EQ(memory.remember(key, 160, 159), Outcome::Replayed);
  // Past its expiry the proof could not be accepted again anyway: its entry is gone.
  EXPECT_EQ(memory.remember(replay_key(kHolder, "jti-2"), 221, 161), Outcome::New);
  EXPECT_EQ(memory.size(), 1U);
  EXPECT_EQ(memory.remember(key, 221, 161), Outcome::New);
}

TEST(ReplayMemoryTest, KeysTellHoldersApart) {
  EXPECT_NE(replay_key(kHolder, "j"), replay_key(kOther, "j"));
  EXPECT_NE(replay_key(kHolder, "j"), replay_key(kHolder, "k"));
}

TEST(ReplayMemoryTest, MemoryFollowsTheWindowNotTheRequestCount) {
  ReplayMemory memory(1000);
  // A steady 100 proofs a second for 100 seconds, each remembered for 60 seconds.
  for (int second = 0; second < 100; ++second) {
    for (int i = 0; i < 100; ++i) {
      const std::string jti = std::to_string(second) + "/" + std::to_string(i);
      ASSERT_EQ(memory.remember(replay_key(kHolder, jti), second + 6, second), Outcome::New);
    }
  }
  EXPECT_LE(memory.size(), 700U);
}

TEST(ReplayMemoryTest, FullRefusesRatherThanForgets) {
  ReplayMemory memory(2);
  EXPECT_EQ(memory.remember(replay_key(kHolder, "a"), 50, 0), Outcome::New);
  EXPECT_EQ(memory.remember(replay_key(kHolder, "b"), 50, 0), Outcome::New);
  EXPECT_EQ(memory.remember(replay_key(kHolder, "c"), 50, 0), Outcome::Full);
  EXPECT_EQ(memory.remember(replay_key(kHolder, "a"), 50, 1), Outcome::Replayed);
  EXPECT_EQ(memory.remember(replay_key(kHolder, "c"), 80, 50), Outcome::New);
}

}  // namespace
}  // namespace quorvex::dat
