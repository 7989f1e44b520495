// A raised thread runs ahead of ordinary work, and only that thread: the host's and the
// simulator's other threads keep their priority.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/thread.h"

namespace platform {
namespace {

int NiceOfThisThread() {
  errno = 0;
  return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
}

TEST(ThreadPriority, RaisesOnlyTheCallingThread) {
  const int before = NiceOfThisThread();
  std::atomic<bool> raised{false};
  std::atomic<int> nice_inside{0};
  Thread t = Thread::Start([&] {
    raised = RaiseThreadPriority();
    nice_inside = NiceOfThisThread();
  });
  ASSERT_TRUE(t.Running());
  t.Join();
  if (!raised) GTEST_SKIP() << "this user may not raise a thread's priority";
  EXPECT_LT(nice_inside.load(), before) << "the thread was not raised";
  EXPECT_GT(nice_inside.load(), -20) << "raised to the top, where a spinning thread shuts the machine out";
  EXPECT_EQ(NiceOfThisThread(), before) << "the caller's thread was raised too";
}

}  // namespace
}  // namespace platform
