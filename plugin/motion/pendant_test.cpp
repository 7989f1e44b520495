// Pendant channels: the announcement and reject, the key maps, every family of key actions,
// the display record and its cache, and the frames for both channels.
#include "motion/pendant.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "shell/host_access.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"

namespace kv {
namespace {

using testing::Frame;
using Lines = std::vector<std::string>;
using Buttons = std::vector<std::int16_t>;

std::vector<std::uint8_t> PollMessage(PendantChannel& channel) {
  std::array<std::uint8_t, kPendantMessageMax> out{};
  const std::size_t n = channel.Poll(out);
  return {out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)};
}

void FeedBytes(PendantChannel& channel, std::vector<std::uint8_t> bytes) { channel.Feed(bytes); }

class Pendant : public ::testing::Test {
 protected:
  void SetUp() override {
    state.mpg_src = 0;
    for (auto& v : state.pos_offset) v = 0;
    for (auto& v : state.board_pos) v = 0;
    for (auto& flag : state.softlimit_tripped) flag = false;
    auto& p = host_.planner();
    p.segment_time = 0.003;
    for (int k = 0; k < host::kAxes; ++k) {
      p.steps_per_unit[k] = 1000;
      p.max_velocity[k] = 50;
    }
    host_.setup().jog_rate_percent = 20;
  }
  void TearDown() override { state.mpg_src = 0; }

  // A channel announced as `kind`, with nothing pending (its first display already taken).
  void Announce(PendantChannel& channel, std::uint8_t kind) {
    FeedBytes(channel, {1, kind});
    PollMessage(channel);
  }

  testing::FakeHost host_;
  testing::CapturedLink link_;
};

TEST_F(Pendant, AByteBeforeTheAnnouncementIsRejectedOnceAndTheKindInstallsTheMap) {
  PendantChannel ch;
  EXPECT_TRUE(PollMessage(ch).empty()) << "silent until something arrives";
  FeedBytes(ch, {0x55, 0x56, 0x57});
  EXPECT_EQ(PollMessage(ch), (std::vector<std::uint8_t>{0x5A, 0x5B}));
  EXPECT_TRUE(PollMessage(ch).empty()) << "one reject however many bad bytes";

  FeedBytes(ch, {1, 99});  // no such kind: still unannounced
  EXPECT_FALSE(ch.announced());
  FeedBytes(ch, {12});
  EXPECT_EQ(PollMessage(ch), (std::vector<std::uint8_t>{0x5A, 0x5B}));

  FeedBytes(ch, {1, 20});  // kind 20 has a map but keeps the kind shown
  EXPECT_TRUE(ch.announced());
  EXPECT_EQ(ch.kind(), 0);
  FeedBytes(ch, {1});  // once announced, 1 is a key byte, not a new announcement
  EXPECT_EQ(ch.kind(), 0);
  EXPECT_EQ(PollMessage(ch).size(), kPendantMessageMax) << "announced: the display follows";

  PendantChannel other;
  FeedBytes(other, {1, 18});
  EXPECT_EQ(other.kind(), 18);
}

TEST_F(Pendant, EachKindsMapTranslatesPressesAndReleases) {
  const PendantKeyMap* k17 = PendantKeyMapFor(17);
  const PendantKeyMap* k18 = PendantKeyMapFor(18);
  const PendantKeyMap* k19 = PendantKeyMapFor(19);
  const PendantKeyMap* k20 = PendantKeyMapFor(20);
  ASSERT_TRUE(k17 && k18 && k19 && k20);
  EXPECT_EQ(PendantKeyMapFor(16), nullptr);
  EXPECT_EQ(PendantKeyMapFor(21), nullptr);

  EXPECT_EQ(PendantTranslate(*k17, 4), 12);
  EXPECT_EQ(PendantTranslate(*k17, 8), 13);
  EXPECT_EQ(PendantTranslate(*k17, 11), 0);
  EXPECT_EQ(PendantTranslate(*k19, 7), 21);
  EXPECT_EQ(PendantTranslate(*k19, 9), 42);
  EXPECT_EQ(PendantTranslate(*k19, 11), 25);
  EXPECT_EQ(PendantTranslate(*k18, 12), 2);
  EXPECT_EQ(PendantTranslate(*k18, 140), 130) << "the release of byte 12";
  EXPECT_EQ(PendantTranslate(*k18, 16), 40);
  EXPECT_EQ(PendantTranslate(*k18, 27), 11);
  EXPECT_EQ(PendantTranslate(*k20, 0), 1);
  EXPECT_EQ(PendantTranslate(*k20, 29), 30);
  // Beyond a map's length: nothing, never a read past its end.
  EXPECT_EQ(PendantTranslate(*k18, 28), 0);
  EXPECT_EQ(PendantTranslate(*k17, 128), 0);
  EXPECT_EQ(PendantTranslate(*k17, 200), 128);
  EXPECT_EQ(PendantTranslate(*k20, 255), 128);
}

TEST_F(Pendant, AJogKeyMovesWhilePressedAndStopsOnRelease) {
  PendantChannel ch;
  FeedBytes(ch, {1, 18, 12, 140});  // code 2, then its release 130
  const Frame move{0x07, 0xCB, 0, 0, 0x00, 0x00, 0x1E, 0x00};  // 50 x 20 % x 1000 x 0.003 x 65536
  const Frame stop{0x02, 0xCC, 0};
  EXPECT_EQ(link_.Take(), (std::vector<Frame>{move, stop}));

  ch.Key(13);   // axis 5 negative
  ch.Key(141);  // its release
  EXPECT_EQ(link_.Take(), (std::vector<Frame>{{0x07, 0xCB, 5, 1, 0x00, 0x00, 0x1E, 0x00}, {0x02, 0xCC, 5}}));
  for (int code : {0, 1, 128, 129, 142, 147}) ch.Key(code);
  EXPECT_TRUE(link_.Take().empty());
  EXPECT_TRUE(host_.Buttons().empty());
}

TEST_F(Pendant, Kind18ArmsOneFamilyAtATimeAndTheAxisKeysFollowIt) {
  PendantChannel ch;
  Announce(ch, 18);
  ch.Key(22);
  EXPECT_TRUE(ch.arm_a());
  ch.Key(16);  // axis 2 key
  ch.Key(22);  // second press: the family's own button, disarmed
  EXPECT_FALSE(ch.arm_a());
  EXPECT_EQ(host_.Buttons(), (Buttons{1024, 105}));

  ch.Key(21);
  ch.Key(19);  // axis 5 key with the zero-line family
  EXPECT_EQ(host_.CodeLines(), Lines{"G0C0"});
  ch.Key(21);
  EXPECT_FALSE(ch.arm_b());
  EXPECT_EQ(host_.CodeLines(), (Lines{"G0C0", "G0X0Y0A0B0C0", "G0Z0"}));

  ch.Key(23);
  ch.Key(22);  // another family replaces it
  EXPECT_TRUE(ch.arm_a());
  EXPECT_FALSE(ch.arm_c());
  ch.Key(23);
  EXPECT_FALSE(ch.arm_a());
  ch.Key(14);
  ch.Key(23);
  EXPECT_EQ(host_.Buttons(), (Buttons{1024, 105, 1008, 1007}));

  ch.Key(22);
  ch.Key(28);  // disarms, no button
  EXPECT_FALSE(ch.arm_a() || ch.arm_b() || ch.arm_c());
  ch.Key(15);  // unarmed axis key: nothing
  ch.Key(28);
  EXPECT_EQ(host_.Buttons(), (Buttons{1024, 105, 1008, 1007, 1021}));
}

TEST_F(Pendant, ZeroKeysOfKinds17And19FollowTheSelectedAxis) {
  PendantChannel ch;
  Announce(ch, 19);
  auto& p = host_.planner();
  p.mpg_axis = 6;
  FeedBytes(ch, {7});  // code 21
  EXPECT_EQ(host_.CodeLines(), (Lines{"G0X0Y0A0B0C0", "G0Z0"}));
  p.mpg_axis = 2;
  ch.Key(21);
  p.mpg_axis = 42;  // a corrupt selection counts as none
  ch.Key(21);
  EXPECT_EQ(host_.CodeLines(), (Lines{"G0X0Y0A0B0C0", "G0Z0", "G0Z0", "G0X0Y0A0B0C0", "G0Z0"}));

  p.mpg_axis = 1;
  ch.Key(22);
  ch.Key(23);
  p.mpg_axis = 6;
  ch.Key(22);
  ch.Key(23);
  p.mpg_axis = -3;
  ch.Key(22);
  EXPECT_EQ(host_.Buttons(), (Buttons{1023, 1009, 105, 1007, 105}));
  EXPECT_FALSE(ch.arm_a() || ch.arm_b() || ch.arm_c()) << "kinds 17 and 19 never arm";

  PendantChannel other;
  Announce(other, 20);  // kind 20: the zero keys do nothing
  other.Key(21);
  other.Key(22);
  other.Key(23);
  EXPECT_EQ(host_.Buttons().size(), 5u);
  EXPECT_EQ(host_.CodeLines().size(), 5u);
}

TEST_F(Pendant, LayersAndTheButtonKeys) {
  PendantChannel ch;
  Announce(ch, 18);
  ch.Key(24);
  EXPECT_TRUE(ch.shift());
  ch.Key(24);
  EXPECT_FALSE(ch.shift());
  EXPECT_TRUE(ch.alt());
  ch.Key(24);
  EXPECT_FALSE(ch.shift() || ch.alt());
  ch.Key(20);
  EXPECT_TRUE(ch.shift());
  ch.Key(148);
  EXPECT_FALSE(ch.shift());

  for (int code : {25, 26, 27, 32, 33, 34}) ch.Key(code);
  EXPECT_EQ(host_.Buttons(), (Buttons{1000, 1001, 1003, 1002, 110, 173}));

  host_.planner().jog_mode = 2;
  ch.Key(29);
  EXPECT_EQ(host_.planner().jog_mode, 0);
  ch.Key(29);
  EXPECT_EQ(host_.planner().jog_mode, 1);
}

TEST_F(Pendant, DroStepsStayWithinTheirBounds) {
  PendantChannel ch;
  Announce(ch, 18);
  host_.SetDro(821, 198);
  ch.Key(20);  // shift: feed override DRO
  ch.Key(30);
  EXPECT_EQ(host_.Dro(821), 200);
  ch.Key(31);
  EXPECT_EQ(host_.Dro(821), 195);
  ch.Key(148);
  ch.Key(24);
  ch.Key(24);  // alt
  host_.SetDro(74, 3);
  ch.Key(31);
  EXPECT_EQ(host_.Dro(74), 0);
  ch.Key(30);
  EXPECT_EQ(host_.Dro(74), 5);
  ch.Key(24);  // plain: the jog buttons, only in jog mode 0
  host_.planner().jog_mode = 1;
  ch.Key(30);
  host_.planner().jog_mode = 0;
  ch.Key(30);
  ch.Key(31);
  EXPECT_EQ(host_.Buttons(), (Buttons{111, 112}));

  // Each key bounds only its own way: an override already above 200 (set on the host's screen)
  // goes down by 5, and one below 0 goes up by 5.
  ch.Key(24);  // shift again: feed override
  ASSERT_TRUE(ch.shift());
  host_.SetDro(821, 300);
  ch.Key(31);
  EXPECT_EQ(host_.Dro(821), 295);
  ch.Key(30);
  EXPECT_EQ(host_.Dro(821), 200);
  for (auto [from, to] : {std::pair{195.0, 200.0}, {195.5, 200.0}, {194.5, 199.5}, {200.0, 200.0}}) {
    host_.SetDro(821, from);
    ch.Key(30);
    EXPECT_EQ(host_.Dro(821), to) << "up from " << from;
  }
  for (auto [from, to] : {std::pair{5.0, 0.0}, {4.5, 0.0}, {5.5, 0.5}, {0.0, 0.0}, {-10.0, 0.0}}) {
    host_.SetDro(821, from);
    ch.Key(31);
    EXPECT_EQ(host_.Dro(821), to) << "down from " << from;
  }
  ch.Key(24);  // alt: spindle override
  ASSERT_TRUE(ch.alt());
  host_.SetDro(74, 250);
  ch.Key(31);
  EXPECT_EQ(host_.Dro(74), 245);
  host_.SetDro(74, 197);
  ch.Key(30);
  EXPECT_EQ(host_.Dro(74), 200);
  ch.Key(24);  // plain again
  ASSERT_FALSE(ch.shift() || ch.alt());

  for (auto [from, to] : {std::pair{0.0, 0.001}, {0.001, 0.01}, {0.01, 0.1}, {0.1, 1.0}, {0.5, 0.001}}) {
    host_.SetDro(828, from);
    ch.Key(35);
    EXPECT_DOUBLE_EQ(host_.Dro(828), to) << "from " << from;
  }

  host_.SetDro(3, 25);  // the toggle keeps the other value
  ch.Key(40);
  EXPECT_EQ(host_.Dro(3), 10);
  ch.Key(40);
  EXPECT_EQ(host_.Dro(3), 25);
}

TEST_F(Pendant, HandWheelStepAndAxisChangeOnlyForTheKvMpg) {
  PendantChannel ch;
  Announce(ch, 19);
  auto& p = host_.planner();
  p.mpg_step = 1;
  p.mpg_axis = 6;
  for (int k : {0, 1, 2}) host_.engine().axis_enabled[k] = 1;
  ch.Key(36);
  ch.Key(37);
  ch.Key(38);
  EXPECT_EQ(p.mpg_step, 1) << "a standard MPG takes its step and axis from switches";
  EXPECT_EQ(p.mpg_axis, 6);

  state.mpg_src = 1;
  std::vector<double> steps;
  for (int i = 0; i < 3; ++i) {
    ch.Key(36);
    steps.push_back(p.mpg_step);
  }
  EXPECT_EQ(steps, (std::vector<double>{10, 100, 1}));
  p.mpg_step = 0.5;
  ch.Key(36);
  EXPECT_EQ(p.mpg_step, 0.5) << "a step below 1 is left alone";

  std::vector<std::int32_t> axes;
  for (int i = 0; i < 4; ++i) {
    ch.Key(37);
    axes.push_back(p.mpg_axis);
  }
  EXPECT_EQ(axes, (std::vector<std::int32_t>{0, 1, 2, 6}));
  axes.clear();
  for (int i = 0; i < 4; ++i) {
    ch.Key(38);
    axes.push_back(p.mpg_axis);
  }
  EXPECT_EQ(axes, (std::vector<std::int32_t>{2, 1, 0, 6}));

  host_.engine().axis_enabled[1] = 0;
  p.mpg_axis = 0;
  ch.Key(37);
  EXPECT_EQ(p.mpg_axis, 2) << "disabled axes are skipped";
  for (std::int32_t corrupt : {7, 1000, -1}) {
    p.mpg_axis = corrupt;
    ch.Key(37);
    EXPECT_EQ(p.mpg_axis, 0) << "from " << corrupt << ", taken as none";
    p.mpg_axis = corrupt;
    ch.Key(38);
    EXPECT_EQ(p.mpg_axis, 2) << "from " << corrupt << ", taken as none";
  }
}

TEST_F(Pendant, HalveMovesTheSelectedAxisOffsetAndTheHostFollows) {
  PendantChannel ch;
  Announce(ch, 19);
  auto& p = host_.planner();
  auto& e = host_.engine();
  p.mpg_axis = 1;
  p.axis_coord[1] = 2.5;  // 2500 steps: half is 1250
  state.board_pos[1] = 100;
  state.pos_offset[1] = 2400;
  FeedBytes(ch, {9});  // code 42
  EXPECT_EQ(state.pos_offset[1].load(), 1150);
  EXPECT_EQ(e.axis_position[1], 1250);
  EXPECT_EQ(e.position_changed, 1);

  e.position_changed = 0;
  p.mpg_axis = 6;
  ch.Key(42);
  p.mpg_axis = 9;
  ch.Key(42);
  EXPECT_EQ(state.pos_offset[1].load(), 1150);
  EXPECT_EQ(e.position_changed, 0) << "no axis selected: nothing happens";
}

TEST_F(Pendant, TheDisplayRecordByteForByteSentOnlyWhenChanged) {
  PendantChannel ch;
  FeedBytes(ch, {1, 19});
  auto& p = host_.planner();
  auto& e = host_.engine();
  host_.SetDro(800, 1.5);
  host_.SetDro(801, -0.0025);
  host_.SetDro(828, 0.01);
  host_.SetDro(821, 300);
  host_.SetDro(3, 10);
  host_.SetDro(74, 55.7);
  e.estop = 1;
  for (int k : {0, 1, 2}) e.axis_enabled[k] = 1;
  p.jog_mode = 2;
  p.spindle_speed = 1234.9;
  p.spindle_on = 1;
  p.mpg_axis = 1;
  p.mpg_step = 100;
  const std::vector<std::uint8_t> expected = {
      0x5A, 0x5A,                                            // display
      0xDC, 0x05, 0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xFF,        // X 1500, Y -2 thousandths
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,        // Z..C
      2,                                                     // DRO 828 step class
      1, 2,                                                  // E-stop, jog mode
      0xD2, 0x04, 0x00, 0x00, 1,                             // spindle 1234, on
      0x2C, 0x0A, 0x37,                                      // DROs 821, 3, 74 (low bytes)
      0, 2, 1,                                               // not armed, plain layer, axis 1
      0x02, 0x00, 0x00, 0x00,                                // hand-wheel step class
      0xCC, 0xCC, 0xCC, 0xCC,
      0x07, 0x00, 0x00, 0x00,                                // axes 0..2 enabled
      0xCC};
  ASSERT_EQ(expected.size(), kPendantMessageMax);
  EXPECT_EQ(testing::Hex(PollMessage(ch)), testing::Hex(expected));
  EXPECT_TRUE(PollMessage(ch).empty()) << "unchanged: nothing to send";

  ch.Key(22);  // kind 19 never arms; the layer shows instead
  ch.Key(24);
  std::vector<std::uint8_t> shifted = expected;
  shifted[2 + 36] = 1;
  EXPECT_EQ(testing::Hex(PollMessage(ch)), testing::Hex(shifted));
  EXPECT_TRUE(PollMessage(ch).empty());

  // The resend key: the next poll sends the whole record again, unchanged or not.
  ch.Key(39);
  EXPECT_EQ(testing::Hex(PollMessage(ch)), testing::Hex(shifted));
  EXPECT_TRUE(PollMessage(ch).empty());

  PendantChannel armed;
  FeedBytes(armed, {1, 18, 18});  // code 22: family armed
  EXPECT_EQ(PollMessage(armed).at(2 + 35), 1);
}

TEST_F(Pendant, WithoutHostCallbacksNothingIsCalledAndTheDisplayReadsZero) {
  state.GetDRO = nullptr;
  state.SetDRO = nullptr;
  state.DoButton = nullptr;
  state.Code = nullptr;
  PendantChannel ch;
  FeedBytes(ch, {1, 18});
  for (int code = 0; code < 256; ++code) ch.Key(code);  // must not call through null
  const auto message = PollMessage(ch);
  ASSERT_EQ(message.size(), kPendantMessageMax);
  for (std::size_t i = 2; i < 2 + 24; ++i) EXPECT_EQ(message[i], 0) << "byte " << i;
}

// Channels 0 and 1 of the plug-in, as the receive parser and the service task reach them.
TEST_F(Pendant, BothChannelsAtOnceEachInItsOwnFrame) {
  const std::vector<std::uint8_t> bad{0x55};
  const std::vector<std::uint8_t> announce{1, 17};
  PendantFeed(0, bad);
  PendantFeed(1, announce);
  PendantFeed(2, announce);   // no such channel: ignored
  PendantFeed(-1, announce);
  SendPendantFrames();
  std::vector<Frame> frames = link_.Take();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], (Frame{0x06, 0xCA, 0xAC, 0x03, 0x00, 0x5A, 0x5B}));
  ASSERT_EQ(frames[1].size(), 58u);
  EXPECT_EQ(Frame(frames[1].begin(), frames[1].begin() + 7), (Frame{57, 0xCA, 0xAC, 54, 0x01, 0x5A, 0x5A}));
  EXPECT_EQ(kv::Pendant(1).kind(), 17);
  EXPECT_FALSE(kv::Pendant(0).announced());

  SendPendantFrames();
  EXPECT_TRUE(link_.Take().empty()) << "nothing new on either channel";

  PendantFeed(0, announce);
  const std::vector<std::uint8_t> jog{4};  // kind 17: code 12, axis 5 positive
  PendantFeed(1, jog);
  EXPECT_EQ(link_.Take().size(), 1u);
  PendantKey(1, 39);
  SendPendantFrames();
  frames = link_.Take();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0][4], 0) << "channel 0 first";
  EXPECT_EQ(frames[1][4], 1);
}

}  // namespace
}  // namespace kv
