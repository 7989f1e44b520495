// Planner tests: speed profiles in steps, exact end positions, arcs on the circle, event order.
#include "planner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <iterator>
#include <numbers>
#include <sstream>

#include "arc_geometry.h"
#include "plan_summary.h"
#include "test_support.h"

namespace kvgcode {
namespace {

using testing::ExpectWithinAxisLimits;
using testing::MustParse;
using testing::PlanAll;
using testing::Segments;

constexpr double kPeriod_s = 0.003;
constexpr double kStep_mm = 1.0 / 800;  // default mill resolution

int MaxAbsSteps(const std::vector<PlanEvent>& segments, Axis axis) {
  int largest = 0;
  for (const PlanEvent& segment : segments) largest = std::max(largest, std::abs(segment.steps[Index(axis)]));
  return largest;
}

AxisArray<std::int64_t> SumSteps(const std::vector<PlanEvent>& segments) {
  AxisArray<std::int64_t> sum{};
  for (const PlanEvent& segment : segments) {
    for (std::size_t axis = 0; axis < kAxisCount; ++axis) sum[axis] += segment.steps[axis];
  }
  return sum;
}

// Machine positions in mm at every segment boundary, X and Y only.
std::vector<PlanarPoint> Boundaries(const std::vector<PlanEvent>& segments, PlanarPoint start) {
  std::vector<PlanarPoint> points{start};
  std::int64_t x = std::llround(start.x_mm / kStep_mm);
  std::int64_t y = std::llround(start.y_mm / kStep_mm);
  for (const PlanEvent& segment : segments) {
    x += segment.steps[0];
    y += segment.steps[1];
    points.push_back({static_cast<double>(x) * kStep_mm, static_cast<double>(y) * kStep_mm});
  }
  return points;
}

TEST(PlannerProfile, LongRapidReachesButNeverExceedsTheAxisSpeed) {
  const MachineSettings settings = DefaultMillSettings();
  const auto segments = Segments(PlanAll(MustParse("G0 X100\n"), settings, kPeriod_s));
  ExpectWithinAxisLimits(segments, settings, kPeriod_s);
  EXPECT_GE(MaxAbsSteps(segments, Axis::X), 119);  // 50 mm/s * 800 * 3 ms = 120
  EXPECT_EQ(SumSteps(segments)[0], 80000);
  // 2 s of cruise plus one ramp's worth: 2.1 s, rounded up to whole segments.
  EXPECT_NEAR(static_cast<double>(segments.size()) * kPeriod_s, 2.1, kPeriod_s);
}

TEST(PlannerProfile, FeedMoveCruisesAtTheFeed) {
  const MachineSettings settings = DefaultMillSettings();
  const auto segments = Segments(PlanAll(MustParse("G1 X-60 F1200\n"), settings, kPeriod_s));  // 20 mm/s
  ExpectWithinAxisLimits(segments, settings, kPeriod_s);
  EXPECT_EQ(MaxAbsSteps(segments, Axis::X), 48);
  EXPECT_EQ(SumSteps(segments)[0], -48000);
}

TEST(PlannerProfile, DiagonalIsHeldToTheSlowestAxis) {
  const MachineSettings settings = DefaultMillSettings();
  const auto segments = Segments(PlanAll(MustParse("G0 X100 Z100\n"), settings, kPeriod_s));
  ExpectWithinAxisLimits(segments, settings, kPeriod_s);
  EXPECT_LE(MaxAbsSteps(segments, Axis::X), 61);  // X keeps pace with Z's 25 mm/s
  EXPECT_GE(MaxAbsSteps(segments, Axis::Z), 59);
}

TEST(PlannerProfile, ShortMoveIsATriangleThatStartsAndEndsAtRest) {
  const MachineSettings settings = DefaultMillSettings();
  const auto segments = Segments(PlanAll(MustParse("G1 Y0.5 F3000\n"), settings, kPeriod_s));
  ExpectWithinAxisLimits(segments, settings, kPeriod_s);
  // sqrt(0.5 mm * 500 mm/s²) = 15.8 mm/s peak: about 38 steps per segment, reached only once.
  EXPECT_LE(MaxAbsSteps(segments, Axis::Y), 39);
  EXPECT_EQ(segments.size(), 22u);  // 2 * sqrt(0.5 / 500) = 63.2 ms
}

TEST(PlannerProfile, RotaryAxesUseTheirOwnLimits) {
  const MachineSettings settings = DefaultMillSettings();
  const auto segments = Segments(PlanAll(MustParse("G0 A90 B-45\n"), settings, kPeriod_s));
  ExpectWithinAxisLimits(segments, settings, kPeriod_s);
  EXPECT_EQ(SumSteps(segments)[Index(Axis::A)], 9000);
  EXPECT_EQ(SumSteps(segments)[Index(Axis::B)], -4500);
}

TEST(PlannerSteps, SegmentsSumExactlyToTheEndIncludingHalfSteps) {
  // 0.000625 mm is exactly half a step; repeated fractions must not drift.
  std::ostringstream text;
  text << std::fixed << std::setprecision(6) << "G1 F500\n";
  for (int i = 1; i <= 200; ++i) text << 'X' << 0.000625 * i * 7 << " Y" << -0.0013 * i << '\n';
  text << "G91 X0.3333 Y0.3333\nX0.3333 Y0.3333\nX0.3333 Y0.3333\n";
  const Program program = MustParse(text.str());
  const MachineSettings settings = DefaultMillSettings();
  const auto segments = Segments(PlanAll(program, settings, kPeriod_s));
  const auto end = ProgramEndSteps(program, settings);
  ASSERT_TRUE(end);
  EXPECT_EQ(SumSteps(segments), *end);
  EXPECT_EQ((*end)[0], std::llround((0.000625 * 200 * 7 + 3 * 0.3333) * 800));
}

TEST(PlannerSteps, EachMoveEndsExactlyOnItsEndPoint) {
  const MachineSettings settings = DefaultMillSettings();
  // Exact stop: every move comes to rest on its end (blended corners pass inside them).
  const Program program = MustParse("G61 G1 X1.23456 Y-7.891 F900\nG0 Z2.5\nG1 X-3 F100\n");
  std::int64_t x = 0;
  int line = 0;
  std::vector<std::int64_t> x_at_line_end;
  for (const PlanEvent& event : Segments(PlanAll(program, settings, kPeriod_s))) {
    if (event.line != line && line != 0) x_at_line_end.push_back(x);
    line = event.line;
    x += event.steps[0];
  }
  x_at_line_end.push_back(x);
  ASSERT_EQ(x_at_line_end.size(), 3u);
  EXPECT_EQ(x_at_line_end[0], std::llround(1.23456 * 800));
  EXPECT_EQ(x_at_line_end[1], std::llround(1.23456 * 800));
  EXPECT_EQ(x_at_line_end[2], -2400);
}

TEST(PlannerSteps, ArcEndingOnAHalfStepEndsOnItDespiteTrigRounding) {
  // cos/sin put this end at 0.00062499999999998668 mm, which would round to 0 steps, not 1.
  const Program program = MustParse("G3 X0.000625 Y0.00125 I0.3703125 J0.11 F600\n");
  const auto segments = Segments(PlanAll(program, DefaultMillSettings(), kPeriod_s));
  EXPECT_EQ(SumSteps(segments)[0], 1);
  EXPECT_EQ(SumSteps(segments)[1], 1);
}

TEST(PlannerSteps, MoveToWhereTheMachineIsMakesNoSegments) {
  const PlanSummary summary = Summarize(MustParse("G0 X5\nG0 X5\nG1 X5 F100\n"), DefaultMillSettings(), kPeriod_s);
  EXPECT_EQ(summary.moves, 1u);
  EXPECT_FALSE(summary.error);
}

// Quarter circle of radius 10 mm around the origin, from (10, 0) to (0, 10).
class PlannerArc : public ::testing::TestWithParam<const char*> {};

TEST_P(PlannerArc, QuarterCircleLandsOnItsEndAndStaysOnTheCircle) {
  const MachineSettings settings = DefaultMillSettings();
  // Exact stop, so that the arc's segments begin on its start.
  const std::string text = std::string("G61 G0 X10 Y0\nG3 X0 Y10 ") + GetParam() + " F3000\n";
  const auto events = PlanAll(MustParse(text), settings, kPeriod_s);
  std::vector<PlanEvent> arc;
  for (const PlanEvent& event : Segments(events)) {
    if (event.line == 2) arc.push_back(event);
  }
  ASSERT_FALSE(arc.empty());
  ExpectWithinAxisLimits(arc, settings, kPeriod_s);
  const auto points = Boundaries(arc, {10, 0});
  EXPECT_DOUBLE_EQ(points.back().x_mm, 0.0);
  EXPECT_DOUBLE_EQ(points.back().y_mm, 10.0);
  // Boundaries sit on the circle to within step rounding; chords stray no more than the tolerance.
  const double rounding_mm = kStep_mm * std::numbers::sqrt2 / 2;
  for (std::size_t i = 1; i < points.size(); ++i) {
    const double radius = std::hypot(points[i].x_mm, points[i].y_mm);
    ASSERT_NEAR(radius, 10.0, rounding_mm) << i;
    const double middle = std::hypot((points[i].x_mm + points[i - 1].x_mm) / 2, (points[i].y_mm + points[i - 1].y_mm) / 2);
    ASSERT_NEAR(middle, 10.0, kArcTolerance_mm + rounding_mm) << i;
    ASSERT_GE(points[i].x_mm, -rounding_mm);  // the short way: first quadrant only
    ASSERT_GE(points[i].y_mm, -rounding_mm);
  }
}

INSTANTIATE_TEST_SUITE_P(CentreAndRadiusForms, PlannerArc, ::testing::Values("I-10 J0", "R10"));

TEST(PlannerArcs, ClockwiseAndCounterClockwiseLeaveInOppositeDirections) {
  const MachineSettings settings = DefaultMillSettings();
  const auto ccw = Segments(PlanAll(MustParse("G0 X10\nG3 X-10 Y0 I-10 F600\n"), settings, kPeriod_s));
  const auto cw = Segments(PlanAll(MustParse("G0 X10\nG2 X-10 Y0 I-10 F600\n"), settings, kPeriod_s));
  const auto extreme_y = [](const std::vector<PlanEvent>& segments) {
    std::int64_t y = 0;
    std::int64_t furthest = 0;
    for (const PlanEvent& e : segments) {
      y += e.steps[1];
      if (std::llabs(y) > std::llabs(furthest)) furthest = y;
    }
    return furthest;
  };
  EXPECT_EQ(extreme_y(ccw), 8000);  // over the top, through (0, 10)
  EXPECT_EQ(extreme_y(cw), -8000);  // under, through (0, -10)
}

TEST(PlannerArcs, FullCircleGoesAllTheWayRoundAndReturns) {
  const MachineSettings settings = DefaultMillSettings();
  const auto segments = Segments(PlanAll(MustParse("G61 G0 X10 Y0\nG2 X10 Y0 I-10 J0 F1200\n"), settings, kPeriod_s));
  std::vector<PlanEvent> arc;
  std::copy_if(segments.begin(), segments.end(), std::back_inserter(arc), [](const PlanEvent& e) { return e.line == 2; });
  const auto points = Boundaries(arc, {10, 0});
  double left_most = 10;
  for (const PlanarPoint& p : points) left_most = std::min(left_most, p.x_mm);
  EXPECT_NEAR(left_most, -10.0, 1e-3);
  EXPECT_DOUBLE_EQ(points.back().x_mm, 10.0);
  EXPECT_DOUBLE_EQ(points.back().y_mm, 0.0);
  // 62.8 mm at 20 mm/s, plus a ramp.
  EXPECT_NEAR(static_cast<double>(arc.size()) * kPeriod_s, 2 * std::numbers::pi * 10 / 20 + 20.0 / 250, 0.05);
}

TEST(PlannerArcs, TightFastArcsSlowDownToKeepAccelerationAndChordsInBounds) {
  const MachineSettings settings = DefaultMillSettings();
  // Radius 0.5 mm at 50 mm/s would need 5000 mm/s² to turn and 0.15 mm per segment.
  const auto segments = Segments(PlanAll(MustParse("G0 X0.5\nG3 X0.5 Y0 I-0.5 F3000\nG91 G2 X0 Y0 Z-1 I-0.5\n"),
                                         settings, kPeriod_s));
  ExpectWithinAxisLimits(segments, settings, kPeriod_s);
  const auto points = Boundaries(segments, {0, 0});
  for (std::size_t i = 1; i < points.size(); ++i) {
    if (segments[i - 1].line == 1) continue;
    const double middle = std::hypot((points[i].x_mm + points[i - 1].x_mm) / 2, (points[i].y_mm + points[i - 1].y_mm) / 2);
    ASSERT_NEAR(middle, 0.5, kArcTolerance_mm + kStep_mm) << i;
  }
}

TEST(PlannerArcs, LongSegmentTimesShortenSegmentsToKeepChordsWithinTolerance) {
  // At 20 ms and 50 mm/s a segment would span 1 mm of a 5 mm radius: 0.025 mm off the arc.
  MachineSettings settings = DefaultMillSettings();
  settings.steps_per_unit.fill(100);
  settings.acceleration_per_s2.fill(5000);
  constexpr double kLongPeriod_s = 0.02;
  const auto segments = Segments(PlanAll(MustParse("G0 X5\nG3 X5 Y0 I-5 F3000\n"), settings, kLongPeriod_s));
  ExpectWithinAxisLimits(segments, settings, kLongPeriod_s);
  AxisArray<std::int64_t> steps{};
  PlanarPoint previous{0, 0};
  for (const PlanEvent& segment : segments) {
    steps[0] += segment.steps[0];
    steps[1] += segment.steps[1];
    const PlanarPoint point{static_cast<double>(steps[0]) / 100, static_cast<double>(steps[1]) / 100};
    if (segment.line == 2) {
      const double middle = std::hypot((point.x_mm + previous.x_mm) / 2, (point.y_mm + previous.y_mm) / 2);
      ASSERT_NEAR(middle, 5.0, kArcTolerance_mm + 0.01);  // 0.01 mm steps
    }
    previous = point;
  }
}

TEST(PlannerEvents, DwellSpindleAndToolEventsComeInProgramOrderBetweenMoves) {
  const auto events = PlanAll(MustParse("M3 S1000\nG4 P0.5\nG1 X1 F100\nT3 M6\nS2000\nM5\nG4 P2\nM2\n"),
                              DefaultMillSettings(), kPeriod_s);
  std::vector<PlanEvent> others;
  std::size_t first_segment = events.size();
  std::size_t last_segment = 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].kind == PlanEvent::Kind::Segment) {
      first_segment = std::min(first_segment, i);
      last_segment = i;
    } else {
      others.push_back(events[i]);
    }
  }
  ASSERT_EQ(others.size(), 6u);
  EXPECT_EQ(first_segment, 2u);
  EXPECT_EQ(last_segment + 1, events.size() - 4);
  EXPECT_EQ(others[0].kind, PlanEvent::Kind::Spindle);
  EXPECT_EQ(others[0].spindle_mcode, 3);
  EXPECT_EQ(others[0].spindle_speed, 1000.0);
  EXPECT_EQ(others[1].kind, PlanEvent::Kind::Dwell);
  EXPECT_EQ(others[1].dwell_s, 0.5);
  EXPECT_EQ(others[2].kind, PlanEvent::Kind::Tool);
  EXPECT_EQ(others[2].tool, 3);
  EXPECT_EQ(others[3].kind, PlanEvent::Kind::Spindle);
  EXPECT_EQ(others[3].spindle_speed, 2000.0);
  EXPECT_EQ(others[4].spindle_mcode, 5);
  EXPECT_EQ(others[5].kind, PlanEvent::Kind::Dwell);
  EXPECT_EQ(others[5].line, 7);
}

TEST(PlanSummary, CountsSegmentsDwellsAndTime) {
  const PlanSummary summary = Summarize(MustParse("G0 X100\nG4 P1.5\nG0 X0\n"), DefaultMillSettings(), kPeriod_s);
  EXPECT_FALSE(summary.error);
  EXPECT_EQ(summary.moves, 2u);
  EXPECT_EQ(summary.end_steps[0], 0);
  EXPECT_DOUBLE_EQ(summary.dwell_time_s, 1.5);
  EXPECT_DOUBLE_EQ(summary.estimated_time_s, static_cast<double>(summary.segments) * kPeriod_s + 1.5);
  EXPECT_NEAR(summary.estimated_time_s, 2 * 2.1 + 1.5, 2 * kPeriod_s);
}

TEST(PlanSummary, ReportsTheErrorOfAProgramThatCannotBePlanned) {
  Program program;
  Block bad;
  bad.line = 4;
  bad.motion = MotionMode::Linear;  // no feed rate was ever set
  bad.axes[0] = 1.0;
  program.blocks.push_back(bad);
  const PlanSummary summary = Summarize(program, DefaultMillSettings(), kPeriod_s);
  ASSERT_TRUE(summary.error);
  EXPECT_EQ(summary.error->rfind("line 4: ", 0), 0u) << *summary.error;
  EXPECT_FALSE(ProgramEndSteps(program, DefaultMillSettings()));
}

}  // namespace
}  // namespace kvgcode
