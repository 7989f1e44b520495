// kvhost's command line: the accepted forms and the usage errors.
#include "options.h"

#include <gtest/gtest.h>

#include <vector>

namespace kvhost {
namespace {

bool Parse(std::vector<const char*> args, Options& out, std::string& error) {
  args.insert(args.begin(), "kvhost");
  return ParseOptions(static_cast<int>(args.size()), args.data(), out, error);
}

TEST(Options, AcceptsEveryOption) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--plugin", "p.so", "--profile", "x.xml", "--board", "external", "--listen-port", "30000",
                     "--discovery", "127.0.0.1:9100", "--time-limit", "2.5", "--summary-json", "s.json", "--dry-run",
                     "prog.nc"},
                    o, error))
      << error;
  EXPECT_EQ(o.plugin_path, "p.so");
  EXPECT_EQ(o.profile_path, "x.xml");
  EXPECT_EQ(o.board, "external");
  EXPECT_EQ(o.listen_port, 30000);
  EXPECT_EQ(o.discovery.value(), "127.0.0.1:9100");
  EXPECT_DOUBLE_EQ(o.time_limit_s.value(), 2.5);
  EXPECT_EQ(o.summary_json, "s.json");
  EXPECT_TRUE(o.dry_run);
  EXPECT_EQ(o.program, "prog.nc");
}

TEST(Options, RejectsBadValues) {
  for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{
           {"--board", "usb"}, {"--listen-port", "0"}, {"--listen-port", "70000"}, {"--listen-port", "12x"},
           {"--discovery", "127.0.0.1"}, {"--discovery", ":9000"}, {"--time-limit", "-1"}, {"--time-limit", "nan"},
           {"--profile"}, {"--frobnicate"}, {"a.nc", "b.nc"}}) {
    Options o;
    std::string error;
    EXPECT_FALSE(Parse(bad, o, error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace kvhost
