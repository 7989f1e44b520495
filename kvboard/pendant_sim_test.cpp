// The simulated pendants: the bytes they send, the display record decoded field by field,
// rejects counted, and both channels through a running board.
#include "pendant_sim.h"

#include <gtest/gtest.h>

#include <vector>

#include "sim_board.h"
#include "test_peer.h"

namespace kvboard {
namespace {

using testing::Bytes;
constexpr int kTimeoutMs = 3000;

// A display record written out by hand: every field a distinct value.
Bytes SampleRecord() {
  return {0xDC, 0x05, 0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x18, 0xFC, 0xFF, 0xFF,
          3,    1,    2,    0xD2, 0x04, 0x00, 0x00, 1,    0x2C, 0x0A, 0x37, 1, 3, 4, 2, 0, 0, 0,
          0xCC, 0xCC, 0xCC, 0xCC, 0x2D, 0x00, 0x00, 0x00, 0xCC};
}

TEST(PendantSim, SendsItsAnnouncementPressesAndReleases) {
  PendantSim p;
  EXPECT_EQ(p.Announce(18), (Bytes{1, 18}));
  EXPECT_EQ(p.Press(12), (Bytes{12}));
  EXPECT_EQ(p.Release(12), (Bytes{140}));
  EXPECT_EQ(p.Status().kind, 18);
  EXPECT_EQ(p.Status().keys_pressed, 1u);
  EXPECT_EQ(p.Status().keys_released, 1u);
}

TEST(PendantSim, DecodesTheDisplayRecordAndCountsRejects) {
  const Bytes record = SampleRecord();
  ASSERT_EQ(record.size(), kPendantDisplaySize);
  auto d = DecodePendantDisplay(record);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->axis_thousandths, (std::array<std::int32_t, 6>{1500, -2, 1, 0, 0, -1000}));
  EXPECT_EQ(d->dro_step_class, 3);
  EXPECT_TRUE(d->estop);
  EXPECT_EQ(d->jog_mode, 2);
  EXPECT_EQ(d->spindle_speed, 1234);
  EXPECT_TRUE(d->spindle_on);
  EXPECT_EQ(d->feed_override, 44);
  EXPECT_EQ(d->dro3, 10);
  EXPECT_EQ(d->dro74, 55);
  EXPECT_TRUE(d->armed);
  EXPECT_EQ(d->layer, 3);
  EXPECT_EQ(d->wheel_axis, 4);
  EXPECT_EQ(d->wheel_step_class, 2);
  EXPECT_EQ(d->enabled_axes, 0x2D);
  EXPECT_EQ(Bytes(d->raw.begin(), d->raw.end()), record);
  EXPECT_FALSE(DecodePendantDisplay(Bytes(50)));

  PendantSim p;
  Bytes message{0x5A, 0x5A};
  message.insert(message.end(), record.begin(), record.end());
  p.OnMessage(message);
  p.OnMessage(Bytes{0x5A, 0x5B});
  p.OnMessage(Bytes{0x5A, 0x5B});
  p.OnMessage(Bytes{0x5A, 0x5A, 1, 2});  // a display cut short is not a display
  EXPECT_EQ(p.Status().displays, 1u);
  EXPECT_EQ(p.Status().rejects, 2u);
  EXPECT_EQ(p.Status().unknown_messages, 1u);
  ASSERT_TRUE(p.Status().display);
  EXPECT_EQ(p.Status().display->wheel_axis, 4);
}

TEST(PendantSimBoard, BothChannelsSpeakAndKeepWhatTheyWereShown) {
  testing::TestPeer peer;
  BoardConfig c;
  c.discovery_port = 0;
  c.plugin_port = peer.port();
  c.retry_ms = 50;
  SimBoard board(c);
  ASSERT_TRUE(board.Start());
  ASSERT_TRUE(peer.AcceptBoard(board.DiscoveryPort(), kTimeoutMs));
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.connected; }, kTimeoutMs));
  board.SetSilent(true);  // only the pendants' frames go out
  peer.Drain(60);

  ASSERT_TRUE(board.AnnouncePendant(0, 17));
  ASSERT_TRUE(board.PressPendantKey(0, 4));
  ASSERT_TRUE(board.ReleasePendantKey(0, 4));
  ASSERT_TRUE(board.AnnouncePendant(1, 19));
  EXPECT_FALSE(board.AnnouncePendant(2, 17)) << "two channels only";
  auto next = [&] { return peer.WaitFrame([](const Bytes&) { return true; }, kTimeoutMs).value_or(Bytes{}); };
  EXPECT_EQ(next(), (Bytes{0xCA, 0xAC, 3, 0, 1, 17}));
  EXPECT_EQ(next(), (Bytes{0xCA, 0xAC, 2, 0, 4}));
  EXPECT_EQ(next(), (Bytes{0xCA, 0xAC, 2, 0, 132}));
  EXPECT_EQ(next(), (Bytes{0xCA, 0xAC, 3, 1, 1, 19}));

  Bytes display{0xCA, 0xAC, 54, 1, 0x5A, 0x5A};
  const Bytes record = SampleRecord();
  display.insert(display.end(), record.begin(), record.end());
  ASSERT_TRUE(peer.SendFrame(display));
  ASSERT_TRUE(peer.SendFrame({0xCA, 0xAC, 3, 0, 0x5A, 0x5B}));
  ASSERT_TRUE(board.WaitFor([](const Stats& s) { return s.pendant_frames[0] + s.pendant_frames[1] >= 2; }, kTimeoutMs));

  const PendantStatus p0 = board.Pendant(0);
  const PendantStatus p1 = board.Pendant(1);
  EXPECT_EQ(p0.kind, 17);
  EXPECT_EQ(p0.keys_pressed, 1u);
  EXPECT_EQ(p0.keys_released, 1u);
  EXPECT_EQ(p0.rejects, 1u);
  EXPECT_FALSE(p0.display);
  EXPECT_EQ(p1.kind, 19);
  EXPECT_EQ(p1.rejects, 0u);
  ASSERT_TRUE(p1.display);
  EXPECT_EQ(Bytes(p1.display->raw.begin(), p1.display->raw.end()), record);
  EXPECT_EQ(board.Pendant(5).kind, 0);
  board.Stop();
}

}  // namespace
}  // namespace kvboard
