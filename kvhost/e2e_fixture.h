// Shared set-up for the end-to-end tests: the real plug-in loaded through kvhost's library, the
// simulated board on loopback, bounded waits, and the end-of-run checks every program run needs.
// The plug-in is one per process, so each test case must run in a process of its own (ctest
// does this; by hand, use --gtest_filter with one case).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host_machine.h"
#include "host_session.h"
#include "loopback_ports.h"
#include "machine_config.h"
#include "plan_summary.h"
#include "platform/clock.h"
#include "program.h"
#include "program_runner.h"
#include "shell/host_access.h"
#include "board_wait.h"
#include "sim_board_setup.h"

namespace kvhost::e2e {

namespace fs = std::filesystem;

inline constexpr int kBoardWaitMs = 15000;  // discovery starts 1 s after InitControl
inline constexpr int kSettleMs = 3000;      // last reports after a motion has ended

inline std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Parses G-code text; an empty program (with a test failure) when it does not parse.
inline kvgcode::Program Parse(const std::string& text, const std::string& what) {
  kvgcode::ParseResult parsed = kvgcode::ParseProgram(text);
  if (!parsed.ok()) {
    ADD_FAILURE() << what << ": " << parsed.error().message;
    return {};
  }
  return std::move(parsed).program();
}

// Polls `done` every 2 ms until it holds or `timeout_ms` has passed; true when it held.
inline bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
  const std::uint32_t start = platform::TickMs();
  for (;;) {
    if (done()) return true;
    if (static_cast<std::int32_t>(platform::TickMs() - start) >= timeout_ms) return false;
    platform::SleepMs(2);
  }
}

// True when `first` occurs in `modes` with `then` somewhere after it.
inline bool ModeFollowedBy(const std::vector<std::uint8_t>& modes, std::uint8_t first, std::uint8_t then) {
  auto at = std::find(modes.begin(), modes.end(), first);
  return at != modes.end() && std::find(at + 1, modes.end(), then) != modes.end();
}

inline std::string Modes(const std::vector<std::uint8_t>& modes) {
  std::string text;
  for (std::uint8_t m : modes) text += std::to_string(m) + " ";
  return text;
}

// What one program run through the plug-in came to.
struct ProgramOutcome {
  kvgcode::PlanSummary plan;
  std::optional<kvgcode::AxisArray<std::int64_t>> programmed_end;  // straight from the interpreter
  RunResult run;
  kvboard::Stats board;                    // after the last reports have settled
  std::array<std::int32_t, 6> host_end{};  // engine axis_position, read with the board snapshot
};

class E2eTest : public ::testing::Test {
 protected:
  void TearDown() override {
    session_.ShutDown();
    if (board_) board_->Stop();
    std::error_code ignored;
    fs::remove(profile_, ignored);
  }

  // Starts the simulated board with the machine in `config_` (then `adjust`; `usb` = true puts
  // it on the simulated USB link), points the
  // plug-in at it on loopback, starts the plug-in and waits until it has identified the board
  // and streams to it. Use under ASSERT_NO_FATAL_FAILURE.
  void Connect(const std::function<void(kvboard::BoardConfig&)>& adjust = {}) {
    ASSERT_NO_FATAL_FAILURE(StartBoardAndPlugin(adjust));
    ASSERT_TRUE(WaitForBoard(session_.api(), machine_, kBoardWaitMs / 1000.0))
        << "the plug-in did not identify the simulated board and start streaming to it";
    // The first position report fixes the host's offsets; after it the host follows the board.
    ASSERT_TRUE(WaitUntil([&] { return Board().position_reports > 0 && HostMatchesBoard(); }, kSettleMs));
  }

  // The board and the plug-in started, without waiting for the board to be identified (a board
  // in its loader never is). Use under ASSERT_NO_FATAL_FAILURE.
  void StartBoardAndPlugin(const std::function<void(kvboard::BoardConfig&)>& adjust = {}) {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');  // parameterised tests: "Case/Param"
    profile_ = (fs::temp_directory_path() / ("kvhost-e2e-" + name + ".xml")).string();
    fs::remove(profile_);
    std::string error;
    ASSERT_TRUE(session_.Load(DefaultPluginPath(), error)) << error;
    const std::uint16_t listen_port = FreeTcpPort();
    ASSERT_NE(listen_port, 0);
    kvboard::BoardConfig board_config = SimBoardConfig(config_, listen_port);
    if (adjust) adjust(board_config);
    board_ = StartSimBoard(board_config, error);
    ASSERT_TRUE(board_) << error;
    // Over USB the datagrams go unanswered, still to loopback.
    const std::uint16_t discovery_port = board_config.usb ? FreeUdpPort() : board_->DiscoveryPort();
    ASSERT_TRUE(session_.SetEndpoints({"127.0.0.1", discovery_port, listen_port}, error))
        << error << " (the endpoints can be set only before the first InitControl of the process: run one case per process)";
    machine_.ApplyMachineConfig(config_);
    session_.StartUp(profile_);
  }

  kvboard::Stats Board() const { return board_->Snapshot(); }

  bool WaitBoard(const std::function<bool(const kvboard::Stats&)>& done, int timeout_ms) const {
    return board_->WaitFor(done, timeout_ms);
  }

  std::array<std::int32_t, 6> HostPosition() {
    std::array<std::int32_t, 6> p{};
    for (int k = 0; k < 6; ++k) p[k] = host::Load(machine_.engine().axis_position[k]);
    return p;
  }

  bool HostMatchesBoard() { return HostPosition() == Board().position_steps; }

  std::int32_t RingWaiting() {
    const host::EngineBlock& e = machine_.engine();
    return (host::Load(e.ring_write_index) - host::Load(e.ring_read_index)) & host::kRingMask;
  }

  // Publishes `count` segments of `steps` per axis into the host's ring, as the host's planner
  // does: the slot first, then the write index.
  void PublishSegments(int count, const std::array<double, 6>& steps) {
    host::EngineBlock& e = machine_.engine();
    for (int i = 0; i < count; ++i) {
      const std::int32_t write = host::Load(e.ring_write_index);
      host::RingSegment& slot = machine_.planner().segment_ring[write];
      for (int k = 0; k < 6; ++k) slot.axis_steps[k] = steps[k];
      e.segment_tag[write] = write;
      host::Store(e.ring_write_index, (write + 1) & host::kRingMask);
    }
  }

  // Plans and runs `program` through the plug-in with kvhost's runner (`prepare` may attach its
  // observers first), then waits for the board to come to rest and the host to follow it.
  ProgramOutcome RunProgram(const kvgcode::Program& program,
                            const std::function<void(const RunProgress&)>& on_progress = {},
                            const std::function<void(ProgramRunner&)>& prepare = {}) {
    ProgramOutcome out;
    const double segment_time = machine_.planner().segment_time;
    out.plan = kvgcode::Summarize(program, config_.motion, segment_time);
    EXPECT_FALSE(out.plan.error) << *out.plan.error;
    out.programmed_end = kvgcode::ProgramEndSteps(program, config_.motion);
    EXPECT_TRUE(out.programmed_end);
    // Generous: the board runs in real time, the stream starts after its hold-off, and the
    // sanitizer builds run on a shared two-core machine.
    const double limit_s = out.plan.estimated_time_s * 1.5 + 15.0;
    ProgramRunner runner(machine_, session_.api(), program, config_.motion, out.plan.segments);
    if (prepare) prepare(runner);
    out.run = runner.Run(limit_s, on_progress);
    WaitUntil(
        [&] {
          const kvboard::Stats s = Board();
          return s.motion.queue_depth == 0 && s.mode != 4 && s.mode != 8 && HostPosition() == s.position_steps;
        },
        kSettleMs);
    out.board = Board();
    out.host_end = HostPosition();
    return out;
  }

  // The run completed and both the board and the host ended exactly on the programmed end, in
  // steps, with every planned segment sent and executed and none missing on time.
  static void ExpectEndedOnProgrammedPosition(const ProgramOutcome& out) {
    EXPECT_TRUE(out.run.completed) << "error \"" << out.run.error << "\", E-stop " << out.run.estop << ", timed out "
                                   << out.run.timed_out << ", stalled " << out.run.stalled << ", interrupted "
                                   << out.run.interrupted << " after " << out.run.wall_s << " s; board: received "
                                   << out.board.motion.segments_received << ", executed "
                                   << out.board.motion.segments_executed_total << ", dropped "
                                   << out.board.motion.segments_dropped << ", underruns " << out.board.motion.underruns
                                   << ", stream closes " << out.board.motion.stream_closes;
    ASSERT_TRUE(out.programmed_end);
    EXPECT_GT(out.plan.segments, 0u);
    EXPECT_EQ(out.run.segments_planned, out.plan.segments);
    for (std::size_t k = 0; k < 6; ++k) {
      SCOPED_TRACE(std::string("axis ") + kvgcode::kAxisLetters[k]);
      const std::int64_t end = (*out.programmed_end)[k];
      EXPECT_EQ(out.plan.end_steps[k], end) << "the planner's segments sum to the programmed end";
      EXPECT_EQ(out.run.program_end_steps[k], end);
      EXPECT_EQ(out.board.position_steps[k], end) << "the board";
      EXPECT_EQ(out.host_end[k], end) << "the host's axis_position";
      EXPECT_EQ(out.run.axis_position[k], end) << "the host's axis_position when the run ended";
    }
    // An underrun in periods the simulated board ran late, its own clock held up by this
    // computer, says nothing of the plug-in: its threads were held up with it.
    EXPECT_EQ(out.board.motion.underruns - out.board.motion.underruns_board_late, 0u)
        << "the last one " << out.board.motion.last_underrun_at << " segments into its stream; "
        << out.board.motion.underruns_board_late << " across periods the board ran late; its clock was held up "
        << out.board.longest_clock_gap_ms << " ms at most";
    EXPECT_EQ(out.board.motion.segments_received, out.plan.segments);
    EXPECT_EQ(out.board.motion.segments_executed_total, out.plan.segments);
    EXPECT_EQ(out.board.motion.segments_dropped, 0u);
    EXPECT_EQ(out.board.motion.queue_overflows, 0u);
    EXPECT_EQ(out.board.malformed, 0u) << out.board.last_fault;
    EXPECT_EQ(out.board.invalid_commands, 0u) << out.board.last_fault;
    EXPECT_FALSE(out.board.estopped);
  }

  MachineConfig config_ = DefaultMachineConfig();
  HostMachine machine_;
  HostSession session_{machine_};
  std::unique_ptr<kvboard::SimBoard> board_;
  std::string profile_;
};

}  // namespace kvhost::e2e
