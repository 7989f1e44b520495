// The firmware upgrade over the real Ethernet link to a board that stops reading part-way
// through the image: the send bound cuts a block short, and the upgrade must end there, say where,
// and close the link rather than go on with a gap in the loader's image. The board is a raw
// loopback socket; the upgrade runs unpaced so that the socket buffers fill within a second.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "link/ethernet_link.h"
#include "link/link_health.h"
#include "platform/clock.h"
#include "platform/hid_sim.h"
#include "platform/socket.h"
#include "service/firmware_upgrade.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
constexpr std::uint32_t kLoopback = 0x7F000001;

std::uint16_t FreePort(bool tcp) {
  platform::SocketHandle s = tcp ? platform::TcpSocket(0) : platform::UdpSocket();
  platform::Bind(s, {kLoopback, 0});
  const std::uint16_t port = platform::LocalEndpoint(s).port;
  platform::CloseSocket(s);
  return port;
}

bool Eventually(const std::function<bool()>& done, std::uint32_t ms = 3000) {
  const std::uint32_t start = platform::TickMs();
  while (platform::TickMs() - start < ms) {
    if (done()) return true;
    platform::SleepMs(5);
  }
  return done();
}

TEST(UpgradeOverEthernet, ABoardThatStopsReadingMidImageEndsTheUpgradeAtTheCutBlockAndTheLinkCloses) {
  platform::SetLoopbackOnly(true);
  platform::InstallSimHidBackend();  // no real device is ever opened
  const std::uint16_t listen_port = FreePort(true);
  ASSERT_TRUE(SetEthEndpoints({kLoopback, FreePort(false), listen_port}));
  testing::FakeHost host;
  EthStart();
  // A small receive buffer, never read: the plug-in's sends stall once the buffers are full.
  platform::SocketHandle board = platform::kInvalidSocket;
  for (int attempt = 0; attempt < 200 && board == platform::kInvalidSocket; ++attempt) {
    platform::SocketHandle s = platform::TcpSocket(4096);
    if (platform::Connect(s, {kLoopback, listen_port})) {
      board = s;
    } else {
      platform::CloseSocket(s);
      platform::SleepMs(10);
    }
  }
  ASSERT_NE(board, platform::kInvalidSocket);
  ASSERT_TRUE(Eventually([] { return state.link_open.load() == 1; }));

  // The largest image the loader takes: more than loopback's buffers hold.
  const fs::path image = fs::temp_directory_path() / "kv-upgrade-stalled.bin";
  { std::ofstream(image, std::ios::binary) << std::string(kLoaderImageLimit, '\x5A'); }
  state.upgrade_path.Set(image.string());
  state.upgrade_requested = true;
  SetUpgradePacing({0, 0, 0, 0});
  const LinkHealth before = LinkHealthSnapshot();
  const std::uint32_t start = platform::TickMs();
  FirmwareUpgrade();
  const std::uint32_t took = platform::TickMs() - start;
  fs::remove(image);

  const std::string status = host.Status();
  const std::string prefix = "Upgrade stopped after ";
  ASSERT_EQ(status.rfind(prefix, 0), 0u) << status;
  EXPECT_NE(status.find(" of 16777216 bytes: the next block could not be sent whole; the board stays in its loader"),
            std::string::npos)
      << status;
  const std::uint64_t stopped_at = std::stoull(status.substr(prefix.size()));
  EXPECT_EQ(stopped_at % kLoaderBlockData, 0u);
  EXPECT_GT(stopped_at, 0u);
  EXPECT_LT(stopped_at, kLoaderImageLimit);
  EXPECT_GT(LinkHealthSnapshot().send_failures, before.send_failures);
  EXPECT_EQ(state.link_open.load(), 0) << "the link is closed, so the board restarts into its loader";

  // What reached the board: the begin, every block before the stop whole, and at most part of
  // the one that was cut; then the end of the connection, and no end message.
  std::uint64_t received = 0;
  std::uint8_t last = 0;
  std::uint8_t buffer[65536];
  bool ended = false;
  const std::uint32_t drain_from = platform::TickMs();
  while (!ended && platform::TickMs() - drain_from < 10000) {
    if (!platform::WaitReadable(board, 100)) continue;
    const int n = platform::Receive(board, buffer, sizeof buffer);
    if (n <= 0) {
      ended = true;
    } else {
      received += static_cast<std::uint64_t>(n);
      last = buffer[n - 1];
    }
  }
  platform::CloseSocket(board);
  EXPECT_TRUE(ended) << "the connection was not closed";
  const std::uint64_t whole = 1 + stopped_at / kLoaderBlockData * kLoaderBlockBytes;
  EXPECT_GE(received, whole);
  EXPECT_LT(received, whole + kLoaderBlockBytes);
  EXPECT_NE(last, 0xC6) << "an end message would have the loader write the image";
  std::printf("measured: %llu bytes reached the board (%llu of a cut block), the upgrade stopped after %llu bytes "
              "of the image, in %u ms\n",
              static_cast<unsigned long long>(received), static_cast<unsigned long long>(received - whole),
              static_cast<unsigned long long>(stopped_at), took);
}

}  // namespace
}  // namespace kv
