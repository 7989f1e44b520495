// The settings between the profile file, the plug-in state and the board's backlash reports,
// loaded and saved as SetProName and StopPlug do it.
#include "shell/settings.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "profile/profile_store.h"
#include "runtime/diagnostics.h"
#include "service/receive_parser.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"
#include "testing/scratch_profile.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> BacklashReport(const std::array<std::int32_t, 6>& steps) {
  std::vector<std::uint8_t> body{0xCF, 0x29};
  for (std::int32_t s : steps) {
    for (int i = 0; i < 4; ++i) body.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(s) >> (8 * i)));
  }
  return body;
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DiagInit();
    state.backlash_reported = false;
    for (auto& b : state.backlash_board) b = 0;
  }
  void TearDown() override {
    state.backlash_reported = false;
  }

  void WriteFile(const std::string& text) { scratch_.Write(text); }
  std::string ReadFile() const { return scratch_.Read(); }
  void Load() {
    ProfileStore store(path_);
    LoadSettings(store);
  }
  void Save() {
    ProfileStore store(path_);
    SaveSettings(store);
  }
  std::int32_t Saved(const std::string& key) {
    ProfileStore store(path_);
    return store.ReadInt(kSettingsSection, key, -999);
  }

  testing::FakeHost host_;
  testing::ScratchProfile scratch_{"kv-settings-"};
  const std::string& path_ = scratch_.path();
};

TEST_F(SettingsTest, AReportedBacklashIsSavedOnlyWhenItCanBeOne) {
  WriteFile("<profile><VEX><backlash_pos0>12</backlash_pos0><backlash_pos5>-4</backlash_pos5></VEX></profile>");
  Load();
  parse_board_frame(BacklashReport({2000000000, 1, 2, 3, 4, 5}));
  EXPECT_FALSE(state.backlash_reported.load()) << "a damaged report is not taken";
  EXPECT_EQ(state.backlash_board[1].load(), 0);
  Save();
  EXPECT_EQ(Saved("backlash_pos0"), 12) << "the loaded value stays";
  EXPECT_EQ(Saved("backlash_pos1"), 0);
  EXPECT_EQ(Saved("backlash_pos5"), -4);

  parse_board_frame(BacklashReport({7, -3, 0, 0, 0, 32767}));
  EXPECT_TRUE(state.backlash_reported.load());
  parse_board_frame(BacklashReport({1, 1, 1, 1, 1, -2147483647 - 1}));  // a later damaged one changes nothing
  Save();
  EXPECT_EQ(Saved("backlash_pos0"), 7);
  EXPECT_EQ(Saved("backlash_pos1"), -3);
  EXPECT_EQ(Saved("backlash_pos5"), 32767);
}

TEST_F(SettingsTest, ABacklashThatCannotBeOneIsNeitherSavedNorLoaded) {
  // A profile an earlier damaged report was saved into.
  WriteFile("<profile><VEX><backlash_pos0>2000000000</backlash_pos0><backlash_pos1>-40000</backlash_pos1>"
            "<backlash_pos2>-32768</backlash_pos2></VEX></profile>");
  Load();
  EXPECT_EQ(state.backlash_cfg[0].load(), 0);
  EXPECT_EQ(state.backlash_cfg[1].load(), 0);
  EXPECT_EQ(state.backlash_cfg[2].load(), -32768);
  Save();
  EXPECT_EQ(Saved("backlash_pos0"), 0) << "mended";
  EXPECT_EQ(Saved("backlash_pos2"), -32768);

  // Whatever put it there, a value in backlash_board that does not fit is not written.
  state.backlash_cfg[3] = 9;
  state.backlash_board[3] = 1 << 20;
  state.backlash_reported = true;
  Save();
  EXPECT_EQ(Saved("backlash_pos3"), 9);
}

TEST_F(SettingsTest, AnUnparseableProfileIsLeftAsItWasThroughLoadAndSave) {
  const std::string damaged =
      "<?xml version=\"1.0\"?>\n<profile>\n  <Preferences><Units>mm</Unit></Preferences>\n"
      "  <VEX><seg_len>2000</seg_len><mpg_src>1</mpg_src></VEX>\n</profile>\n";
  WriteFile(damaged);
  Load();  // as SetProName
  EXPECT_EQ(state.seg_len.load(), kDefaultSegLenUs);
  EXPECT_EQ(state.mpg_src.load(), 0);
  Save();  // as StopPlug
  EXPECT_EQ(ReadFile(), damaged);
  EXPECT_NE(host_.Status().find("cannot be read"), std::string::npos) << host_.Status();
}

// The stream feeds at most 20 segments per supervisor run (about every 30 ms): a period below
// 1500 us runs the board dry, and above 100000 us the pulse figure overflows on fast boards.
// Such a seg_len keeps the default and says so on the status line once the host's blocks are
// there.
TEST_F(SettingsTest, ASegLenTheStreamCannotUseKeepsTheDefaultWithAStatusMessage) {
  for (const auto& [stored, used] : std::vector<std::pair<std::string, std::int32_t>>{
           {"1499", kDefaultSegLenUs}, {"1500", 1500}, {"500", kDefaultSegLenUs}, {"1", kDefaultSegLenUs},
           {"0", kDefaultSegLenUs}, {"-3000", kDefaultSegLenUs}, {"100000", 100000}, {"100001", kDefaultSegLenUs},
           {"2147483647", kDefaultSegLenUs}}) {
    WriteFile("<profile><VEX><seg_len>" + stored + "</seg_len></VEX></profile>");
    host::HostStringAssign(host_.planner().status_text, "");
    Load();
    EXPECT_EQ(state.seg_len.load(), used) << stored;
    SettingsPush();
    if (used == kDefaultSegLenUs) {
      EXPECT_EQ(host_.Status(), "seg_len " + stored + " us is outside 1500..100000 us: the segment period stays 3000 us")
          << stored;
    } else {
      EXPECT_EQ(host_.Status(), "") << stored;
    }
  }
}

TEST_F(SettingsTest, AnEmptyProfileGetsAllNineKeys) {
  Load();
  Save();
  for (const char* key : {"lim_buffer", "seg_len", "mpg_src", "backlash_pos0", "backlash_pos1", "backlash_pos2",
                          "backlash_pos3", "backlash_pos4", "backlash_pos5"}) {
    EXPECT_NE(Saved(key), -999) << key;
  }
  EXPECT_EQ(Saved("seg_len"), 3000);
  EXPECT_EQ(Saved("lim_buffer"), 450);
}

}  // namespace
}  // namespace kv
