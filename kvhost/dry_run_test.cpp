// kvhost --dry-run: the summary JSON it writes for scripts that check a program before cutting,
// and the paths it refuses to write it over. Runs the kvhost binary (the dry run loads neither
// the plug-in nor a board).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "machine_config.h"
#include "plan_summary.h"
#include "run_summary.h"
#include "kvhost_run_test_support.h"
#include "test_support.h"

namespace kvhost {
namespace {

namespace fs = std::filesystem;

using run_test::Has;
using run_test::ReadText;

TEST(DryRunSummary, TheJsonHoldsThePlanAndNothingOfARun) {
  const kvgcode::MachineSettings settings = kvgcode::DefaultMillSettings();
  const kvgcode::PlanSummary plan =
      kvgcode::Summarize(kvgcode::testing::MustParse("G21 G90\nG1 X10 Y-5 F600\nG4 P0.5\nG0 Z2\nM30\n"), settings, 0.003);
  ASSERT_FALSE(plan.error) << *plan.error;
  const std::string json = SummaryJson(DryRunSummary(plan, settings, 0.003));
  EXPECT_EQ(json.rfind("{\"completed\":false,\"dry_run\":true,", 0), 0u) << json;
  EXPECT_TRUE(Has(json, "\"segments_planned\":" + std::to_string(plan.segments) + ",")) << json;
  EXPECT_TRUE(Has(json, "\"segments_total\":" + std::to_string(plan.segments) + ",")) << json;
  EXPECT_TRUE(Has(json, "\"segment_time_s\":0.003,")) << json;
  std::ostringstream estimate;
  estimate.precision(12);
  estimate << plan.estimated_time_s;
  EXPECT_TRUE(Has(json, "\"estimated_time_s\":" + estimate.str() + ",")) << json;
  EXPECT_TRUE(Has(json, "\"dwell_time_s\":0.5,")) << json;
  EXPECT_TRUE(Has(json, "\"steps_per_unit\":[800,800,800,100,100,100]")) << json;
  EXPECT_TRUE(Has(json, "\"program_end_steps\":[8000,-4000,1600,0,0,0]")) << json;
  EXPECT_TRUE(Has(json, "\"program_end_units\":[10,-5,2,0,0,0]")) << json;
  EXPECT_FALSE(Has(json, "axis_position")) << "no machine moved";
  EXPECT_FALSE(Has(json, "wall_s")) << "nothing ran";
  EXPECT_FALSE(Has(json, "error")) << json;

  RunSummary real;  // a real run keeps its keys
  real.run.completed = true;
  const std::string run_json = SummaryJson(real);
  EXPECT_EQ(run_json.rfind("{\"completed\":true,\"dry_run\":false,", 0), 0u) << run_json;
  for (const char* key : {"\"estop\":", "\"timed_out\":", "\"segments_planned\":", "\"segments_total\":", "\"wall_s\":",
                          "\"segment_time_s\":", "\"steps_per_unit\":", "\"program_end_steps\":", "\"axis_position\":"}) {
    EXPECT_TRUE(Has(run_json, key)) << key;
  }
}

class KvhostDryRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kvhost-dry-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    program_ = dir_ / "prog.nc";
    profile_ = dir_ / "profile.xml";
    json_ = dir_ / "summary.json";
    std::ofstream(program_) << "G21 G90\nG1 X10 Y2.5 F1200\nG0 X0\nG0 Z-1\nM30\n";
    std::ofstream(profile_) << "<profile><VEX><seg_len>2000</seg_len></VEX><kvhost><steps_per_unit_x>1000"
                               "</steps_per_unit_x><steps_per_unit_z>400</steps_per_unit_z></kvhost></profile>";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs kvhost with `arguments`; its exit code, with standard output and error kept.
  int Kvhost(const std::string& arguments) {
    return run_test::RunProgram(KVHOST_BINARY, arguments, dir_, stdout_, stderr_);
  }
  static std::string Quoted(const fs::path& path) { return "\"" + path.string() + "\""; }

  fs::path dir_, program_, profile_, json_;
  std::string stdout_, stderr_;
};

TEST_F(KvhostDryRun, WritesTheSummaryJsonOfThePlan) {
  ASSERT_EQ(Kvhost("--dry-run --profile " + Quoted(profile_) + " --summary-json " + Quoted(json_) + " " +
                   Quoted(program_)),
            0)
      << stderr_;
  const std::string json = ReadText(json_);
  EXPECT_EQ(json.rfind("{\"completed\":false,\"dry_run\":true,", 0), 0u) << json;
  EXPECT_TRUE(Has(json, "\"segment_time_s\":0.002,")) << "the plug-in's period from the profile: " << json;
  EXPECT_TRUE(Has(json, "\"steps_per_unit\":[1000,800,400,100,100,100]")) << json;
  EXPECT_TRUE(Has(json, "\"program_end_steps\":[0,2000,-400,0,0,0]")) << json;
  EXPECT_TRUE(Has(json, "\"estimated_time_s\":")) << json;
  EXPECT_TRUE(Has(stdout_, "segments at 2.000 ms")) << stdout_;
}

TEST_F(KvhostDryRun, APlanThatFailsStillWritesTheJsonWithTheError) {
  std::ofstream(program_) << "G0 X10\nG1 X1000 F0.000001\n";  // parses, but the move would take 2000 years
  EXPECT_EQ(Kvhost("--dry-run --profile " + Quoted(profile_) + " --summary-json " + Quoted(json_) + " " +
                   Quoted(program_)),
            1);
  const std::string json = ReadText(json_);
  EXPECT_TRUE(Has(json, "\"completed\":false")) << json;
  EXPECT_TRUE(Has(json, "\"error\":\"line 2: move would take")) << json;
  EXPECT_TRUE(Has(json, "\"program_end_steps\":[10000,0,0,0,0,0]")) << "what was planned before: " << json;
  EXPECT_TRUE(Has(stderr_, "line 2:")) << stderr_;
}

TEST_F(KvhostDryRun, RefusesASummaryPathThatIsTheProgramOrTheProfile) {
  const std::string program_text = ReadText(program_);
  const std::string profile_text = ReadText(profile_);
  const fs::path other_spelling = dir_ / "." / ".." / dir_.filename() / "prog.nc";
  fs::create_hard_link(profile_, dir_ / "profile-link.xml");
  for (const fs::path& target : {program_, other_spelling, profile_, dir_ / "profile-link.xml"}) {
    EXPECT_EQ(Kvhost("--dry-run --profile " + Quoted(profile_) + " --summary-json " + Quoted(target) + " " +
                     Quoted(program_)),
              2)
        << target;
    EXPECT_TRUE(Has(stderr_, "the summary would overwrite it")) << stderr_;
  }
  EXPECT_EQ(ReadText(program_), program_text);
  EXPECT_EQ(ReadText(profile_), profile_text);
  // The default profile counts too.
  EXPECT_EQ(Kvhost("--dry-run --summary-json kvhost-profile.xml " + Quoted(program_)), 2);
}

TEST_F(KvhostDryRun, AnUnusableProfileStopsItNamingTheProfileAndTheKey) {
  std::ofstream(profile_) << "<profile><kvhost><steps_per_unit_x>1000</steps_per_unit_y></kvhost></profile>";
  EXPECT_EQ(Kvhost("--dry-run --profile " + Quoted(profile_) + " --summary-json " + Quoted(json_) + " " +
                   Quoted(program_)),
            1);
  EXPECT_TRUE(Has(stderr_, "kvhost: profile " + profile_.string() + ": cannot be parsed as an XML document"))
      << stderr_;
  EXPECT_FALSE(fs::exists(json_)) << "nothing was planned";

  std::ofstream(profile_) << "<profile><kvhost><probe_feed>0</probe_feed></kvhost></profile>";
  EXPECT_EQ(Kvhost("--dry-run --profile " + Quoted(profile_) + " " + Quoted(program_)), 1);
  EXPECT_TRUE(Has(stderr_, "kvhost: profile " + profile_.string() + ": kvhost/probe_feed must be above 0")) << stderr_;

  fs::remove(profile_);  // no profile at all: the defaults
  EXPECT_EQ(Kvhost("--dry-run --profile " + Quoted(profile_) + " " + Quoted(program_)), 0) << stderr_;
}

}  // namespace
}  // namespace kvhost
