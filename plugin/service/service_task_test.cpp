// The service task's states, driven run by run against a capturing link.
#include "service/service_task.h"

#include <gtest/gtest.h>

#include "link/link_health.h"
#include "motion/supervisor.h"
#include "platform/clock.h"
#include "runtime/action_queue.h"
#include "runtime/timer_scheduler.h"
#include "service/receive_parser.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"

namespace kv {
namespace {

using testing::Frame;

class ServiceTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.planner().segment_time = 0.003;
    state.idle_rounds = 0;
  }
  testing::FakeHost host_;
};

TEST_F(ServiceTaskTest, WithoutALinkNothingIsSentAndTheBoardStaysUnidentified) {
  state.pulse_rate_hz = 5;
  EXPECT_EQ(ServiceRun(0), 200);
  EXPECT_EQ(state.pulse_rate_hz.load(), 0u);
}

TEST_F(ServiceTaskTest, IdentifyPollThenStreamWithAKeepAliveOnEverySixthEmptyRun) {
  testing::CapturedLink link;
  ServiceStart();
  EXPECT_EQ(state.link_receive.load(), &ReceiveFrame);
  EXPECT_EQ(ServiceRun(0), 200);
  EXPECT_EQ(link.Take(), (std::vector<Frame>{{0x01, 0xDD}}));

  state.pulse_rate_hz = 100000;  // as the identification reply sets it
  EXPECT_EQ(ServiceRun(0), 200);
  EXPECT_EQ(link.Take(), (std::vector<Frame>{{0x02, 0xDE, 0xFF}}));

  state.stream_mode = true;  // as the first status reply sets it
  ServiceRun(0);
  link.Take();  // the first streaming run may carry parameters
  std::vector<int> sent_at;
  for (int run = 1; run <= 12; ++run) {
    EXPECT_EQ(ServiceRun(0), 30);
    for (const Frame& f : link.Take()) {
      EXPECT_EQ(f, (Frame{0x01, 0xDC})) << testing::Hex(f);
      sent_at.push_back(run);
    }
  }
  ASSERT_EQ(sent_at.size(), 2u);
  EXPECT_EQ(sent_at[1] - sent_at[0], 6) << "five silent runs, then the keep-alive";
}

TEST_F(ServiceTaskTest, ServiceStartReturnsAConnectedBoardToIdentifying) {
  testing::CapturedLink link;
  state.stream_mode = true;
  state.pulse_rate_hz = 100000;
  state.upgrade_requested = true;
  state.segments_sent = 9;
  state.segments_done = 7;  // the last connection's count: it must not hold back a new motion
  state.still_count = 4;
  state.softlimit_tripped[3] = true;
  ServiceStart();
  EXPECT_FALSE(state.stream_mode.load());
  EXPECT_EQ(state.pulse_rate_hz.load(), 0u);
  EXPECT_FALSE(state.upgrade_requested.load());
  EXPECT_EQ(state.segments_sent.load(), 0u);
  EXPECT_EQ(state.segments_done.load(), 0u);
  EXPECT_EQ(state.still_count.load(), 0);
  EXPECT_FALSE(state.softlimit_tripped[3].load());
  ServiceRun(0);
  EXPECT_EQ(link.Take(), (std::vector<Frame>{{0x01, 0xDD}}));
}

// A board that holds segments and executes none for 2 s, across the wrap of the tick: the host is
// put into E-stop with a message that names the stall, and the board, which may still be
// reading, is sent 0xD0 and 0xCD before its link is closed.
TEST_F(ServiceTaskTest, AStalledBoardIsStoppedAndTheStallNamedBeforeItsLinkIsClosed) {
  testing::CapturedLink link;
  ActionReset();
  SupervisorInit();  // no E-stop under way
  TimerReset();
  state.lim_buffer = 450;
  state.pulse_rate_hz = 100000;
  state.stream_mode = true;
  state.segments_sent = state.segments_done = 20;
  const LinkHealth before = LinkHealthSnapshot();
  constexpr std::uint32_t kStart = 0xFFFFF000u;
  platform::SetTickBase(kStart);
  ServiceRun(0);  // nothing outstanding: the watch starts here
  state.segments_sent = 120;
  platform::SetTickBase(kStart + 1900);
  ServiceRun(0);
  EXPECT_EQ(link.CloseCalls(), 0) << "1.9 s is not a stall";
  EXPECT_EQ(host_.engine().estop, 0);
  link.Take();

  platform::SetTickBase(kStart + 2000);
  ServiceRun(0);
  std::vector<std::uint8_t> commands;
  for (const Frame& f : link.Take()) {
    if (f.size() == 2) commands.push_back(f[1]);
  }
  EXPECT_EQ(commands, (std::vector<std::uint8_t>{0xD0, 0xCD}));
  EXPECT_EQ(link.CloseCalls(), 1);
  EXPECT_EQ(host_.engine().estop, 1);
  EXPECT_EQ(ActionPop(), ACTION_ESTOP) << "the supervisor drops what waits and ends any cycle";
  EXPECT_EQ(host_.Status(), "board executed no segment for 2 s with 100 outstanding: link closed, E-stop");
  const LinkHealth after = LinkHealthSnapshot();
  EXPECT_EQ(after.stall_closes, before.stall_closes + 1);
  EXPECT_EQ(after.stall_outstanding, 100u);
  EXPECT_EQ(after.estops, before.estops + 1) << "the E-stop raised is counted";
  ActionReset();
  state.segments_sent = state.segments_done = 0;
}

}  // namespace
}  // namespace kv
