// kvhost's machine from the profile: a missing file means the defaults, a file that cannot be
// parsed or a value that cannot be used is an error naming the profile and the key, and what is
// accepted, up to its edges, plans.
#include "machine_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "plan_summary.h"
#include "test_support.h"

namespace kvhost {
namespace {

namespace fs = std::filesystem;

class MachineConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kvhost-mc-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "p.xml").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  // A profile whose "kvhost" section holds `entries` (and "VEX" holds `vex`).
  void WriteSection(const std::string& entries, const std::string& vex = "") {
    Write("<profile><VEX>" + vex + "</VEX><kvhost>" + entries + "</kvhost></profile>");
  }
  bool Load() {
    error_.clear();
    return LoadMachineConfig(path_, config_, error_);
  }

  fs::path dir_;
  std::string path_;
  MachineConfig config_;
  std::string error_;
};

TEST_F(MachineConfigTest, AMissingProfileOrSectionGivesTheDefaults) {
  ASSERT_TRUE(Load()) << error_;
  EXPECT_DOUBLE_EQ(config_.motion.steps_per_unit[0], 800);
  EXPECT_TRUE(config_.axes[2].enabled);
  EXPECT_FALSE(config_.axes[3].enabled);
  EXPECT_DOUBLE_EQ(config_.segment_time_s, 0.003);
  EXPECT_DOUBLE_EQ(config_.motion.junction_deviation_mm, 0.01);
  Write("<profile><VEX><seg_len>2000</seg_len></VEX></profile>");
  ASSERT_TRUE(Load()) << error_;
  EXPECT_DOUBLE_EQ(config_.motion.steps_per_unit[0], 800);
  EXPECT_DOUBLE_EQ(config_.segment_time_s, 0.002);
}

TEST_F(MachineConfigTest, AProfileThatCannotBeParsedIsAnErrorNamingIt) {
  // The case seen: one mismatched tag, and the run went on at 800 steps/mm instead of 1000.
  const std::vector<std::string> broken = {
      "<profile><kvhost><steps_per_unit_x>1000</steps_per_unit_y></kvhost></profile>",
      "<profile><kvhost><steps_per_unit_x>1000</steps_per_unit_x></kvhost>",
      "steps_per_unit_x = 1000\n",
      "",
  };
  for (const std::string& text : broken) {
    Write(text);
    EXPECT_FALSE(Load()) << text;
    EXPECT_EQ(error_.rfind("profile " + path_ + ": cannot be parsed as an XML document", 0), 0u) << error_;
  }
  path_ = dir_.string();  // a directory where the profile should be
  EXPECT_FALSE(Load());
  EXPECT_EQ(error_, "profile " + path_ + ": is not a file");
}

TEST_F(MachineConfigTest, TheSectionIsReadAndTheSegmentPeriodIsTakenAsThePluginTakesIt) {
  WriteSection("<steps_per_unit_x> 1000 </steps_per_unit_x><max_velocity_y>40</max_velocity_y>"
               "<acceleration_z>100</acceleration_z><enabled_a>1</enabled_a><steps_per_unit_a>10</steps_per_unit_a>"
               "<limit_min_pin_x>10</limit_min_pin_x><home_pin_z>63</home_pin_z><probe_pin>15</probe_pin>"
               "<probe_feed>1.5</probe_feed><home_speed_percent>100</home_speed_percent><estop_pin></estop_pin>",
               "<seg_len>1500us</seg_len>");
  ASSERT_TRUE(Load()) << error_;
  EXPECT_DOUBLE_EQ(config_.motion.steps_per_unit[0], 1000);
  EXPECT_DOUBLE_EQ(config_.motion.max_velocity_per_s[1], 40);
  EXPECT_DOUBLE_EQ(config_.motion.acceleration_per_s2[2], 100);
  EXPECT_TRUE(config_.axes[3].enabled);
  EXPECT_EQ(config_.axes[0].limit_min_pin, 10);
  EXPECT_EQ(config_.axes[2].home_pin, 63);
  EXPECT_EQ(config_.probe_pin, 15);
  EXPECT_EQ(config_.estop_pin, 0) << "an empty entry keeps the default";
  EXPECT_DOUBLE_EQ(config_.probe_feed_per_s, 1.5);
  EXPECT_EQ(config_.home_speed_percent, 100);
  EXPECT_DOUBLE_EQ(config_.segment_time_s, 0.0015) << "leading digits, as the plug-in reads them";

  // The 10 mm move of the broken profile, once it parses, makes 10000 steps.
  const kvgcode::PlanSummary plan =
      kvgcode::Summarize(kvgcode::testing::MustParse("G0 X10\n"), config_.motion, config_.segment_time_s);
  ASSERT_FALSE(plan.error) << *plan.error;
  EXPECT_EQ(plan.end_steps[0], 10000);

  for (const auto& [text, seconds] : std::vector<std::pair<std::string, double>>{
           {"", 0.003}, {" +2500", 0.0025}, {"1500", 0.0015}, {"100000", 0.1}}) {
    WriteSection("", "<seg_len>" + text + "</seg_len>");
    ASSERT_TRUE(Load()) << text << ": " << error_;
    EXPECT_DOUBLE_EQ(config_.segment_time_s, seconds) << text;
  }
}

// The stream sends at most 20 segments per supervisor run, about every 30 ms: a period below
// 1.5 ms cannot be kept fed, and one above 100 ms is refused too. Values the plug-in would not
// use (zero, negative, not a number) are refused rather than silently replaced.
TEST_F(MachineConfigTest, ASegmentPeriodTheStreamCannotFeedIsRefusedNamingTheKey) {
  for (const auto& [text, us] : std::vector<std::pair<std::string, std::string>>{
           {"1499", "1499"}, {"1000", "1000"}, {"500", "500"}, {"1", "1"}, {"0", "0"}, {"-5", "-5"}, {"abc", "0"},
           {"100001", "100001"}, {"1000000", "1000000"}}) {
    WriteSection("", "<seg_len>" + text + "</seg_len>");
    EXPECT_FALSE(Load()) << text;
    EXPECT_EQ(error_.rfind("profile " + path_ + ": VEX/seg_len " + us + " us is outside 1500..100000 us", 0), 0u)
        << text << "\n" << error_;
  }
}

TEST_F(MachineConfigTest, OffsetsToolsReturnPositionsAndCoolantPinsComeFromTheSection) {
  WriteSection("<work_offset_g54_x>12.5</work_offset_g54_x><work_offset_g59_c>-3</work_offset_g59_c>"
               "<g92_offset_z>0.25</g92_offset_z><g28_position_z>-5</g28_position_z><g30_position_y>150</g30_position_y>"
               "<tool_length_1>42.125</tool_length_1><tool_length_999>-1</tool_length_999>"
               "<tool_length_1000>7</tool_length_1000><mist_output_pin>29</mist_output_pin>"
               "<flood_output_pin>1</flood_output_pin>");
  ASSERT_TRUE(Load()) << error_;
  const kvgcode::WorkSetup& w = config_.motion.work;
  EXPECT_DOUBLE_EQ(w.work_offsets[0][0], 12.5);
  EXPECT_DOUBLE_EQ(w.work_offsets[5][5], -3);
  EXPECT_DOUBLE_EQ(w.g92_offset[2], 0.25);
  EXPECT_DOUBLE_EQ(w.g28_position[2], -5);
  EXPECT_DOUBLE_EQ(w.g30_position[1], 150);
  // The table holds tools 1..999; a key beyond it is not a tool.
  EXPECT_EQ(w.tool_lengths, (std::map<int, double>{{1, 42.125}, {999, -1}}));
  EXPECT_EQ(config_.mist_output_pin, 29);
  EXPECT_EQ(config_.flood_output_pin, 1);
}

TEST_F(MachineConfigTest, UnusableOffsetsAndOutputPinsAreRefusedNamingTheKey) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<work_offset_g55_y>1e7</work_offset_g55_y>", "kvhost/work_offset_g55_y must lie within +-1000000 (got 10000000)"},
      {"<g92_offset_x>nan</g92_offset_x>", "kvhost/g92_offset_x is not a finite number"},
      {"<tool_length_3>x</tool_length_3>", "kvhost/tool_length_3 is not a finite number"},
      {"<g28_position_a>-1000001</g28_position_a>", "kvhost/g28_position_a must lie within +-1000000"},
      {"<mist_output_pin>30</mist_output_pin>", "kvhost/mist_output_pin must be a board output pin 1..29 (0 = not wired) (got 30)"},
      {"<flood_output_pin>-1</flood_output_pin>", "kvhost/flood_output_pin must be a board output pin 1..29"},
      {"<flood_output_pin>4</flood_output_pin><spindle_output_pin>4</spindle_output_pin>",
       "kvhost/flood_output_pin 4 is also kvhost/spindle_output_pin"},
      {"<flood_output_pin>7</flood_output_pin><mist_output_pin>7</mist_output_pin>",
       "kvhost/flood_output_pin 7 is also kvhost/mist_output_pin"},
  };
  for (const auto& [entries, message] : cases) {
    WriteSection(entries);
    EXPECT_FALSE(Load()) << entries;
    EXPECT_EQ(error_.rfind("profile " + path_ + ": " + message, 0), 0u) << entries << "\n" << error_;
  }
  WriteSection("<work_offset_g55_y>-1000000</work_offset_g55_y>");
  EXPECT_TRUE(Load()) << error_;
}

// Saving the offsets a run left: only the section kvhost changes, whatever else the file holds.
TEST_F(MachineConfigTest, SavingOffsetsChangesOnlyTheirEntriesAndKeepsTheRestOfTheFile) {
  const std::string head = "<?xml version=\"1.0\"?>\n<!-- mine -->\n<profile>\n  <Preferences a=\"1\">x &amp; y</Preferences>\n"
                           "  <VEX><seg_len>3000</seg_len></VEX>\n";
  Write(head + "  <kvhost>\n    <steps_per_unit_x>1000</steps_per_unit_x>\n    <work_offset_g54_x>1</work_offset_g54_x>\n"
               "  </kvhost>\n  <After/>\n</profile>\n");
  ASSERT_TRUE(Load()) << error_;
  kvgcode::WorkSetup now = config_.motion.work;
  now.work_offsets[0][0] = 0.1;  // shortest form that reads back the same
  now.work_offsets[1][2] = -7.25;
  now.g92_offset[1] = 3;
  ASSERT_TRUE(SaveWorkOffsets(path_, config_.motion.work, now, error_)) << error_;
  std::ifstream in(path_, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.rfind(head + "  <kvhost>\n    <steps_per_unit_x>1000</steps_per_unit_x>\n"
                              "    <work_offset_g54_x>0.1</work_offset_g54_x>\n", 0),
            0u)
      << text;
  EXPECT_NE(text.find("<work_offset_g55_z>-7.25</work_offset_g55_z>"), std::string::npos) << text;
  EXPECT_NE(text.find("<g92_offset_y>3</g92_offset_y>"), std::string::npos) << text;
  EXPECT_NE(text.find("  </kvhost>\n  <After/>\n</profile>\n"), std::string::npos) << text;
  ASSERT_TRUE(Load()) << error_;
  EXPECT_EQ(config_.motion.work, now);  // the next run reads back exactly what was saved
}

TEST_F(MachineConfigTest, SavingNothingChangedOrIntoAnUnreadableProfileWritesNothing) {
  const std::string broken = "<profile><VEX><seg_len>3000</VEX></profile>";
  Write(broken);
  kvgcode::WorkSetup now;
  now.work_offsets[0][0] = 5;
  EXPECT_FALSE(SaveWorkOffsets(path_, kvgcode::WorkSetup{}, now, error_));
  EXPECT_NE(error_.find("were not saved"), std::string::npos) << error_;
  {
    // Closed before the file is removed: Windows removes no file that is open.
    std::ifstream in(path_, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), broken);
  }
  // Nothing changed: not even a file that is missing is created.
  fs::remove(path_);
  EXPECT_TRUE(SaveWorkOffsets(path_, now, now, error_)) << error_;
  EXPECT_FALSE(fs::exists(path_));
  // A missing profile with something to keep is created with just that.
  EXPECT_TRUE(SaveWorkOffsets(path_, kvgcode::WorkSetup{}, now, error_)) << error_;
  ASSERT_TRUE(Load()) << error_;
  EXPECT_DOUBLE_EQ(config_.motion.work.work_offsets[0][0], 5);
}

TEST_F(MachineConfigTest, EachUnusableValueIsRefusedNamingTheProfileAndTheKey) {
  struct Case {
    std::string entries;
    std::string message;  // what the error says after "profile PATH: "
  };
  const std::vector<Case> cases = {
      {"<steps_per_unit_x>0.0001</steps_per_unit_x>", "kvhost/steps_per_unit_x must be at least 1 step per unit (got 0.0001)"},
      {"<steps_per_unit_y>0.5</steps_per_unit_y>", "kvhost/steps_per_unit_y must be at least 1 step per unit (got 0.5)"},
      {"<steps_per_unit_z>0</steps_per_unit_z>", "kvhost/steps_per_unit_z must be at least 1 step per unit (got 0)"},
      {"<steps_per_unit_x>-800</steps_per_unit_x>", "kvhost/steps_per_unit_x must be at least 1 step per unit (got -800)"},
      {"<steps_per_unit_a>0</steps_per_unit_a>", "kvhost/steps_per_unit_a must be above 0 (got 0)"},
      {"<steps_per_unit_y>2e6</steps_per_unit_y>", "kvhost/steps_per_unit_y must be at most 1000000 (got 2000000)"},
      {"<steps_per_unit_x>800x</steps_per_unit_x>", "kvhost/steps_per_unit_x is not a finite number: \"800x\""},
      {"<steps_per_unit_x>inf</steps_per_unit_x>", "kvhost/steps_per_unit_x is not a finite number: \"inf\""},
      {"<max_velocity_x>nan</max_velocity_x>", "kvhost/max_velocity_x is not a finite number: \"nan\""},
      {"<max_velocity_x>0</max_velocity_x>", "kvhost/max_velocity_x must be above 0 units/s (got 0)"},
      {"<max_velocity_b>-30</max_velocity_b>", "kvhost/max_velocity_b must be above 0 units/s (got -30)"},
      {"<acceleration_z>0</acceleration_z>", "kvhost/acceleration_z must be above 0 units/s^2 (got 0)"},
      // 20000 mm/s at 800 steps/mm is 48000 steps in a 3 ms segment.
      {"<max_velocity_x>20000</max_velocity_x>",
       "kvhost/max_velocity_x 20000 units/s at kvhost/steps_per_unit_x 800 needs up to 48002 steps in one 3 ms "
       "segment; a segment holds at most 32767"},
      {"<steps_per_unit_y>300000</steps_per_unit_y>",
       "kvhost/max_velocity_y 50 units/s at kvhost/steps_per_unit_y 300000 needs up to 45002 steps in one 3 ms "
       "segment; a segment holds at most 32767"},
      {"<acceleration_x>1e10</acceleration_x>", "kvhost/acceleration_x 1e+10 units/s^2 at kvhost/steps_per_unit_x 800 "
       "changes the speed by 72000000 steps per segment from one 3 ms segment to the next; at most 32767"},
      {"<probe_feed>0</probe_feed>", "kvhost/probe_feed must be above 0 units/s (got 0)"},
      {"<probe_feed>-2</probe_feed>", "kvhost/probe_feed must be above 0 units/s (got -2)"},
      {"<probe_feed>20000</probe_feed>", "kvhost/probe_feed 20000 units/s at kvhost/steps_per_unit_x 800 needs up to"},
      {"<junction_deviation>-0.001</junction_deviation>",
       "kvhost/junction_deviation must be from 0 to 10 mm (got -0.001)"},
      {"<junction_deviation>10.001</junction_deviation>",
       "kvhost/junction_deviation must be from 0 to 10 mm (got 10.001)"},
      {"<junction_deviation>0.01mm</junction_deviation>", "kvhost/junction_deviation is not a finite number"},
      {"<home_speed_percent>0</home_speed_percent>",
       "kvhost/home_speed_percent must be a whole number of percent from 1 to 100 (got 0)"},
      {"<home_speed_percent>101</home_speed_percent>",
       "kvhost/home_speed_percent must be a whole number of percent from 1 to 100 (got 101)"},
      {"<home_speed_percent>50.5</home_speed_percent>",
       "kvhost/home_speed_percent must be a whole number of percent from 1 to 100 (got 50.5)"},
      {"<home_speed_percent>1e300</home_speed_percent>",
       "kvhost/home_speed_percent must be a whole number of percent from 1 to 100 (got 1e+300)"},
      {"<enabled_x>2</enabled_x>", "kvhost/enabled_x must be 0 or 1 (got 2)"},
      {"<enabled_c>0.5</enabled_c>", "kvhost/enabled_c must be 0 or 1 (got 0.5)"},
      {"<probe_pin>64</probe_pin>", "kvhost/probe_pin must be a board pin 0..63 (0 = not wired) (got 64)"},
      {"<home_pin_y>-1</home_pin_y>", "kvhost/home_pin_y must be a board pin 0..63 (0 = not wired) (got -1)"},
      {"<spindle_output_pin>1.5</spindle_output_pin>",
       "kvhost/spindle_output_pin must be a board pin 0..63 (0 = not wired) (got 1.5)"},
  };
  for (const Case& c : cases) {
    WriteSection(c.entries);
    EXPECT_FALSE(Load()) << c.entries;
    EXPECT_EQ(error_.rfind("profile " + path_ + ": " + c.message, 0), 0u) << c.entries << "\n" << error_;
  }
  // The segment period is the plug-in's: at 20 ms the default 50 mm/s X needs 32002 steps, at
  // 100 ms 500 mm/s far more than a segment holds.
  WriteSection("", "<seg_len>20000</seg_len>");
  EXPECT_TRUE(Load()) << error_;
  WriteSection("<max_velocity_x>500</max_velocity_x>", "<seg_len>100000</seg_len>");
  EXPECT_FALSE(Load());
  EXPECT_NE(error_.find("kvhost/max_velocity_x 500 units/s at kvhost/steps_per_unit_x 800 needs up to 40002 steps in "
                        "one 100 ms segment"),
            std::string::npos)
      << error_;
  // A probe feed the board's 16.16 fixed-point speed truncates to nothing: 1/65536 step per
  // segment is 6.357e-6 mm/s at 800 steps/mm and 3 ms.
  for (const char* feed : {"1e-300", "6.3e-06"}) {
    WriteSection(std::string("<probe_feed>") + feed + "</probe_feed>");
    EXPECT_FALSE(Load()) << feed;
    EXPECT_EQ(error_.rfind("profile " + path_ + ": kvhost/probe_feed " + feed + " units/s at kvhost/steps_per_unit_x 800 is ",
                           0),
              0u)
        << error_;
    EXPECT_NE(error_.find("the probe would not move"), std::string::npos) << error_;
  }
  WriteSection("<probe_feed>6.4e-06</probe_feed>");
  EXPECT_TRUE(Load()) << error_;
}

// The largest steps of one axis in any segment of a plan.
int MostStepsInASegment(const std::vector<kvgcode::PlanEvent>& segments, std::size_t axis) {
  int most = 0;
  for (const kvgcode::PlanEvent& e : segments) most = std::max(most, std::abs(e.steps[axis]));
  return most;
}

TEST_F(MachineConfigTest, TheJunctionDeviationIsTakenFromZeroToTenMillimetres) {
  for (const double deviation : {0.0, 0.05, 10.0}) {
    std::ostringstream entry;
    entry << "<junction_deviation>" << deviation << "</junction_deviation>";
    WriteSection(entry.str());
    ASSERT_TRUE(Load()) << error_;
    EXPECT_DOUBLE_EQ(config_.motion.junction_deviation_mm, deviation);
  }
}

TEST_F(MachineConfigTest, AcceptedEdgeValuesPlan) {
  // One step per unit on an enabled axis; X near what a 1.5 ms segment holds, in speed and in speed
  // change; a disabled A with half a step per degree; a probe feed near the edge; homing at 1 %.
  WriteSection("<steps_per_unit_x>1000</steps_per_unit_x><max_velocity_x>21820</max_velocity_x>"
               "<acceleration_x>1e7</acceleration_x><steps_per_unit_y>1</steps_per_unit_y>"
               "<max_velocity_y>1000</max_velocity_y><steps_per_unit_a>0.5</steps_per_unit_a>"
               "<probe_feed>21800</probe_feed><home_speed_percent>1</home_speed_percent>",
               "<seg_len>1500</seg_len>");
  ASSERT_TRUE(Load()) << error_;
  EXPECT_EQ(config_.home_speed_percent, 1);
  const kvgcode::Program program = kvgcode::testing::MustParse("G0 X500\nG1 Y1 F60\nG0 A3 Y-2\nG0 X0\n");
  const std::vector<kvgcode::PlanEvent> segments =
      kvgcode::testing::Segments(kvgcode::testing::PlanAll(program, config_.motion, config_.segment_time_s));
  ASSERT_FALSE(segments.empty());
  EXPECT_LE(MostStepsInASegment(segments, 0), kvgcode::kMaxSegmentSteps);
  EXPECT_GT(MostStepsInASegment(segments, 0), 30000) << "X reaches its full speed";
  const kvgcode::PlanSummary plan = kvgcode::Summarize(program, config_.motion, config_.segment_time_s);
  ASSERT_FALSE(plan.error) << *plan.error;
  EXPECT_EQ(plan.end_steps[0], 0);
  EXPECT_EQ(plan.end_steps[1], -2) << "Y went to 1 (one step) and then to -2";
  EXPECT_EQ(plan.end_steps[3], 2) << "3 degrees at 0.5 steps per degree, rounded";
}

}  // namespace
}  // namespace kvhost
