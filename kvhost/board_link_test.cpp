// The plug-in and the simulated board over real loopback sockets: the start (identification,
// status poll, streaming and keep-alives), reconnects, feedback into the host, limits and
// E-stop, and a board that sends garbage. Each test runs in a process of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <cstdio>
#include <functional>
#include <memory>

#include "host_session.h"
#include "loopback_ports.h"
#include "machine_config.h"
#include "platform/clock.h"
#include "shell/host_access.h"
#include "sim_board.h"

namespace kvhost {
namespace {

class BoardLinkTest : public ::testing::Test {
 protected:
  // Builds the board (callers may change config_ first) and starts the plug-in against it.
  void Start() {
    config_.discovery_port = 0;
    config_.plugin_port = FreeTcpPort();
    config_.log = [](std::string_view) {};  // the robustness test makes it chatty
    board_ = std::make_unique<kvboard::SimBoard>(config_);
    ASSERT_TRUE(board_->Start());
    std::string error;
    ASSERT_TRUE(session_.Load(DefaultPluginPath(), error)) << error;
    ASSERT_TRUE(session_.SetEndpoints({"127.0.0.1", board_->DiscoveryPort(), config_.plugin_port}, error)) << error;
    machine_.ApplyMachineConfig(machine_config_);
    profile_ = (std::filesystem::temp_directory_path() /
                ("kvhost-board-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".xml"))
                   .string();
    session_.StartUp(profile_);
  }
  void TearDown() override {
    session_.ShutDown();
    if (board_) board_->Stop();
    std::filesystem::remove(profile_);
  }

  bool BoardSees(const std::function<bool(const kvboard::Stats&)>& done, int timeout_ms = 8000) {
    return board_->WaitFor(done, timeout_ms);
  }
  static bool HostSees(const std::function<bool()>& done, int timeout_ms = 5000) {
    for (int waited = 0; waited < timeout_ms; waited += 5) {
      if (done()) return true;
      platform::SleepMs(5);
    }
    return done();
  }
  bool Streaming() {
    return BoardSees([](const kvboard::Stats& s) { return s.keep_alives > 0; });
  }

  static std::vector<std::uint32_t> Gaps(const std::vector<std::uint32_t>& ticks) {
    std::vector<std::uint32_t> gaps;
    for (std::size_t i = 1; i < ticks.size(); ++i) gaps.push_back(ticks[i] - ticks[i - 1]);
    std::sort(gaps.begin(), gaps.end());
    return gaps;
  }

  kvboard::BoardConfig config_;
  MachineConfig machine_config_ = DefaultMachineConfig();
  std::unique_ptr<kvboard::SimBoard> board_;
  HostMachine machine_;
  HostSession session_{machine_};
  std::string profile_;
};

TEST_F(BoardLinkTest, IdentifiesPollsAndStreamsWithKeepAlives) {
  Start();
  board_->SetSilent(true);  // let the requests pile up unanswered for a while
  ASSERT_TRUE(BoardSees([](const kvboard::Stats& s) { return s.ident_requests >= 5; }));
  std::vector<std::uint32_t> gaps = Gaps(board_->Snapshot().ident_request_ms);
  EXPECT_GE(gaps[gaps.size() / 2], 190u) << "identification requests every 200 ms";
  EXPECT_LE(gaps[gaps.size() / 2], 260u);
  std::printf("measured: identification requests every %u ms (median of %zu gaps)\n", gaps[gaps.size() / 2],
              gaps.size());
  board_->SetSilent(false);

  ASSERT_TRUE(Streaming());
  kvboard::Stats s = board_->Snapshot();
  EXPECT_GE(s.status_polls, 1u);
  EXPECT_GT(s.params.count(34), 0u) << "the first streaming run sends the parameters";
  EXPECT_EQ(s.malformed, 0u);
  EXPECT_EQ(machine_.Buttons().front(), 204) << "the pulse-rate update presses button 204";
  EXPECT_DOUBLE_EQ(host::Load(machine_.planner().pulse_rate_limit[0]), 100000 * 1.176);

  // Keep-alives on every sixth empty streaming run: about every 6 x 30 ms.
  std::uint32_t before = board_->Snapshot().keep_alives;
  std::uint32_t t0 = platform::TickMs();
  platform::SleepMs(1800);
  double per_s = (board_->Snapshot().keep_alives - before) * 1000.0 / (platform::TickMs() - t0);
  EXPECT_GT(per_s, 2.0);
  EXPECT_LT(per_s, 6.5) << "never more than one per six 30 ms runs";
  std::printf("measured: %.2f keep-alives per second, one every %.0f ms\n", per_s, 1000.0 / per_s);
}

TEST_F(BoardLinkTest, ABoardThatNeverAnswersThePollGetsOnlyPolls) {
  Start();
  board_->SetSilent(true);
  ASSERT_TRUE(BoardSees([](const kvboard::Stats& s) { return s.ident_requests >= 1; }));
  // Answer the identification by hand, and nothing else.
  std::vector<std::uint8_t> reply{17, 0xDD, 1, 'S', 'I', 'L', 'E', 'N', 'T', '0', '1', 3, 1, 0, 3, 36, 10, 0, 0};
  ASSERT_TRUE(board_->SendRaw(reply));
  ASSERT_TRUE(BoardSees([](const kvboard::Stats& s) { return s.status_polls >= 5; }));
  kvboard::Stats s = board_->Snapshot();
  std::vector<std::uint32_t> gaps = Gaps(s.status_poll_ms);
  EXPECT_GE(gaps[gaps.size() / 2], 190u) << "status polls every 200 ms";
  EXPECT_LE(gaps[gaps.size() / 2], 260u);
  EXPECT_EQ(s.param_records, 0u);
  EXPECT_EQ(s.keep_alives, 0u);
}

TEST_F(BoardLinkTest, AModelWithoutABaseClockStaysUnidentified) {
  config_.model = 20;
  Start();
  ASSERT_TRUE(BoardSees([](const kvboard::Stats& s) { return s.ident_requests >= 4; }));
  kvboard::Stats s = board_->Snapshot();
  EXPECT_EQ(s.status_polls, 0u);
  EXPECT_EQ(s.param_records, 0u);
  EXPECT_DOUBLE_EQ(host::Load(machine_.planner().pulse_rate_limit[0]), 0.0);
}

TEST_F(BoardLinkTest, ABoardInItsLoaderIsNotPolled) {
  config_.in_loader = true;
  Start();
  ASSERT_TRUE(BoardSees([](const kvboard::Stats& s) { return s.ident_requests >= 1; }));
  platform::SleepMs(800);
  kvboard::Stats s = board_->Snapshot();
  // The upgrade request holds the service task: no further identification, no polls.
  EXPECT_EQ(s.ident_requests, 1u);
  EXPECT_EQ(s.status_polls, 0u);
}

TEST_F(BoardLinkTest, AfterAReconnectTheBoardIsIdentifiedAnewAndGetsEveryParameter) {
  Start();
  ASSERT_TRUE(Streaming());
  kvboard::Stats first = board_->Snapshot();
  std::uint32_t param34_sent = first.params.at(34).count;
  board_->DropConnection();
  ASSERT_TRUE(BoardSees([](const kvboard::Stats& s) { return s.connections >= 2 && s.keep_alives > 0 && s.connected; }));
  ASSERT_TRUE(BoardSees([&](const kvboard::Stats& s) { return s.params.at(34).count > param34_sent; }));
  kvboard::Stats second = board_->Snapshot();
  EXPECT_GT(second.ident_requests, first.ident_requests);
  for (const auto& [id, record] : first.params) {
    EXPECT_GT(second.params.at(id).count, record.count) << "parameter " << int(id) << " resent";
  }
}

TEST_F(BoardLinkTest, PositionsCountersAndSpindleReachTheHost) {
  machine_.engine().axis_position[1] = 1000;  // the host's view before the board reports
  Start();
  ASSERT_TRUE(Streaming());
  // The first report only syncs the offsets: the host keeps its 1000.
  EXPECT_EQ(host::Load(machine_.engine().axis_position[1]), 1000);
  board_->SetAxisPosition(1, 250);
  ASSERT_TRUE(HostSees([&] { return host::Load(machine_.engine().axis_position[1]) == 1250; }));
  board_->SetAxisPosition(0, 40);
  ASSERT_TRUE(HostSees([&] { return host::Load(machine_.engine().axis_position[0]) == 40; }));
  host::Store(machine_.engine().axis_reversed[0], 1);
  ASSERT_TRUE(HostSees([&] { return host::Load(machine_.engine().axis_position[0]) == -40; }));

  machine_.SetDro(3, 50);
  machine_.SetDro(74, 198);
  machine_.SetDro(821, 100);
  ASSERT_TRUE(board_->SendCounters({1, 1, 1, 0, 0}));  // primes
  ASSERT_TRUE(board_->SendCounters({2, 3, 1, 0, 0}));
  ASSERT_TRUE(HostSees([&] { return machine_.Dro(3) == 55 && machine_.Dro(74) == 200; }));
  EXPECT_EQ(machine_.Dro(821), 100);

  host::Store(machine_.engine().input_signal[23].enabled, 1);
  ASSERT_TRUE(board_->SendSpindleCount(100));
  platform::SleepMs(30);
  ASSERT_TRUE(board_->SendSpindleCount(100));
  // 700 ms between the counts: the plug-in times them by their arrival, and a first report
  // that reaches it up to 100 ms late on a loaded machine still leaves 600 ms or more.
  platform::SleepMs(700);
  ASSERT_TRUE(board_->SendSpindleCount(120));
  ASSERT_TRUE(HostSees([&] { return host::Load(machine_.planner().spindle_rpm) > 0; }));
  EXPECT_LE(host::Load(machine_.planner().spindle_rpm), 20 * 60000.0 / 600.0) << "20 pulses over 600 ms or more";
}

TEST_F(BoardLinkTest, LimitsStopReportsAndTheEstopInputRaiseEstop) {
  machine_config_.axes[0].limit_min_pin = 7;
  machine_config_.estop_pin = 9;
  Start();
  ASSERT_TRUE(Streaming());
  board_->SetInput(7, true);
  ASSERT_TRUE(HostSees([&] { return host::Load(machine_.engine().estop) == 1; }));
  EXPECT_EQ(host::Load(machine_.engine().input_signal[0].state), 1);
  ASSERT_TRUE(BoardSees([](const kvboard::Stats& s) { return s.estops >= 1; })) << "the board is E-stopped too";
  board_->SetInput(7, false);
  ASSERT_TRUE(HostSees([&] { return host::Load(machine_.engine().input_signal[0].state) == 0; }));

  host::Store(machine_.engine().estop, 0);
  ASSERT_TRUE(BoardSees([](const kvboard::Stats& s) { return s.enables >= 1; })) << "leaving E-stop enables the board";
  std::uint32_t estops_before = board_->Snapshot().estops;
  ASSERT_TRUE(board_->SendStopReport(1));  // the pendant's E-stop is always in the stop mask
  ASSERT_TRUE(HostSees([&] { return host::Load(machine_.engine().estop) == 1; }));
  EXPECT_EQ(machine_.StatusLine(), "MPG Estop Triggered");
  // The supervisor follows the host's E-stop to the board before the operator clears it.
  ASSERT_TRUE(BoardSees([&](const kvboard::Stats& s) { return s.estops > estops_before; }));

  host::Store(machine_.engine().estop, 0);
  ASSERT_TRUE(BoardSees([](const kvboard::Stats& s) { return s.enables >= 2; }));
  std::uint32_t estops = board_->Snapshot().estops;
  board_->SetInput(9, true);
  ASSERT_TRUE(HostSees([&] { return host::Load(machine_.engine().estop) == 1; }));
  ASSERT_TRUE(BoardSees([&](const kvboard::Stats& s) { return s.estops > estops; }));
}

TEST_F(BoardLinkTest, SoftLimitsTripWithTheirMessage) {
  Start();
  ASSERT_TRUE(Streaming());
  for (int k = 0; k < 6; ++k) {
    machine_.SetDro(static_cast<std::int16_t>(150 + k), 10.0);
    machine_.SetDro(static_cast<std::int16_t>(156 + k), -10.0);
  }
  host::Store(machine_.planner().softlimit_position[2], 11.0);
  host::Store(machine_.engine().softlimit_armed, 1);
  host::Store(machine_.engine().softlimits_enabled, 1);
  ASSERT_TRUE(HostSees([&] { return machine_.StatusLine() == "axis 2 limit - triggered!"; }));
  ASSERT_TRUE(HostSees([&] { return host::Load(machine_.engine().estop) == 1; })) << "the E-stop action";
  host::Store(machine_.planner().softlimit_position[2], 0.0);
  ASSERT_TRUE(HostSees([&] { return machine_.StatusLine().empty(); }));
}

TEST_F(BoardLinkTest, RandomBytesFromTheBoardNeitherCrashNorHangThePlugin) {
  Start();
  ASSERT_TRUE(Streaming());
  std::uint32_t end = platform::TickMs() + 3000;
  while (static_cast<std::int32_t>(end - platform::TickMs()) > 0) {
    board_->SendRandomBytes(512);
    platform::SleepMs(5);
  }
  // Whatever the garbage did, a fresh connection is served normally.
  board_->DropConnection();
  std::uint32_t connections = board_->Snapshot().connections;
  ASSERT_TRUE(BoardSees([&](const kvboard::Stats& s) { return s.connections > connections && s.connected; }));
  std::uint32_t keep_alives = board_->Snapshot().keep_alives;
  ASSERT_TRUE(BoardSees([&](const kvboard::Stats& s) { return s.keep_alives > keep_alives + 2; }));
  // Read before the board moves: a report applied between the two would leave nothing to see.
  std::int32_t before = host::Load(machine_.engine().axis_position[2]);
  board_->SetAxisPosition(2, 77);
  ASSERT_TRUE(HostSees([&] { return host::Load(machine_.engine().axis_position[2]) != before; }));
}

}  // namespace
}  // namespace kvhost
