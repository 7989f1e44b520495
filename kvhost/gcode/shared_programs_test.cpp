// Tests on the public CAM programs: every one parses, plans within the machine's limits and ends
// exactly on its programmed position in steps.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "plan_summary.h"
#include "planner.h"
#include "test_support.h"

namespace kvgcode {
namespace {

namespace fs = std::filesystem;

constexpr double kPeriod_s = 0.003;

fs::path SharedDir() { return fs::path(KV_SHARED_GCODE_DIR); }

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<fs::path> ProgramFiles() {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(SharedDir())) {
    const auto extension = entry.path().extension();
    if (entry.is_regular_file() && (extension == ".gcode" || extension == ".nc")) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class SharedPrograms : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::is_directory(SharedDir())) GTEST_SKIP() << "no shared programs at " << SharedDir();
  }
};

TEST_F(SharedPrograms, EveryProgramPlansWithinLimitsAndSumsToItsEnd) {
  const MachineSettings settings = DefaultMillSettings();
  const auto files = ProgramFiles();
  ASSERT_GE(files.size(), 5u);
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.filename().string());
    const ParseResult parsed = ParseProgram(ReadFile(file));
    ASSERT_TRUE(parsed.ok()) << parsed.error().message;
    const auto segments = testing::Segments(testing::PlanAll(parsed.program(), settings, kPeriod_s));
    testing::ExpectWithinAxisLimits(segments, settings, kPeriod_s);
    AxisArray<std::int64_t> sum{};
    for (const PlanEvent& segment : segments) {
      for (std::size_t axis = 0; axis < kAxisCount; ++axis) sum[axis] += segment.steps[axis];
    }
    const auto end = ProgramEndSteps(parsed.program(), settings);
    ASSERT_TRUE(end);
    EXPECT_EQ(sum, *end);
    const PlanSummary summary = Summarize(parsed.program(), settings, kPeriod_s);
    EXPECT_FALSE(summary.error);
    EXPECT_EQ(summary.segments, segments.size());
    EXPECT_EQ(summary.end_steps, *end);
  }
}

TEST_F(SharedPrograms, LaserProgramAlternatesSpindleOnDwellAndOff) {
  const ParseResult parsed = ParseProgram(ReadFile(SharedDir() / "cncjs-jsdc-laser.gcode"));
  ASSERT_TRUE(parsed.ok()) << parsed.error().message;
  std::vector<PlanEvent> others;
  for (const PlanEvent& event : testing::PlanAll(parsed.program(), DefaultMillSettings(), kPeriod_s)) {
    if (event.kind != PlanEvent::Kind::Segment) others.push_back(event);
  }
  // Five paths, each: laser on at S80, half a second to pierce, then off with S0.
  ASSERT_EQ(others.size(), 15u);
  int previous_line = 0;
  for (std::size_t path = 0; path < 5; ++path) {
    const PlanEvent& on = others[3 * path];
    const PlanEvent& dwell = others[3 * path + 1];
    const PlanEvent& off = others[3 * path + 2];
    EXPECT_EQ(on.kind, PlanEvent::Kind::Spindle);
    EXPECT_EQ(on.spindle_mcode, 3);
    EXPECT_EQ(on.spindle_speed, 80.0);
    EXPECT_EQ(dwell.kind, PlanEvent::Kind::Dwell);
    EXPECT_EQ(dwell.dwell_s, 0.5);
    EXPECT_EQ(off.kind, PlanEvent::Kind::Spindle);
    EXPECT_EQ(off.spindle_mcode, 5);
    EXPECT_EQ(off.spindle_speed, 0.0);
    EXPECT_LT(previous_line, on.line);
    EXPECT_EQ(dwell.line, on.line + 1);
    EXPECT_LT(dwell.line, off.line);
    previous_line = off.line;
  }
  EXPECT_EQ(others.front().line, 19);
  EXPECT_EQ(others.back().line, 2414);
}

TEST_F(SharedPrograms, InchProgramEndsAtItsInchPosition) {
  const ParseResult parsed = ParseProgram(ReadFile(SharedDir() / "ugs-arc_rword_test.gcode"));
  ASSERT_TRUE(parsed.ok()) << parsed.error().message;
  const PlanSummary summary = Summarize(parsed.program(), DefaultMillSettings(), kPeriod_s);
  EXPECT_FALSE(summary.error);
  EXPECT_NEAR(summary.end_units[Index(Axis::Z)], 0.25 * 25.4, 1e-9);  // last retract, Z0.25 inch
  EXPECT_EQ(summary.end_steps[Index(Axis::Z)], 5080);
}

}  // namespace
}  // namespace kvgcode
