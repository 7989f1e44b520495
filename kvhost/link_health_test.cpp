// The plug-in's link health counters as kvhost reads them through GetLinkState, against the
// simulated board: traffic both ways, records the parser skips or finds cut short, frames the
// reassembler cuts, a lost link and the reconnect; and a listening port in use ending the wait
// for a board at once. Each test runs in a process of its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "board_wait.h"
#include "host_session.h"
#include "loopback_ports.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "run_summary.h"
#include "sim_board.h"

namespace kvhost {
namespace {

bool Eventually(const std::function<bool()>& done, int timeout_ms = 5000) {
  for (int waited = 0; waited < timeout_ms; waited += 5) {
    if (done()) return true;
    platform::SleepMs(5);
  }
  return done();
}

class LinkHealthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    profile_ = (std::filesystem::temp_directory_path() /
                ("kvhost-health-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".xml"))
                   .string();
    std::string error;
    ASSERT_TRUE(session_.Load(DefaultPluginPath(), error)) << error;
  }
  void TearDown() override {
    session_.ShutDown();
    if (board_) board_->Stop();
    std::filesystem::remove(profile_);
  }
  host::LinkState Link() const { return ReadLinkState(session_.api()); }

  HostMachine machine_;
  HostSession session_{machine_};
  std::unique_ptr<kvboard::SimBoard> board_;
  std::string profile_;
};

TEST_F(LinkHealthTest, CountsTrafficGarbageCutsLossesAndReconnects) {
  kvboard::BoardConfig config;
  config.discovery_port = 0;
  config.plugin_port = FreeTcpPort();
  config.log = [](std::string_view) {};
  board_ = std::make_unique<kvboard::SimBoard>(config);
  ASSERT_TRUE(board_->Start());
  std::string error;
  ASSERT_TRUE(session_.SetEndpoints({"127.0.0.1", board_->DiscoveryPort(), config.plugin_port}, error)) << error;
  session_.StartUp(profile_);
  ASSERT_TRUE(WaitForBoard(session_.api(), machine_, 10.0, true));

  const host::LinkState start = Link();
  EXPECT_GT(start.frames_sent, 0u);
  EXPECT_GT(start.bytes_sent, start.frames_sent);
  EXPECT_GT(start.frames_received, 0u);
  EXPECT_GT(start.bytes_received, start.frames_received);
  EXPECT_EQ(start.connections, 1u);

  // Two record codes nobody knows, then a position report cut short by its frame's end.
  const std::uint8_t unknown[] = {2, 0x77, 0x78};
  const std::uint8_t short_position[] = {3, 0xCF, 0x20, 0x01};
  ASSERT_TRUE(board_->SendRaw(unknown));
  ASSERT_TRUE(board_->SendRaw(short_position));
  EXPECT_TRUE(Eventually([&] { return Link().records_skipped >= start.records_skipped + 2; }));
  EXPECT_TRUE(Eventually([&] { return Link().records_malformed >= start.records_malformed + 1; }));

  // A length byte above what the plug-in takes; the link then drops and comes back.
  const std::uint8_t too_long[] = {0xFF};
  ASSERT_TRUE(board_->SendRaw(too_long));
  EXPECT_TRUE(Eventually([&] { return Link().frames_cut == start.frames_cut + 1; }));
  board_->DropConnection();
  EXPECT_TRUE(Eventually([&] {
    const host::LinkState l = Link();
    return l.link_losses == start.link_losses + 1 && l.connections == 2 && l.streaming != 0;
  }, 8000));

  RunSummary summary;
  summary.link_health = Link();
  const std::string json = SummaryJson(summary);
  EXPECT_NE(json.find("\"link_health\":{\"frames_sent\":"), std::string::npos) << json;
  EXPECT_NE(json.find("\"link_losses\":1,\"connections\":2,\"reconnects\":1"), std::string::npos) << json;
}

TEST_F(LinkHealthTest, AListeningPortInUseEndsTheWaitForABoardAtOnce) {
  const std::uint16_t port = FreeTcpPort();
  platform::SocketHandle squatter = platform::TcpSocket(0);
  ASSERT_TRUE(platform::Bind(squatter, {0, port}));
  ASSERT_TRUE(platform::Listen(squatter, 1));
  std::string error;
  ASSERT_TRUE(session_.SetEndpoints({"127.0.0.1", FreeUdpPort(), port}, error)) << error;
  session_.StartUp(profile_);
  const std::uint32_t start = platform::TickMs();
  EXPECT_FALSE(WaitForBoard(session_.api(), machine_, 15.0, true));
  EXPECT_LT(platform::TickMs() - start, 3000u) << "not the whole wait";
  EXPECT_EQ(Link().listen_failed, 1);
  platform::CloseSocket(squatter);
}

}  // namespace
}  // namespace kvhost
