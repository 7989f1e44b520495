// Parameter frames as the board receives them, computed from fake host blocks.
#include "motion/config_download.h"

#include <gtest/gtest.h>

#include <algorithm>  // std::find_if
#include <array>
#include <atomic>
#include <cmath>  // NAN
#include <cstdint>
#include <limits>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/le_bytes.h"
#include "runtime/packet_buffer.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"

namespace kv {
namespace {

using testing::Frame;
using Key = std::pair<int, int>;  // record code, id
using Records = std::vector<std::pair<Key, Frame>>;

// The wire order and value widths the board expects.
const std::vector<std::pair<Key, std::size_t>> kWire = {
    {{0xC9, 34}, 4}, {{0xC9, 21}, 4}, {{0xC9, 22}, 4},  {{0xC9, 23}, 8},   {{0xC9, 24}, 8},  {{0xC9, 37}, 1},
    {{0xC9, 39}, 1}, {{0xC9, 38}, 8}, {{0xC9, 35}, 4},  {{0xC9, 45}, 4},   {{0xDE, 5}, 8},   {{0xDE, 69}, 4},
    {{0xDE, 101}, 4}, {{0xC9, 26}, 24}, {{0xC9, 33}, 6}, {{0xC9, 27}, 24}, {{0xC9, 40}, 24}, {{0xC9, 41}, 24},
    {{0xC9, 43}, 24}, {{0xC9, 46}, 24}, {{0xC9, 44}, 48}, {{0xC9, 47}, 12}, {{0xC9, 48}, 1}, {{0xC9, 49}, 4},
    {{0xC9, 50}, 4}, {{0xC9, 51}, 2}};

// Splits a finished frame into whole records; a cut or unknown record fails the test.
Records Decode(std::span<const std::uint8_t> wire) {
  Records out;
  EXPECT_EQ(wire.size(), std::size_t{wire[0]} + 1);
  for (std::size_t p = 1; p < wire.size();) {
    Key key{wire[p], p + 1 < wire.size() ? wire[p + 1] : -1};
    auto it = std::find_if(kWire.begin(), kWire.end(), [&](auto& w) { return w.first == key; });
    if (it == kWire.end() || p + 2 + it->second > wire.size()) {
      ADD_FAILURE() << "cut or unknown record at " << p << ": " << testing::Hex(Frame(wire.begin(), wire.end()));
      break;
    }
    out.emplace_back(key, Frame(wire.begin() + p + 2, wire.begin() + p + 2 + it->second));
    p += 2 + it->second;
  }
  return out;
}

// One streaming run of the service task: compute, then the changed records on the parameter buffer.
Records Stream(bool compute = true) {
  if (compute) ParamCompute();
  PacketBuffer frame(ParamBuffer());
  ParamAppendChanged(frame);
  EXPECT_FALSE(frame.Overflowed());
  return frame.Size() == 0 ? Records{} : Decode(frame.Finish());
}

std::map<Key, Frame> AsMap(const Records& records) { return {records.begin(), records.end()}; }
std::int64_t Value(const Frame& v, std::size_t at = 0, std::size_t width = 4) {
  return width == 8 ? GetLe<std::int64_t>(v, at * 8) : width == 1 ? v.at(at) : GetLe<std::int32_t>(v, at * 4);
}

class ConfigDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    state.mpg_src = 0, state.input_bits = 0;
    for (auto& in : state.mpg_axis_inputs) in.pin = 0;
    for (auto& in : state.mpg_step_inputs) in.pin = 0;
    for (int k = 0; k < host::kAxes; ++k) state.pos_offset[k] = 0, state.backlash_cfg[k] = 0;
    ParamSetPulseFigure(0), ParamSetSpindlePwmFigure(0), ParamSetHomingAxisSource(nullptr);
    ParamServiceStart();
    host.planner().segment_time = 0.003;
  }
  void TearDown() override { ParamSetHomingAxisSource(nullptr); }

  host::InputSignal& In(int n) { return host.engine().input_signal[n]; }
  host::OutputSignal& Out(int n) { return host.engine().output_signal[n]; }
  void Wire(int n, std::uint8_t pin, std::uint8_t port = 1) { In(n) = {1, pin, port, 0, 0, 0}; }

  // A setup in which every parameter differs from zero.
  void ConfigureEverything() {
    auto& e = host.engine();
    auto& p = host.planner();
    ParamSetPulseFigure(1234), ParamSetSpindlePwmFigure(7), ParamSetSpindleDuty(40);
    p.spindle_on = 1;
    Wire(2, 3), In(2).active_low = 1;
    SetSpecialInput(2);  // a home input in the masks: EValid
    state.mpg_src = 1, p.mpg_axis = 2, p.jog_mode = 2, host.mpg_enable = 1, p.mpg_step = 10;
    Out(0) = {1, 3, 2, 1, 1};
    e.softlimits_enabled = 1, e.backlash_enabled = 1, e.slaved[1] = 1, e.board_option = 1;
    for (int k = 0; k < host::kAxes; ++k) {
      p.steps_per_unit[k] = 800, p.max_velocity[k] = 50, p.acceleration[k] = 100;
      e.backlash_steps[k] = 5, e.backlash_rate[k] = 1000, state.backlash_cfg[k] = 3, e.step_pin[k] = 2;
    }
    host.SetDro(150, 10);
    e.aux_enable = 1, e.aux_mode[0] = 1, e.aux_value[0] = 9;
  }

  testing::FakeHost host;
  testing::CapturedLink link;
};

TEST_F(ConfigDownload, AfterAServiceStartEveryNonZeroParameterGoesOnceThenOnlyChanges) {
  auto& p = host.planner();
  p.steps_per_unit[0] = 800, p.max_velocity[0] = 50, p.acceleration[0] = 100;
  auto first = AsMap(Stream());
  EXPECT_EQ(Value(first.at({0xC9, 26})), 7864320);  // 120 steps per segment × 65536
  EXPECT_EQ(Value(first.at({0xC9, 27})), 23592);
  EXPECT_EQ(Value(first.at({0xC9, 46})), 47184);
  EXPECT_EQ(Value(first.at({0xDE, 101})), 0x3FFF) << "no output inverted";
  EXPECT_FALSE(first.count({0xC9, 40}) || first.count({0xC9, 44})) << "zero, as the zeroed copies";

  EXPECT_TRUE(Stream().empty());
  p.max_velocity[0] = 25;
  auto change = Stream();
  ASSERT_EQ(change.size(), 1u);
  EXPECT_EQ(Value(change[0].second), 3932160);

  ParamServiceStart();
  EXPECT_EQ(AsMap(Stream()).size(), first.size()) << "a new link gets everything again";
}

TEST_F(ConfigDownload, EveryRecordReachesTheBoardWholeOverConsecutiveFrames) {
  ConfigureEverything();
  ParamCompute();
  std::array<std::uint8_t, 6> small{};  // room for five bytes: the first changed record does not fit
  PacketBuffer tight{std::span<std::uint8_t>(small)};
  EXPECT_EQ(ParamAppendChanged(tight), 0);
  EXPECT_EQ(tight.Size(), 0);

  std::vector<Key> order;
  std::map<Key, Frame> board;
  int frames = 0;
  for (Records r = Stream(false); !r.empty(); r = Stream(false), ++frames) {
    for (auto& [key, value] : r) order.push_back(key), board[key] = value;
  }
  EXPECT_EQ(frames, 2) << "335 bytes need two frames of at most 255";
  ASSERT_EQ(order.size(), kWire.size()) << "every record once, none lost to the refused frame";
  for (std::size_t i = 0; i < kWire.size(); ++i) EXPECT_EQ(order[i], kWire[i].first) << i;
  EXPECT_EQ(Value(board[{0xC9, 34}]), 1234);
  EXPECT_EQ(Value(board[{0xC9, 22}]), 40);
  EXPECT_EQ(Value(board[{0xC9, 24}], 0, 8), 1 << 3);
  EXPECT_EQ(Value(board[{0xC9, 38}], 0, 8), 10LL << 32);
  EXPECT_EQ(Value(board[{0xC9, 44}], 0), 8000);
  EXPECT_EQ(Value(board[{0xC9, 43}], 5), 96);
  EXPECT_EQ(Value(board[{0xC9, 33}], 1, 1), 1) << "axis 1 slaved to axis 0";
  EXPECT_EQ(Value(board[{0xC9, 51}], 0, 1), 9);
  SendInputMasks();
}

TEST_F(ConfigDownload, WithoutTheHostsDroCallbackTheBoardGetsNoSoftLimits) {
  host.engine().softlimits_enabled = 1;
  host.planner().steps_per_unit[0] = 1000;
  host.SetDro(150, 100.0);
  state.GetDRO = nullptr;
  auto r = AsMap(Stream());
  EXPECT_FALSE(r.count({0xC9, 45})) << "the mask stays 0: no limits to enforce";
  EXPECT_FALSE(r.count({0xC9, 44})) << "no limits of 0 steps";
}

TEST_F(ConfigDownload, AbsurdHostValuesSaturateAndOffsetsMoveSoftLimits) {
  auto& p = host.planner();
  p.steps_per_unit[0] = 800, p.max_velocity[0] = NAN, p.acceleration[0] = 1e12;
  p.steps_per_unit[1] = 800, p.max_velocity[1] = -1e300;
  p.steps_per_unit[2] = 1000;
  host.SetDro(158, -2);  // lower limit of axis 2
  state.pos_offset[2] = 500;
  auto r = AsMap(Stream());
  EXPECT_EQ(Value(r[{0xC9, 26}], 0), 0);
  EXPECT_EQ(Value(r[{0xC9, 26}], 1), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(Value(r[{0xC9, 27}], 0), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(Value(r[{0xC9, 46}], 0), std::numeric_limits<std::int32_t>::max()) << "doubling saturates too";
  EXPECT_EQ(Value(r[{0xC9, 44}], 5), -2500);
}

TEST_F(ConfigDownload, InputMasksFollowBypassAndTheSpecialInput) {
  Wire(0, 10), Wire(1, 11), Wire(25, 12), Wire(2, 13), Wire(5, 14);
  Wire(3, 20, 0);  // not a board input port
  Wire(4, 64);     // no board pin
  Wire(6, 21), In(6).excluded = 1;
  SetSpecialInput(2);
  auto r = AsMap(Stream());
  const std::uint64_t limits = 1 | 1 << 10 | 1 << 11 | 1 << 12;
  EXPECT_EQ(Value(r[{0xC9, 23}], 0, 8), limits | 1 << 13);
  EXPECT_EQ(Value(r[{0xC9, 24}], 0, 8), 1 << 13);
  EXPECT_EQ(state.stop_mask.load(), limits) << "the special input raises no E-stop";

  Wire(24, 30), In(24).state = 1;  // limit bypass on: only input 25 and the special input remain
  Stream();
  EXPECT_EQ(state.stop_mask.load(), 1u | 1u << 12);
  SetSpecialInput(99);  // not an input: ignored
  SetSpecialInput(5);
  SendInputMasks();
  auto sent = link.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(testing::Hex(sent[0]), "14 C9 17 01 10 00 00 00 00 00 00 C9 18 00 00 00 00 00 00 00 00");
  EXPECT_TRUE(Stream(false).empty()) << "the masks sent on their own are recorded";
}

TEST_F(ConfigDownload, HomingTakesLimitsOutOfServiceAndReturnsThem) {
  static int homing_axis = 0;
  ParamSetHomingAxisSource([] { return homing_axis; });
  Wire(2, 10), Wire(0, 10), Wire(1, 10), Wire(3, 11), Wire(4, 12), Wire(6, 13, 0);
  In(0).state = 1;
  host.engine().homing_active = 1;
  SetSpecialInput(2);
  EXPECT_EQ(In(0).port + In(1).port, 12);
  EXPECT_EQ(In(0).state, 0);
  ParamCompute();
  EXPECT_EQ(In(3).enabled + In(4).enabled, 0) << "limits on the home switch's port are held";
  EXPECT_EQ(In(0).enabled + In(1).enabled + In(6).enabled, 3) << "off the board or another port: untouched";

  host.engine().homing_active = 0;
  SendInputMasks();
  ParamCompute();
  EXPECT_EQ(In(3).enabled + In(4).enabled, 2);
  EXPECT_EQ(In(0).port + In(1).port, 2);
}

TEST_F(ConfigDownload, OutputsToggleAndPinZeroIsNowhere) {
  Out(13) = {1, 5, 2, 0, 0};
  Out(2) = {1, 0, 2, 1, 1};
  Out(3) = {1, 29, 2, 1, 1};
  auto a = AsMap(Stream());
  auto b = AsMap(Stream());
  ASSERT_TRUE(b.count({0xC9, 35})) << "the toggling output changes every run";
  EXPECT_EQ(Value(a[{0xC9, 35}]) ^ Value(b[{0xC9, 35}]), 1 << 4);
  EXPECT_EQ(Value(a[{0xC9, 35}]) & ~(1 << 4), 1 << 28);
  EXPECT_EQ(Value(a[{0xC9, 49}]), (1 << 29) | (1 << 5));
  EXPECT_EQ(Value(a[{0xDE, 69}]), 1 << 28);
}

TEST_F(ConfigDownload, HandWheelSelectorsAndHostValues) {
  auto& p = host.planner();
  p.steps_per_unit[1] = 1000;
  state.mpg_step_inputs[1].pin = 7, state.mpg_step_inputs[1].step = 10;
  state.mpg_axis_inputs[0].pin = 70, state.mpg_axis_inputs[0].axis = 4;  // no board pin: never selected
  state.mpg_axis_inputs[1].pin = 8, state.mpg_axis_inputs[1].axis = 1;
  state.input_bits = (1ULL << 7) | (1ULL << 8) | (1ULL << 6);
  p.jog_mode = 1;
  host.mpg_enable = 1;
  auto r = AsMap(Stream());
  EXPECT_EQ(Value(r[{0xC9, 38}], 0, 8), 10LL << 32);
  EXPECT_EQ(Value(r[{0xC9, 37}], 0, 1), 1);
  EXPECT_EQ(p.mpg_axis, 1);
  EXPECT_EQ(p.jog_mode, 2);

  state.input_bits = 0;
  r = AsMap(Stream());
  EXPECT_EQ(p.mpg_axis, 6);
  EXPECT_EQ(p.jog_mode, 1) << "the saved mode returns";
  EXPECT_FALSE(r.count({0xC9, 37})) << "the axis sent stays";
  p.jog_mode = 2;
  Stream();
  EXPECT_EQ(p.jog_mode, 0) << "nothing saved: mode 0";

  state.mpg_src = 1;
  p.mpg_axis = 3, p.mpg_step = 100.7;
  r = AsMap(Stream());
  EXPECT_EQ(Value(r[{0xC9, 37}], 0, 1), 3);
  EXPECT_EQ(Value(r[{0xC9, 38}], 0, 8), 100LL << 32);
  p.mpg_step = 1e30;
  EXPECT_EQ(Value(AsMap(Stream())[{0xC9, 38}], 0, 8), std::numeric_limits<std::int64_t>::max());
}

TEST_F(ConfigDownload, TheStepSelectorUsesTheResolutionOfTheAxisTheWheelDrives) {
  auto& p = host.planner();
  p.steps_per_unit[0] = 1000;  // X: 1000 steps/mm
  p.steps_per_unit[2] = 4000;  // Z: 4000 steps/mm
  state.mpg_step_inputs[0].pin = 7, state.mpg_step_inputs[0].step = 10;  // 0.010 mm per click
  state.mpg_axis_inputs[0].pin = 8, state.mpg_axis_inputs[0].axis = 2;   // Z selected
  state.input_bits = (1ULL << 7) | (1ULL << 8);
  auto r = AsMap(Stream());
  EXPECT_EQ(Value(r[{0xC9, 38}], 0, 8), 40LL << 32) << "0.010 mm of Z is 40 steps, not X's 10";

  state.input_bits = 1ULL << 7;  // no axis selected: the selector's own index stands in
  r = AsMap(Stream());
  EXPECT_EQ(p.mpg_axis, 6);
  EXPECT_EQ(Value(r[{0xC9, 38}], 0, 8), 10LL << 32);
}

TEST_F(ConfigDownload, OnlyDifferencesFromTheBoardsPolaritiesAndSpindleFigures) {
  Wire(2, 3), In(2).active_low = 1;
  ParamSetBoardMotorPolarity(0x3FFF);
  ParamSetBoardInputPolarity(0xF000000000000000ULL);
  auto r = AsMap(Stream());
  EXPECT_FALSE(r.count({0xDE, 101}) || r.count({0xDE, 69})) << "as the board has them";
  EXPECT_EQ(static_cast<std::uint64_t>(Value(r[{0xDE, 5}], 0, 8)), 0xF000000000000008ULL)
      << "unassigned pins keep the board's polarity";
  host.engine().step_active_low[0] = 1;
  EXPECT_EQ(Value(AsMap(Stream())[{0xDE, 101}]), 0x3FFE);

  host.planner().spindle_on = 1;
  host.engine().dir_active_low[6] = 1;
  ParamSetSpindleDuty(30);
  EXPECT_EQ(Value(AsMap(Stream())[{0xC9, 22}]), 70) << "inverted for an inverted spindle direction";
  host.planner().spindle_on = 0;
  EXPECT_EQ(Value(AsMap(Stream())[{0xC9, 22}]), 100);
  host.planner().spindle_on = 1;
  EXPECT_TRUE(Stream().empty()) << "the duty stays cleared until set again";
}

TEST_F(ConfigDownload, LinkAndHostThreadsSetValuesWhileTheSchedulerSends) {
  ConfigureEverything();
  std::atomic<bool> stop{false};
  std::thread link_thread([&] {
    for (std::uint32_t i = 0; !stop; ++i) {
      ParamSetBoardInputPolarity(i), ParamSetBoardOutputPolarity(i), ParamSetBoardMotorPolarity(i);
      ParamSetPulseFigure(static_cast<std::uint16_t>(i));
      if (i % 64 == 0) ParamServiceStart();
    }
  });
  std::thread host_thread([&] {
    for (std::uint16_t i = 0; !stop; ++i) {
      ParamSetSpindleDuty(static_cast<std::uint16_t>(i % 100)), ParamSetSpindlePwmFigure(i);
    }
  });
  for (int i = 0; i < 500; ++i) Stream();  // Decode checks every frame holds whole records only
  stop = true;
  link_thread.join();
  host_thread.join();
  SendInputMasks();
}

}  // namespace
}  // namespace kv
