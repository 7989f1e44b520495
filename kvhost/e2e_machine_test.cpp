// End-to-end machine commands: homing, probing, jogging and E-stop through the real plug-in's
// entry points, carried out by the simulated board with its switches and probe, and the host
// following the board step for step afterwards.
#include <gtest/gtest.h>

#include <cstdlib>

#include "e2e_fixture.h"

namespace kvhost::e2e {
namespace {

constexpr int kCommandMs = 10000;  // generous: a shared two-core machine under sanitizers

class E2eMachine : public E2eTest {
 protected:
  host::EngineBlock& Engine() { return machine_.engine(); }
  host::PlannerBlock& Planner() { return machine_.planner(); }

  // Clears the host's completion flag, as the host does before it waits on a command.
  void ArmCompletion() { host::Store(Engine().position_changed, std::uint8_t{0}); }
  bool WaitCompletion(int timeout_ms) {
    return WaitUntil([&] { return host::Load(Engine().position_changed) != 0; }, timeout_ms);
  }
};

// X homes towards minus onto a switch at -2000 steps: seek, release at a quarter of the speed
// until the switch opens, then the board's position becomes the host's home position.
TEST_F(E2eMachine, HomingSeeksReleasesAndTakesTheHomePosition) {
  config_.axes[0].home_pin = 10;
  ASSERT_NO_FATAL_FAILURE(Connect([](kvboard::BoardConfig& board) {
    board.machine[0].home_steps = -2000;
    board.machine[0].home_active_below = true;
  }));
  Engine().home_position[0] = 1234;
  ArmCompletion();
  session_.api().Home(0);

  ASSERT_TRUE(WaitUntil([&] { return host::Load(Engine().axis_referenced[0]) != 0; }, kCommandMs))
      << "homing did not complete; board modes " << Modes(Board().modes_reported);
  EXPECT_TRUE(WaitCompletion(kCommandMs));
  EXPECT_EQ(host::Load(Engine().homing_active), 0);
  const kvboard::Stats s = Board();
  EXPECT_TRUE(ModeFollowedBy(s.modes_reported, 4, 0)) << Modes(s.modes_reported);
  EXPECT_EQ(s.motion.home_releases, 1u);
  // Released just off the switch, on the side it was approached from.
  EXPECT_GT(s.position_steps[0], -2000);
  EXPECT_LT(s.position_steps[0], -1500);
  // The masks frame goes out as homing ends; the board may take it a moment after the host sees the end.
  EXPECT_TRUE(WaitBoard([](const kvboard::Stats& b) { return (b.watch_mask & (std::uint64_t{1} << 10)) == 0; }, kSettleMs))
      << "the switch is no longer watched once homed";
  EXPECT_TRUE(WaitUntil([&] { return HostPosition()[0] == 1234; }, kSettleMs))
      << "host X " << HostPosition()[0] << " with the board at " << Board().position_steps[0];

  // From here the host follows the board from its new reference.
  session_.api().JogOn(0, 0, 5.0);
  platform::SleepMs(200);
  session_.api().JogOff(0);
  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& b) { return b.velocity_stops >= 1 && b.mode == 0; }, kCommandMs));
  EXPECT_TRUE(WaitUntil(
      [&] { return HostPosition()[0] - 1234 == Board().position_steps[0] - s.position_steps[0]; }, kSettleMs));
}

// Z probes down towards -10 mm and touches the work at -2 mm (-1600 steps).
TEST_F(E2eMachine, ProbingStopsWhereTheProbeTouches) {
  config_.probe_pin = 12;
  ASSERT_NO_FATAL_FAILURE(Connect([](kvboard::BoardConfig& board) {
    board.machine[2].probe_steps = -1600;
    board.machine[2].probe_active_below = true;
  }));
  Planner().probe_start_coord[2] = 0.0;
  Planner().probe_target[2] = -10.0;
  ArmCompletion();
  session_.api().Probe();

  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& b) { return b.motion.probe_trips == 1; }, kCommandMs))
      << "modes " << Modes(Board().modes_reported);
  EXPECT_TRUE(WaitUntil([&] { return host::Load(Engine().probing[2]) == 0 && host::Load(Engine().position_changed); },
                        kCommandMs));
  const kvboard::Stats s = Board();
  EXPECT_EQ(s.probe_commands, 1u);
  EXPECT_EQ(s.motion.last_probe_end_steps[2], -1600);
  EXPECT_EQ(s.position_steps[0], 0);
  EXPECT_EQ(s.position_steps[1], 0);
  EXPECT_TRUE(ModeFollowedBy(s.modes_reported, 8, 0)) << Modes(s.modes_reported);
  EXPECT_TRUE(WaitUntil([&] { return HostMatchesBoard(); }, kSettleMs));
  EXPECT_TRUE(WaitBoard([](const kvboard::Stats& b) { return (b.watch_mask & (std::uint64_t{1} << 12)) == 0; }, kSettleMs))
      << "the probe is no longer watched once done";
}

// The host raises E-stop in the middle of a program: the board stops and drops what it holds,
// nothing more is sent, and clearing E-stop enables the board again.
TEST_F(E2eMachine, EstopMidProgramStopsTheBoardAndClearingItEnablesAgain) {
  const kvgcode::Program program = Parse("G21 G90 G1 X200 F3000\nM30\n", "long move");
  ASSERT_NO_FATAL_FAILURE(Connect());
  const ProgramOutcome out = RunProgram(program, [&](const RunProgress&) {
    if (Board().motion.segments_executed_total > 200) host::Store(Engine().estop, std::uint8_t{1});
  });
  EXPECT_TRUE(out.run.estop);
  EXPECT_FALSE(out.run.completed);
  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& b) { return b.estopped && b.estops >= 1; }, kCommandMs));
  EXPECT_TRUE(WaitUntil([&] { return RingWaiting() == 0; }, kSettleMs)) << "every waiting segment is dropped";
  const std::int32_t stopped_at = Board().position_steps[0];
  EXPECT_GT(stopped_at, 0);
  EXPECT_LT(stopped_at, 200 * 800);
  platform::SleepMs(300);
  EXPECT_EQ(Board().position_steps[0], stopped_at) << "the board moved after E-stop";

  host::Store(Engine().estop, std::uint8_t{0});
  EXPECT_TRUE(WaitBoard([](const kvboard::Stats& b) { return !b.estopped && b.enables >= 1; }, kCommandMs));
  EXPECT_TRUE(WaitUntil([&] { return HostMatchesBoard(); }, kSettleMs));
}

// E-stop while X seeks its home switch: the cycle ends, the X limit held for homing is back in
// service, and once E-stop is cleared homing can start again.
TEST_F(E2eMachine, EstopDuringHomingEndsTheCycleAndReturnsTheLimits) {
  config_.axes[0].home_pin = 10;
  config_.axes[0].limit_min_pin = 11;
  ASSERT_NO_FATAL_FAILURE(Connect([](kvboard::BoardConfig& board) {
    board.machine[0].home_steps = -2000000;  // far away: the seek is still running at the E-stop
    board.machine[0].home_active_below = true;
  }));
  session_.api().Home(0);
  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& b) { return b.mode == 4; }, kCommandMs)) << "no seek";
  ASSERT_TRUE(WaitUntil([&] { return host::Load(Engine().input_signal[0].enabled) == 0; }, kCommandMs))
      << "the X limit on the home switch's port is held while X homes";

  ArmCompletion();
  host::Store(Engine().estop, std::uint8_t{1});
  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& b) { return b.estopped; }, kCommandMs));
  EXPECT_TRUE(WaitUntil([&] { return host::Load(Engine().homing_active) == 0; }, kSettleMs));
  EXPECT_TRUE(WaitUntil([&] { return host::Load(Engine().input_signal[0].enabled) == 1; }, kSettleMs))
      << "the limit is in service again";
  EXPECT_TRUE(WaitCompletion(kSettleMs)) << "the host is told the cycle has ended";

  host::Store(Engine().estop, std::uint8_t{0});
  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& b) { return !b.estopped; }, kCommandMs));
  const std::uint32_t moves = Board().velocity_moves;
  session_.api().Home(0);
  EXPECT_TRUE(WaitBoard([&](const kvboard::Stats& b) { return b.velocity_moves > moves && b.mode == 4; }, kCommandMs))
      << "homing starts afresh";
}

// E-stop while Z probes towards work it never reaches: the probe is no longer watched, and the
// same probe asked for again after E-stop moves again instead of being taken as under way.
TEST_F(E2eMachine, EstopDuringProbingEndsTheCycleAndTheSameProbeRunsAgain) {
  config_.probe_pin = 12;
  ASSERT_NO_FATAL_FAILURE(Connect());
  Planner().probe_start_coord[2] = 0.0;
  Planner().probe_target[2] = -500.0;
  session_.api().Probe();
  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& b) { return b.probe_commands == 1 && b.mode == 8; }, kCommandMs));
  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& b) { return (b.watch_mask & (std::uint64_t{1} << 12)) != 0; }, kSettleMs));

  host::Store(Engine().estop, std::uint8_t{1});
  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& b) { return b.estopped; }, kCommandMs));
  EXPECT_TRUE(WaitUntil([&] { return host::Load(Engine().probing[2]) == 0; }, kSettleMs));
  EXPECT_TRUE(WaitBoard([](const kvboard::Stats& b) { return (b.watch_mask & (std::uint64_t{1} << 12)) == 0; }, kSettleMs))
      << "the probe input is no longer watched";

  host::Store(Engine().estop, std::uint8_t{0});
  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& b) { return !b.estopped && b.mode != 8; }, kCommandMs));
  session_.api().Probe();
  EXPECT_TRUE(WaitBoard([](const kvboard::Stats& b) { return b.probe_commands == 2; }, kCommandMs))
      << "the repeated probe moves";
}

}  // namespace
}  // namespace kvhost::e2e
