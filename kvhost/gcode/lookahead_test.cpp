// Look-ahead tests: corners blended within their tolerance, exact stops where asked, the end
// exact to the step, short moves reaching their feed, and a window of bounded size.
#include "lookahead.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "plan_summary.h"
#include "planner.h"
#include "test_support.h"

namespace kvgcode {
namespace {

using testing::ExpectWithinAxisLimits;
using testing::MustParse;
using testing::PlanAll;
using testing::Segments;

constexpr double kPeriod_s = 0.003;
constexpr double kStep_mm = 1.0 / 800;

struct Point {
  double x = 0;
  double y = 0;
};

// Machine position (X, Y in mm) at every segment boundary.
std::vector<Point> Boundaries(const std::vector<PlanEvent>& segments) {
  std::vector<Point> points{{0, 0}};
  std::int64_t x = 0;
  std::int64_t y = 0;
  for (const PlanEvent& s : segments) {
    x += s.steps[0];
    y += s.steps[1];
    points.push_back({static_cast<double>(x) * kStep_mm, static_cast<double>(y) * kStep_mm});
  }
  return points;
}

// Distance from p to the polyline through `corners`.
double DistanceToPath(Point p, const std::vector<Point>& corners) {
  double best = 1e9;
  for (std::size_t i = 1; i < corners.size(); ++i) {
    const Point a = corners[i - 1];
    const Point b = corners[i];
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const double t = std::clamp(((p.x - a.x) * dx + (p.y - a.y) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
    best = std::min(best, std::hypot(p.x - (a.x + t * dx), p.y - (a.y + t * dy)));
  }
  return best;
}

double ClosestApproach(const std::vector<Point>& points, Point corner) {
  double best = 1e9;
  for (const Point& p : points) best = std::min(best, std::hypot(p.x - corner.x, p.y - corner.y));
  return best;
}

double RunTime(const std::string& text, PathControl control = PathControl::AsProgrammed,
               const MachineSettings& settings = DefaultMillSettings()) {
  const PlanSummary s = Summarize(MustParse(text), settings, kPeriod_s, control);
  EXPECT_FALSE(s.error) << *s.error;
  return s.estimated_time_s;
}

// A square of 20 mm sides at 1200 mm/min (20 mm/s), corners at (20,0), (20,20), (0,20).
const std::vector<Point> kSquare{{0, 0}, {20, 0}, {20, 20}, {0, 20}, {0, 0}};
constexpr const char* kSquareProgram = "G1 X20 F1200\nY20\nX0\nY0\n";

TEST(LookaheadCorners, BlendedSquareStaysWithinTheDeviationAndPassesCloseToEveryCorner) {
  for (const double deviation : {0.01, 0.05}) {
    SCOPED_TRACE(deviation);
    MachineSettings settings = DefaultMillSettings();
    settings.junction_deviation_mm = deviation;
    const auto segments = Segments(PlanAll(MustParse(kSquareProgram), settings, kPeriod_s));
    ExpectWithinAxisLimits(segments, settings, kPeriod_s);
    const auto points = Boundaries(segments);
    // Never farther from the programmed path than the deviation, plus the rounding to steps and
    // the chord of one segment across the blend.
    for (const Point& p : points) ASSERT_LE(DistanceToPath(p, kSquare), deviation + kStep_mm) << p.x << "," << p.y;
    for (std::size_t c = 1; c <= 3; ++c) {
      const double approach = ClosestApproach(points, kSquare[c]);
      EXPECT_LE(approach, deviation * 1.5 + kStep_mm) << "corner " << c;
      EXPECT_GE(approach, deviation * 0.5) << "corner " << c << " is rounded, not met";
    }
    EXPECT_EQ(points.back().x, 0.0);
    EXPECT_EQ(points.back().y, 0.0);
  }
}

TEST(LookaheadCorners, ExactStopMeetsEveryCornerAndIsSlower) {
  const auto segments = Segments(PlanAll(MustParse(std::string("G61\n") + kSquareProgram), DefaultMillSettings(), kPeriod_s));
  const auto points = Boundaries(segments);
  for (std::size_t c = 1; c <= 3; ++c) EXPECT_EQ(ClosestApproach(points, kSquare[c]), 0.0) << "corner " << c;
  const double exact = RunTime(std::string("G61\n") + kSquareProgram);
  const double blended = RunTime(kSquareProgram);
  EXPECT_LT(blended, exact);
  // Four sides of 1 s at feed, each with a ramp in and out at 500 mm/s² (0.04 s) when stopping.
  EXPECT_NEAR(exact, 4 * (1.0 + 0.04), 4 * kPeriod_s);
  EXPECT_GE(blended, 4.0 + 0.04);
}

TEST(LookaheadCorners, G64PSetsTheToleranceAndG64AloneRestoresTheMachines) {
  const auto closest = [](const std::string& text) {
    return ClosestApproach(Boundaries(Segments(PlanAll(MustParse(text), DefaultMillSettings(), kPeriod_s))), {20, 0});
  };
  const double machine = closest("G1 X20 F1200\nY20\n");
  const double wide = closest("G64 P0.2\nG1 X20 F1200\nY20\n");
  const double inch = closest("G20 G64 P0.004\nG21\nG1 X20 F1200\nY20\n");  // 0.1016 mm
  const double restored = closest("G64 P0.2\nG64\nG1 X20 F1200\nY20\n");
  EXPECT_GT(wide, 0.1);
  EXPECT_LE(wide, 0.2 * 1.5);
  EXPECT_GT(inch, 0.05);
  EXPECT_LT(inch, 0.2);
  EXPECT_DOUBLE_EQ(restored, machine);
  // P0: no deviation at all, so the corner is met.
  EXPECT_EQ(closest("G64 P0\nG1 X20 F1200\nY20\n"), 0.0);
}

TEST(LookaheadCorners, AReversalStopsAndAStraightContinuationDoesNot) {
  const auto segments = Segments(PlanAll(MustParse("G1 X10 F1200\nX20\nX5\n"), DefaultMillSettings(), kPeriod_s));
  std::int64_t x = 0;
  int slowest_at_10 = 1000;
  bool reversed = false;
  for (const PlanEvent& s : segments) {
    x += s.steps[0];
    if (std::llabs(x - 8000) < 200) slowest_at_10 = std::min(slowest_at_10, std::abs(s.steps[0]));
    if (s.steps[0] < 0) reversed = true;
    if (!reversed) {
      ASSERT_LE(x, 16000);
    }
  }
  EXPECT_EQ(slowest_at_10, 48) << "through X10 at the full 20 mm/s";
  EXPECT_EQ(x, 4000);
  EXPECT_NEAR(RunTime("G1 X10 F1200\nX20\nX5\n"), 1.0 + 0.04 + 0.75 + 0.04, 3 * kPeriod_s);
}

TEST(LookaheadSpeed, ShortMovesOfACurveReachTheirFeed) {
  // 2000 moves of 0.1 mm along a circle of radius 100 mm at 1200 mm/min: 20 mm/s needs 4 mm/s²
  // of turning, so the feed is reached and held.
  std::ostringstream text;
  text << std::fixed << std::setprecision(6);
  text << "G1 F1200\n";
  for (int i = 1; i <= 2000; ++i) {
    const double angle = 0.001 * i;
    text << "X" << 100 * std::sin(angle) << " Y" << 100 - 100 * std::cos(angle) << "\n";
  }
  const auto segments = Segments(PlanAll(MustParse(text.str()), DefaultMillSettings(), kPeriod_s));
  ExpectWithinAxisLimits(segments, DefaultMillSettings(), kPeriod_s);
  int fastest = 0;
  std::size_t at_feed = 0;
  for (const PlanEvent& s : segments) {
    const double steps = std::hypot(s.steps[0], s.steps[1]);
    fastest = std::max(fastest, static_cast<int>(std::lround(steps)));
    if (steps > 47) ++at_feed;
  }
  // 20 mm/s * 800 * 3 ms = 48 steps, plus a step of rounding.
  EXPECT_GE(fastest, 48);
  EXPECT_LE(fastest, 49);
  // 200 mm at 20 mm/s is 10 s: nearly every segment at the feed.
  EXPECT_GT(at_feed, segments.size() * 9 / 10);
  EXPECT_LT(static_cast<double>(segments.size()) * kPeriod_s, 10.0 * 1.02);
}

TEST(LookaheadSpeed, JoinedMovesAreNeverSlowerThanExactStopAndNeverBeatTheFeed) {
  for (const char* text : {"G1 X1 F3000\nY1\nX2\nY2\nX3\n", "G0 X10\nG1 Y3 F600\nG2 X13 Y6 I3\nG1 X20\nG3 X20 Y6 I-3\n",
                           "G1 X10 Y10 Z-1 F900\nX20 Z0\nG0 Z5\nX0 Y0\n"}) {
    SCOPED_TRACE(text);
    const double exact = RunTime(text, PathControl::ExactStop);
    const double blended = RunTime(text, PathControl::Blend);
    EXPECT_LE(blended, exact);
    const auto segments = Segments(PlanAll(MustParse(text), DefaultMillSettings(), kPeriod_s));
    ExpectWithinAxisLimits(segments, DefaultMillSettings(), kPeriod_s);
  }
}

TEST(LookaheadSpeed, ATangentArcAndLineJoinWithoutSlowing) {
  // Line along +X into a counter-clockwise half circle that leaves along -X, then a line back.
  const std::string text = "G1 X10 F1200\nG3 X10 Y20 I0 J10\nG1 X0\n";
  const auto segments = Segments(PlanAll(MustParse(text), DefaultMillSettings(), kPeriod_s));
  ExpectWithinAxisLimits(segments, DefaultMillSettings(), kPeriod_s);
  // 10 + 31.4 + 10 mm at 20 mm/s, with one ramp in and out (and the arc's 8 mm/s² of turning).
  const double length = 20 + std::numbers::pi * 10;
  EXPECT_NEAR(static_cast<double>(segments.size()) * kPeriod_s, length / 20 + 0.04, 0.01);
}

// Blocks of a long program, counted as the planner reads them.
class CountingBlocks final : public BlockSource {
 public:
  explicit CountingBlocks(int moves) : moves_(moves) {}
  void Rewind() override { read_ = 0; }
  bool Next(Block& out) override {
    if (read_ > moves_) return false;
    out = Block{};
    out.line = read_ + 1;
    if (read_ == 0) {
      out.motion = MotionMode::Linear;
      out.feed_per_min = 6000;
    }
    // A gentle zig-zag of 0.2 mm moves, so that every corner makes a blend as well.
    out.axes[0] = 0.2 * read_;
    out.axes[1] = (read_ % 2) * 0.001;
    ++read_;
    return true;
  }
  const std::optional<ParseError>& fault() const override { return fault_; }
  int read() const { return read_; }

 private:
  int moves_;
  int read_ = 0;
  std::optional<ParseError> fault_;
};

TEST(LookaheadWindowSize, TheFirstSegmentComesAfterAFixedWindowNotTheWholeProgram) {
  CountingBlocks source(200000);
  Planner planner(source, DefaultMillSettings(), kPeriod_s);
  PlanEvent event;
  ASSERT_TRUE(planner.Next(event));
  EXPECT_EQ(event.kind, PlanEvent::Kind::Segment);
  EXPECT_LE(source.read(), static_cast<int>(kLookaheadPieces) + 2);
  EXPECT_GE(source.read(), static_cast<int>(kLookaheadPieces) / 2) << "it looks ahead a window of moves";
  // Further on, it reads only as the window moves.
  for (int i = 0; i < 10000; ++i) ASSERT_TRUE(planner.Next(event));
  const double travelled_mm = static_cast<double>(planner.position_steps()[0]) * kStep_mm;
  EXPECT_LE(source.read(), static_cast<int>(travelled_mm / 0.2) + static_cast<int>(kLookaheadPieces) + 2);
}

// A program whose source fails part way, as a file changed on disk does.
class FailingBlocks final : public BlockSource {
 public:
  void Rewind() override { read_ = 0; }
  bool Next(Block& out) override {
    if (read_ == 50) {
      fault_ = ParseError{51, "", "the program file changed since it was checked"};
      return false;
    }
    out = Block{};
    out.line = ++read_;
    out.motion = MotionMode::Linear;
    out.feed_per_min = 3000;
    out.axes[0] = read_ * 1.0;
    out.axes[1] = (read_ % 2) * 1.0;
    return true;
  }
  const std::optional<ParseError>& fault() const override { return fault_; }

 private:
  int read_ = 0;
  std::optional<ParseError> fault_;
};

TEST(LookaheadFaults, AFaultReadAheadStillBringsTheMovesBeforeItToRestOnTheirEnd) {
  FailingBlocks source;
  Planner planner(source, DefaultMillSettings(), kPeriod_s);
  std::vector<PlanEvent> segments;
  PlanEvent event;
  while (planner.Next(event)) segments.push_back(event);
  ASSERT_TRUE(planner.error());
  EXPECT_NE(planner.error()->find("changed since it was checked"), std::string::npos);
  ExpectWithinAxisLimits(segments, DefaultMillSettings(), kPeriod_s);  // including the stop at the end
  EXPECT_EQ(planner.position_steps()[0], 50 * 800);
  EXPECT_EQ(planner.position_steps()[1], 0);
}

TEST(LookaheadFaults, AMoveTooLongToPlanIsRefusedAfterTheMovesBeforeItCameToRest) {
  // Joined to the rapid before it, the endless move must not leave the rapid short of its end.
  const Program program = MustParse("G0 X10\nG1 X1000 F0.000001\n");
  Planner planner(program, DefaultMillSettings(), kPeriod_s);
  std::vector<PlanEvent> segments;
  PlanEvent event;
  while (planner.Next(event)) segments.push_back(event);
  ASSERT_TRUE(planner.error());
  EXPECT_EQ(planner.error()->rfind("line 2: move would take", 0), 0u) << *planner.error();
  EXPECT_EQ(planner.position_steps()[0], 8000);
  ExpectWithinAxisLimits(segments, DefaultMillSettings(), kPeriod_s);
}

TEST(LookaheadEvents, ADwellBetweenJoinedMovesFindsTheMachineAtRestOnItsPoint) {
  const auto events = PlanAll(MustParse("G1 X5 F1200\nY5\nG4 P0.1\nX0\nM3 S100\nY0\n"), DefaultMillSettings(), kPeriod_s);
  std::int64_t x = 0;
  std::int64_t y = 0;
  int previous_x_steps = 0;
  int events_seen = 0;
  for (const PlanEvent& e : events) {
    if (e.kind == PlanEvent::Kind::Segment) {
      x += e.steps[0];
      y += e.steps[1];
      previous_x_steps = e.steps[0];
      continue;
    }
    ++events_seen;
    EXPECT_LE(std::abs(previous_x_steps), 4) << "the last segment before an event comes to rest";
    if (e.kind == PlanEvent::Kind::Dwell) {
      EXPECT_EQ(x, 4000);
      EXPECT_EQ(y, 4000);
    } else {
      EXPECT_EQ(x, 0);
      EXPECT_EQ(y, 4000);
    }
  }
  EXPECT_EQ(events_seen, 2);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
}

TEST(LookaheadSummary, TheSummaryCountsWhatThePlannerHandsOutWhenMovesAreJoined) {
  const Program program = MustParse("G1 X10 Y5 F900\nX12 Y7\nG2 X20 Y7 I4\nG1 X30 Y-3\nG0 Z3\nX0 Y0\nM2\n");
  const PlanSummary s = Summarize(program, DefaultMillSettings(), kPeriod_s);
  const auto segments = Segments(PlanAll(program, DefaultMillSettings(), kPeriod_s));
  EXPECT_EQ(s.segments, segments.size());
  AxisArray<std::int64_t> sum{};
  for (const PlanEvent& e : segments) {
    for (std::size_t k = 0; k < kAxisCount; ++k) sum[k] += e.steps[k];
  }
  EXPECT_EQ(s.end_steps, sum);
  EXPECT_EQ(sum, *ProgramEndSteps(program, DefaultMillSettings()));
}

// Machine position in steps after every segment, from the start at zero.
std::vector<AxisArray<std::int64_t>> StepPositions(const std::vector<PlanEvent>& segments) {
  std::vector<AxisArray<std::int64_t>> positions;
  AxisArray<std::int64_t> at{};
  for (const PlanEvent& e : segments) {
    for (std::size_t k = 0; k < kAxisCount; ++k) at[k] += e.steps[k];
    positions.push_back(at);
  }
  return positions;
}

// A machine whose Z is slow and soft against fast X and Y: an arc whose limits were taken from
// X and Y while it turns on Z would overdrive Z many times over.
MachineSettings SlowZ() {
  MachineSettings settings = DefaultMillSettings();
  settings.max_velocity_per_s = {120, 80, 8, 30, 30, 30};
  settings.acceleration_per_s2 = {2000, 900, 60, 300, 300, 300};
  return settings;
}

TEST(LookaheadPlanes, ArcsAndHelicesInEveryPlaneKeepEveryAxisWithinItsLimitsAndEndExactly) {
  const char* programs[] = {
      // G17 helix: a full turn down 2 mm, then on along X.
      "G17 G1 X10 F3000\nG2 X10 Y0 Z-2 I5 J0\nG1 X20\nG3 X30 Y0 I5 J0 Z0\n",
      // G18: arcs turning on Z and X, one of them a helix along Y, joined to lines along X and Z.
      "G18 G1 X10 F3000\nG3 X20 Z0 I5 K0\nG2 X30 Z0 I5 K0 Y3\nG1 Z-5\nG2 X40 Z-5 I5 K0\nG1 Z0\n",
      // G19: the same in YZ, a helix along X.
      "G19 G1 Y10 F3000\nG2 Y20 Z0 J5 K0\nG3 Y30 Z0 J5 K0 X2\nG1 Z-5\nG3 Y40 Z-5 J5 K0\nG1 Z0\n",
  };
  for (const MachineSettings& settings : {DefaultMillSettings(), SlowZ()}) {
    for (const char* text : programs) {
      SCOPED_TRACE(text);
      const Program program = MustParse(text);
      for (const PathControl control : {PathControl::Blend, PathControl::ExactStop}) {
        Planner planner(program, settings, kPeriod_s, control);
        std::vector<PlanEvent> segments;
        PlanEvent event;
        while (planner.Next(event)) segments.push_back(event);
        ASSERT_FALSE(planner.error()) << *planner.error();
        ExpectWithinAxisLimits(segments, settings, kPeriod_s);
        AxisArray<std::int64_t> end{};
        for (const PlanEvent& e : segments) {
          for (std::size_t k = 0; k < kAxisCount; ++k) end[k] += e.steps[k];
        }
        EXPECT_EQ(end, *ProgramEndSteps(program, settings));
      }
    }
  }
}

TEST(LookaheadPlanes, AnArcInTheYzPlaneIsFollowedOnItsCircle) {
  // A half circle of radius 5 about Y15 Z0 from Y10 to Y20; X stays.
  const auto segments = Segments(PlanAll(MustParse("G19 G1 Y10 F1800\nG2 Y20 Z0 J5 K0\nG1 Y30\n"), SlowZ(), kPeriod_s));
  int on_arc = 0;
  double deepest = 0;
  for (const auto& p : StepPositions(segments)) {
    EXPECT_EQ(p[0], 0);
    const double y = static_cast<double>(p[1]) * kStep_mm;
    const double z = static_cast<double>(p[2]) * kStep_mm;
    if (y <= 10.0 || y >= 20.0) continue;
    ++on_arc;
    deepest = std::max(deepest, std::fabs(z));
    EXPECT_NEAR(std::hypot(y - 15.0, z), 5.0, 0.012) << "at Y" << y << " Z" << z;
  }
  EXPECT_GT(on_arc, 100);
  EXPECT_NEAR(deepest, 5.0, 0.01);
}

TEST(LookaheadEvents, CoolantPausesAndToolChangesFindTheMachineAtRestOnTheirPoint) {
  // Each event comes before its line's move, once the moves before it have ended.
  const auto events =
      PlanAll(MustParse("G1 X5 F1200\nY5 M8\nX0\nM0\nY0 M7\nX5\nT2 M6\nY10\nM1\nX0\nM9\nG0 Y0\nM3 S1000\nX5\n"),
              DefaultMillSettings(), kPeriod_s);
  struct Expected {
    PlanEvent::Kind kind;
    std::int64_t x, y;
  };
  const std::vector<Expected> expected{
      {PlanEvent::Kind::Coolant, 4000, 0},  {PlanEvent::Kind::Pause, 0, 4000},    {PlanEvent::Kind::Coolant, 0, 4000},
      {PlanEvent::Kind::Tool, 4000, 0},     {PlanEvent::Kind::Pause, 4000, 8000}, {PlanEvent::Kind::Coolant, 0, 8000},
      {PlanEvent::Kind::Spindle, 0, 0}};
  std::int64_t x = 0;
  std::int64_t y = 0;
  PlanEvent last{};
  std::size_t seen = 0;
  for (const PlanEvent& e : events) {
    if (e.kind == PlanEvent::Kind::Segment) {
      x += e.steps[0];
      y += e.steps[1];
      last = e;
      continue;
    }
    ASSERT_LT(seen, expected.size());
    const Expected& want = expected[seen++];
    EXPECT_EQ(e.kind, want.kind) << "event " << seen << " at line " << e.line;
    EXPECT_EQ(x, want.x) << "event " << seen << " at line " << e.line;
    EXPECT_EQ(y, want.y) << "event " << seen << " at line " << e.line;
    for (std::size_t k = 0; k < kAxisCount; ++k) {
      EXPECT_LE(std::abs(last.steps[k]), 4) << "the last segment before line " << e.line << " comes to rest";
    }
  }
  EXPECT_EQ(seen, expected.size());
  EXPECT_EQ(x, 4000);
  EXPECT_EQ(y, 0);
}

TEST(LookaheadCycles, DrillingReturnsAndMachineCoordinateMovesReachEveryProgrammedPoint) {
  MachineSettings settings = DefaultMillSettings();
  settings.work.g28_position = {0, 0, 10, 0, 0, 0};
  const Program program = MustParse(
      "G0 Z5\nG99 G81 X10 Y10 Z-3 R1 F300\nX20\nG83 X30 Z-6 R1 Q2 F300\nG73 X40 Z-4 R1 Q1 F300\nG80\n"
      "G28 G91 Z0\nG90 G53 G0 X50 Y0\nG53 G1 Z2 F600\n");
  const auto segments = Segments(PlanAll(program, settings, kPeriod_s));
  ExpectWithinAxisLimits(segments, settings, kPeriod_s);
  // Every hole goes to its own depth exactly, and no deeper.
  const std::vector<std::pair<std::int64_t, std::int64_t>> holes{{8000, -2400}, {16000, -2400}, {24000, -4800},
                                                                 {32000, -3200}};
  const auto positions = StepPositions(segments);
  for (const auto& [hole_x, depth] : holes) {
    std::int64_t deepest = 0;
    for (const auto& p : positions) {
      if (p[0] == hole_x && p[1] == 8000) deepest = std::min(deepest, p[2]);
    }
    EXPECT_EQ(deepest, depth) << "hole at X step " << hole_x;
  }
  std::int64_t lowest = 0;
  for (const auto& p : positions) lowest = std::min(lowest, p[2]);
  EXPECT_EQ(lowest, -4800);
  // G28 G91 Z0 goes straight up to machine Z10 over the last hole, then G53 moves in machine
  // coordinates; both are rapids, so that corner is rounded within the junction deviation.
  double closest_mm = 1e9;
  for (const auto& p : positions) {
    const double dx = static_cast<double>(p[0] - 32000) * kStep_mm;
    const double dy = static_cast<double>(p[1] - 8000) * kStep_mm;
    const double dz = static_cast<double>(p[2] - 8000) * kStep_mm;
    closest_mm = std::min(closest_mm, std::sqrt(dx * dx + dy * dy + dz * dz));
  }
  EXPECT_LT(closest_mm, 0.05);
  ASSERT_FALSE(positions.empty());
  EXPECT_EQ(positions.back(), (AxisArray<std::int64_t>{40000, 0, 1600, 0, 0, 0}));
  EXPECT_EQ(positions.back(), *ProgramEndSteps(program, settings));
}

}  // namespace
}  // namespace kvgcode
