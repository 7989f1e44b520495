// The host's purge (Notify -1) racing the motion stream: whatever the interleaving, the stream
// sends only segments the host planned, never the slots the purge skipped.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "motion/motion_stream.h"
#include "motion/supervisor.h"
#include "platform/clock.h"
#include "shell/host_access.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"

namespace kv {
namespace {

constexpr double kPlanned = 1.0;
constexpr double kSkipped = 7777.0;  // never planned: must never reach the board

TEST(StreamPurge, NotifyMinusOneNeverLetsSkippedSlotsOut) {
  testing::FakeHost host;
  testing::CapturedLink link;
  state.segments_sent = 0;
  state.segments_done = 0;
  state.still_count = 0;
  state.lim_buffer = 450;
  host.planner().board_has_room = 1;
  StreamSetUp();
  host::EngineBlock& engine = host.engine();
  host::PlannerBlock& planner = host.planner();
  for (auto& slot : planner.segment_ring) slot.axis_steps[0] = kSkipped;

  // The scheduler thread: the stream with a board that executes everything at once.
  std::atomic<bool> stop{false};
  std::thread scheduler([&] {
    while (!stop.load()) {
      StreamSegments();
      state.segments_done.store(state.segments_sent.load());
    }
  });

  // The host thread: plans, and now and then throws its plan away.
  const std::uint32_t start = platform::TickMs();
  int purges = 0;
  while (platform::TickMs() - start < 1500) {
    for (int i = 0; i < 20; ++i) {
      const std::int32_t write = host::Load(engine.ring_write_index);
      const std::int32_t read = host::Load(engine.ring_read_index);
      if (((write - read) & host::kRingMask) >= 400) break;
      planner.segment_ring[write].axis_steps[0] = kPlanned;
      host::Store(engine.ring_write_index, (write + 1) & host::kRingMask);
    }
    // Let the stream get at them, then purge while it may be in the middle of a run.
    for (int spin = 0; spin < purges % 64 && host::Load(engine.ring_read_index) != host::Load(engine.ring_write_index); ++spin) {
      std::this_thread::yield();
    }
    // Every slot not waiting holds a segment that was never planned (the slots behind the
    // read index the stream has finished with), so a stale slot sent shows on the wire.
    const std::int32_t write = host::Load(engine.ring_write_index);
    const std::int32_t read = host::Load(engine.ring_read_index);
    for (std::int32_t slot = write; slot != read; slot = (slot + 1) & host::kRingMask) {
      planner.segment_ring[slot].axis_steps[0] = kSkipped;
    }
    Notify(-1);
    ++purges;
  }
  stop = true;
  scheduler.join();

  int frames = 0;
  int stale_frames = 0;
  for (const testing::Frame& f : link.Take()) {
    if (f.size() < 4 || f[1] != 0xCA || f[2] != 0xAB) continue;
    ++frames;
    for (std::size_t e = 0; e < f[3]; ++e) {
      const auto x = static_cast<std::int16_t>(f.at(4 + 12 * e) | f.at(5 + 12 * e) << 8);
      if (x != static_cast<std::int16_t>(kPlanned)) {
        ++stale_frames;
        break;
      }
    }
  }
  std::printf("purges %d, segment frames %d, frames with stale segments %d\n", purges, frames, stale_frames);
  EXPECT_GT(purges, 10);
  EXPECT_GT(frames, 0);
  EXPECT_EQ(stale_frames, 0) << "segments the host never planned went to the board";
}

}  // namespace
}  // namespace kv
