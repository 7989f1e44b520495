// The action queue: order, wrap, a full ring and several posting threads.
#include "runtime/action_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kv {
namespace {

TEST(ActionQueue, FifoAndEmpty) {
  ActionReset();
  EXPECT_EQ(ActionPop(), 0);
  EXPECT_EQ(ActionPop(), 0) << "popping an empty ring changes nothing";
  ActionPost(11);
  ActionPost(10);
  EXPECT_EQ(ActionPop(), 11);
  EXPECT_EQ(ActionPop(), 10);
  EXPECT_EQ(ActionPop(), 0);
}

TEST(ActionQueue, WrapsWithoutLoss) {
  ActionReset();
  std::vector<std::int32_t> got;
  for (int i = 1; i <= 300; ++i) {
    ASSERT_TRUE(ActionPost(i));
    if (i % 200 == 0) {  // let 200 wait at most
      while (std::int32_t c = ActionPop()) got.push_back(c);
    }
  }
  while (std::int32_t c = ActionPop()) got.push_back(c);
  ASSERT_EQ(got.size(), 300u);
  for (int i = 0; i < 300; ++i) EXPECT_EQ(got[i], i + 1);
}

TEST(ActionQueue, AFullRingRefusesTheNewCodeAndKeepsTheWaitingOnes) {
  ActionReset();
  std::uint32_t dropped_before = ActionDropped();
  for (int i = 1; i <= 255; ++i) ASSERT_TRUE(ActionPost(i));
  EXPECT_FALSE(ActionPost(999));
  EXPECT_EQ(ActionDropped(), dropped_before + 1);
  for (int i = 1; i <= 255; ++i) ASSERT_EQ(ActionPop(), i);
  EXPECT_EQ(ActionPop(), 0);
}

TEST(ActionQueue, SeveralPostersOneConsumerNoneLost) {
  ActionReset();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 5000;
  std::atomic<bool> go{false};
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kPerThread; ++i) {
        // Codes carry their thread and sequence; a full ring is retried, never skipped.
        while (!ActionPost((t + 1) * 100000 + i)) std::this_thread::yield();
      }
    });
  }
  std::vector<int> next(kThreads, 0);
  int received = 0;
  go = true;
  while (received < kThreads * kPerThread) {
    std::int32_t code = ActionPop();
    if (code == 0) {
      std::this_thread::yield();
      continue;
    }
    int t = code / 100000 - 1;
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    ASSERT_EQ(code % 100000, next[t]) << "each poster's codes arrive in its order";
    ++next[t];
    ++received;
  }
  for (auto& p : posters) p.join();
  EXPECT_EQ(ActionPop(), 0);
}

}  // namespace
}  // namespace kv
