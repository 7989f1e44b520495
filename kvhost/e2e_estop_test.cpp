// End-to-end E-stop: whatever raised it and whatever the link did meanwhile, the board ends
// stopped and nothing starts by itself after the reset. Homes waiting behind an E-stop are void;
// a board that stalls is told before its link is closed; a board that comes back holding the
// queue it had (its firmware resumes) is stopped, its queue dropped, over Ethernet and USB.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "board_wait.h"
#include "e2e_fixture.h"

namespace kvhost::e2e {
namespace {

constexpr int kCommandMs = 10000;  // generous: a shared two-core machine under sanitizers
// Long enough for the supervisor to start a waiting home (11 still position reports at 10 ms,
// then its next 20 ms run), many times over.
constexpr std::uint32_t kNothingStartsMs = 1500;

class E2eEstop : public E2eTest {
 protected:
  host::EngineBlock& Engine() { return machine_.engine(); }

  // Where the command codes of the board's present connection put 0xCD: before any status poll
  // (0xDE), with no segment frame (0xCA) before it. Empty when it is not there.
  static std::string EstopFirst(const std::vector<std::uint8_t>& codes) {
    const auto estop = std::find(codes.begin(), codes.end(), 0xCD);
    if (estop == codes.end()) return "no 0xCD on the connection";
    if (std::find(codes.begin(), estop, 0xDE) != estop) return "a status poll before 0xCD";
    if (std::find(codes.begin(), estop, 0xCA) != estop) return "segments before 0xCD";
    return {};
  }
  static std::string Codes(const std::vector<std::uint8_t>& codes) {
    std::string text;
    char hex[4];
    for (std::uint8_t c : codes) {
      std::snprintf(hex, sizeof hex, "%02X ", c);
      text += hex;
    }
    return text;
  }

  // A long X move dropped mid-way by a board that holds its queue while the link is down and
  // resumes it when connected again: it must end E-stopped, its queue dropped, with 0xCD sent
  // as soon as it was identified and no enable while the host stays in E-stop.
  void ResumingBoardEndsStopped(bool usb) {
    const kvgcode::Program program = Parse("G21 G90\nG1 X80 F1200\nM2\n", "long move");
    ASSERT_NO_FATAL_FAILURE(Connect([usb](kvboard::BoardConfig& c) {
      c.usb = usb;
      c.resume_queue = true;
    }));
    std::uint32_t held_at_drop = 0;
    std::thread drop([&] {
      if (WaitBoard([](const kvboard::Stats& b) { return b.motion.segments_received > 300 && b.motion.queue_depth > 100; },
                    20000)) {
        board_->DropConnection();
        held_at_drop = Board().motion.queue_depth;
      }
    });
    const ProgramOutcome out = RunProgram(program);
    drop.join();
    ASSERT_GT(held_at_drop, 0u) << "the drop was not injected";
    EXPECT_FALSE(out.run.completed);
    EXPECT_TRUE(out.run.estop);
    const std::uint32_t enables_before = Board().enables;

    // Back, identified: told E-stop before anything else, its queue dropped.
    ASSERT_TRUE(WaitBoard([](const kvboard::Stats& b) { return b.connections >= 2 && b.estopped; }, kCommandMs))
        << "the board that came back was never stopped; codes on its connection: "
        << Codes(Board().first_codes_this_connection);
    kvboard::Stats s = Board();
    EXPECT_EQ(EstopFirst(s.first_codes_this_connection), "") << Codes(s.first_codes_this_connection);
    EXPECT_TRUE(WaitBoard([](const kvboard::Stats& b) { return b.motion.queue_depth == 0; }, kSettleMs));
    s = Board();
    EXPECT_GT(s.motion.segments_dropped, 0u) << "what it held is dropped, not run";
    EXPECT_LT(s.motion.segments_executed_total, s.motion.segments_received);
    const std::int32_t stopped_at = s.position_steps[0];
    platform::SleepMs(500);
    s = Board();
    EXPECT_EQ(s.position_steps[0], stopped_at) << "the board moved after E-stop";
    EXPECT_TRUE(s.estopped);
    EXPECT_EQ(s.enables, enables_before) << "no enable while the host is in E-stop";
    EXPECT_EQ(host::Load(Engine().estop), 1);

    // Once the host clears its E-stop the board is enabled, with nothing left to run.
    host::Store(Engine().estop, std::uint8_t{0});
    EXPECT_TRUE(WaitBoard([](const kvboard::Stats& b) { return !b.estopped && b.enables >= 1; }, kCommandMs));
    platform::SleepMs(300);
    EXPECT_EQ(Board().position_steps[0], stopped_at);
  }
};

// Home(0) then Home(1), E-stop during axis 0's seek, E-stop cleared: axis 1 must not start
// homing by itself (no 0xCB after the reset). Then Home while in E-stop: nothing, now or after.
TEST_F(E2eEstop, AnEstopDuringHomingVoidsTheHomesWaitingBehindIt) {
  config_.axes[0].home_pin = 10;
  config_.axes[1].home_pin = 11;
  ASSERT_NO_FATAL_FAILURE(Connect([](kvboard::BoardConfig& board) {
    board.machine[0].home_steps = -2000000;  // far away: the seek is still running at the E-stop
    board.machine[1].home_steps = -2000000;
  }));
  session_.api().Home(0);
  session_.api().Home(1);
  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& b) { return b.mode == 4; }, kCommandMs)) << "no seek";
  host::Store(Engine().estop, std::uint8_t{1});
  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& b) { return b.estopped && b.mode != 4; }, kCommandMs));
  const std::uint32_t moves = Board().velocity_moves;
  EXPECT_EQ(moves, 1u) << "axis 0's seek only";

  host::Store(Engine().estop, std::uint8_t{0});
  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& b) { return !b.estopped && b.enables >= 1; }, kCommandMs));
  platform::SleepMs(kNothingStartsMs);
  EXPECT_EQ(Board().velocity_moves, moves) << "axis 1 started homing by itself after the reset";
  EXPECT_NE(Board().mode, 4);

  host::Store(Engine().estop, std::uint8_t{1});
  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& b) { return b.estopped; }, kCommandMs));
  session_.api().Home(1);
  EXPECT_EQ(machine_.StatusLine(), "axis 1 not homed: the machine is in E-stop");
  host::Store(Engine().estop, std::uint8_t{0});
  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& b) { return !b.estopped; }, kCommandMs));
  platform::SleepMs(kNothingStartsMs);
  EXPECT_EQ(Board().velocity_moves, moves) << "a home asked for in E-stop started after the reset";
}

// A board that goes silent mid-program (it still reads and executes, it no longer reports): the
// plug-in gives the link up after 2 s, but tells the board first, names the stall and counts the E-stop.
TEST_F(E2eEstop, AStalledBoardIsToldEstopBeforeItsLinkIsClosed) {
  const kvgcode::Program program = Parse("G21 G90\nG1 X80 F1200\nM2\n", "long move");
  ASSERT_NO_FATAL_FAILURE(Connect());
  std::thread silence([this] {
    if (WaitBoard([](const kvboard::Stats& b) { return b.motion.segments_received > 300; }, 20000)) board_->SetSilent(true);
  });
  const ProgramOutcome out = RunProgram(program);
  silence.join();
  EXPECT_FALSE(out.run.completed);
  EXPECT_TRUE(out.run.estop);
  const host::LinkState link = ReadLinkState(session_.api());
  EXPECT_EQ(link.stall_closes, 1u);
  EXPECT_GE(link.estops, 1u) << "the E-stop the plug-in raised is counted by the time the host sees it";
  EXPECT_GT(link.stall_outstanding, 0u);
  const std::string expected = "board executed no segment for 2 s with " + std::to_string(link.stall_outstanding) +
                               " outstanding: link closed, E-stop";
  EXPECT_EQ(machine_.StatusLine(), expected);
  EXPECT_TRUE(WaitBoard([](const kvboard::Stats& b) { return b.estops >= 1 && b.estopped; }, kCommandMs))
      << "the board was never told";
  EXPECT_GE(Board().disconnects, 1u) << "and its link was closed";
  EXPECT_EQ(Board().motion.queue_depth, 0u);
}

TEST_F(E2eEstop, AResumingBoardBackAfterADropEndsStoppedWithItsQueueDropped) {
  ASSERT_NO_FATAL_FAILURE(ResumingBoardEndsStopped(false));
}

TEST_F(E2eEstop, AResumingBoardBackAfterAnUnplugEndsStoppedWithItsQueueDropped) {
  ASSERT_NO_FATAL_FAILURE(ResumingBoardEndsStopped(true));
}

}  // namespace
}  // namespace kvhost::e2e
