// The stop for a board at rest, decided on the link thread and sent on the scheduler thread,
// racing the stream's sends: with the board's reports on a thread of their own, arriving late,
// and the host publishing its segments in bursts at every moment around the stops, no close ever
// drops a segment the board was sent.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "motion/motion_stream.h"
#include "motion/supervisor.h"
#include "platform/clock.h"
#include "runtime/action_queue.h"
#include "runtime/timer_scheduler.h"
#include "shell/host_access.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"
#include "testing/scripted_board.h"

namespace kv {
namespace {

TEST(RestStopThreads, BurstsAroundEveryStopLoseNoSegment) {
  testing::FakeHost host;
  testing::CapturedLink link;
  testing::BeginStreamRunByHand();  // the supervisor is then run by the scheduler thread below
  host.planner().segment_time = 0.003;
  host.planner().board_has_room = 1;
  host::EngineBlock& engine = host.engine();

  // The board: a step about every millisecond, reports arriving 20 steps after they were taken.
  testing::ScriptedBoard board(link, 1, 20);
  std::atomic<bool> stop{false};
  std::thread link_thread([&] {
    while (!stop.load()) {
      board.Deliver();
      board.Receive();
      board.Execute();
      board.TakeReport();
      board.NextRun();
      platform::SleepMs(1);
    }
  });
  std::thread scheduler([&] {
    while (!stop.load()) {
      SupervisorRun(0);
      platform::SleepMs(2);
    }
  });

  // The host: bursts of 20. After each it waits until the stream has taken them all and the
  // board is seen at rest (its stop posted, perhaps not yet sent), then publishes the next one
  // after 0, 1 or 2 ms: on the stop's heels, while reports from before it are on their way.
  std::int32_t published = 0;
  const std::uint32_t start = platform::TickMs();
  for (int burst = 0; platform::TickMs() - start < 1500; ++burst) {
    for (int i = 0; i < 20; ++i) {
      const std::int32_t write = host::Load(engine.ring_write_index);
      host.planner().segment_ring[write].axis_steps[0] = 1.0;
      host::Store(engine.ring_write_index, (write + 1) & host::kRingMask);
    }
    published += 20;
    const std::uint32_t burst_start = platform::TickMs();
    while (platform::TickMs() - burst_start < 300 &&
           (host::Load(engine.ring_read_index) != host::Load(engine.ring_write_index) || state.still_count.load() < 3)) {
      std::this_thread::yield();
    }
    platform::SleepMs(static_cast<std::uint32_t>(burst % 3));
  }
  for (int wait = 0; wait < 5000 && host::Load(engine.ring_read_index) != host::Load(engine.ring_write_index); ++wait) {
    platform::SleepMs(1);
  }
  stop = true;
  scheduler.join();
  link_thread.join();

  // What the board still holds runs to its end; only a close could have lost anything.
  board.Receive();
  while (board.Queued() > 0) board.Execute();
  std::printf("published %d, stream closes %d, dropped %d\n", published, board.closes, board.dropped);
  EXPECT_EQ(host::Load(engine.ring_read_index), host::Load(engine.ring_write_index)) << "the stream stopped taking segments";
  EXPECT_EQ(board.dropped, 0) << "a stream close dropped segments the board was sent";
  EXPECT_EQ(board.x_steps, published) << "steps lost";
  ActionReset();
  TimerReset();
}

}  // namespace
}  // namespace kv
