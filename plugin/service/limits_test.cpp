// Limits, the E-stop input, stop reports and soft limits, as the host sees them.
#include "service/limits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "runtime/action_queue.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"

namespace kv {
namespace {

std::vector<std::int32_t> DrainActions() {
  std::vector<std::int32_t> out;
  while (std::int32_t c = ActionPop()) out.push_back(c);
  return out;
}

class LimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ActionReset();
    for (auto& f : state.softlimit_tripped) f = false;
    state.input_bits = 0;
    InputScan();  // a clear scan re-arms the limits
  }
  void Wire(int input, std::uint8_t pin) {
    host::InputSignal& in = host_.engine().input_signal[input];
    in.enabled = 1;
    in.port = 1;
    in.pin = pin;
  }
  void Scan(std::uint64_t bits) {
    state.input_bits = bits;
    InputScan();
  }
  host::EngineBlock& engine() { return host_.engine(); }
  testing::FakeHost host_;
};

TEST_F(LimitsTest, ALimitRaisesEstopOnceUntilAClearScan) {
  Wire(0, 3);  // X limit on pin 3
  Scan(1u << 3);
  EXPECT_EQ(engine().input_signal[0].state, 1);
  EXPECT_EQ(engine().estop, 1);
  engine().estop = 0;  // the operator clears E-stop while the switch stays pressed
  Scan(1u << 3);
  EXPECT_EQ(engine().estop, 0);
  Scan(0);
  EXPECT_EQ(engine().input_signal[0].state, 0);
  Scan(1u << 3);
  EXPECT_EQ(engine().estop, 1) << "after a clear scan the next activation stops again";
  EXPECT_TRUE(DrainActions().empty()) << "limits raise E-stop without an action";
}

TEST_F(LimitsTest, LimitOverrideLetsOneLimitPassAndSaysSo) {
  Wire(4, 9);  // Y's second limit
  engine().limit_override = 1;
  Scan(1u << 9);
  EXPECT_EQ(engine().estop, 0);
  EXPECT_EQ(engine().limit_override, 0);
  EXPECT_EQ(host_.Status(), "limit trigger");
}

TEST_F(LimitsTest, TheEstopInputRaisesEstopAndPostsTheActionOnlyWhenClear) {
  Wire(25, 12);
  Scan(1u << 12);
  EXPECT_EQ(engine().estop, 1);
  EXPECT_EQ(DrainActions(), (std::vector<std::int32_t>{ACTION_ESTOP}));
  Scan(1u << 12);
  EXPECT_TRUE(DrainActions().empty());
}

TEST_F(LimitsTest, OnlyWiredBoardInputsReadTheirBit) {
  Wire(2, 5);
  Wire(5, 0);                                    // pin 0: never on the board
  Wire(8, 64);                                   // pin 64: beyond the 64-bit report
  Wire(11, 6);
  engine().input_signal[11].port = 2;            // another port
  Wire(14, 7);
  engine().input_signal[14].excluded = 1;
  engine().input_signal[14].state = 1;           // the host's own value
  Scan(~0ull);
  EXPECT_EQ(engine().input_signal[2].state, 1);
  EXPECT_EQ(engine().input_signal[5].state, 0);
  EXPECT_EQ(engine().input_signal[8].state, 0);
  EXPECT_EQ(engine().input_signal[11].state, 0);
  EXPECT_EQ(engine().input_signal[14].state, 1);
  Scan(0);
  EXPECT_EQ(engine().input_signal[14].state, 1) << "an excluded input keeps its state";
  engine().input_scan_off = 1;
  Scan(~0ull);
  EXPECT_EQ(engine().input_signal[2].state, 0) << "with the scan off the table is left alone";
}

TEST_F(LimitsTest, StopReportsRaiseEstopOnlyInsideTheMask) {
  state.stop_mask = 0b1001;
  state.tripped_inputs = 0b0110;
  StopReport();
  EXPECT_EQ(engine().estop, 0);
  state.tripped_inputs = 0b0001;
  StopReport();
  EXPECT_EQ(engine().estop, 1);
  EXPECT_EQ(host_.Status(), "MPG Estop Triggered");
}

TEST_F(LimitsTest, SoftLimitsTripOnceReportAndClear) {
  engine().softlimits_enabled = 1;
  engine().softlimit_armed = 1;
  for (int k = 0; k < 6; ++k) {
    host_.SetDro(static_cast<std::int16_t>(150 + k), 100.0);
    host_.SetDro(static_cast<std::int16_t>(156 + k), -100.0);
  }
  host_.planner().softlimit_position[2] = 150.0;  // Z beyond its upper limit
  SoftLimitCheck();
  EXPECT_EQ(host_.Status(), "axis 2 limit - triggered!");
  EXPECT_TRUE(state.softlimit_tripped[2].load());
  EXPECT_EQ(engine().softlimit_reported, 1);
  EXPECT_EQ(DrainActions(), (std::vector<std::int32_t>{ACTION_ESTOP}));
  SoftLimitCheck();
  EXPECT_TRUE(DrainActions().empty()) << "a check that stays tripped stays silent";

  host_.planner().softlimit_position[2] = 0.0;
  host_.planner().softlimit_position[4] = -200.0;  // B below its lower limit: check 10
  SoftLimitCheck();
  EXPECT_EQ(host_.Status(), "axis 4 limit + triggered!");
  EXPECT_FALSE(state.softlimit_tripped[2].load());
  EXPECT_TRUE(state.softlimit_tripped[10].load());

  host_.planner().softlimit_position[4] = 0.0;
  SoftLimitCheck();
  EXPECT_EQ(host_.Status(), "") << "back within bounds wipes the message";
  EXPECT_EQ(engine().softlimit_reported, 0);

  host_.planner().softlimit_position[0] = std::nan("");
  SoftLimitCheck();
  EXPECT_FALSE(state.softlimit_tripped[0].load()) << "a NaN never trips";
}

// Each of the twelve checks at its limit and one representable value to either side: a position
// exactly on the limit is inside.
TEST_F(LimitsTest, EverySoftLimitAtJustInsideAndJustBeyondItsBound) {
  engine().softlimits_enabled = 1;
  engine().softlimit_armed = 1;
  for (int k = 0; k < 6; ++k) {
    host_.SetDro(static_cast<std::int16_t>(150 + k), 10.0 * (k + 1));    // upper
    host_.SetDro(static_cast<std::int16_t>(156 + k), -10.0 * (k + 1));   // lower
  }
  for (int check = 0; check < 12; ++check) {
    const int axis = check % 6;
    const bool upper = check < 6;
    const double limit = (upper ? 10.0 : -10.0) * (axis + 1);
    const double outward = upper ? 1e9 : -1e9;
    const double inward = -outward;
    for (auto [position, trips] : {std::pair{std::nextafter(limit, inward), false},
                                   {limit, false},
                                   {std::nextafter(limit, outward), true}}) {
      for (auto& p : host_.planner().softlimit_position) p = 0.0;
      host_.planner().softlimit_position[axis] = position;
      SoftLimitCheck();
      DrainActions();
      for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(state.softlimit_tripped[i].load(), trips && i == check)
            << "check " << check << " flag " << i << " at position " << position << " (limit " << limit << ")";
      }
    }
    for (auto& p : host_.planner().softlimit_position) p = 0.0;
    SoftLimitCheck();  // back inside: nothing tripped for the next check
  }
}

TEST_F(LimitsTest, WithoutTheHostsDroCallbackSoftLimitsAreNotChecked) {
  engine().softlimits_enabled = 1;
  engine().softlimit_armed = 1;
  state.GetDRO = nullptr;  // not handed over yet
  host_.planner().softlimit_position[0] = 25.0;
  host_.planner().softlimit_position[1] = -25.0;
  SoftLimitCheck();
  EXPECT_TRUE(DrainActions().empty()) << "a missing callback is no limit of 0.0";
  EXPECT_EQ(engine().softlimit_reported, 0);
  for (const auto& f : state.softlimit_tripped) EXPECT_FALSE(f.load());
  EXPECT_EQ(host_.Status(), "");
}

TEST_F(LimitsTest, DisabledSoftLimitsClearEverythingAndBypassFreezesThem) {
  engine().softlimits_enabled = 1;
  engine().softlimit_armed = 1;
  host_.planner().softlimit_position[1] = 1.0;  // DROs are 0: trips check 1
  SoftLimitCheck();
  ASSERT_TRUE(state.softlimit_tripped[1].load());

  Wire(24, 20);
  Scan(1u << 20);  // the bypass input is active
  engine().softlimits_enabled = 0;
  SoftLimitCheck();
  EXPECT_TRUE(state.softlimit_tripped[1].load()) << "while bypassed nothing changes";

  Scan(0);
  SoftLimitCheck();
  EXPECT_FALSE(state.softlimit_tripped[1].load());
  EXPECT_EQ(engine().softlimit_reported, 0);
  EXPECT_EQ(host_.Status(), "");
}

}  // namespace
}  // namespace kv
