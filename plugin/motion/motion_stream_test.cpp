// The motion stream: start hold-off, window, ring wrap, segment conversion and the soft-limit block.
#include "motion/motion_stream.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <vector>

#include "shell/plugin_state.h"
#include "testing/fake_host.h"

namespace kv {
namespace {

class MotionStream : public ::testing::Test {
 protected:
  void SetUp() override {
    state.segments_sent = 0;
    state.segments_done = 0;
    state.still_count = 0;
    state.lim_buffer = 450;
    for (auto& flag : state.softlimit_tripped) flag = false;
    host_.planner().board_has_room = 1;
    StreamSetUp();
  }
  void TearDown() override {
    for (auto& flag : state.softlimit_tripped) flag = false;
  }

  // The host planning: slots first, then the write index that publishes them.
  void Plan(int count, double x = 1) {
    int& write = host_.engine().ring_write_index;
    for (int i = 0; i < count; ++i, write = (write + 1) & host::kRingMask) {
      host_.planner().segment_ring[write].axis_steps[0] = x;
    }
  }
  // An empty ring and a closed stream, as after a stop with the board's count restarted.
  void PendingReset() {
    link_.Take();
    host_.engine().ring_read_index = host_.engine().ring_write_index;
    state.segments_sent = 0;
    state.segments_done = 0;
    StreamSegments();  // nothing waiting: the hold-off re-arms
  }
  // Segment counts of the frames sent since the last call.
  std::vector<int> Sent() {
    std::vector<int> counts;
    for (const auto& f : link_.Take()) counts.push_back(f.at(1) == 0xCA && f.at(2) == 0xAB ? f.at(3) : -1);
    return counts;
  }
  std::array<std::int16_t, host::kAxes> Convert(const std::array<double, host::kAxes>& steps) {
    for (int k = 0; k < host::kAxes; ++k) host_.planner().segment_ring[9].axis_steps[k] = steps[k];
    std::array<std::uint8_t, 12> e{};
    ConvertSegment(9, e);
    std::array<std::int16_t, host::kAxes> out{};
    for (int k = 0; k < host::kAxes; ++k) out[k] = static_cast<std::int16_t>(e[2 * k] | e[2 * k + 1] << 8);
    return out;
  }

  testing::FakeHost host_;
  testing::CapturedLink link_;
};

TEST_F(MotionStream, AFewWaitingGoOutOnThe41stRunAndTheHoldOffRearmsWhenClosed) {
  Plan(5);
  for (int run = 1; run <= 40; ++run) StreamSegments();
  EXPECT_TRUE(Sent().empty());
  StreamSegments();
  EXPECT_EQ(Sent(), std::vector<int>{5});

  state.segments_sent = 0;  // the stop action closed the stream
  state.segments_done = 5;  // but the board has not restarted its count
  StreamSegments();
  EXPECT_EQ(StreamHoldoff(), 0);
  state.segments_done = 0;
  StreamSegments();
  EXPECT_EQ(StreamHoldoff(), 40);
}

// After a stream close the board restarts its count; a report taken before the close may still
// come in. The next motion's first segments wait until the count the plug-in holds is the new one.
TEST_F(MotionStream, ANewMotionWaitsForTheBoardsCountToRestart) {
  Plan(5);
  for (int run = 1; run <= 41; ++run) StreamSegments();
  ASSERT_EQ(Sent(), std::vector<int>{5});
  state.segments_sent = 0;  // the stop closed the stream
  state.segments_done = 5;  // a report taken before the close
  Plan(30);
  for (int run = 0; run < 5; ++run) StreamSegments();
  EXPECT_TRUE(Sent().empty()) << "sent while the board's count was still the old motion's";
  state.segments_done = 0;
  StreamSegments();
  EXPECT_EQ(Sent(), std::vector<int>{20}) << "the hold-off was spent on the motion before";
}

// Idle takes more than 10 still reports, an empty ring, and every segment sent reported executed
// (the still count is kept on another thread and may lag a send).
TEST_F(MotionStream, IdleAtItsBoundsAndNeverWithSegmentsOutstanding) {
  state.still_count = 11;
  EXPECT_TRUE(MotionIdle());
  state.still_count = 10;
  EXPECT_FALSE(MotionIdle()) << "10 still reports are not enough";
  state.still_count = 11;
  state.segments_sent = 20;
  state.segments_done = 19;
  EXPECT_FALSE(MotionIdle()) << "one segment not yet executed";
  state.segments_done = 20;
  EXPECT_TRUE(MotionIdle());
  Plan(1);
  EXPECT_FALSE(MotionIdle()) << "a segment waiting in the ring";
}

TEST_F(MotionStream, MoreThan200WaitingCutTheHoldOffTo10) {
  Plan(300);
  for (int run = 1; run <= 11; ++run) StreamSegments();
  EXPECT_TRUE(Sent().empty());
  StreamSegments();
  EXPECT_EQ(Sent(), std::vector<int>{20});
}

// The cut needs more than 200 waiting and a hold-off above 10: 200 waiting counts down all 40
// runs, 201 cuts at once, and a hold-off already at 10 is counted down, not set again.
TEST_F(MotionStream, TheHoldOffCutAtItsBounds) {
  Plan(200);
  for (int run = 1; run <= 40; ++run) StreamSegments();
  EXPECT_TRUE(Sent().empty()) << "200 waiting: no cut";
  StreamSegments();
  EXPECT_EQ(Sent(), std::vector<int>{20});
}

TEST_F(MotionStream, TheHoldOffCutAt201Waiting) {
  Plan(201);
  for (int run = 1; run <= 11; ++run) StreamSegments();
  EXPECT_TRUE(Sent().empty());
  StreamSegments();
  EXPECT_EQ(Sent(), std::vector<int>{20}) << "201 waiting: cut to 10 on the first run, sent on the 12th";
}

TEST_F(MotionStream, AHoldOffAt10IsCountedDownNotCutAgain) {
  Plan(5);
  for (int run = 1; run <= 30; ++run) StreamSegments();
  ASSERT_EQ(StreamHoldoff(), 10);
  Plan(300);
  for (int run = 31; run <= 40; ++run) StreamSegments();
  EXPECT_TRUE(Sent().empty());
  StreamSegments();
  EXPECT_EQ(Sent(), std::vector<int>{20}) << "sent on the 41st run";

  PendingReset();
  Plan(5);
  for (int run = 1; run <= 29; ++run) StreamSegments();
  ASSERT_EQ(StreamHoldoff(), 11);
  Plan(300);
  StreamSegments();
  EXPECT_EQ(StreamHoldoff(), 10) << "11 with more than 200 waiting: cut";
}

// The window at, just below and just above lim_buffer, and the 20-segment frame limit.
TEST_F(MotionStream, TheWindowAndTheFrameLimitAtTheirBounds) {
  auto outstanding_then_send = [&](std::uint32_t outstanding, int waiting) {
    PendingReset();
    state.segments_done = 1000;
    state.segments_sent = 1000 + outstanding;  // under way: no hold-off
    Plan(waiting);
    StreamSegments();
    return Sent();
  };
  EXPECT_EQ(outstanding_then_send(440, 10), std::vector<int>{10}) << "440 + 10 = 450: all of them";
  EXPECT_EQ(outstanding_then_send(440, 11), std::vector<int>{10}) << "440 + 11 > 450: up to the window";
  EXPECT_EQ(outstanding_then_send(440, 9), std::vector<int>{9});
  EXPECT_EQ(outstanding_then_send(449, 5), std::vector<int>{1});
  EXPECT_TRUE(outstanding_then_send(450, 5).empty()) << "window full";
  EXPECT_TRUE(outstanding_then_send(451, 5).empty()) << "beyond it";
  EXPECT_EQ(outstanding_then_send(0, 19), std::vector<int>{19});
  EXPECT_EQ(outstanding_then_send(0, 20), std::vector<int>{20});
  EXPECT_EQ(outstanding_then_send(0, 21), std::vector<int>{20});
  state.lim_buffer = 30;
  EXPECT_EQ(outstanding_then_send(10, 20), std::vector<int>{20}) << "the window is lim_buffer, not a constant";
  EXPECT_EQ(outstanding_then_send(11, 20), std::vector<int>{19});
}

// After each frame the host sees the tag of the slot the next frame begins with.
TEST_F(MotionStream, TheCurrentSegmentTagFollowsEveryFrame) {
  for (int slot = 0; slot < host::kRingSlots; ++slot) host_.engine().segment_tag[slot] = 70000 + slot;
  state.segments_sent = state.segments_done = 1;
  host_.engine().ring_read_index = host_.engine().ring_write_index = 4080;
  Plan(45);  // across the ring's end
  const std::vector<std::pair<int, int>> frames = {{20, 4100 & host::kRingMask}, {20, 4120 & host::kRingMask},
                                                   {5, 4125 & host::kRingMask}};
  for (auto [count, read_after] : frames) {
    StreamSegments();
    EXPECT_EQ(Sent(), std::vector<int>{count});
    EXPECT_EQ(host_.engine().ring_read_index, read_after);
    EXPECT_EQ(host_.engine().current_segment_tag, 70000 + read_after) << "after the frame ending before " << read_after;
  }
  host_.engine().current_segment_tag = -1;
  StreamSegments();  // nothing waiting: no frame, the tag untouched
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(host_.engine().current_segment_tag, -1);
}

TEST_F(MotionStream, NeverMoreThanTheWindowOutstanding) {
  state.segments_sent = state.segments_done = 1;  // under way: no hold-off
  Plan(1000);
  std::vector<int> counts;
  for (int run = 0; run < 30; ++run) {
    StreamSegments();
    for (int c : Sent()) counts.push_back(c);
  }
  std::vector<int> expected(22, 20);
  expected.push_back(10);
  EXPECT_EQ(counts, expected) << "20 a frame until 450 are outstanding, then nothing";

  state.segments_done = 1 + 7;  // progress: room for exactly 7
  StreamSegments();
  EXPECT_EQ(Sent(), std::vector<int>{7});
}

TEST_F(MotionStream, TheWaitingCountWrapsWithTheRing) {
  state.segments_sent = state.segments_done = 1;
  host_.engine().ring_read_index = host_.engine().ring_write_index = 4093;
  Plan(8);
  EXPECT_EQ(host_.engine().ring_write_index, 5);
  StreamSegments();
  EXPECT_EQ(Sent(), std::vector<int>{8});
  EXPECT_EQ(host_.engine().ring_read_index, 5);
}

TEST_F(MotionStream, StepsAreTruncatedThenReversed) {
  EXPECT_EQ(Convert({-3.9, 3.9, -0.5, 40000, 0, 0}), (std::array<std::int16_t, 6>{-3, 3, 0, -25536, 0, 0}))
      << "toward zero; beyond 16 bits the low bits";
  host_.engine().axis_reversed[0] = 1;
  EXPECT_EQ(Convert({-3.9, 0, 0, 0, 0, 0})[0], 3);
  // Values a plain cast could not convert: NaN gives 0, the rest saturate (and reverse safely).
  host_.engine().axis_reversed[3] = 1;
  const double inf = std::numeric_limits<double>::infinity();
  auto odd = Convert({std::numeric_limits<double>::quiet_NaN(), 1e30, 0, -inf, 0, 0});
  EXPECT_EQ(odd[0], 0);
  EXPECT_EQ(odd[1], -1) << "int32 maximum, low 16 bits";
  EXPECT_EQ(odd[3], 0) << "int32 minimum reversed";
}

TEST_F(MotionStream, SlavedAxesCarryTheirMastersTruncatedValue) {
  auto& e = host_.engine();
  e.slaved[1] = e.slaved[4] = 1;  // only axes 3..5 follow in the stream
  e.slave_master[1] = e.slave_master[4] = 0;
  e.axis_reversed[0] = 1;
  auto out = Convert({7.8, 2, 0, 0, 99, 0});
  EXPECT_EQ(out[1], 2);
  EXPECT_EQ(out[4], 7) << "the master's value before its own reversal";
  e.axis_reversed[4] = 1;
  EXPECT_EQ(Convert({7.8, 2, 0, 0, 99, 0})[4], -7);

  e.slaved[5] = 1;  // a master that is not a lower axis leaves the axis unslaved
  for (std::int32_t master : {5, 6, -1, std::numeric_limits<std::int32_t>::min()}) {
    e.slave_master[5] = master;
    EXPECT_EQ(Convert({7, 0, 0, 0, 0, 4})[5], 4) << master;
  }
  e.slaved[3] = 1;
  e.slave_master[3] = 5;
  EXPECT_EQ(Convert({7, 0, 0, 3, 0, 4})[3], 3) << "a higher axis";
}

TEST_F(MotionStream, ATrippedSoftLimitZeroesEverySegmentAndSaysSo) {
  state.segments_sent = state.segments_done = 1;
  Plan(4, 5);
  state.softlimit_tripped[8] = true;
  StreamSegments();
  auto frames = link_.Take();
  ASSERT_EQ(frames.size(), 1u);
  ASSERT_EQ(frames[0].size(), 4u + 4 * 12);
  for (std::size_t i = 4; i < frames[0].size(); ++i) EXPECT_EQ(frames[0][i], 0);
  for (int slot = 0; slot < 4; ++slot) EXPECT_EQ(host_.planner().segment_ring[slot].axis_steps[0], 0.0);
  EXPECT_EQ(host_.Status(), "Gcode is disabled during soft-limit trigger");
  EXPECT_EQ(host_.engine().ring_read_index, 4) << "the program advances without moving";
}

}  // namespace
}  // namespace kv
