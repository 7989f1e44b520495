// The timer scheduler: due times, removal and its reorder, the ring's wrap, adds from another
// thread, the tick counter's wrap and stopping the thread.
#include "runtime/timer_scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace kv {
namespace {

// What the callbacks saw, shared with the test body.
std::mutex seen_lock;
std::vector<std::uint32_t> seen;
std::atomic<int> keep_runs{1000000};

void Record(std::uint32_t user) {
  std::lock_guard<std::mutex> guard(seen_lock);
  seen.push_back(user);
}

std::vector<std::uint32_t> TakeSeen() {
  std::lock_guard<std::mutex> guard(seen_lock);
  return std::exchange(seen, {});
}

// Keeps running (1 ms) unless its user word has bit 31 set, which ends it on its first run.
std::int32_t Task(std::uint32_t user) {
  Record(user & 0x7FFFFFFF);
  return (user & 0x80000000u) ? 0 : 1;
}

class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TimerStop();
    TimerJoin();
    TimerReset();
    TakeSeen();
  }
  void TearDown() override {
    TimerStop();
    TimerJoin();
    TimerReset();
    platform::SetTickBase(platform::TickMs());
  }
  // Until every 1 ms task that just ran is due again: the tick may advance in 15 ms steps.
  static void UntilEveryTaskIsDue() {
    const std::uint32_t start = platform::TickMs();
    while (platform::TickMs() - start < 2) platform::SleepMs(1);
  }
  // Runs passes until `pred` holds or a generous time has passed.
  template <typename Pred>
  bool PassUntil(Pred pred, int max_ms = 2000) {
    for (int waited = 0; waited < max_ms; ++waited) {
      TimerRunDue();
      if (pred()) return true;
      platform::SleepMs(1);
    }
    return false;
  }
};

constexpr std::uint32_t kEnds = 0x80000000u;

TEST_F(TimerTest, NeverRunsBeforeItsDueTick) {
  static std::atomic<std::uint32_t> ran_at{0};
  ran_at = 0;
  std::uint32_t added_at = platform::TickMs();
  TimerAdd([](std::uint32_t) -> std::int32_t { ran_at = platform::TickMs(); return 0; }, 20, 0);
  ASSERT_TRUE(PassUntil([] { return ran_at.load() != 0; }));
  EXPECT_GT(ran_at.load() - added_at, 20u) << "a task runs only once the tick is past its due tick";
  EXPECT_EQ(TimerLiveCount(), 0);
}

TEST_F(TimerTest, ATaskReturningBelowOneIsNeverCalledAgain) {
  static std::atomic<int> calls{0};
  calls = 0;
  TimerAdd([](std::uint32_t) -> std::int32_t { ++calls; return -5; }, -1, 0);
  TimerAdd([](std::uint32_t) -> std::int32_t { ++calls; return 0; }, -1, 0);
  for (int i = 0; i < 20; ++i) {
    TimerRunDue();
    platform::SleepMs(1);
  }
  EXPECT_EQ(calls.load(), 2);
  EXPECT_EQ(TimerLiveCount(), 0);
}

TEST_F(TimerTest, ATaskThatThrowsIsRunAgainAndTheOthersAndTheThreadCarryOn) {
  static std::atomic<int> throws{0};
  throws = 0;
  TimerAdd([](std::uint32_t) -> std::int32_t {
    if (++throws <= 2) throw std::bad_alloc();
    Record(7);
    return 0;
  }, -1, 0);
  TimerAdd(Task, -1, 5);
  TimerStart();  // on the scheduler's own thread, which must outlive the throws
  const std::uint32_t start = platform::TickMs();
  while (throws.load() < 3 && platform::TickMs() - start < 5000) platform::SleepMs(5);
  TimerStop();
  TimerJoin();
  EXPECT_GE(throws.load(), 3) << "the thrower was not run again";
  const std::vector<std::uint32_t> ran = TakeSeen();
  EXPECT_NE(std::find(ran.begin(), ran.end(), 7u), ran.end());
  EXPECT_GT(std::count(ran.begin(), ran.end(), 5u), 10) << "the other task kept its rate";
}

TEST_F(TimerTest, RemovalMovesTheHeadEntryIntoTheFreedSlot) {
  // A, B, C, D in consecutive slots; C ends on its first run.
  TimerAdd(Task, -1, 1);
  TimerAdd(Task, -1, 2);
  TimerAdd(Task, -1, 3 | kEnds);
  TimerAdd(Task, -1, 4);
  TimerRunDue();
  EXPECT_EQ(TakeSeen(), (std::vector<std::uint32_t>{1, 2, 3, 4}));
  UntilEveryTaskIsDue();
  TimerRunDue();
  // A now stands in C's former slot, after B.
  EXPECT_EQ(TakeSeen(), (std::vector<std::uint32_t>{2, 1, 4}));
}

TEST_F(TimerTest, RemovingTheHeadOnlyAdvancesIt) {
  TimerAdd(Task, -1, 1 | kEnds);
  TimerAdd(Task, -1, 2);
  TimerAdd(Task, -1, 3);
  TimerRunDue();
  EXPECT_EQ(TakeSeen(), (std::vector<std::uint32_t>{1, 2, 3}));
  UntilEveryTaskIsDue();
  TimerRunDue();
  EXPECT_EQ(TakeSeen(), (std::vector<std::uint32_t>{2, 3}));
}

TEST_F(TimerTest, AFullRingRefusesTheNextTask) {
  for (int i = 0; i < kTimerSlots - 1; ++i) ASSERT_NE(TimerAdd(Task, 1000, 0), -1);
  EXPECT_EQ(TimerAdd(Task, 1000, 0), -1) << "127 live entries fill the ring";
  EXPECT_EQ(TimerLiveCount(), kTimerSlots - 1);
}

TEST_F(TimerTest, TheTickCounterWrapIsHandled) {
  platform::SetTickBase(0xFFFFFFF0u);
  static std::atomic<std::uint32_t> ran_at{0};
  ran_at = 0;
  TimerAdd([](std::uint32_t) -> std::int32_t { ran_at = platform::TickMs(); return 0; }, 40, 0);
  TimerRunDue();
  EXPECT_EQ(ran_at.load(), 0u) << "a due tick past the wrap is not 'already due'";
  ASSERT_TRUE(PassUntil([] { return ran_at.load() != 0; }));
  std::uint32_t at = ran_at.load();
  EXPECT_TRUE(at > 0x18u && at < 0x80000000u) << at;
}

TEST_F(TimerTest, EntriesAddedFromAnotherThreadRunOncePerPass) {
  // The test thread plays the scheduler; another thread adds while passes run.
  constexpr int kAdds = 100;
  std::atomic<int> added{0};
  std::thread adder([&] {
    for (int i = 0; i < kAdds; ++i) {
      while (TimerAdd(Task, -1, static_cast<std::uint32_t>(i) | kEnds) == -1) std::this_thread::yield();
      ++added;
      if (i % 10 == 0) platform::SleepMs(1);
    }
  });
  std::multiset<std::uint32_t> ran;
  while (added.load() < kAdds || TimerLiveCount() > 0) {
    TimerRunDue();
    for (std::uint32_t u : TakeSeen()) ran.insert(u);
  }
  adder.join();
  TimerRunDue();
  for (std::uint32_t u : TakeSeen()) ran.insert(u);
  ASSERT_EQ(ran.size(), static_cast<std::size_t>(kAdds));
  for (int i = 0; i < kAdds; ++i) EXPECT_EQ(ran.count(static_cast<std::uint32_t>(i)), 1u) << i;
}

TEST_F(TimerTest, TwoPermanentTasksKeepTheirRatesWhile200ShortOnesWrapTheRing) {
  static std::atomic<int> fast{0}, slow{0}, short_runs{0};
  fast = slow = short_runs = 0;
  TimerAdd([](std::uint32_t) -> std::int32_t { ++fast; return 20; }, 20, 0);
  TimerAdd([](std::uint32_t) -> std::int32_t { ++slow; return 50; }, 20, 0);
  TimerStart();
  std::uint32_t start = platform::TickMs();
  for (int i = 0; i < 200; ++i) {
    while (TimerAdd([](std::uint32_t) -> std::int32_t { ++short_runs; return 0; }, 1, 0) == -1)
      platform::SleepMs(1);
    if (i % 4 == 0) platform::SleepMs(5);
  }
  for (int waited = 0; short_runs.load() < 200 && waited < 5000; waited += 10) platform::SleepMs(10);
  platform::SleepMs(200);
  TimerStop();
  ASSERT_TRUE(TimerJoin());
  double elapsed_ms = static_cast<double>(platform::TickMs() - start);
  EXPECT_EQ(short_runs.load(), 200);
  EXPECT_EQ(TimerLiveCount(), 2);
  // Generous bounds: a shared machine may stretch passes, never shrink them.
  EXPECT_LE(fast.load(), elapsed_ms / 20 + 2);
  EXPECT_GE(fast.load(), elapsed_ms / 30 / 3);
  EXPECT_LE(slow.load(), elapsed_ms / 50 + 2);
  EXPECT_GE(slow.load(), elapsed_ms / 60 / 3);
}

TEST_F(TimerTest, AfterStopAtMostOnePassBegins) {
  static std::atomic<int> runs{0};
  runs = 0;
  TimerAdd([](std::uint32_t) -> std::int32_t { ++runs; return 1; }, 0, 0);
  TimerStart();
  for (int waited = 0; runs.load() < 3 && waited < 2000; ++waited) platform::SleepMs(1);
  TimerStop();
  int at_stop = runs.load();
  ASSERT_TRUE(TimerJoin());
  EXPECT_LE(runs.load(), at_stop + 1);
  int after = runs.load();
  platform::SleepMs(30);
  EXPECT_EQ(runs.load(), after) << "the thread has ended";
}

}  // namespace
}  // namespace kv

namespace kv {
namespace {

// The scheduler sleeps through a pass only when no tick read there can be past a due tick, so the
// bound for an instant must never be below a tick read before it (where the tick is the system's
// coarse count, as on Windows, a bound below it made every task run a pass or two late), nor
// more than a tick step or two above the time to go.
TEST(TickBoundTest, NoTickReadBeforeAnInstantIsAboveItsBoundAndTheBoundKeepsToTheTimeToGo) {
  using std::chrono::milliseconds;
  using std::chrono::steady_clock;
  for (int i = 0; i < 300; ++i) {
    const std::uint32_t tick = platform::TickMs();
    const std::uint32_t bound = platform::TickMsUpperBoundAt(steady_clock::now());
    EXPECT_FALSE(TickAfter(tick, bound)) << "tick " << tick << " read before the instant, bound " << bound;
    const std::uint32_t before = platform::TickMs();
    const std::uint32_t ahead = platform::TickMsUpperBoundAt(steady_clock::now() + milliseconds(1000)) - before;
    EXPECT_GE(ahead, 999u);
    EXPECT_LE(ahead, 1000u + 40u) << "more than a system tick step or two above the time to go";
    if (i % 10 == 0) platform::SleepMs(3);  // other phases of a coarse tick
  }
}

// A run's period lands in the bucket of its whole milliseconds since the run before, the last
// bucket taking every longer one; the first run has no period; the tick's wrap is no jump.
TEST(RunPeriodsTest, EachRunCountsInTheBucketOfItsMillisecondsSinceTheRunBefore) {
  RunPeriods periods;
  std::uint32_t tick = 1000;
  periods.Mark(tick);
  EXPECT_EQ(periods.Histogram(), (std::array<std::uint32_t, kPeriodBuckets>{})) << "the first run has no period";
  for (std::uint32_t ms : {0u, 30u, 30u, 62u, 63u, 64u, 100000u}) periods.Mark(tick += ms);
  const std::array<std::uint32_t, kPeriodBuckets> h = periods.Histogram();
  EXPECT_EQ(h[0], 1u);
  EXPECT_EQ(h[30], 2u);
  EXPECT_EQ(h[62], 1u);
  EXPECT_EQ(h[kPeriodBuckets - 1], 3u) << "63 ms, 64 ms and 100 s share the open-ended bucket";
  std::uint32_t total = 0;
  for (std::uint32_t n : h) total += n;
  EXPECT_EQ(total, 7u);

  RunPeriods wrapping;
  wrapping.Mark(0xFFFFFFF0u);
  wrapping.Mark(0x0000000Eu);  // 30 ms later, across the wrap of the 32-bit tick
  EXPECT_EQ(wrapping.Histogram()[30], 1u);
  EXPECT_EQ(wrapping.Histogram()[kPeriodBuckets - 1], 0u);
}

std::atomic<std::uint32_t> ran_at{0};
std::atomic<bool> ran{false};

std::int32_t Stamp(std::uint32_t) {
  ran_at = platform::TickMs();
  ran = true;
  return 0;
}

std::int32_t Far(std::uint32_t) { return 5000; }

// While nothing is due for seconds the thread sleeps through its passes; a task added meanwhile
// from another thread still runs once its delay has passed (never before), and a stop still ends
// the thread after the pass in progress, not when the sleep would have ended.
TEST_F(TimerTest, ATaskAddedOrAStopWhilePassesAreSleptThroughIsSeenAtTheNextPass) {
  TimerAdd(Far, 5000, 0);
  TimerStart();
  platform::SleepMs(100);
  ran = false;
  const std::uint32_t added_at = platform::TickMs();
  TimerAdd(Stamp, 20, 0);
  for (int waited = 0; !ran.load() && waited < 3000; ++waited) platform::SleepMs(1);
  ASSERT_TRUE(ran.load()) << "the task added during the sleep never ran";
  const std::uint32_t after = ran_at.load() - added_at;
  EXPECT_GT(after, 20u) << "ran before its delay had passed";
  EXPECT_LT(after, 600u) << "ran only when the sleep through the empty passes ended";

  platform::SleepMs(50);
  const std::uint32_t stop_at = platform::TickMs();
  TimerStop();
  while (!TimerJoin()) platform::SleepMs(1);
  EXPECT_LT(platform::TickMs() - stop_at, 500u) << "the stop waited for the end of the long sleep";
}

}  // namespace
}  // namespace kv
