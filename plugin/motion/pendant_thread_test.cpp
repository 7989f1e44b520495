// Pendant channels under two threads: keys decoded on a link thread while the scheduler polls
// the displays, as the receive parser and the service task do.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "motion/pendant.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"

namespace kv {
namespace {

TEST(PendantThreads, KeysOnTheLinkThreadWhileTheSchedulerPolls) {
  testing::FakeHost host;
  testing::CapturedLink link;
  state.mpg_src = 1;
  for (int k = 0; k < 3; ++k) host.engine().axis_enabled[k] = 1;
  const std::vector<std::uint8_t> announce{1, 18};
  PendantFeed(0, announce);
  PendantFeed(1, announce);

  std::atomic<bool> done{false};
  std::thread scheduler([&] {
    while (!done.load()) {
      SendPendantFrames();
      link.Take();
    }
  });
  // Layer, arm and disarm, hand-wheel step, resend, DRO step: every field the display shows.
  const std::vector<std::uint8_t> keys{17, 18, 5, 20, 9, 13, 17, 19, 5, 4};
  for (int round = 0; round < 300; ++round) {
    PendantFeed(round & 1, keys);
    PendantKey(round & 1, 39);
    PendantKey(round & 1, 36);
    PendantKey(round & 1, 35);
    PendantKey(round & 1, 37);
  }
  done = true;
  scheduler.join();
  state.mpg_src = 0;

  // Quiet again: one last full record per channel, then nothing.
  PendantKey(0, 39);
  PendantKey(1, 39);
  SendPendantFrames();
  EXPECT_EQ(link.Take().size(), 2u);
  SendPendantFrames();
  EXPECT_TRUE(link.Take().empty());
}

}  // namespace
}  // namespace kv
