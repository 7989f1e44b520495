// The board service's tick comparisons at their bounds and across the 32-bit wrap of the tick:
// the stalled-board watchdog (2 s without an executed segment), the velocity report's interval
// and the spindle's half-second window.
//
// The tick keeps counting after SetTickBase, so a case that must see one exact tick runs again
// when the tick moved while it ran (rare; more often on a loaded machine). No bound is widened.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/clock.h"
#include "service/receive_parser.h"
#include "service/service_task.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"

namespace kv {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kAttempts = 200;

void Put32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Runs `step` with the tick at exactly `tick`; false when the tick moved meanwhile.
bool AtTick(std::uint32_t tick, const std::function<void()>& step) {
  platform::SetTickBase(tick);
  if (platform::TickMs() != tick) return false;
  step();
  return platform::TickMs() == tick;
}

// A scenario that returns nothing when a tick moved under it, retried until it is conclusive.
bool Conclusive(const std::function<std::optional<bool>()>& scenario, bool& result) {
  for (int i = 0; i < kAttempts; ++i) {
    if (std::optional<bool> r = scenario()) {
      result = *r;
      return true;
    }
  }
  return false;
}

class TickWrap : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.planner().segment_time = 0.003;
    state.lim_buffer = 450;
    state.upgrade_requested = false;
    state.pulse_rate_hz = 0;
    state.segments_sent = 0;
    state.segments_done = 0;
    state.pos_synced = true;
    for (auto& p : state.board_pos) p = 0;
    for (auto& o : state.pos_offset) o = 0;
  }
  void TearDown() override {
    state.segments_sent = 0;
    state.segments_done = 0;
    state.pos_synced = false;
  }

  // The watchdog sees the board's executed count change at `since`, then nothing more until
  // `later`: did it close the link? Nothing when a tick moved under it.
  std::optional<bool> StalledClose(std::uint32_t since, std::uint32_t later) {
    testing::CapturedLink link;
    state.segments_sent = 0;
    state.segments_done = 0;
    ServiceRun(0);  // nothing outstanding: no watch
    state.segments_sent = 100;
    state.segments_done = 40;  // progress: the watch starts
    if (!AtTick(since, [] { ServiceRun(0); })) return std::nullopt;
    if (link.CloseCalls() != 0) return std::nullopt;
    if (!AtTick(later, [] { ServiceRun(0); })) return std::nullopt;
    return link.CloseCalls() != 0;
  }

  testing::FakeHost host_;
};

TEST_F(TickWrap, TheStalledBoardWatchdogClosesAfterExactly2sAlsoAcrossTheWrap) {
  for (std::uint32_t since : {1000000u, 0xFFFFFC00u, 0xFFFFF830u, 0x7FFFFC00u}) {
    for (auto [after, closes] : {std::pair{1999u, false}, {2000u, true}, {2001u, true}, {1u, false}, {0u, false}}) {
      bool closed = false;
      ASSERT_TRUE(Conclusive([&] { return StalledClose(since, since + after); }, closed))
          << "the tick never held still for one run";
      EXPECT_EQ(closed, closes) << "executed count last changed at tick " << since << ", checked " << after
                                << " ms later";
    }
  }
}

TEST_F(TickWrap, TheWatchdogLeavesABoardAloneThatHoldsNothingOrMoreThanTheWindow) {
  for (std::uint32_t outstanding : {0u, 451u}) {
    bool closed = true;
    ASSERT_TRUE(Conclusive(
        [&]() -> std::optional<bool> {
          testing::CapturedLink link;
          state.segments_done = 7;
          state.segments_sent = 7 + outstanding;
          if (!AtTick(0xFFFFFF00u, [] { ServiceRun(0); })) return std::nullopt;
          if (!AtTick(0xFFFFFF00u + 5000, [] { ServiceRun(0); })) return std::nullopt;
          return link.CloseCalls() != 0;
        },
        closed));
    EXPECT_FALSE(closed) << outstanding << " outstanding";
  }
}

Bytes Position(std::int32_t x) {
  Bytes b{0xCF, 0x20};
  Put32(b, static_cast<std::uint32_t>(x));
  for (int k = 1; k < 6; ++k) Put32(b, 0);
  return b;
}

// The velocity report takes the interval since the previous position report; a tick below the
// previous one (the counter wrapped) counts from 0.
TEST_F(TickWrap, TheVelocityIntervalAcrossTheWrapCountsFromZero) {
  struct Case {
    std::uint32_t first, second;
    std::int32_t expected;  // 100000 steps x 200 / interval
  };
  const Case cases[] = {
      {0xFFFF0000u, 1000u, 20000},      // wrapped: the interval is 1000 ms, not 66536
      {0xFFFFFF00u, 0x100u, 78125},     // wrapped: 256 ms
      {0x7FFFFF00u, 0x80000100u, 39062}, // no wrap, past the sign bit: 512 ms
      {5000u, 5400u, 50000},
  };
  for (const Case& c : cases) {
    bool ok = false;
    for (int i = 0; i < kAttempts && !ok; ++i) {
      state.board_pos[0] = 0;
      ok = AtTick(c.first, [] { parse_board_frame(Position(0)); }) &&
           AtTick(c.second, [] { parse_board_frame(Position(100000)); });
    }
    ASSERT_TRUE(ok) << "the tick never held still";
    EXPECT_EQ(host_.engine().axis_velocity[0], c.expected) << "reports at ticks " << c.first << " and " << c.second;
  }
}

// The spindle speed is measured over more than 500 ms, the tick's wrap included.
TEST_F(TickWrap, TheSpindleWindowAtItsBoundAndAcrossTheWrap) {
  auto report = [](std::uint32_t pulses) {
    Bytes b{0xCF, 0x1D};
    Put32(b, pulses);
    return b;
  };
  for (std::uint32_t start : {2000000u, 0xFFFFFF00u, 0xFFFFFE0Cu}) {
    for (auto [after, measured] : {std::pair{500u, false}, {501u, true}, {499u, false}}) {
      bool ok = false;
      for (int i = 0; i < kAttempts && !ok; ++i) {
        host_.engine().input_signal[23].enabled = 0;
        host_.planner().spindle_rpm = -1.0;
        // With the index input off, every report only sets the base.
        if (!AtTick(start, [&] { parse_board_frame(report(1000)); })) continue;
        host_.engine().input_signal[23].enabled = 1;
        ok = AtTick(start + after, [&] { parse_board_frame(report(1000 + 10)); });
      }
      ASSERT_TRUE(ok) << "the tick never held still";
      if (measured) {
        EXPECT_DOUBLE_EQ(host_.planner().spindle_rpm, 10 * (60000.0 / after)) << start << " + " << after;
      } else {
        EXPECT_EQ(host_.planner().spindle_rpm, -1.0) << start << " + " << after << ": too soon, nothing changes";
      }
    }
  }
  host_.engine().input_signal[23].enabled = 0;
}

}  // namespace
}  // namespace kv
