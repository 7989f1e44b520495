// Jog: the velocity move's speed from the host's settings, the soft-limit refusal and no link.
#include "motion/jog.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "shell/plugin_state.h"
#include "testing/fake_host.h"

namespace kv {
namespace {

using testing::Frame;

Frame VelocityMove(std::uint8_t axis, std::uint8_t dir, std::uint32_t speed) {
  return {0x07, 0xCB, axis, dir, static_cast<std::uint8_t>(speed), static_cast<std::uint8_t>(speed >> 8),
          static_cast<std::uint8_t>(speed >> 16), static_cast<std::uint8_t>(speed >> 24)};
}

class Jog : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto& flag : state.softlimit_tripped) flag = false;
    auto& p = host_.planner();
    p.segment_time = 0.003;
    for (int k = 0; k < host::kAxes; ++k) p.steps_per_unit[k] = 1000;
    p.max_velocity[0] = 50;
    p.steps_per_unit[2] = 400;
    host_.setup().jog_rate_percent = 20;
  }
  void TearDown() override {
    for (auto& flag : state.softlimit_tripped) flag = false;
  }
  testing::FakeHost host_;
  testing::CapturedLink link_;
};

TEST_F(Jog, SpeedFromTheSettingsOrGiven) {
  JogOn(0, 0, 0.0);  // trunc(50 x 20 % x 1000 x 0.003 x 65536)
  EXPECT_EQ(link_.Take(), std::vector<Frame>{VelocityMove(0, 0, 1966080)});
  host_.jog_full_speed = 1;
  JogOn(0, 0, 0.0);
  EXPECT_EQ(link_.Take(), std::vector<Frame>{VelocityMove(0, 0, 9830400)}) << "the full 50 units per second";
  JogOn(2, 1, 12.5);  // 12.5 x 400 x 0.003 = 15 steps per segment, jog rate ignored
  EXPECT_EQ(link_.Take(), std::vector<Frame>{VelocityMove(2, 1, 983040)});
  JogOn(2, 1, std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(link_.Take(), std::vector<Frame>{VelocityMove(2, 1, 0)}) << "no number, no speed";
}

TEST_F(Jog, ATrippedSoftLimitBlocksOnlyTheWayOut) {
  state.softlimit_tripped[1] = true;  // axis 1, upper
  JogOn(1, 0, 0.0);
  EXPECT_TRUE(link_.Take().empty());
  EXPECT_EQ(host_.Status(), "soft limit on axis 1 direction + is triggered");
  JogOn(1, 1, 0.0);
  EXPECT_EQ(link_.Take().size(), 1u) << "back inside is free";
  state.softlimit_tripped[1 + 6] = true;  // and lower
  JogOn(1, 1, 0.0);
  EXPECT_EQ(host_.Status(), "soft limit on axis 1 direction - is triggered");
  EXPECT_TRUE(link_.Take().empty());
}

// The board sees only the direction byte the frame carries; the check must judge that byte.
TEST_F(Jog, TheSoftLimitCheckJudgesTheDirectionByteThatIsSent) {
  state.softlimit_tripped[0 + 6] = true;  // axis 0, lower: negative blocked
  JogOn(0, 256, 0.0);  // low byte 0: a positive move
  EXPECT_EQ(link_.Take(), std::vector<Frame>{VelocityMove(0, 0, 1966080)}) << "positive is free";
  JogOn(0, 257, 0.0);  // low byte 1: negative
  JogOn(0, -1, 0.0);   // low byte 0xFF: negative
  EXPECT_TRUE(link_.Take().empty());
  EXPECT_EQ(host_.Status(), "soft limit on axis 0 direction - is triggered");

  state.softlimit_tripped[0 + 6] = false;
  state.softlimit_tripped[0] = true;  // upper: positive blocked
  host::HostStringAssign(host_.planner().status_text, "");
  JogOn(0, 512, 0.0);
  EXPECT_TRUE(link_.Take().empty()) << "512 is sent as 0, positive: blocked";
  EXPECT_EQ(host_.Status(), "soft limit on axis 0 direction + is triggered");
  JogOn(0, 0x0180, 0.0);
  EXPECT_EQ(link_.Take(), std::vector<Frame>{VelocityMove(0, 0x80, 1966080)}) << "negative, byte passed on";
}

TEST_F(Jog, WithoutALinkJogOnSaysSoAndJogOffIsSilent) {
  state.link_is_open = nullptr;  // not established; anything still sent would be captured
  JogOn(0, 0, 0.0);
  EXPECT_EQ(host_.Status(), "device is not ready.");
  host::HostStringAssign(host_.planner().status_text, "");
  JogOff(0);
  EXPECT_EQ(host_.Status(), "");
  EXPECT_TRUE(link_.Take().empty());
}

TEST_F(Jog, JogOffStopsTheAxisAndAxesTheBoardLacksAreRefused) {
  JogOff(3);
  EXPECT_EQ(link_.Take(), (std::vector<Frame>{{0x02, 0xCC, 0x03}}));
  for (int a : {6, -1, 300}) {
    const auto axis = static_cast<std::int16_t>(a);
    JogOn(axis, 1, 1.0);
    JogOff(axis);
  }
  EXPECT_TRUE(link_.Take().empty());
}

}  // namespace
}  // namespace kv
