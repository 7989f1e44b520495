// The board's motion, period by period: segments and their counts, velocity ramps, probing,
// E-stop and the watch masks, including a whole homing cycle as the plug-in drives it.
#include "motion_engine.h"

#include <gtest/gtest.h>

#include <vector>

#include "runtime/le_bytes.h"

namespace kvboard {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Segments(int count, std::array<std::int16_t, kAxes> steps) {
  Bytes out(static_cast<std::size_t>(count) * 12);
  for (int i = 0; i < count; ++i) {
    for (int k = 0; k < kAxes; ++k) kv::PutLe(out.data() + i * 12 + 2 * k, steps[k]);
  }
  return out;
}

void RunPeriods(MotionEngine& e, int periods) {
  for (int i = 0; i < periods; ++i) e.RunPeriod();
}

constexpr std::int32_t Fix(std::int32_t steps_per_period) { return steps_per_period * 65536; }

TEST(MotionEngineSegments, OneSegmentPerPeriodCountedAndClosedByTheStreamClose) {
  MotionEngine e{BoardConfig{}};
  EXPECT_EQ(e.QueueSegments(Segments(20, {1, -2, 3, 0, 0, 100})), 20u);
  RunPeriods(e, 7);
  EXPECT_EQ(e.Counters().segments_executed, 7u);
  EXPECT_EQ(e.Counters().queue_depth, 13u);
  EXPECT_EQ(e.Position(), (std::array<std::int32_t, kAxes>{7, -14, 21, 0, 0, 700}));
  RunPeriods(e, 20);
  EXPECT_EQ(e.Counters().segments_executed, 20u);
  EXPECT_EQ(e.Position()[5], 2000);

  e.CloseStream();
  EXPECT_EQ(e.Counters().segments_executed, 0u);
  EXPECT_EQ(e.Counters().segments_executed_total, 20u);
  EXPECT_EQ(e.Counters().stream_closes, 1u);
  EXPECT_EQ(e.Counters().underruns, 0u) << "a motion that drains and is closed did not underrun";

  // Segments still queued at a close are dropped, not executed later.
  e.QueueSegments(Segments(5, {1, 0, 0, 0, 0, 0}));
  e.RunPeriod();
  e.CloseStream();
  RunPeriods(e, 10);
  EXPECT_EQ(e.Counters().segments_executed, 0u);
  EXPECT_EQ(e.Counters().segments_dropped, 4u);
  EXPECT_EQ(e.Position()[0], 21);
}

TEST(MotionEngineSegments, PeakSpeedAndChangeAreMeasuredPerAxisFromRestToRest) {
  MotionEngine e{BoardConfig{}};
  Bytes frame = Segments(1, {10, -3, 0, 0, 0, 0});
  for (const auto& steps : std::vector<std::array<std::int16_t, kAxes>>{
           {20, -3, 0, 0, 0, 0}, {20, 4, 0, 0, 0, 0}, {5, 4, 0, 0, 0, -1}}) {
    const Bytes more = Segments(1, steps);
    frame.insert(frame.end(), more.begin(), more.end());
  }
  e.QueueSegments(frame);
  RunPeriods(e, 3);
  EXPECT_EQ(e.Counters().peak_steps_per_segment, (std::array<std::int32_t, kAxes>{20, 4, 0, 0, 0, 0}));
  // From rest to 10 and then 10 more; Y turns from -3 to 4.
  EXPECT_EQ(e.Counters().peak_step_change, (std::array<std::int32_t, kAxes>{10, 7, 0, 0, 0, 0}));
  RunPeriods(e, 1);
  EXPECT_EQ(e.Counters().peak_step_change[0], 15) << "20 to 5";
  EXPECT_EQ(e.Counters().peak_steps_per_segment[5], 1) << "negative counts by their size";
  // The queue running dry is a stop: the last speed falls to 0 in one period.
  RunPeriods(e, 1);
  e.QueueSegments(Segments(1, {-12, 0, 0, 0, 0, 0}));
  RunPeriods(e, 1);
  EXPECT_EQ(e.Counters().peak_step_change[0], 15) << "5 to rest, then from rest to -12";
  e.QueueSegments(Segments(1, {8, 0, 0, 0, 0, 0}));
  RunPeriods(e, 1);
  EXPECT_EQ(e.Counters().peak_step_change[0], 20) << "-12 straight to 8, with no rest between";
  EXPECT_EQ(e.Counters().peak_steps_per_segment[0], 20);
  e.QueueSegments(Segments(1, {-32768, 0, 0, 0, 0, 0}));
  RunPeriods(e, 2);
  EXPECT_EQ(e.Counters().peak_steps_per_segment[0], 32768) << "the full 16-bit range, without overflow";
  EXPECT_EQ(e.Counters().peak_step_change[0], 32776) << "from 8 straight to -32768";
}

TEST(MotionEngineSegments, UnderrunIsADrySpellInsideOneStreamAndLowestDepthIsKept) {
  MotionEngine e{BoardConfig{}};
  e.QueueSegments(Segments(10, {1, 0, 0, 0, 0, 0}));
  RunPeriods(e, 4);
  e.QueueSegments(Segments(10, {1, 0, 0, 0, 0, 0}));  // arrives with 6 still queued
  RunPeriods(e, 16);
  EXPECT_EQ(e.Counters().lowest_queue_depth, 6);
  RunPeriods(e, 3);                                         // dry for three periods
  e.QueueSegments(Segments(5, {1, 0, 0, 0, 0, 0}));  // the motion goes on: an underrun
  EXPECT_EQ(e.Counters().underruns, 1u);
  EXPECT_EQ(e.Counters().lowest_queue_depth, 0);
  RunPeriods(e, 10);
  e.CloseStream();
  e.QueueSegments(Segments(5, {1, 0, 0, 0, 0, 0}));  // a new motion after the close: none
  RunPeriods(e, 10);
  EXPECT_EQ(e.Counters().underruns, 1u);
  EXPECT_EQ(e.Position()[0], 30);
}

// A dry spell that took in periods run late (the board's clock held up, and the plug-in with it)
// is told apart; one run dry wholly on time is the stream's.
TEST(MotionEngineSegments, AnUnderrunAcrossLatePeriodsIsToldApart) {
  MotionEngine e{BoardConfig{}};
  e.QueueSegments(Segments(2, {1, 0, 0, 0, 0, 0}));
  RunPeriods(e, 2);
  e.RunPeriod(true);
  e.RunPeriod(false);  // back on time, the plug-in not yet
  e.QueueSegments(Segments(2, {1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(e.Counters().underruns, 1u);
  EXPECT_EQ(e.Counters().underruns_board_late, 1u);
  RunPeriods(e, 2);
  e.RunPeriod(false);
  e.RunPeriod(false);
  e.QueueSegments(Segments(2, {1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(e.Counters().underruns, 2u);
  EXPECT_EQ(e.Counters().underruns_board_late, 1u) << "a spell dry wholly on time was put down to the board";
  RunPeriods(e, 2);
  e.RunPeriod(true);
  e.CloseStream();  // the motion ended: no underrun, and nothing carried into the next
  e.QueueSegments(Segments(1, {1, 0, 0, 0, 0, 0}));
  RunPeriods(e, 2);
  e.QueueSegments(Segments(1, {1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(e.Counters().underruns, 3u);
  EXPECT_EQ(e.Counters().underruns_board_late, 1u);
}

TEST(MotionEngineSegments, AFullQueueDropsAndCountsRatherThanGrowing) {
  BoardConfig c;
  c.queue_capacity = 8;
  MotionEngine e{c};
  EXPECT_EQ(e.QueueSegments(Segments(12, {1, 0, 0, 0, 0, 0})), 8u);
  EXPECT_EQ(e.Counters().queue_overflows, 4u);
  EXPECT_EQ(e.Counters().segments_received, 12u);
  // A partial element at the end is no segment.
  Bytes odd = Segments(1, {1, 0, 0, 0, 0, 0});
  odd.resize(17);
  e.CloseStream();
  EXPECT_EQ(e.QueueSegments(odd), 1u);
}

TEST(MotionEngineVelocity, RampsByTwiceTheAccelerationFigureThenStopsOnTheStopCommand) {
  MotionEngine e{BoardConfig{}};
  // 0.25 step/period per period: 2 × accel_fix with accel_fix = 8192.
  e.SetAcceleration({0, 8192, 0, 0, 0, 0});
  ASSERT_TRUE(e.VelocityMove(1, false, Fix(2)));
  EXPECT_EQ(e.Mode(), 4);
  std::vector<std::int64_t> speeds;
  for (int i = 0; i < 10; ++i) {
    e.RunPeriod();
    speeds.push_back(e.SpeedFix(1));
  }
  EXPECT_EQ(speeds[0], 16384);
  EXPECT_EQ(speeds[3], 65536);
  EXPECT_EQ(speeds[7], Fix(2));
  EXPECT_EQ(speeds[9], Fix(2)) << "holds the target";
  // Distance is the sum of the speeds so far: 0.25+0.5+...+2 = 9 steps, then 2 a period.
  EXPECT_EQ(e.Position()[1], 9 + 2 * 2);

  ASSERT_TRUE(e.VelocityStop(1));
  RunPeriods(e, 7);
  EXPECT_TRUE(e.VelocityActive(1));
  e.RunPeriod();
  EXPECT_FALSE(e.VelocityActive(1));
  EXPECT_EQ(e.Mode(), 0);
  const std::int32_t stopped_at = e.Position()[1];
  RunPeriods(e, 5);
  EXPECT_EQ(e.Position()[1], stopped_at);
}

TEST(MotionEngineVelocity, ReversalRampsThroughZeroAndSpeedsAreCapped) {
  BoardConfig c;
  MotionEngine e{c};
  e.SetAcceleration({32768, 0, 0, 0, 0, 0});  // one step/period per period
  ASSERT_TRUE(e.VelocityMove(0, false, Fix(3)));
  RunPeriods(e, 3);
  EXPECT_EQ(e.Position()[0], 6);
  ASSERT_TRUE(e.VelocityMove(0, true, Fix(3)));  // the other way: down to 0 first
  RunPeriods(e, 3);
  EXPECT_EQ(e.Position()[0], 6 + 2 + 1);
  RunPeriods(e, 3);
  EXPECT_EQ(e.Position()[0], 9 - 1 - 2 - 3);

  // No ramp without an acceleration figure; max_speed and the pulse rate cap the speed.
  e.SetMaxSpeed({0, Fix(5), 0, 0, 0, 0});
  ASSERT_TRUE(e.VelocityMove(1, false, Fix(50)));
  e.RunPeriod();
  EXPECT_EQ(e.SpeedFix(1), Fix(5));
  ASSERT_TRUE(e.VelocityMove(2, false, Fix(1000)));
  e.RunPeriod();
  EXPECT_EQ(e.SpeedFix(2), Fix(300)) << "100 kHz × 3 ms";
  e.SetTiming(5000, 100000);
  e.RunPeriod();
  EXPECT_EQ(e.SpeedFix(2), Fix(500));

  EXPECT_FALSE(e.VelocityMove(6, false, Fix(1)));
  EXPECT_FALSE(e.VelocityMove(0, false, -5));
}

TEST(MotionEngineProbe, StopsOnTheStepThatTouchesOrAtTheDistance) {
  BoardConfig c;
  c.probe_pin = 15;
  c.machine[2].probe_steps = -500;  // touching at -500 and below
  MotionEngine e{c};
  ASSERT_TRUE(e.ProbeMove(2, -2000, Fix(7)));
  EXPECT_EQ(e.Mode(), 8);
  RunPeriods(e, 100);
  EXPECT_EQ(e.Mode(), 0);
  EXPECT_EQ(e.Position()[2], -500);
  EXPECT_TRUE(e.Counters().last_probe_tripped);
  EXPECT_NE(e.Inputs() & (1ull << 15), 0u);

  // Already touching: ends at once without moving.
  ASSERT_TRUE(e.ProbeMove(2, -100, Fix(7)));
  e.RunPeriod();
  EXPECT_EQ(e.Mode(), 0);
  EXPECT_EQ(e.Position()[2], -500);

  // Clear of the work, the distance ends it untripped; the fraction of a step is carried.
  e.SetPosition(2, 0);
  ASSERT_TRUE(e.ProbeMove(2, -100, Fix(1) / 2 * 3));  // 1.5 steps a period
  RunPeriods(e, 10);
  EXPECT_EQ(e.Position()[2], -15);
  RunPeriods(e, 100);
  EXPECT_EQ(e.Position()[2], -100);
  EXPECT_FALSE(e.Counters().last_probe_tripped);
  EXPECT_EQ(e.Counters().probe_trips, 2u);

  // A probe that cannot move ends at once, so the plug-in does not wait on mode 8 for ever.
  ASSERT_TRUE(e.ProbeMove(2, -100, 0));
  e.RunPeriod();
  EXPECT_EQ(e.Mode(), 0);
}

TEST(MotionEngineEStop, DropsQueuedSegmentsStopsAtOnceAndRefusesUntilEnabled) {
  MotionEngine e{BoardConfig{}};
  e.QueueSegments(Segments(50, {2, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(e.VelocityMove(1, false, Fix(10)));
  RunPeriods(e, 5);
  e.EStop();
  EXPECT_EQ(e.Mode(), 0x20);
  EXPECT_EQ(e.Counters().queue_depth, 0u);
  EXPECT_EQ(e.Counters().segments_dropped, 45u);
  EXPECT_FALSE(e.VelocityActive(1));
  const auto at = e.Position();
  EXPECT_FALSE(e.VelocityMove(1, false, Fix(10)));
  EXPECT_FALSE(e.ProbeMove(1, 100, Fix(1)));
  EXPECT_EQ(e.QueueSegments(Segments(3, {1, 0, 0, 0, 0, 0})), 0u);
  RunPeriods(e, 10);
  EXPECT_EQ(e.Position(), at);
  EXPECT_EQ(e.Counters().refused_moves, 5u);

  e.Enable();
  EXPECT_EQ(e.Mode(), 0);
  e.QueueSegments(Segments(3, {1, 0, 0, 0, 0, 0}));
  RunPeriods(e, 3);
  EXPECT_EQ(e.Position()[0], at[0] + 3);
}

TEST(MotionEngineWatch, AWatchedLimitStopsEverythingAndIsReportedOnce) {
  BoardConfig c;
  c.machine[0].limit_max_pin = 3;
  c.machine[0].limit_max_steps = 20;
  MotionEngine e{c};
  e.SetWatchMasks(1 | (1ull << 3), 0);
  e.QueueSegments(Segments(40, {1, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(e.VelocityMove(4, false, Fix(1)));
  RunPeriods(e, 30);
  EXPECT_EQ(e.Position()[0], 20);
  EXPECT_EQ(e.Counters().queue_depth, 0u);
  EXPECT_FALSE(e.VelocityActive(4));
  EXPECT_EQ(e.TakeStopReport(), 1ull << 3);
  EXPECT_FALSE(e.TakeStopReport());
  EXPECT_EQ(e.Counters().watch_stops, 1u);
  // Still on the limit: it is no new edge, so the axis can be driven back off it.
  ASSERT_TRUE(e.VelocityMove(0, true, Fix(1)));
  RunPeriods(e, 5);
  EXPECT_EQ(e.Position()[0], 15);
  EXPECT_FALSE(e.TakeStopReport());
  // An unwatched input stops nothing (turning round without a ramp takes one period).
  e.SetWatchMasks(1, 0);
  ASSERT_TRUE(e.VelocityMove(0, false, Fix(1)));
  RunPeriods(e, 10);
  EXPECT_EQ(e.Position()[0], 15 + 9);
}

TEST(MotionEngineWatch, HomingSeekReleaseEndsWhenTheSwitchOpens) {
  BoardConfig c;
  c.machine[0].home_pin = 5;
  c.machine[0].home_steps = -1000;  // closed at -1000 and below
  MotionEngine e{c};
  e.SetAcceleration({16384, 0, 0, 0, 0, 0});  // 0.5 step/period per period
  e.SetWatchMasks(1, 0);                      // the seek does not watch the home pin
  const std::uint64_t home = 1ull << 5;

  // Seek towards minus until the switch closes, as the plug-in sees it in the input report.
  ASSERT_TRUE(e.VelocityMove(0, true, Fix(8)));
  int periods = 0;
  while ((e.Inputs() & home) == 0 && periods < 1000) {
    e.RunPeriod();
    ++periods;
  }
  ASSERT_LT(periods, 1000);
  EXPECT_EQ(e.Mode(), 4);

  // Release at a quarter speed; the home pin is watched (both masks) a few periods later.
  ASSERT_TRUE(e.VelocityMove(0, false, Fix(2)));
  RunPeriods(e, 3);
  e.SetWatchMasks(1 | home, home);
  for (periods = 0; e.Mode() == 4 && periods < 1000; ++periods) e.RunPeriod();
  ASSERT_LT(periods, 1000);
  EXPECT_EQ(e.Position()[0], -999) << "the first step off the switch";
  EXPECT_EQ(e.Inputs() & home, 0u);
  EXPECT_EQ(e.Counters().home_releases, 1u);
  EXPECT_FALSE(e.TakeStopReport()) << "the end of a release is no stop";
}

}  // namespace
}  // namespace kvboard
