// The planner's segments as the board executes them: every bundled and shared program, fed to
// the simulated board's motion engine one segment period at a time, keeps every axis within its
// maximum velocity and acceleration as the board measures them per period, and ends exactly on
// its programmed position. (The plug-in's streaming of them is covered end to end elsewhere;
// the long shared programs run for minutes in real time.)
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "board_replay.h"
#include "limit_check.h"
#include "motion_engine.h"
#include "plan_summary.h"
#include "planner.h"
#include "program.h"

namespace kvhost {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<fs::path> Programs() {
  std::vector<fs::path> files;
  for (const fs::path& dir : {fs::path(KV_EXAMPLES_DIR), fs::path(KV_SHARED_GCODE_DIR)}) {
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      const auto ext = entry.path().extension();
      if (entry.is_regular_file() && (ext == ".nc" || ext == ".gcode")) files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

void ExpectWithinLimitsAndExact(const kvgcode::Program& program, const kvgcode::MachineSettings& settings,
                                double segment_time_s, kvgcode::PathControl control, const std::string& what) {
  const BoardReplay replay = ReplayOnBoard(program, settings, segment_time_s, control);
  EXPECT_FALSE(replay.error) << what << ": " << *replay.error;
  testing::ExpectPeaksWithinLimits(replay.counters, settings, segment_time_s, what);
  const auto programmed = kvgcode::ProgramEndSteps(program, settings);
  ASSERT_TRUE(programmed) << what;
  for (std::size_t k = 0; k < kvgcode::kAxisCount; ++k) {
    EXPECT_EQ(replay.end[k], (*programmed)[k]) << what << ", axis " << k;
  }
  EXPECT_EQ(replay.counters.underruns, 0u) << what;
}

TEST(BoardMeasuredLimits, EveryBundledAndSharedProgramStaysWithinTheAxisLimitsAndEndsExactly) {
  const auto files = Programs();
  ASSERT_GE(files.size(), 2u) << "examples/ holds at least the contour and the pocket";
  const kvgcode::MachineSettings settings = kvgcode::DefaultMillSettings();
  for (const fs::path& file : files) {
    const kvgcode::ParseResult parsed = kvgcode::ParseProgram(ReadText(file));
    ASSERT_TRUE(parsed.ok()) << parsed.error().message;
    for (const auto control : {kvgcode::PathControl::AsProgrammed, kvgcode::PathControl::Blend,
                               kvgcode::PathControl::ExactStop}) {
      ExpectWithinLimitsAndExact(parsed.program(), settings, 0.003, control,
                                 file.filename().string() + " path control " + std::to_string(int(control)));
    }
  }
}

TEST(BoardMeasuredLimits, OtherMachinesPeriodsAndTolerancesStayWithinTheirLimits) {
  // A slow, soft Z against fast X and Y; the shortest and a long segment period; no tolerance,
  // the default, and a wide one.
  kvgcode::MachineSettings settings = kvgcode::DefaultMillSettings();
  settings.max_velocity_per_s = {120, 80, 8, 30, 30, 30};
  settings.acceleration_per_s2 = {2000, 900, 60, 300, 300, 300};
  for (const char* name : {"contour.nc", "pocket.nc"}) {
    const kvgcode::ParseResult parsed = kvgcode::ParseProgram(ReadText(fs::path(KV_EXAMPLES_DIR) / name));
    ASSERT_TRUE(parsed.ok()) << parsed.error().message;
    for (const double period_s : {0.0015, 0.003, 0.02}) {
      for (const double deviation : {0.0, 0.01, 0.5}) {
        settings.junction_deviation_mm = deviation;
        ExpectWithinLimitsAndExact(parsed.program(), settings, period_s, kvgcode::PathControl::Blend,
                                   std::string(name) + " at " + std::to_string(period_s) + " s, deviation " +
                                       std::to_string(deviation));
      }
    }
  }
}

TEST(BoardMeasuredLimits, PostProgramsWithCyclesReturnsPausesAndArcsInEveryPlaneStayWithinTheirLimits) {
  // Offsets, tool table and return positions these programs are written for.
  kvgcode::WorkSetup setup;
  setup.work_offsets[0] = {100, 50, -80, 0, 0, 0};
  setup.tool_lengths = {{1, 40}, {2, 60}, {3, 35}};
  setup.g28_position = {10, 20, -5, 0, 0, 0};
  setup.g30_position = {200, 150, -10, 0, 0, 0};
  kvgcode::MachineSettings slow_z = kvgcode::DefaultMillSettings();
  slow_z.max_velocity_per_s = {120, 80, 8, 30, 30, 30};
  slow_z.acceleration_per_s2 = {2000, 900, 60, 300, 300, 300};
  for (kvgcode::MachineSettings settings : {kvgcode::DefaultMillSettings(), slow_z}) {
    settings.work = setup;
    for (const char* name : {"fusion-mach3.nc", "linuxcnc.ngc", "mach3.tap"}) {
      const kvgcode::ParseResult parsed =
          kvgcode::ParseProgram(ReadText(fs::path(KV_EXAMPLES_DIR) / "posts" / name), setup);
      ASSERT_TRUE(parsed.ok()) << name << ": " << parsed.error().message;
      for (const auto control : {kvgcode::PathControl::AsProgrammed, kvgcode::PathControl::ExactStop}) {
        ExpectWithinLimitsAndExact(parsed.program(), settings, 0.003, control,
                                   std::string(name) + " path control " + std::to_string(int(control)) +
                                       ", Z at " + std::to_string(settings.max_velocity_per_s[2]) + " mm/s");
      }
    }
  }
}

}  // namespace
}  // namespace kvhost
