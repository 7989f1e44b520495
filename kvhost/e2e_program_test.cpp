// End-to-end program runs: G-code planned by kvhost into the host's segment ring, streamed by the
// real plug-in to the simulated board over loopback, ending exactly on the programmed position
// in steps on the board and in the host, with the board's queue never running dry.
// (Planning alone of the long shared programs is covered by kvhost/gcode/shared_programs_test.)
#include <gtest/gtest.h>

#include <limits>
#include <thread>
#include <vector>

#include "e2e_fixture.h"
#include "limit_check.h"
#include "run_summary.h"
#include "platform/socket.h"

namespace kvhost::e2e {
namespace {

const fs::path kExamples = KV_EXAMPLES_DIR;
const fs::path kShared = KV_SHARED_GCODE_DIR;

class E2eProgram : public E2eTest {
 protected:
  // Runs a program file and checks that it ends on its programmed position.
  void RunFileToItsEnd(const fs::path& path) {
    ASSERT_TRUE(fs::is_regular_file(path)) << path;
    const kvgcode::Program program = Parse(ReadText(path), path.filename().string());
    ASSERT_FALSE(program.blocks.empty());
    ASSERT_NO_FATAL_FAILURE(Connect());
    const ProgramOutcome out = RunProgram(program);
    ExpectEndedOnProgrammedPosition(out);
    // What the board measured from the segments the plug-in streamed to it.
    testing::ExpectPeaksWithinLimits(out.board.motion, config_.motion, machine_.planner().segment_time,
                                     path.filename().string());
  }
};

TEST_F(E2eProgram, ContourExampleEndsOnItsProgrammedPosition) { RunFileToItsEnd(kExamples / "contour.nc"); }

TEST_F(E2eProgram, PocketExampleOfManyShortMovesEndsOnItsProgrammedPosition) {
  RunFileToItsEnd(kExamples / "pocket.nc");
}

TEST_F(E2eProgram, SerialStressSpiralEndsOnItsProgrammedPosition) {
  if (!fs::is_directory(kShared)) GTEST_SKIP() << "no shared programs at " << kShared;
  RunFileToItsEnd(kShared / "ugs-serial_stress_test.gcode");
}

// A program as a Mach3 post writes it (O number, G43 H, G90.1 centres, G82 and G73 cycles, G53
// and G28 at the end) on a machine with work offsets and a tool table, and flood and mist coolant
// wired to board outputs 5 and 6: it ends step for step where it was worked out to end, and the
// board's output levels show the coolant on while it cuts and off at the end.
TEST_F(E2eProgram, AMach3PostProgramWithOffsetsToolsCyclesAndCoolantEndsOnItsEnd) {
  kvgcode::WorkSetup& work = config_.motion.work;
  work.work_offsets[0] = {100, 50, -80, 0, 0, 0};
  work.tool_lengths = {{1, 40}, {2, 60}};
  work.g28_position = {10, 20, -5, 0, 0, 0};
  config_.flood_output_pin = 5;
  config_.mist_output_pin = 6;
  const fs::path path = kExamples / "posts" / "mach3.tap";
  kvgcode::ParseResult parsed = kvgcode::ParseProgram(ReadText(path), work);
  ASSERT_TRUE(parsed.ok()) << parsed.error().message;
  const kvgcode::Program program = std::move(parsed).program();
  ASSERT_NO_FATAL_FAILURE(Connect());
  // Output levels go to the board as parameter 35, pin p in bit p - 1.
  constexpr std::uint8_t kOutputLevelsParam = 35;
  auto levels = [&] {
    const kvboard::Stats s = Board();
    const auto found = s.params.find(kOutputLevelsParam);
    if (found == s.params.end() || found->second.value.empty()) return 0u;
    return static_cast<unsigned>(found->second.value[0]);
  };
  unsigned seen = 0;
  const ProgramOutcome out = RunProgram(program, [&](const RunProgress&) { seen |= levels(); });
  ExpectEndedOnProgrammedPosition(out);
  EXPECT_EQ(*out.programmed_end, (kvgcode::AxisArray<std::int64_t>{8000, 16000, 0, 0, 0, 0}));
  EXPECT_EQ(seen & 0x30u, 0x30u) << "flood (bit 4) and mist (bit 5) seen on: " << seen;
  EXPECT_TRUE(WaitUntil([&] { return (levels() & 0x30u) == 0; }, kSettleMs)) << "coolant still on: " << levels();
}

// Coolant switched on by the program is switched off when the run stops part way: its M9 will
// never come.
TEST_F(E2eProgram, AnEstopMidRunSwitchesTheCoolantOff) {
  config_.flood_output_pin = 5;
  const kvgcode::Program program = Parse("G21 G90\nM8\nG1 X80 F1200\nM9\nM2\n", "long move with coolant");
  ASSERT_NO_FATAL_FAILURE(Connect());
  constexpr std::uint8_t kOutputLevelsParam = 35;
  auto flood = [&] {
    const kvboard::Stats s = Board();
    const auto found = s.params.find(kOutputLevelsParam);
    return found != s.params.end() && !found->second.value.empty() && (found->second.value[0] & 0x10u) != 0;
  };
  std::thread stop([this, &flood] {
    if (WaitBoard([](const kvboard::Stats& b) { return b.motion.segments_received > 300; }, 20000) &&
        WaitUntil(flood, kSettleMs)) {
      session_.api().Notify(10);
    }
  });
  const ProgramOutcome out = RunProgram(program);
  stop.join();
  EXPECT_TRUE(out.run.estop);
  EXPECT_FALSE(out.run.completed);
  EXPECT_TRUE(WaitUntil([&] { return !flood(); }, kSettleMs)) << "the flood output stayed on after the E-stop";
}

// Arcs in I/J and R form both ways round, incremental moves, inches, and a dwell between moves
// during which the board executes nothing.
TEST_F(E2eProgram, ArcsIncrementalInchesAndADwellEndOnTheProgrammedSteps) {
  const kvgcode::Program program = Parse(
      "G21 G90 G17 G64\n"
      "G0 X10 Y5 Z2\n"
      "G1 Z0 F600\n"
      "G1 X20 Y5 F1200\n"
      "G2 X30 Y15 I10 J0\n"    // clockwise quarter about (30, 5)
      "G3 X20 Y25 R10\n"       // counter-clockwise quarter, radius form
      "G4 P0.6\n"
      "G91 G1 X-5 Y-5 Z-1\n"   // to (15, 20, -1)
      "G3 X-10 Y0 I-5 J0\n"    // half circle about (10, 20)
      "G2 X5 Y5 R5\n"          // to (10, 25)
      "G90 G20\n"
      "G1 X0.5 Y0.75 Z0.05 F30\n"
      "G3 X0.25 Y1.0 I-0.25 J0\n"
      "G91 G1 X0.125 Y-0.125\n"  // ends at (0.375, 0.875, 0.05) inches
      "M30\n",
      "inline program");
  ASSERT_FALSE(program.blocks.empty());
  ASSERT_NO_FATAL_FAILURE(Connect());

  // Sampled on the runner's thread about every 100 ms: the board's executed count while the
  // host's dwell flag is up.
  std::vector<std::uint64_t> executed_in_dwell;
  std::vector<std::uint32_t> received_in_dwell;
  std::uint32_t first_dwell_ms = 0;
  std::uint32_t last_dwell_ms = 0;
  const ProgramOutcome out = RunProgram(program, [&](const RunProgress&) {
    if (host::Load(machine_.engine().dwell_active) == 0) return;
    const kvboard::Stats s = Board();
    executed_in_dwell.push_back(s.motion.segments_executed_total);
    received_in_dwell.push_back(s.motion.segments_received);
    const std::uint32_t now = platform::TickMs();
    if (first_dwell_ms == 0) first_dwell_ms = now;
    last_dwell_ms = now;
  });
  ExpectEndedOnProgrammedPosition(out);
  ASSERT_TRUE(out.programmed_end);
  // 0.375 in, 0.875 in and 0.05 in at 800 steps/mm.
  EXPECT_EQ(*out.programmed_end, (kvgcode::AxisArray<std::int64_t>{7620, 17780, 1016, 0, 0, 0}));
  EXPECT_NEAR(out.plan.dwell_time_s, 0.6, 1e-9);

  ASSERT_GE(executed_in_dwell.size(), 3u) << "the dwell of 0.6 s was hardly seen";
  EXPECT_GT(executed_in_dwell.front(), 0u) << "the dwell comes after the first moves";
  EXPECT_LT(executed_in_dwell.front(), out.plan.segments) << "and before the last ones";
  for (std::size_t i = 0; i < executed_in_dwell.size(); ++i) {
    EXPECT_EQ(executed_in_dwell[i], executed_in_dwell.front()) << "sample " << i << ": the board moved in the dwell";
    EXPECT_EQ(received_in_dwell[i], received_in_dwell.front()) << "sample " << i << ": segments came in the dwell";
  }
  EXPECT_GE(last_dwell_ms - first_dwell_ms, 300u) << "the dwell ended long before its 0.6 s";
}

// A board whose queue runs dry mid-motion (here one whose clock runs four times its stated rate,
// so it drains 20 segments in 15 ms, faster than the stream refills it) still ends on the
// programmed end, but each underrun was a stop in the middle of the cut: kvhost's summary and
// JSON must not call that a clean completion.
TEST_F(E2eProgram, UnderrunsMakeARunThatReachedItsEndNotAcleanCompletion) {
  const kvgcode::Program program = Parse("G21 G90\nG1 X40 Y10 F1200\nG1 X0 Y0\nM2\n", "inline program");
  ASSERT_NO_FATAL_FAILURE(Connect([](kvboard::BoardConfig& b) { b.clock_percent = 400; }));
  const ProgramOutcome out = RunProgram(program);
  ASSERT_TRUE(out.run.completed) << out.run.error;
  ASSERT_GT(out.board.motion.underruns, 0u) << "the fast board never ran dry";

  RunSummary summary;  // as kvhost fills it after a run with its simulated board
  summary.run = out.run;
  for (int k = 0; k < 6; ++k) summary.run.program_end_steps[k] = out.plan.end_steps[k];
  summary.board_end_steps = out.board.position_steps;
  summary.underruns = out.board.motion.underruns;
  EXPECT_EQ(EndMismatch(summary), "") << "the end itself is right";
  EXPECT_EQ(Outcome(summary), RunOutcome::kUnderruns);
  const std::string json = SummaryJson(summary);
  EXPECT_NE(json.find("\"completed\":false"), std::string::npos) << json;
  EXPECT_NE(json.find("\"outcome\":\"underruns\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"end_matches\":true"), std::string::npos) << json;

  summary.underruns = 0u;  // the same run with the queue never dry is the clean completion
  EXPECT_EQ(Outcome(summary), RunOutcome::kCompleted);
  EXPECT_NE(SummaryJson(summary).find("\"completed\":true"), std::string::npos);
  summary.run.axis_position[0] = std::numeric_limits<std::int32_t>::min();  // the host's X jumped by 2^31
  EXPECT_EQ(Outcome(summary), RunOutcome::kEndMismatch);
  EXPECT_EQ(EndMismatch(summary), "the host's X ended at -2147483648 steps, the program ends at 0");
}

// A host that cannot plan fast enough, against a board whose reports reach the plug-in 150 ms
// after they were taken: the host publishes its segments in bursts, and after each one waits
// until the board has run them all, a little longer each time, so that across the bursts the
// next one is published at every moment around the stop that closes the stream behind the last,
// while reports taken before that close are still on their way. The stop must never be sent
// behind segments the board has not run, nor may they go out where a stale report makes them
// look run.
TEST_F(E2eProgram, BurstsPublishedAroundEachStopWithLateReportsLoseNoSegment) {
  ASSERT_NO_FATAL_FAILURE(Connect([](kvboard::BoardConfig& b) { b.report_latency_ms = 150; }));
  constexpr int kBursts = 30;
  constexpr int kPerBurst = 30;
  std::uint32_t published = 0;
  for (int burst = 0; burst < kBursts; ++burst) {
    PublishSegments(kPerBurst, {1, 0, 0, 0, 0, 0});
    published += kPerBurst;
    ASSERT_TRUE(WaitBoard([&](const kvboard::Stats& s) {
      return s.motion.segments_executed_total + s.motion.segments_dropped >= published && s.motion.queue_depth == 0;
    }, 5000)) << "burst " << burst << " was not run";
    platform::SleepMs(static_cast<std::uint32_t>(140 + 4 * burst));
  }
  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& s) { return s.motion.queue_depth == 0; }, kSettleMs));
  const kvboard::Stats s = Board();
  EXPECT_EQ(s.motion.segments_dropped, 0u) << "a stream close dropped queued segments";
  EXPECT_EQ(s.motion.segments_executed_total, published);
  EXPECT_EQ(s.position_steps[0], static_cast<std::int32_t>(published)) << "steps lost";
  EXPECT_GE(s.motion.stream_closes, 2u) << "the stream was never closed between bursts";
}

// A stray client that connects to the plug-in's port during a run and says nothing (as a second
// board or a port scanner may) changes nothing: it waits in the backlog while the board is
// heard, well past the quiet bound that would let it replace a silent board, and the program
// ends where it should with no E-stop.
TEST_F(E2eProgram, ASilentIntruderDuringARunChangesNothing) {
  constexpr double kQuietBeforeTakeoverS = 3.0;
  const kvgcode::Program program = Parse("G21 G90\nG1 X40 F600\nG1 X0\nM30\n", "inline program");
  ASSERT_FALSE(program.blocks.empty());
  std::uint16_t plugin_port = 0;
  ASSERT_NO_FATAL_FAILURE(Connect([&](kvboard::BoardConfig& c) { plugin_port = c.plugin_port; }));
  ASSERT_NE(plugin_port, 0);

  platform::SocketHandle intruder = platform::kInvalidSocket;
  bool intruder_connected = false;
  double intruder_at_s = 0;
  const ProgramOutcome out = RunProgram(program, [&](const RunProgress& p) {
    if (intruder != platform::kInvalidSocket || p.elapsed_s < 1.0) return;
    intruder = platform::TcpSocket(0);
    intruder_connected = platform::Connect(intruder, {0x7F000001, plugin_port});
    intruder_at_s = p.elapsed_s;
  });
  ExpectEndedOnProgrammedPosition(out);
  EXPECT_FALSE(out.run.estop);
  EXPECT_TRUE(intruder_connected) << "the intruder's connection was not even queued";
  EXPECT_GT(out.run.wall_s - intruder_at_s, kQuietBeforeTakeoverS + 1.0)
      << "the run did not outlast the quiet bound with the intruder waiting";
  EXPECT_EQ(Board().connections, 1u) << "the board lost its link";
  platform::CloseSocket(intruder);
}

}  // namespace
}  // namespace kvhost::e2e
