// The per-thread figures the streaming benchmark reports: a thread's CPU time and how many times
// it was put on a processor, read by thread id.
#include "platform/cpu_time.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "platform/clock.h"

namespace {

TEST(ThreadCpu, AThreadThatWakesFiftyTimesIsCountedAboutFiftyTimesAndEndsCountingWhenItEnds) {
  std::atomic<platform::ThreadId> id{0};
  std::atomic<bool> slept{false}, release{false};
  std::thread sleeper([&] {
    id = platform::CurrentThreadId();
    for (int i = 0; i < 50; ++i) platform::SleepMs(2);
    slept = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!slept) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const std::optional<std::uint64_t> runs_then = platform::ThreadRunCount(id);
  const std::optional<double> cpu_then = platform::ThreadCpuSeconds(id);
  ASSERT_TRUE(runs_then.has_value());
  ASSERT_TRUE(cpu_then.has_value());
  // Each sleep ends in a wake-up; preemptions may add some, but not thousands (nanoseconds read
  // as a count would be).
  EXPECT_GE(*runs_then, 50u);
  EXPECT_LT(*runs_then, 5000u);
  EXPECT_GT(*cpu_then, 0.0);
  EXPECT_LT(*cpu_then, 5.0);
  release = true;
  sleeper.join();
  EXPECT_FALSE(platform::ThreadRunCount(id).has_value());
}

}  // namespace
