// The service task's states, driven run by run against a capturing link.
#include "service/service_task.h"

#include <gtest/gtest.h>

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
  state.still_count = 4;
  state.softlimit_tripped[3] = true;
  ServiceStart();
  EXPECT_FALSE(state.stream_mode.load());
  EXPECT_EQ(state.pulse_rate_hz.load(), 0u);
  EXPECT_FALSE(state.upgrade_requested.load());
  EXPECT_EQ(state.segments_sent.load(), 0u);
  EXPECT_EQ(state.still_count.load(), 0);
  EXPECT_FALSE(state.softlimit_tripped[3].load());
  ServiceRun(0);
  EXPECT_EQ(link.Take(), (std::vector<Frame>{{0x01, 0xDD}}));
}

}  // namespace
}  // namespace kv
