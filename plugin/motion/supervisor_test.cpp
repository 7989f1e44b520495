// The motion supervisor: E-stop and enable, homing, probing, dwell and Notify, driven one run at
// a time on the test's thread.
#include "motion/supervisor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "motion/config_download.h"
#include "motion/motion_stream.h"
#include "platform/clock.h"
#include "runtime/action_queue.h"
#include "runtime/packet_buffer.h"
#include "runtime/timer_scheduler.h"
#include "shell/host_access.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"

namespace kv {
namespace {

using testing::Frame;
using Codes = std::vector<std::uint8_t>;

std::int32_t Le32(const Frame& f, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(f.at(at + i)) << (8 * i);
  return static_cast<std::int32_t>(v);
}

class Supervisor : public ::testing::Test {
 protected:
  void SetUp() override {
    state.segments_sent = state.segments_done = 0;
    state.still_count = 0;
    state.lim_buffer = 450;
    state.board_mode = 0;
    state.pulse_rate_hz = 0;  // not identified: a test that needs it identifies the board
    for (auto& v : state.pos_offset) v = 0;
    ActionReset();
    TimerReset();
    SupervisorInit();
    EXPECT_EQ(TimerLiveCount(), 1);
    TimerReset();  // runs are driven by hand
    StreamSetUp();
    auto& p = planner();
    p.segment_time = 0.003;
    p.board_has_room = 1;
    for (int k = 0; k < host::kAxes; ++k) {
      p.steps_per_unit[k] = 1000;
      p.max_velocity[k] = 50;
      p.home_speed_percent[k] = 50;
    }
  }
  void TearDown() override {
    ActionReset();
    TimerReset();
  }
  host::EngineBlock& engine() { return host_.engine(); }
  host::PlannerBlock& planner() { return host_.planner(); }

  void Run(int times = 1) {
    for (int i = 0; i < times; ++i) EXPECT_EQ(SupervisorRun(0), 20);
  }
  Codes Commands() {
    Codes codes;
    for (const Frame& f : link_.Take()) codes.push_back(f.at(1));
    return codes;
  }
  // The velocity moves only: the end of homing also sends the input masks.
  std::vector<Frame> Moves() {
    std::vector<Frame> moves;
    for (Frame& f : link_.Take()) {
      if (f.at(1) == 0xCB) moves.push_back(f);
    }
    return moves;
  }
  void StreamRunning(int waiting) {
    state.segments_sent = 40;
    state.segments_done = 10;
    engine().ring_write_index = waiting;
  }
  // The home switch of `axis` enabled, the machine idle, and the switch reached after the seek.
  void HomeCycle(int axis) {
    engine().input_signal[HomeInput(axis)].state = 1;
    Run();
    state.board_mode = 4;
    Run();
    state.board_mode = 0;
    Run();
  }

  testing::FakeHost host_;
  testing::CapturedLink link_;
};

TEST_F(Supervisor, EstopWhileStreamingClosesStopsAndDropsTheWaitingSegments) {
  StreamRunning(100);
  engine().estop = 1;
  Run();
  EXPECT_EQ(Commands(), (Codes{0xD0, 0xCD})) << "in the same run, and nothing streamed";
  EXPECT_EQ(engine().ring_read_index, 100);
  EXPECT_EQ(engine().position_changed, 1);
  EXPECT_EQ(planner().estop_seen, 1);
  EXPECT_EQ(state.segments_sent.load(), 0u);
  EXPECT_EQ(CurrentSupervisorState(), SupervisorState::ESTOPPED);
  Run();
  EXPECT_TRUE(link_.Take().empty());

  engine().estop = 0;
  Run();
  EXPECT_EQ(CurrentSupervisorState(), SupervisorState::RUN);
  Run();
  EXPECT_EQ(Commands(), Codes{0xCE}) << "the enable posted when E-stop cleared";
}

TEST_F(Supervisor, NotifyEstopActsOverTwoRuns) {
  Notify(10);
  Run();
  EXPECT_EQ(Commands(), Codes{0xCD});
  EXPECT_EQ(engine().estop, 1);
  Run();
  EXPECT_EQ(Commands(), (Codes{0xD0, 0xCD}));
  EXPECT_EQ(CurrentSupervisorState(), SupervisorState::ESTOPPED);
}

TEST_F(Supervisor, AnEstopClearedBeforeTheNextRunStillEnablesTheBoard) {
  // A stop report or a limit posts the E-stop; the host clears its flag at once, before the run
  // that would have seen it raised. The board, E-stopped, must still get its enable.
  ASSERT_TRUE(ActionPost(ACTION_ESTOP));
  Run();
  EXPECT_EQ(Commands(), Codes{0xCD});
  EXPECT_EQ(engine().estop, 1);
  engine().estop = 0;
  Run();
  EXPECT_EQ(Commands(), Codes{0xD0}) << "the stream closed, the host's cleared E-stop not raised again";
  EXPECT_EQ(engine().estop, 0);
  Run();
  EXPECT_EQ(Commands(), Codes{0xCE});
  EXPECT_EQ(CurrentSupervisorState(), SupervisorState::RUN);
  Run();
  EXPECT_TRUE(link_.Take().empty()) << "one enable, no E-stop after it";
}

// The operator's reset landing while the board is being told E-stop: a link that clears the
// host's flag as 0xCD goes out, as a host thread may at that moment.
host::EngineBlock* reset_target = nullptr;
std::vector<std::uint8_t> reset_link_codes;
bool ResetAsEstopIsSent(std::unique_ptr<Packet> packet) {
  const auto wire = packet->Finish();
  if (wire.size() < 2) return false;
  reset_link_codes.push_back(wire[1]);
  if (wire[1] == 0xCD) host::Store(reset_target->estop, std::uint8_t{0});
  return true;
}

TEST_F(Supervisor, AResetMadeWhileTheBoardIsToldEstopIsKeptAndEnablesTheBoard) {
  reset_target = &engine();
  reset_link_codes.clear();
  const LinkSendFrameFn captured = state.link_send_frame.load();
  state.link_send_frame = ResetAsEstopIsSent;
  engine().estop = 1;  // a stop report or a limit raised it
  Run();
  EXPECT_EQ(reset_link_codes, (Codes{0xD0, 0xCD}));
  EXPECT_EQ(engine().estop, 0) << "the host's reset, made after the board was told, was undone";
  Run(2);
  EXPECT_EQ(reset_link_codes, (Codes{0xD0, 0xCD, 0xCE})) << "the board is enabled again after the reset";
  EXPECT_EQ(CurrentSupervisorState(), SupervisorState::RUN);
  state.link_send_frame = captured;
}

TEST_F(Supervisor, EstopIsCarriedOutWithAFullQueueAndWaitsForALink) {
  while (ActionPost(99)) {
  }
  auto is_open = state.link_is_open.load();
  state.link_is_open = nullptr;
  engine().estop = 1;
  EXPECT_EQ(SupervisorRun(0), 100);
  EXPECT_TRUE(link_.Take().empty());
  state.link_is_open = is_open;
  Run();
  EXPECT_EQ(Commands(), (Codes{0xD0, 0xCD}));
}

TEST_F(Supervisor, HomingOneAxisSeeksReleasesAndTakesTheHomePosition) {
  engine().input_signal[HomeInput(0)].enabled = 1;
  Home(0);
  Run();
  EXPECT_TRUE(Moves().empty()) << "not before the machine is idle";
  state.still_count = 11;
  Run();
  // 50 % / 200 x 50 units/s x 1000 x 0.003 = 37.5 steps per segment; toward the switch
  EXPECT_EQ(Moves(), (std::vector<Frame>{{0x07, 0xCB, 0, 1, 0x00, 0x80, 0x25, 0x00}}));
  EXPECT_EQ(CurrentSupervisorState(), SupervisorState::HOME_SEEK);
  EXPECT_EQ(engine().homing_active, 1);
  EXPECT_EQ(SupervisorHomingAxis(), 0);

  engine().input_signal[HomeInput(0)].state = 1;
  Run();
  auto moves = Moves();
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0][3], 0) << "away from the switch";
  EXPECT_EQ(Le32(moves[0], 4), 614400) << "at a quarter of the seek speed";
  state.board_mode = 4;
  Run(2);
  EXPECT_EQ(CurrentSupervisorState(), SupervisorState::HOME_RELEASE);

  state.board_pos[0] = 1234;
  engine().home_position[0] = 100;
  planner().motion_flags = (std::uint64_t{1} << 56) | 0x5;
  engine().position_changed = 0;
  state.board_mode = 0;
  Run();
  EXPECT_EQ(state.pos_offset[0].load(), 100 - 1234);
  EXPECT_EQ(engine().axis_referenced[0], 1);
  EXPECT_EQ(planner().motion_flags, 0x5u);
  EXPECT_EQ(engine().position_changed, 1);
  EXPECT_EQ(engine().homing_active, 0);
  EXPECT_EQ(CurrentSupervisorState(), SupervisorState::RUN);
  EXPECT_EQ(SupervisorHomingAxis(), -1);
}

TEST_F(Supervisor, QueuedHomesRunOneAfterTheOther) {
  engine().input_signal[HomeInput(0)].enabled = engine().input_signal[HomeInput(1)].enabled = 1;
  Home(0);
  Home(1);
  state.still_count = 11;
  Run();
  HomeCycle(0);
  auto moves = Moves();
  ASSERT_EQ(moves.size(), 2u) << "axis 0's seek and release only";
  EXPECT_EQ(moves[1][2], 0);
  Run();
  moves = Moves();
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0][2], 1) << "axis 1 starts at the next idle run";
}

TEST_F(Supervisor, TheSeekTurnsForAReversedAxis) {
  struct Case {
    std::uint8_t reversed, flag, dir;
  };
  for (Case c : {Case{0, 0, 1}, Case{1, 1, 1}, Case{1, 0, 0}, Case{0, 1, 0}}) {
    engine().axis_reversed[3] = c.reversed;
    planner().home_dir_flag[3] = c.flag;
    HomeStart(3);
    auto moves = Moves();
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_EQ(moves[0][3], c.dir) << int{c.reversed} << int{c.flag};
  }
}

TEST_F(Supervisor, HomeWithoutASwitchOrAnAxisCompletesAtOnce) {
  Home(2);
  EXPECT_EQ(host_.Status(), "you need enable switcher for axis 2 first");
  EXPECT_EQ(engine().position_changed, 1);
  engine().position_changed = 0;
  engine().input_signal[0].enabled = 1;
  Home(7);  // no such axis: nothing to post
  EXPECT_EQ(engine().position_changed, 1);
  EXPECT_EQ(ActionPop(), 0);
}

// The masks frame the end of a cycle sends: [0xC9 23][EMask u64][0xC9 24][EValid u64].
bool MasksFrameWithout(const std::vector<Frame>& frames, int pin) {
  for (const Frame& f : frames) {
    if (f.size() == 21 && f[1] == 0xC9 && f[2] == 23) {
      std::uint64_t emask = 0;
      for (std::size_t i = 0; i < 8; ++i) emask |= static_cast<std::uint64_t>(f[3 + i]) << (8 * i);
      return (emask & (std::uint64_t{1} << pin)) == 0;
    }
  }
  return false;
}

TEST_F(Supervisor, EstopDuringHomingEndsTheCycleAndReturnsTheLimits) {
  auto wire = [&](int input, std::uint8_t pin) {
    host::InputSignal& in = engine().input_signal[input];
    in.enabled = 1, in.port = 1, in.pin = pin;
  };
  wire(HomeInput(0), 5);
  wire(LimitInputA(0), 3);  // on the home switch's port: held while X homes
  Home(0);
  state.still_count = 11;
  Run();
  ASSERT_EQ(CurrentSupervisorState(), SupervisorState::HOME_SEEK);
  ParamCompute();
  ASSERT_EQ(engine().input_signal[LimitInputA(0)].enabled, 0) << "held for homing";
  engine().input_signal[HomeInput(0)].state = 1;
  Run();
  ASSERT_EQ(CurrentSupervisorState(), SupervisorState::HOME_RELEASE);
  state.board_mode = 4;
  link_.Take();

  planner().motion_flags = (std::uint64_t{1} << 56) | 0x5;
  engine().position_changed = 0;
  engine().estop = 1;
  Run();
  std::vector<Frame> frames = link_.Take();
  EXPECT_EQ(CurrentSupervisorState(), SupervisorState::ESTOPPED);
  EXPECT_EQ(engine().homing_active, 0);
  EXPECT_EQ(SupervisorHomingAxis(), -1);
  EXPECT_EQ(planner().motion_flags, 0x5u);
  EXPECT_EQ(engine().input_signal[LimitInputA(0)].enabled, 1) << "the limit is in service again at once";
  EXPECT_TRUE(MasksFrameWithout(frames, 5)) << "the board no longer watches the home switch";
  EXPECT_EQ(engine().position_changed, 1);

  // Once E-stop is cleared, homing starts afresh.
  engine().estop = 0;
  state.board_mode = 0;
  engine().input_signal[HomeInput(0)].state = 0;
  Run(2);
  Home(0);
  Run();
  EXPECT_EQ(CurrentSupervisorState(), SupervisorState::HOME_SEEK);
}

TEST_F(Supervisor, TheBoardLinkLostDuringMotionRaisesEstop) {
  SupervisorLinkLost();
  EXPECT_EQ(engine().estop, 0) << "an idle machine stays as it is";
  EXPECT_EQ(ActionPop(), 0);

  StreamRunning(100);
  SupervisorLinkLost();
  EXPECT_EQ(engine().estop, 1);
  EXPECT_EQ(ActionPop(), ACTION_ESTOP);
  EXPECT_EQ(host_.Status(), "board link lost during motion: E-stop");
  SupervisorLinkLost();
  EXPECT_EQ(ActionPop(), 0) << "once";

  engine().estop = 0;
  state.segments_sent = state.segments_done = 0;
  engine().ring_read_index = engine().ring_write_index;  // nothing outstanding, something waiting?
  engine().ring_write_index = (engine().ring_read_index + 3) & 0xFFF;
  SupervisorLinkLost();
  EXPECT_EQ(engine().estop, 1) << "segments waiting in the ring are a motion under way";
}

// Every way of raising E-stop voids the homes waiting in the queue: after the reset nothing starts
// by itself. A home asked for while in E-stop starts nothing, now or later, and says so.
TEST_F(Supervisor, AnEstopEndsEveryPendingHomeAndAHomeDuringEstopStartsNothing) {
  struct Source {
    const char* name;
    std::function<void()> raise;
  };
  const std::vector<Source> sources = {
      {"the host's flag", [&] { engine().estop = 1; }},
      {"Notify(10)", [] { Notify(10); }},
      {"the E-stop action (limits, E-stop input)", [] { ActionPost(ACTION_ESTOP); }},
      {"a link lost during the seek", [] { SupervisorLinkLost(); }},
      {"the stall watchdog", [] { SupervisorBoardStalled(100, 2000); }},
  };
  for (int axis = 0; axis < 3; ++axis) engine().input_signal[HomeInput(axis)].enabled = 1;
  for (const Source& source : sources) {
    SCOPED_TRACE(source.name);
    Home(0);
    Home(1);
    Home(2);
    state.still_count = 11;
    Run();
    ASSERT_EQ(CurrentSupervisorState(), SupervisorState::HOME_SEEK);
    auto moves = Moves();
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_EQ(moves[0][2], 0) << "axis 0 seeks";
    ASSERT_EQ(HomeQueueLength(), 2);

    source.raise();
    Run(2);
    EXPECT_EQ(engine().estop, 1);
    EXPECT_EQ(CurrentSupervisorState(), SupervisorState::ESTOPPED);
    EXPECT_EQ(HomeQueueLength(), 0) << "the homes still waiting are void";

    engine().estop = 0;
    Run(5);
    EXPECT_EQ(CurrentSupervisorState(), SupervisorState::RUN);
    EXPECT_TRUE(Moves().empty()) << "no axis starts homing by itself after the reset";
  }

  // Home while in E-stop: refused at once, with the reason, and completion reported.
  engine().estop = 1;
  Run();
  engine().position_changed = 0;
  Home(1);
  EXPECT_EQ(host_.Status(), "axis 1 not homed: the machine is in E-stop");
  EXPECT_EQ(engine().position_changed, 1);
  Run();
  // Asked for just before the E-stop, carried out just after it: the same.
  engine().estop = 0;
  Run(2);
  ASSERT_EQ(CurrentSupervisorState(), SupervisorState::RUN);
  Home(2);
  engine().estop = 1;
  engine().position_changed = 0;
  Run();
  EXPECT_EQ(host_.Status(), "axis 2 not homed: the machine is in E-stop");
  EXPECT_EQ(engine().position_changed, 1);
  EXPECT_EQ(HomeQueueLength(), 0);
  engine().estop = 0;
  Run(5);
  EXPECT_TRUE(Moves().empty()) << "nothing starts once E-stop is cleared";
}

// An E-stop sent while no link was open, or a link lost with motion under way, is owed to the
// next board: once identified it is sent 0xD0 and 0xCD before anything else, and no enable
// while the host's E-stop stands.
TEST_F(Supervisor, TheBoardIdentifiedAfterAnEstopItMissedIsToldBeforeAnythingElse) {
  StreamRunning(100);
  state.link_open = 0;  // the link has just closed (Ethernet: the operations stay in place)
  SupervisorLinkLost();
  ASSERT_EQ(engine().estop, 1);
  Run();
  link_.Take();  // spent on no link
  ASSERT_EQ(CurrentSupervisorState(), SupervisorState::ESTOPPED);

  // A board connects again: nothing is said before it is identified.
  state.link_connections.fetch_add(1);
  state.link_open = 1;
  state.segments_sent = state.segments_done = 0;
  Run(3);
  EXPECT_TRUE(link_.Take().empty());
  state.pulse_rate_hz = 100000;  // the identification reply
  Run();
  EXPECT_EQ(Commands(), (Codes{0xD0, 0xCD})) << "as soon as it is identified";
  Run(3);
  EXPECT_TRUE(link_.Take().empty()) << "once per connection";
  state.board_mode = 0x20;
  ActionPost(ACTION_ENABLE);  // as the parser posts on mode 0x20 (it checks the host's flag too)
  Run();
  EXPECT_TRUE(Commands().empty()) << "no enable while the host is in E-stop";

  // The link drops with a motion under way, and the operator resets before the board is back:
  // the E-stop is still owed to it.
  engine().estop = 0;
  Run(2);
  state.segments_sent = 40;
  state.segments_done = 10;
  state.link_open = 0;
  SupervisorLinkLost();
  Run(3);
  engine().estop = 0;
  Run(3);
  ASSERT_EQ(CurrentSupervisorState(), SupervisorState::RUN);
  link_.Take();
  state.segments_sent = state.segments_done = 0;
  state.link_connections.fetch_add(1);
  state.link_open = 1;
  Run();
  EXPECT_EQ(Commands(), (Codes{0xD0, 0xCD})) << "owed, whatever the host's flag says now";

  // A board identified with nothing owed and the host not in E-stop is left alone.
  engine().estop = 0;
  Run(3);
  link_.Take();
  state.link_connections.fetch_add(1);
  Run(2);
  for (std::uint8_t code : Commands()) EXPECT_NE(code, 0xCD);
}

class SupervisorProbe : public Supervisor {
 protected:
  void SetUp() override {
    Supervisor::SetUp();
    engine().input_signal[kProbeInput].enabled = 1;
    planner().steps_per_unit[2] = 400;
    planner().probe_feed = 2;
    for (int k = 0; k < 3; ++k) engine().axis_enabled[k] = 1;
    planner().probe_target[0] = 0.05;  // within 0.1: not a probe
    planner().probe_target[1] = 3;
    planner().probe_target[2] = -5;  // the highest axis wins
    planner().probe_target[3] = 10;  // a disabled axis is never probed
  }
};

TEST_F(SupervisorProbe, WithoutTheProbeInputTheTaskSaysSoASecondLater) {
  engine().input_signal[kProbeInput].enabled = 0;
  engine().softlimit_armed = planner().probe_pending = 1;
  const std::uint32_t now = platform::TickMs();
  Probe();
  TimerRunDue();
  EXPECT_EQ(host_.Status(), "");
  platform::SetTickBase(now + 1100);
  TimerRunDue();
  EXPECT_EQ(host_.Status(), "probe function need digitize input enable");
  EXPECT_EQ(engine().softlimit_armed, 0);
  EXPECT_EQ(planner().probe_pending, 0);
  EXPECT_EQ(TimerLiveCount(), 0);
  EXPECT_TRUE(link_.Take().empty());
}

TEST_F(SupervisorProbe, TheProbeWaitsForTheProgramThenMovesUntilTheBoardLeavesMode8) {
  state.segments_sent = 5;
  EXPECT_EQ(ProbeRun(0), 100);
  EXPECT_TRUE(link_.Take().empty());
  state.segments_sent = 0;
  EXPECT_EQ(ProbeRun(0), 0);
  auto frames = link_.Take();
  ASSERT_EQ(frames.size(), 1u);
  ASSERT_EQ(frames[0].size(), 11u);
  EXPECT_EQ(frames[0][1], 0xD1);
  EXPECT_EQ(frames[0][2], 2);
  EXPECT_EQ(Le32(frames[0], 3), -2000) << "-5 units x 400 steps";
  EXPECT_EQ(Le32(frames[0], 7), 157286) << "trunc(2 x 400 x 0.003 x 65536)";
  EXPECT_EQ(engine().probing[2], 1);
  EXPECT_EQ(planner().board_has_room, 0);
  EXPECT_EQ(state.board_mode.load(), 8);
  Run(2);
  EXPECT_EQ(CurrentSupervisorState(), SupervisorState::PROBING);

  state.board_mode = 0x10;
  Run();
  EXPECT_EQ(CurrentSupervisorState(), SupervisorState::RUN);
  EXPECT_EQ(engine().probing[2], 0);
  EXPECT_EQ(engine().position_changed, 1);
}

TEST_F(SupervisorProbe, TargetsThatAreNoNumberAreNeverProbed) {
  planner().probe_target[1] = std::numeric_limits<double>::infinity();
  planner().probe_target[2] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(ProbeRun(0), 0);
  EXPECT_TRUE(link_.Take().empty());
  EXPECT_EQ(engine().position_changed, 1) << "nothing to probe: done at once";
}

TEST_F(Supervisor, ADwellHoldsTheStreamButNotTheActions) {
  const std::uint32_t base = 1000000;
  platform::SetTickBase(base);
  StreamRunning(30);
  DoDwell(0.5);
  EXPECT_EQ(engine().dwell_active, 1);
  platform::SetTickBase(base + 400);
  ActionPost(ACTION_ENABLE);
  Run();
  EXPECT_EQ(Commands(), Codes{0xCE}) << "no segment during the dwell";
  EXPECT_EQ(engine().dwell_active, 1);
  platform::SetTickBase(base + 600);
  Run();
  EXPECT_EQ(engine().dwell_active, 0);
  EXPECT_EQ(Commands(), Codes{0xCA});
}

TEST_F(Supervisor, DwellDeadlinesAcrossTheTickWrap) {
  StreamRunning(30);
  for (std::uint32_t start : {0xFFFFFF00u, 0u - 500u}) {  // ends after the wrap; ends at tick 0
    platform::SetTickBase(start);
    DoDwell(0.5);
    Run();
    EXPECT_TRUE(link_.Take().empty()) << start;
    platform::SetTickBase(start + 600);
    Run();
    EXPECT_EQ(engine().dwell_active, 0) << start;
    link_.Take();
  }
  for (double t : {-1e12, std::numeric_limits<double>::quiet_NaN()}) {
    DoDwell(t);
    Run();
    EXPECT_EQ(engine().dwell_active, 0) << t << " is no dwell, not one of 24 days";
  }
}

TEST_F(Supervisor, NotifyMinusOneSkipsAWindowAndDropsWhatWaits) {
  engine().ring_write_index = 4000;
  engine().ring_read_index = 50;
  Notify(-1);
  EXPECT_EQ(engine().ring_write_index, (4000 + 450) & 0xFFF);
  EXPECT_EQ(engine().ring_read_index, engine().ring_write_index);
}

TEST_F(Supervisor, SpindleFiguresForEachNotifyCode) {
  auto& p = planner();
  p.spindle_on = p.spindle_pwm = 1;
  p.spindle_ratio = 1.7;
  p.pwm_divisor = 2;
  engine().pwm_base = 24000000;
  for (std::int32_t code : {3, 5}) {
    SpindleFigures f = SpindleFiguresFor(code);
    EXPECT_TRUE(f.set_duty && f.set_pwm_figure);
    EXPECT_EQ(f.duty_percent, 100) << "the ratio is held at 1.0";
    EXPECT_EQ(f.pwm_figure, 12000);
  }
  p.spindle_ratio = -0.3;
  EXPECT_EQ(SpindleFiguresFor(3).duty_percent, 0) << "and at 0";
  p.pwm_divisor = 0;
  EXPECT_FALSE(SpindleFiguresFor(3).set_pwm_figure) << "no divisor, no figure";
  SpindleFigures off = SpindleFiguresFor(4);
  EXPECT_TRUE(off.set_duty && off.duty_percent == 0 && !off.set_pwm_figure);
  p.spindle_pwm = 0;
  p.spindle_ratio = 0.5;
  p.pwm_divisor = 2;
  EXPECT_FALSE(SpindleFiguresFor(4).set_duty);
  SpindleFigures plain = SpindleFiguresFor(3);
  EXPECT_TRUE(plain.set_duty && plain.duty_percent == 0 && !plain.set_pwm_figure);
  p.spindle_on = 0;
  for (std::int32_t code : {3, 5, 0, 10}) EXPECT_FALSE(SpindleFiguresFor(code).set_duty) << code;
}

TEST_F(Supervisor, OtherNotifyCodesPurgeResetAndUpdateChangeNothing) {
  StreamRunning(12);
  planner().spindle_on = planner().spindle_pwm = 1;
  auto bytes = [](const auto& block) {
    std::vector<std::uint8_t> out(sizeof block);
    std::memcpy(out.data(), &block, sizeof block);
    return out;
  };
  const auto engine_before = bytes(engine());
  const auto planner_before = bytes(planner());
  for (std::int32_t code : {0, 1, 2, 6, 11, -2}) Notify(code);
  Purge(0);
  Reset();
  Update();
  EXPECT_EQ(bytes(engine()), engine_before);
  EXPECT_EQ(bytes(planner()), planner_before);
  EXPECT_EQ(state.segments_sent.load(), 40u);
  EXPECT_EQ(ActionPop(), 0);
  EXPECT_TRUE(link_.Take().empty());
}

TEST_F(SupervisorProbe, EstopDuringProbingEndsTheCycleAndTheSameProbeMayRunAgain) {
  engine().input_signal[kProbeInput].port = 1;
  engine().input_signal[kProbeInput].pin = 6;
  EXPECT_EQ(ProbeRun(0), 0);
  ASSERT_EQ(CurrentSupervisorState(), SupervisorState::PROBING);
  link_.Take();
  Notify(10);
  Run();
  std::vector<Frame> frames = link_.Take();
  EXPECT_EQ(engine().estop, 1);
  EXPECT_EQ(engine().probing[2], 0);
  EXPECT_EQ(SupervisorProbeAxis(), -1);
  EXPECT_TRUE(MasksFrameWithout(frames, 6)) << "masks sent without the probe input";
  Run();
  EXPECT_EQ(CurrentSupervisorState(), SupervisorState::ESTOPPED);
  link_.Take();

  const std::uint32_t now = platform::TickMs();
  Probe();  // asked for while in E-stop: it must not move
  platform::SetTickBase(now + 1100);
  TimerRunDue();
  EXPECT_TRUE(link_.Take().empty());

  engine().estop = 0;
  state.board_mode = 0;
  Run(2);
  link_.Take();
  EXPECT_EQ(ProbeRun(0), 0);
  frames = link_.Take();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back()[1], 0xD1) << "the same target probes again, it is not taken as under way";
}

}  // namespace
}  // namespace kv
