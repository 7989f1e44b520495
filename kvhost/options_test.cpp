// kvhost's command line: the accepted forms and the usage errors.
#include "options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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

TEST(Options, TheDialogCommandsGoAloneAndOneAtATime) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--upgrade", "fw.bin", "--link", "usb"}, o, error)) << error;
  EXPECT_EQ(o.upgrade, "fw.bin");
  Options c;
  ASSERT_TRUE(Parse({"--upload-config", "a.xconf.cfg"}, c, error)) << error;
  EXPECT_EQ(c.upload_config, "a.xconf.cfg");
  Options d;
  ASSERT_TRUE(Parse({"--dialog"}, d, error)) << error;
  EXPECT_TRUE(d.dialog);
  for (const std::vector<const char*>& args : std::vector<std::vector<const char*>>{
           {"--dialog", "--upgrade", "fw.bin"}, {"--upgrade", "fw.bin", "prog.nc"}, {"--upload-config", "x", "--watch"},
           {"--dialog", "--dry-run", "prog.nc"}}) {
    Options bad;
    EXPECT_FALSE(Parse(args, bad, error)) << args[0] << " " << args[1];
    EXPECT_NE(error.find("go alone"), std::string::npos) << error;
  }
  Options missing;
  EXPECT_FALSE(Parse({"--upgrade"}, missing, error));
  EXPECT_EQ(error, "--upgrade needs a value");
}

TEST(Options, APlotGoesWithAProgramAndNeedsAName) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--plot", "path.svg", "--dry-run", "prog.nc"}, o, error)) << error;
  EXPECT_EQ(o.plot, "path.svg");
  Options run;
  ASSERT_TRUE(Parse({"--plot", "path.svg", "prog.nc"}, run, error)) << error;
  Options missing;
  EXPECT_FALSE(Parse({"prog.nc", "--plot"}, missing, error));
  EXPECT_EQ(error, "--plot needs a value");
  Options empty;
  EXPECT_FALSE(Parse({"--plot", "", "prog.nc"}, empty, error));
  EXPECT_EQ(error, "--plot needs a file name");
  for (const std::vector<const char*>& args : std::vector<std::vector<const char*>>{
           {"--plot", "p.svg"}, {"--plot", "p.svg", "--dialog"}, {"--plot", "p.svg", "--watch"}}) {
    Options bad;
    EXPECT_FALSE(Parse(args, bad, error)) << args.back();
  }
  Options same;
  EXPECT_FALSE(Parse({"--summary-json", "out", "--plot", "out", "prog.nc"}, same, error));
  EXPECT_EQ(error, "--plot out is the summary out; the plot would overwrite it");
}

TEST(Options, LinkIsEthernetUnlessUsbIsChosen) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({}, o, error)) << error;
  EXPECT_EQ(o.link, "ethernet");
  ASSERT_TRUE(Parse({"--link", "usb"}, o, error)) << error;
  EXPECT_EQ(o.link, "usb");
  Options bad;
  EXPECT_FALSE(Parse({"--link", "serial"}, bad, error));
  EXPECT_FALSE(Parse({"--link"}, bad, error));
}

TEST(Options, WatchRunsNoProgram) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--watch", "--time-limit", "5"}, o, error)) << error;
  EXPECT_TRUE(o.watch);
  Options with_program;
  EXPECT_FALSE(Parse({"--watch", "prog.nc"}, with_program, error));
  Options with_dry_run;
  EXPECT_FALSE(Parse({"--watch", "--dry-run", "prog.nc"}, with_dry_run, error));
}

TEST(Options, RejectsBadValues) {
  for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{
           {"--board", "usb"}, {"--listen-port", "0"}, {"--listen-port", "70000"}, {"--listen-port", "12x"},
           {"--discovery", "127.0.0.1"}, {"--discovery", ":9000"}, {"--time-limit", "-1"}, {"--time-limit", "nan"},
           {"--time-limit", "2147484"}, {"--time-limit", "1e300"}, {"--await-reconnect", "0"},
           {"--profile"}, {"--frobnicate"}, {"a.nc", "b.nc"}}) {
    Options o;
    std::string error;
    EXPECT_FALSE(Parse(bad, o, error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
}

TEST(Options, TheTimeLimitReachesAsFarAsTheClockAndNoFurther) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--time-limit", "2147483", "--await-reconnect", "5"}, o, error)) << error;
  EXPECT_EQ(*o.time_limit_s, 2147483.0);
  EXPECT_EQ(*o.await_reconnect_s, 5.0);
  Options beyond;
  EXPECT_FALSE(Parse({"--time-limit", "4294968"}, beyond, error)) << "would wrap the millisecond clock";
  EXPECT_NE(error.find("at most 2147483"), std::string::npos) << error;
}

TEST(Options, RefusesASummaryOverTheProgramTheProfileOrThePlugin) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / "kvhost-options-summary";
  fs::remove_all(dir);
  fs::create_directories(dir / "sub");
  const std::string program = (dir / "prog.nc").string();
  std::ofstream(program) << "G0 X1\n";
  const std::string dotted = (dir / "sub" / ".." / "prog.nc").string();
  const std::string not_yet = (dir / "new-profile.xml").string();  // the plug-in creates it at the end
  for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{
           {"--summary-json", program.c_str(), program.c_str()},
           {"--summary-json", dotted.c_str(), program.c_str()},
           {"--profile", not_yet.c_str(), "--summary-json", not_yet.c_str()},
           {"--summary-json", "kvhost-profile.xml"},  // the default profile
           {"--plugin", program.c_str(), "--summary-json", dotted.c_str()}}) {
    Options o;
    std::string error;
    EXPECT_FALSE(Parse(bad, o, error)) << bad[1];
    EXPECT_NE(error.find("the summary would overwrite it"), std::string::npos) << error;
  }
  Options o;
  std::string error;
  EXPECT_TRUE(Parse({"--profile", not_yet.c_str(), "--summary-json", (dir / "s.json").string().c_str(), program.c_str()}, o,
                    error))
      << error;
  EXPECT_TRUE(SameFile(program, dotted));
  EXPECT_FALSE(SameFile(program, not_yet));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kvhost
