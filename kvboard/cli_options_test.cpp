// The kvboard program's command line: every option into the configuration, and the refusals.
#include "cli_options.h"

#include <gtest/gtest.h>

#include <vector>

namespace kvboard {
namespace {

bool Parse(std::vector<const char*> args, CliOptions& out, std::string& error) {
  args.insert(args.begin(), "kvboard");
  return ParseCli(static_cast<int>(args.size()), args.data(), out, error);
}

TEST(CliOptions, EveryOptionLandsInTheConfiguration) {
  CliOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"--discovery-port", "0", "--plugin-port", "30000", "--connect", "--no-reconnect", "--resume-queue", "--serial",
                     "XY", "--model", "51", "--firmware", "300", "--axes", "4", "--divisors", "7,9", "--loader",
                     "--report-ms", "20", "--home", "1,5,-1000", "--limits", "0,3,-50,4,50000", "--probe",
                     "15,2,-500,above", "--time-limit", "2.5", "--verbose"},
                    o, error))
      << error;
  const BoardConfig& b = o.board;
  EXPECT_EQ(b.discovery_port, 0);
  EXPECT_EQ(b.plugin_port, 30000);
  EXPECT_TRUE(b.connect_direct);
  EXPECT_FALSE(b.reconnect);
  EXPECT_TRUE(b.resume_queue);
  EXPECT_EQ(b.serial, "XY");
  EXPECT_EQ(b.model, 51);
  EXPECT_EQ(b.firmware, 300);
  EXPECT_EQ(b.axis_count, 4);
  EXPECT_EQ(b.divisor_a, 7);
  EXPECT_EQ(b.divisor_b, 9);
  EXPECT_TRUE(b.in_loader);
  EXPECT_EQ(b.report_period_ms, 20u);
  EXPECT_EQ(b.machine[1].home_pin, 5);
  EXPECT_EQ(b.machine[1].home_steps, -1000);
  EXPECT_TRUE(b.machine[1].home_active_below);
  EXPECT_EQ(b.machine[0].limit_min_pin, 3);
  EXPECT_EQ(b.machine[0].limit_min_steps, -50);
  EXPECT_EQ(b.machine[0].limit_max_pin, 4);
  EXPECT_EQ(b.machine[0].limit_max_steps, 50000);
  EXPECT_EQ(b.probe_pin, 15);
  EXPECT_EQ(b.machine[2].probe_steps, -500);
  EXPECT_FALSE(b.machine[2].probe_active_below);
  EXPECT_EQ(o.time_limit_s, 2.5);
  EXPECT_TRUE(b.verbose);
}

TEST(CliOptions, DefaultsAreALoopbackBoardAndBadValuesAreRefused) {
  CliOptions o;
  std::string error;
  ASSERT_TRUE(Parse({}, o, error));
  EXPECT_EQ(o.board.discovery_port, 9000);
  EXPECT_EQ(o.board.plugin_port, 20176);
  EXPECT_FALSE(o.board.connect_direct);
  EXPECT_FALSE(o.time_limit_s);

  const std::vector<std::vector<const char*>> bad = {
      {"--plugin-port", "0"},   {"--plugin-port", "65536"}, {"--discovery-port", "x"}, {"--serial", "123456789"},
      {"--model", "256"},       {"--axes", "7"},            {"--divisors", "0,10"},    {"--divisors", "36"},
      {"--home", "6,5,0"},      {"--home", "0,64,0"},       {"--probe", "15,2"},       {"--limits", "0,3,50,4,-50"},
      {"--time-limit", "-1"},   {"--time-limit", "nan"},    {"--report-ms", "0"},      {"--frobnicate"},
      {"--model"}};
  for (const auto& args : bad) {
    CliOptions out;
    std::string why;
    EXPECT_FALSE(Parse(args, out, why)) << args[0];
    EXPECT_FALSE(why.empty()) << args[0];
  }
}

TEST(CliOptions, PendantsAndTheirKeys) {
  CliOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"--pendant", "0,18", "--pendant", "1,20", "--pendant-key", "0,12@1.5s", "--pendant-key",
                     "0,140@2s"},
                    o, error))
      << error;
  ASSERT_EQ(o.pendants.size(), 2u);
  EXPECT_EQ(o.pendants[0].channel, 0);
  EXPECT_EQ(o.pendants[0].kind, 18);
  EXPECT_EQ(o.pendants[1].channel, 1);
  EXPECT_EQ(o.pendants[1].kind, 20);
  ASSERT_EQ(o.pendant_keys.size(), 2u);
  EXPECT_EQ(o.pendant_keys[0].key_byte, 12);
  EXPECT_DOUBLE_EQ(o.pendant_keys[0].at_s, 1.5);
  EXPECT_EQ(o.pendant_keys[1].key_byte, 140);
  for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{
           {"--pendant", "2,18"}, {"--pendant", "0,16"}, {"--pendant", "0"}, {"--pendant", "0,18", "--pendant", "0,19"},
           {"--pendant-key", "0,12"}, {"--pendant-key", "2,12@1s"}, {"--pendant-key", "0,256@1s"},
           {"--pendant-key", "0,12@-1s"}, {"--pendant-key", "0,12@1"}}) {
    CliOptions refused;
    EXPECT_FALSE(Parse(bad, refused, error)) << bad[1];
  }
}

}  // namespace
}  // namespace kvboard
