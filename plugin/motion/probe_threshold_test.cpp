// The probe's two thresholds at, just inside and just beyond their bounds: a probe shorter than
// 0.1 units is none, and a target within 0.01 units of the probe under way on the same axis is
// that probe again.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "motion/motion_stream.h"
#include "motion/supervisor.h"
#include "runtime/action_queue.h"
#include "runtime/timer_scheduler.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"

namespace kv {
namespace {

constexpr int kProbeInput = 22;

class ProbeThresholds : public ::testing::Test {
 protected:
  void SetUp() override {
    state.segments_sent = state.segments_done = 0;
    state.board_mode = 0;
    ActionReset();
    Restart();
    auto& p = host_.planner();
    p.segment_time = 0.003;
    p.probe_feed = 2;
    for (int k = 0; k < host::kAxes; ++k) {
      p.steps_per_unit[k] = 1000;
      p.max_velocity[k] = 50;
      p.probe_start_coord[k] = 0.0;
      p.probe_target[k] = 0.0;
    }
    host_.engine().input_signal[kProbeInput].enabled = 1;
    host_.engine().axis_enabled[0] = 1;
    host_.engine().axis_enabled[1] = 1;
  }
  void TearDown() override {
    ActionReset();
    TimerReset();
  }
  // A fresh supervisor: no probe under way.
  void Restart() {
    TimerReset();
    SupervisorInit();
    TimerReset();
    StreamSetUp();
  }
  // The probe moves ProbeRun sent, as (axis, distance in steps).
  std::vector<std::pair<int, std::int32_t>> ProbeMoves() {
    std::vector<std::pair<int, std::int32_t>> moves;
    for (const testing::Frame& f : link_.Take()) {
      if (f.size() == 11 && f[1] == 0xD1) {
        moves.emplace_back(f[2], static_cast<std::int32_t>(f[3] | f[4] << 8 | f[5] << 16 | static_cast<std::uint32_t>(f[6]) << 24));
      }
    }
    return moves;
  }

  testing::FakeHost host_;
  testing::CapturedLink link_;
};

TEST_F(ProbeThresholds, AProbeOfAtLeastATenthOfAUnitMovesAndAShorterOneIsNone) {
  using Moves = std::vector<std::pair<int, std::int32_t>>;
  struct Case {
    double target;
    bool probes;
  };
  const Case cases[] = {
      {0.1, true},
      {std::nextafter(0.1, 0.0), false},
      {std::nextafter(0.1, 1.0), true},
      {-0.1, true},
      {std::nextafter(-0.1, 0.0), false},
      {std::nextafter(-0.1, -1.0), true},
  };
  for (const Case& c : cases) {
    Restart();
    host_.planner().probe_target[0] = c.target;
    host_.engine().position_changed = 0;
    EXPECT_EQ(ProbeRun(0), 0);
    if (c.probes) {
      EXPECT_EQ(ProbeMoves(), (Moves{{0, static_cast<std::int32_t>(std::trunc(c.target * 1000))}})) << c.target;
    } else {
      EXPECT_TRUE(ProbeMoves().empty()) << c.target;
      EXPECT_EQ(host_.engine().position_changed, 1) << c.target << ": nothing to probe, done at once";
    }
  }
}

TEST_F(ProbeThresholds, ATargetWithinAHundredthOfTheProbeUnderWayIsThatProbe) {
  struct Case {
    int axis;
    double target;
    bool new_probe;
  };
  // The probe under way goes from -1 to 0 on axis 0.
  const Case cases[] = {
      {0, 0.0, false},
      {0, 0.01, true},
      {0, std::nextafter(0.01, 0.0), false},
      {0, -0.01, true},
      {0, std::nextafter(-0.01, 0.0), false},
      {1, 0.0, true},  // another axis: another probe, whatever its target
  };
  for (const Case& c : cases) {
    Restart();
    host_.planner().probe_start_coord[0] = -1.0;
    host_.planner().probe_start_coord[1] = -1.0;
    host_.planner().probe_target[0] = 0.0;
    host_.planner().probe_target[1] = -1.0;  // no probe on axis 1 yet
    ASSERT_EQ(ProbeRun(0), 0);
    ASSERT_EQ(ProbeMoves().size(), 1u);
    host_.planner().probe_target[0] = c.axis == 0 ? c.target : -1.0;
    host_.planner().probe_target[1] = c.axis == 1 ? c.target : -1.0;
    host_.engine().position_changed = 0;
    EXPECT_EQ(ProbeRun(0), 0);
    EXPECT_EQ(ProbeMoves().size(), c.new_probe ? 1u : 0u) << "axis " << c.axis << ", target " << c.target;
    if (!c.new_probe) {
      EXPECT_EQ(host_.engine().position_changed, 1) << c.target;
    }
  }
}

}  // namespace
}  // namespace kv
