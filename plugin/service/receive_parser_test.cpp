// The receive parser: each record kind, several records per frame, and bodies cut short.
#include "service/receive_parser.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "platform/clock.h"
#include "runtime/action_queue.h"
#include "runtime/le_bytes.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"

namespace kv {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Put32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Bytes Position(std::array<std::int32_t, 6> steps) {
  Bytes b{0xCF, 0x20};
  for (std::int32_t s : steps) Put32(b, static_cast<std::uint32_t>(s));
  return b;
}

Bytes Ident(const char* serial, std::uint8_t model, std::uint16_t firmware, std::uint8_t axes, std::uint8_t a,
            std::uint8_t b) {
  Bytes out{0xDD, 1};
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(serial[i]));
  out.push_back(model);
  out.push_back(static_cast<std::uint8_t>(firmware));
  out.push_back(static_cast<std::uint8_t>(firmware >> 8));
  out.push_back(axes);
  out.push_back(a);
  out.push_back(b);
  out.push_back(0);
  out.push_back(0);
  return out;
}

void Parse(const Bytes& body) { parse_board_frame(body); }

std::vector<std::int32_t> DrainActions() {
  std::vector<std::int32_t> out;
  while (std::int32_t c = ActionPop()) out.push_back(c);
  return out;
}

class ParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ActionReset();
    ResetBoardIdentity();
    state.pos_synced = false;
    state.counters_fresh = true;
    state.segments_sent = 0;
    state.segments_done = 0;
    state.still_count = 0;
    state.pulse_rate_hz = 0;
    state.stream_mode = false;
    state.upgrade_requested = false;
    for (auto& p : state.board_pos) p = 0;
    host_.planner().segment_time = 0.003;
  }
  testing::FakeHost host_;
};

TEST_F(ParserTest, IdentificationSetsTheIdentityAndThePulseRate) {
  Parse(Ident("AB12CD34", 3, 0x0102, 4, 36, 10));
  EXPECT_EQ(state.board_serial.Get(), "AB12CD34");
  EXPECT_EQ(state.board_model.load(), 3);
  EXPECT_EQ(state.board_firmware.load(), 0x0102u);
  EXPECT_EQ(state.board_axes.load(), 4);
  EXPECT_EQ(state.board_freq_khz.load(), 100);
  EXPECT_EQ(state.pulse_rate_hz.load(), 100000u);
  EXPECT_DOUBLE_EQ(host_.planner().pulse_rate_limit[6], 100000 * 1.176);
  EXPECT_EQ(host_.Buttons(), (std::vector<std::int16_t>{204}));
}

TEST_F(ParserTest, IdentificationWithoutAUsableClockLeavesTheBoardUnidentified) {
  Parse(Ident("SERIAL01", 20, 1, 3, 1, 1));  // no base clock for code 20
  EXPECT_EQ(state.pulse_rate_hz.load(), 0u);
  EXPECT_EQ(state.board_model.load(), 20);
  Parse(Ident("SERIAL02", 3, 1, 3, 0, 10));  // a zero divisor must not divide by zero
  EXPECT_EQ(state.board_freq_khz.load(), 0);
  EXPECT_EQ(state.pulse_rate_hz.load(), 0u);
}

TEST_F(ParserTest, ALoaderReplyRequestsTheUpgradeAndChangesNoIdentity) {
  Parse({0xDD, 0x00});
  EXPECT_TRUE(state.upgrade_requested.load());
  EXPECT_EQ(state.board_serial.Get(), "-");
  EXPECT_EQ(state.board_model.load(), -1);
}

TEST_F(ParserTest, StatusRepliesEndTheListAndStartStreaming) {
  Parse({0xDE, 0xFF});
  EXPECT_TRUE(state.stream_mode.load());

  state.stream_mode = false;
  Bytes reply{0xDE, 0x7F, 0, 0};
  for (int i = 0; i < 6; ++i) {
    reply.push_back(static_cast<std::uint8_t>(10 + i));
    reply.push_back(static_cast<std::uint8_t>(i));
  }
  for (int i = 0; i < 4; ++i) {
    reply.push_back(static_cast<std::uint8_t>(20 + i));
    reply.push_back(0xE8);
    reply.push_back(0x03);  // 1000
  }
  reply.push_back(0x7D);
  reply.push_back(100);
  reply.push_back(0xDE);  // after 0x7D the list is over: this is a new record
  reply.push_back(0xFF);
  Parse(reply);
  EXPECT_TRUE(state.stream_mode.load());
  EXPECT_EQ(state.mpg_axis_inputs[5].pin.load(), 15);
  EXPECT_EQ(state.mpg_axis_inputs[5].axis.load(), 5);
  EXPECT_EQ(state.mpg_step_inputs[3].pin.load(), 23);
  EXPECT_EQ(state.mpg_step_inputs[3].step.load(), 1000);
  EXPECT_EQ(host_.engine().dir_active_low[6], 1);
}

TEST_F(ParserTest, TheFirstPositionReportSyncsOffsetsThenTheHostFollowsTheBoard) {
  host_.engine().axis_position[0] = 500;
  host_.engine().axis_position[2] = -7;
  Parse(Position({100, 0, 3, 0, 0, 0}));
  EXPECT_EQ(host_.engine().axis_position[0], 500) << "the first report moves nothing";
  EXPECT_EQ(host_.engine().axis_position[2], -7);
  EXPECT_EQ(host_.engine().position_changed, 1);
  EXPECT_EQ(state.pos_offset[0].load(), 400);
  Parse(Position({150, 0, 3, 0, 0, 0}));
  EXPECT_EQ(host_.engine().axis_position[0], 550);

  // Reversing an axis negates its reported position and marks the change.
  host_.engine().position_changed = 0;
  host_.engine().axis_reversed[0] = 1;
  Parse(Position({150, 0, 3, 0, 0, 0}));
  EXPECT_EQ(state.board_pos[0].load(), -150);
  EXPECT_EQ(host_.engine().axis_position[0], 250);
  EXPECT_EQ(host_.engine().position_changed, 1);

  // Extreme values wrap instead of overflowing.
  Parse(Position({INT32_MIN, INT32_MAX, 0, 0, 0, 0}));
  EXPECT_EQ(state.board_pos[0].load(), INT32_MIN);
}

TEST_F(ParserTest, VelocitiesAreStepsPerFiveMilliseconds) {
  // 1000 steps in dt ms read 1000 x 200 / dt. The parser's dt lies between the ticks taken
  // around the two reports, whatever the tick's resolution (15 ms steps on some systems).
  const std::uint32_t before_first = platform::TickMs();
  Parse(Position({0, 0, 0, 0, 0, 0}));
  const std::uint32_t after_first = platform::TickMs();
  platform::SleepMs(40);
  const std::uint32_t before_second = platform::TickMs();
  Parse(Position({1000, -1000, 0, 0, 0, 0}));
  const std::uint32_t after_second = platform::TickMs();
  const std::int32_t v = host_.engine().axis_velocity[0];
  const std::uint32_t shortest = before_second - after_first, longest = after_second - before_first;
  ASSERT_GT(shortest, 0u);
  EXPECT_GE(v, static_cast<std::int32_t>(1000 * 200 / longest));
  EXPECT_LE(v, static_cast<std::int32_t>(1000 * 200 / shortest));
  EXPECT_EQ(host_.engine().axis_velocity[1], -v);
}

TEST_F(ParserTest, ThreeStillReportsWithNothingOutstandingPostTheStopOnce) {
  for (int i = 0; i < 5; ++i) Parse(Position({7, 7, 7, 7, 7, 7}));
  // The first report is a change from 0; the next three are still; the third of them posts.
  EXPECT_EQ(DrainActions(), (std::vector<std::int32_t>{ACTION_STOP}));
  EXPECT_EQ(state.still_count.load(), 4);
  state.segments_sent = 5;
  state.segments_done = 2;
  Parse(Position({7, 7, 7, 7, 7, 7}));
  EXPECT_EQ(state.still_count.load(), 0) << "segments outstanding: not at rest";
}

// The stop goes out on exactly the third still report: not on the second, not again on the fourth.
TEST_F(ParserTest, TheRestIsSeenOnExactlyTheThirdStillReport) {
  Parse(Position({3, 3, 3, 3, 3, 3}));  // a change from 0
  DrainActions();
  Parse(Position({3, 3, 3, 3, 3, 3}));
  Parse(Position({3, 3, 3, 3, 3, 3}));
  EXPECT_TRUE(DrainActions().empty()) << "two still reports";
  EXPECT_EQ(state.still_count.load(), 2);
  Parse(Position({3, 3, 3, 3, 3, 3}));
  EXPECT_EQ(DrainActions(), (std::vector<std::int32_t>{ACTION_STOP})) << "the third";
  Parse(Position({3, 3, 3, 3, 3, 3}));
  EXPECT_TRUE(DrainActions().empty()) << "the fourth";

  // Outstanding segments at, below and above the executed count.
  for (auto [sent, done, still] : {std::tuple{5u, 5u, true}, {5u, 6u, true}, {6u, 5u, false}}) {
    state.still_count = 0;
    state.segments_sent = sent;
    state.segments_done = done;
    Parse(Position({3, 3, 3, 3, 3, 3}));
    EXPECT_EQ(state.still_count.load(), still ? 1 : 0) << "sent " << sent << ", done " << done;
  }
  state.segments_sent = 0;
  state.segments_done = 0;
  // The count stops at 1000 and never wraps into a second stop.
  state.still_count = 999;
  Parse(Position({3, 3, 3, 3, 3, 3}));
  EXPECT_EQ(state.still_count.load(), 1000);
  Parse(Position({3, 3, 3, 3, 3, 3}));
  EXPECT_EQ(state.still_count.load(), 1000);
  EXPECT_TRUE(DrainActions().empty());
}

// board_has_room follows lim_buffer, whatever its value: room below it, none at or above it.
TEST_F(ParserTest, TheWindowFlagAtItsBoundForAnyWindow) {
  for (std::int32_t window : {450, 100, 1}) {
    state.lim_buffer = window;
    state.segments_sent = 5000;
    for (auto [outstanding, room] : {std::pair{window - 1, 1}, {window, 0}, {window + 1, 0}}) {
      Bytes executed{0xCF, 0x1E};
      Put32(executed, static_cast<std::uint32_t>(5000 - outstanding));
      Parse(executed);
      EXPECT_EQ(host_.planner().board_has_room, room) << "window " << window << ", outstanding " << outstanding;
    }
  }
  state.segments_sent = 0;
}

TEST_F(ParserTest, ExecutedSegmentsDriveTheWindowAndModesHoldIt) {
  state.lim_buffer = 450;
  state.segments_sent = 1000;
  Bytes executed{0xCF, 0x1E};
  Put32(executed, 550);  // 450 outstanding: the window is full
  Parse(executed);
  EXPECT_EQ(state.segments_done.load(), 550u);
  EXPECT_EQ(host_.planner().board_has_room, 0);
  executed = {0xCF, 0x1E};
  Put32(executed, 551);
  Parse(executed);
  EXPECT_EQ(host_.planner().board_has_room, 1);

  Parse({0xCF, 0x1F, 4});
  EXPECT_EQ(state.board_mode.load(), 4);
  EXPECT_EQ(host_.planner().board_has_room, 0);
  Parse({0xCF, 0x1F, 0x20});
  EXPECT_EQ(DrainActions(), (std::vector<std::int32_t>{ACTION_ENABLE}));
  host_.engine().estop = 1;
  Parse({0xCF, 0x1F, 0x20});
  EXPECT_TRUE(DrainActions().empty()) << "no enable while the host is in E-stop";
}

TEST_F(ParserTest, CountersMoveTheirDrosWithinTheirRanges) {
  host_.SetDro(3, 100);
  host_.SetDro(74, 50);
  host_.SetDro(821, 6);
  Bytes counters{0xCF, 0x2A};
  for (std::uint32_t v : {10u, 20u, 30u, 40u, 50u}) Put32(counters, v);
  Parse(counters);
  EXPECT_DOUBLE_EQ(host_.Dro(3), 100) << "the first report only primes the counters";
  counters = {0xCF, 0x2A};
  for (std::uint32_t v : {11u, 21u, 29u, 99u, 50u}) Put32(counters, v);
  Parse(counters);
  EXPECT_DOUBLE_EQ(host_.Dro(3), 100) << "clamped at 100";
  EXPECT_DOUBLE_EQ(host_.Dro(74), 55);
  EXPECT_DOUBLE_EQ(host_.Dro(821), 5) << "clamped at 5";
  EXPECT_EQ(state.board_counters[3].load(), 99);
}

TEST_F(ParserTest, SpindleSpeedIsMeasuredOverAtLeastHalfASecondFromTheFirstCount) {
  host_.engine().input_signal[23].enabled = 1;
  auto report = [](std::uint32_t pulses) {
    Bytes b{0xCF, 0x1D};
    Put32(b, pulses);
    return b;
  };
  Parse(report(5000));  // the board has counted since power-up: this is the base, not a speed
  platform::SleepMs(50);
  Parse(report(5001));
  EXPECT_DOUBLE_EQ(host_.planner().spindle_rpm, 0.0) << "sooner than 500 ms changes nothing";
  platform::SleepMs(520);
  Parse(report(5011));
  double rpm = host_.planner().spindle_rpm;
  // 11 pulses over ~570 ms (or longer on a busy machine): at most 11 x 60000 / 500.
  EXPECT_GT(rpm, 0.0);
  EXPECT_LE(rpm, 11 * 60000.0 / 500.0);
}

TEST_F(ParserTest, ABacklashReportIsTakenOnlyWhenEveryValueCanBeABacklash) {
  auto report = [](std::array<std::int32_t, 6> steps) {
    Bytes b{0xCF, 0x29};
    for (std::int32_t s : steps) Put32(b, static_cast<std::uint32_t>(s));
    return b;
  };
  state.backlash_reported = false;
  Bytes damaged = report({3, 2000000000, 0, 0, 0, 0});
  Bytes after = Position({4, 0, 0, 0, 0, 0});
  damaged.insert(damaged.end(), after.begin(), after.end());
  Parse(damaged);
  EXPECT_FALSE(state.backlash_reported.load());
  EXPECT_EQ(state.backlash_board[0].load(), 0) << "no value of a damaged report is kept";
  EXPECT_EQ(state.board_pos[0].load(), 4) << "the record still takes its 24 bytes";

  Parse(report({-32768, 32767, 0, 1, 2, 3}));
  EXPECT_TRUE(state.backlash_reported.load());
  EXPECT_EQ(state.backlash_board[0].load(), -32768);
  EXPECT_EQ(state.backlash_board[1].load(), 32767);
  Parse(report({5, 5, 5, 5, 5, 32768}));
  Parse(report({5, 5, 5, 5, -32769, 5}));
  EXPECT_EQ(state.backlash_board[0].load(), -32768) << "the last good report stays";
}

TEST_F(ParserTest, SeveralRecordsUnknownCodesAndShortBodies) {
  state.backlash_reported = false;
  Bytes body = Position({1, 2, 3, 4, 5, 6});
  body.push_back(0x42);  // unknown: costs one byte
  body.insert(body.end(), {0xCF, 0x29});
  for (int k = 0; k < 6; ++k) Put32(body, static_cast<std::uint32_t>(k * 10));
  Parse(body);
  EXPECT_EQ(state.board_pos[5].load(), 6);
  EXPECT_EQ(state.backlash_board[5].load(), 50);
  EXPECT_TRUE(state.backlash_reported.load());

  // A record cut short reads zeros for the missing bytes and ends the frame.
  Parse({0xCF, 0x1E, 0x05});
  EXPECT_EQ(state.segments_done.load(), 5u);
  Parse({0xCF, 0x20, 0x09});
  EXPECT_EQ(state.board_pos[0].load(), 9);
  EXPECT_EQ(state.board_pos[1].load(), 0);
  Parse({0xCA, 0xAC, 200, 0, 1, 18});  // a pendant count far past the body is not over-read
  Parse({0xFB, 1, 2});
}

}  // namespace
}  // namespace kv
