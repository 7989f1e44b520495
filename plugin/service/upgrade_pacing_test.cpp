// The firmware upgrade's pacing, the loader's only flow control: the wait after each block, the
// waits around the end message, their defaults, and all of them across the 32-bit tick wrap.
// Only lower bounds are asserted, so a loaded machine cannot fail them.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "service/firmware_upgrade.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

struct Sent {
  std::uint8_t code;
  std::uint32_t tick;
};
std::vector<Sent> sent;
std::vector<std::uint32_t> close_ticks;

bool RawSend(const std::uint8_t* bytes, std::int32_t) {
  if (state.link_open.load() == 0) return false;
  sent.push_back({bytes[0], platform::TickMs()});
  return true;
}
bool Close() {
  close_ticks.push_back(platform::TickMs());
  state.link_open = 0;
  return true;
}
bool IsOpen() { return state.link_open.load() != 0; }

class UpgradePacingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sent.clear();
    close_ticks.clear();
    state.link_send_raw = RawSend;
    state.link_close = Close;
    state.link_is_open = IsOpen;
    state.link_open = 1;
    state.upgrade_requested = true;
    state.dialog_hwnd = nullptr;
    // One file per test: ctest runs the tests of this fixture at once, in processes of their own.
    image_ = fs::temp_directory_path() / ("kv-upgrade-pacing-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".bin");
    std::ofstream(image_, std::ios::binary) << std::string(5 * 48, 'k');
    state.upgrade_path.Set(image_.string());
  }
  void TearDown() override {
    SetUpgradePacing({0, 0, 0, 0});
    state.link_open = 0;
    state.link_is_open = nullptr;
    state.link_send_raw = nullptr;
    state.link_close = nullptr;
    state.upgrade_path.Set("");
    state.upgrade_requested = false;
    std::error_code ignored;
    fs::remove(image_, ignored);
  }

  testing::FakeHost host_;
  fs::path image_;
};

TEST_F(UpgradePacingTest, TheDefaultsAreFourMillisecondsABlockAndOneThreeAndFiveSeconds) {
  const UpgradePacing pacing;
  EXPECT_EQ(pacing.block_ms, 4u);
  EXPECT_EQ(pacing.before_end_ms, 1000u);
  EXPECT_EQ(pacing.after_end_ms, 3000u);
  EXPECT_EQ(pacing.restart_ms, 5000u);
}

TEST_F(UpgradePacingTest, EveryBlockIsFollowedByItsWaitAndTheEndByItsOwnAlsoAcrossTheTickWrap) {
  // Started at every third tick of the last 60 before the wrap, the wrap falls inside each kind of
  // wait in some run, wherever opening the file puts the first block.
  std::vector<std::uint32_t> starts = {5000000u, 0x7FFFFFFEu};
  for (std::uint32_t before = 1; before <= 60; before += 3) starts.push_back(0u - before);
  for (std::uint32_t start : starts) {
    SCOPED_TRACE("tick at the start " + std::to_string(start));
    sent.clear();
    close_ticks.clear();
    state.link_open = 1;
    state.upgrade_requested = true;
    SetUpgradePacing({4, 25, 26, 0});
    platform::SetTickBase(start);
    FirmwareUpgrade();

    ASSERT_EQ(sent.size(), 7u) << "begin, five blocks, end";
    EXPECT_EQ(sent.front().code, 0xC3);
    for (std::size_t i = 1; i <= 5; ++i) EXPECT_EQ(sent[i].code, 0xC5);
    EXPECT_EQ(sent.back().code, 0xC6);
    for (std::size_t i = 2; i <= 5; ++i) {
      EXPECT_GE(sent[i].tick - sent[i - 1].tick, 4u) << "block " << i - 1 << " went out without its wait";
    }
    EXPECT_GE(sent[6].tick - sent[5].tick, 4u + 25u) << "the last block's wait, then the wait before the end";
    ASSERT_EQ(close_ticks.size(), 1u);
    EXPECT_GE(close_ticks[0] - sent[6].tick, 26u) << "the wait after the end";
  }
}

}  // namespace
}  // namespace kv
