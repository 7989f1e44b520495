// The real plug-in library loaded by kvhost: start-up, settings and shut-down.
#include "host_session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "loopback_ports.h"
#include "platform/dialog.h"
#include "platform/xml_document.h"

namespace kvhost {
namespace {

namespace fs = std::filesystem;

class HostSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kvhost-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    profile_ = (dir_ / "profile.xml").string();
    std::string error;
    ASSERT_TRUE(session_.Load(DefaultPluginPath(), error)) << error;
    // Nothing here needs a board, but discovery must still never leave loopback: a port on
    // 127.0.0.1 that nothing listens on, and a free listening port.
    ASSERT_TRUE(session_.SetEndpoints({"127.0.0.1", FreeUdpPort(), FreeTcpPort()}, error)) << error;
  }
  void TearDown() override {
    session_.ShutDown();
    fs::remove_all(dir_);
  }
  // The text of entry VEX/key in the saved profile, or "<missing>".
  std::string Saved(const std::string& key) {
    platform::XmlDocument doc;
    if (!doc.Load(profile_)) return "<unreadable>";
    platform::XmlElement entry = doc.Root().FirstChild("VEX").FirstChild(key);
    return entry ? entry.Text() : "<missing>";
  }

  HostMachine machine_;
  HostSession session_{machine_};
  fs::path dir_;
  std::string profile_;
};

TEST_F(HostSessionTest, AnEmptyProfileGivesTheDefaultsAndStopPlugWritesAllNineKeys) {
  std::string name = session_.StartUp(profile_);
  EXPECT_EQ(name, "Kalvero Corvanta PlugIn Ver 3.0b");
  EXPECT_EQ(machine_.planner().queue_limit, 450);
  EXPECT_DOUBLE_EQ(machine_.planner().segment_time, 0.003);
  EXPECT_EQ(machine_.planner().settings_applied, 1);
  EXPECT_EQ(machine_.view().view_flag, 0) << "InitControl clears the view's flag";
  session_.ShutDown();
  EXPECT_EQ(Saved("lim_buffer"), "450");
  EXPECT_EQ(Saved("seg_len"), "3000");
  EXPECT_EQ(Saved("mpg_src"), "0");
  for (int k = 0; k < 6; ++k) EXPECT_EQ(Saved("backlash_pos" + std::to_string(k)), "0") << k;
}

TEST_F(HostSessionTest, StoredSettingsArePushedAndBacklashSurvivesARunWithoutABoard) {
  std::ofstream(profile_) << "<profile><Host a=\"1\"/><VEX><seg_len>2000</seg_len><mpg_src>1</mpg_src>"
                             "<lim_buffer>99</lim_buffer><backlash_pos2>17</backlash_pos2>"
                             "<backlash_pos5>-4</backlash_pos5></VEX></profile>";
  session_.StartUp(profile_);
  EXPECT_DOUBLE_EQ(machine_.planner().segment_time, 0.002);
  EXPECT_EQ(machine_.planner().queue_limit, 450) << "the window is always 450, whatever is stored";
  session_.ShutDown();
  EXPECT_EQ(Saved("seg_len"), "2000");
  EXPECT_EQ(Saved("mpg_src"), "1");
  EXPECT_EQ(Saved("lim_buffer"), "450");
  EXPECT_EQ(Saved("backlash_pos2"), "17");
  EXPECT_EQ(Saved("backlash_pos5"), "-4");
  std::stringstream text;
  text << std::ifstream(profile_).rdbuf();
  EXPECT_NE(text.str().find("<Host a=\"1\""), std::string::npos) << "the host's section is kept";
}

TEST_F(HostSessionTest, SetProNameTwiceGivesTheSameNameAndPushesAfterInit) {
  std::string first = session_.StartUp(profile_);
  std::ofstream(profile_) << "<profile><VEX><seg_len>1500</seg_len></VEX></profile>";
  std::string second = session_.api().SetProName(host::MakeHostString(profile_));
  EXPECT_EQ(first, second);
  EXPECT_DOUBLE_EQ(machine_.planner().segment_time, 0.0015) << "with the planner known, the push is at once";
}

TEST_F(HostSessionTest, ConfigShowsOneDialogWithTheDefaultIdentityAndSavesTheProfile) {
  session_.StartUp(profile_);
  fs::remove(profile_);
  session_.api().Config();
  EXPECT_TRUE(fs::exists(profile_)) << "closing the store around the dialog writes the document";
  ASSERT_EQ(platform::OpenDialogs().size(), 1u);
  platform::Dialog& dialog = *platform::OpenDialogs()[0];
  EXPECT_TRUE(dialog.Visible());
  EXPECT_EQ(dialog.ItemText(4164), "Kv serious");
  EXPECT_EQ(dialog.ItemText(4165), "UNKNOW");
  EXPECT_EQ(dialog.ItemText(4166), "Waiting");
  EXPECT_EQ(dialog.ItemText(4167), "-");
  EXPECT_EQ(dialog.ItemText(4168), "0.0.0.3");
  EXPECT_EQ(dialog.ItemText(4169), "0");
  EXPECT_EQ(dialog.ItemText(4170), "0K");
  EXPECT_TRUE(dialog.Checked(4203));
  EXPECT_FALSE(dialog.Checked(4199));

  // The pendant choice: the two boxes behave as one exclusive choice, saved at StopPlug.
  platform::ClickDialogItem(dialog, 4203, true);  // unchecking Standard-MPG selects KV-MPG
  EXPECT_TRUE(dialog.Checked(4199));
  platform::ClickDialogItem(dialog, 1);  // OK hides it
  EXPECT_FALSE(dialog.Visible());
  session_.api().Config();
  EXPECT_EQ(platform::OpenDialogs().size(), 1u) << "the same dialog is shown again";
  EXPECT_TRUE(dialog.Visible());
  session_.ShutDown();
  EXPECT_TRUE(platform::OpenDialogs().empty()) << "StopPlug destroys the dialog";
  EXPECT_EQ(Saved("mpg_src"), "1");
}

TEST_F(HostSessionTest, StopPlugWithoutABoardReturnsWithoutTheStopFrameWait) {
  session_.StartUp(profile_);
  auto start = std::chrono::steady_clock::now();
  session_.ShutDown();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(ms, 450) << "no link: nothing is sent and there is no 500 ms wait";
}

TEST(PluginLoader, AMissingExportIsNamed) {
  platform::Library library;
  PluginApi api;
  std::string error;
  EXPECT_FALSE(LoadPlugin(KV_PLATFORM_LIBRARY, library, api, error));
  EXPECT_NE(error.find("does not export SetProName"), std::string::npos) << error;
  EXPECT_FALSE(LoadPlugin("/nonexistent/Kalvero.so", library, api, error));
  EXPECT_NE(error.find("cannot load plug-in /nonexistent/Kalvero.so"), std::string::npos) << error;
}

}  // namespace
}  // namespace kvhost
