// The stop that closes the segment stream once the board is at rest, against a scripted board on
// the far side of the link: whatever order the board's reports, the stream's sends and the stop
// come in, a close never reaches the board behind segments it has not executed yet.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "motion/motion_stream.h"
#include "motion/supervisor.h"
#include "runtime/action_queue.h"
#include "runtime/timer_scheduler.h"
#include "service/receive_parser.h"
#include "shell/host_access.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"
#include "testing/scripted_board.h"

namespace kv {
namespace {

using testing::BeginStreamRunByHand;
using testing::ScriptedBoard;

class RestStop : public ::testing::Test {
 protected:
  void SetUp() override {
    BeginStreamRunByHand();  // runs are driven by hand
    host_.planner().segment_time = 0.003;
    host_.planner().board_has_room = 1;
  }
  void TearDown() override {
    ActionReset();
    TimerReset();
  }

  // The host publishes `count` segments of one X step each.
  void Plan(int count) {
    host::EngineBlock& e = host_.engine();
    for (int i = 0; i < count; ++i) {
      const std::int32_t write = host::Load(e.ring_write_index);
      host_.planner().segment_ring[write].axis_steps[0] = 1.0;
      host::Store(e.ring_write_index, (write + 1) & host::kRingMask);
    }
  }
  bool RingEmpty() { return host_.engine().ring_write_index == host_.engine().ring_read_index; }

  // One supervisor run with the board around it. `before_run` is the moment after the reports
  // that have arrived were parsed and before the run drains its actions.
  void Step(ScriptedBoard& board, const std::function<void()>& before_run = {}) {
    board.Deliver();
    if (before_run) before_run();
    EXPECT_EQ(SupervisorRun(0), 20);
    board.Receive();
    board.Execute();
    board.TakeReport();
    board.NextRun();
  }
  // Runs until the board holds nothing, the host's ring is empty and the stream is closed.
  void Finish(ScriptedBoard& board) {
    for (int run = 0; run < 2000; ++run) {
      Step(board);
      if (RingEmpty() && board.Queued() == 0 && state.segments_sent.load() == 0 && MotionIdle()) return;
    }
    ADD_FAILURE() << "the motion never came to its end";
  }

  testing::FakeHost host_;
  testing::CapturedLink link_;
};

// The board's reports arrive 8 runs (160 ms) after they were taken. The host, late with its
// plan, publishes the next segments just as the board is seen at rest: the stop closes the
// stream, and the reports taken before the close still show the old motion's count. The next
// motion must wait for the board's count to restart, or those reports make its segments look
// executed, the board at rest with them queued, and a second stop drops them.
TEST_F(RestStop, LateReportsAfterAStopNeverDropTheNextMotion) {
  ScriptedBoard board(link_, 2, 8);
  Plan(60);
  bool replanned = false;
  for (int run = 0; run < 2000 && !replanned; ++run) {
    Step(board, [&] {
      if (state.still_count.load() >= 3 && RingEmpty() && board.executed_total == 60) {
        Plan(60);  // the stop for the first 60 is posted, not yet carried out
        replanned = true;
      }
    });
  }
  ASSERT_TRUE(replanned) << "the board never came to rest after the first segments";
  Finish(board);
  EXPECT_EQ(board.dropped, 0) << "segments queued at the board were dropped by a stream close";
  EXPECT_EQ(board.executed_total, 120);
  EXPECT_EQ(board.x_steps, 120) << "steps lost";
  EXPECT_GE(board.closes, 2) << "each motion ends with a close";
  EXPECT_EQ(host_.engine().axis_position[0], 120) << "the host follows the board";
}

// Without latency: the third still report is parsed on the link thread after a run has drained
// its actions and before its stream step, which sends the segments the host has just planned.
// The stop, carried out on the next run, must see that the stream has sent since the board was
// seen at rest, and not close the stream behind them.
TEST_F(RestStop, AStopDecidedBeforeTheStreamSentIsNotCarriedOutAfterIt) {
  ScriptedBoard board(link_, 2, 0);
  Plan(60);
  for (int run = 0; run < 2000 && !(board.executed_total == 60 && state.still_count.load() == 2); ++run) Step(board);
  ASSERT_EQ(state.still_count.load(), 2) << "the board never came to rest after the first segments";

  const int closes_before = board.closes;  // closes of the idle stream before the first motion

  Plan(60);
  board.Deliver();   // the third still report: the stop is posted
  StreamSegments();  // the run's stream step, its actions already drained
  board.Receive();
  ASSERT_EQ(board.Queued(), 20u) << "the stream went on sending";
  Step(board);  // the next run finds the stop in the queue
  EXPECT_EQ(board.closes, closes_before) << "the stream was closed behind 20 fresh segments";

  Finish(board);
  EXPECT_EQ(board.dropped, 0);
  EXPECT_EQ(board.executed_total, 120);
  EXPECT_EQ(board.x_steps, 120) << "steps lost";
  EXPECT_EQ(board.closes, closes_before + 1) << "the stream is closed once the board has run everything";
}

// An E-stop's stop is never held back: the board must drop what it holds.
TEST_F(RestStop, AnEstopClosesTheStreamWithSegmentsOutstanding) {
  ScriptedBoard board(link_, 2, 0);
  state.segments_sent = state.segments_done = 1;  // under way: no hold-off
  Plan(100);
  Step(board);
  ASSERT_EQ(board.Queued(), 18u);
  state.rest_sent_seen = 0;  // no rest seen for this motion
  host_.engine().estop = 1;
  Step(board);
  EXPECT_EQ(board.closes, 1);
  EXPECT_GT(board.dropped, 0);
  EXPECT_EQ(state.segments_sent.load(), 0u);
  EXPECT_TRUE(RingEmpty()) << "the waiting segments dropped too";
}

}  // namespace
}  // namespace kv
