// The plug-in's Ethernet link over loopback, from the board's side of the wire: discovery
// datagrams, their suspension while a board is connected, and the identification requests.
// Each test runs in a process of its own (the plug-in is one per process).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "host_session.h"
#include "loopback_ports.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace kvhost {
namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

class EthernetLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // One profile per test: ctest runs the tests of this fixture at once, in processes of their own.
    profile_ = (std::filesystem::temp_directory_path() / ("kvhost-eth-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".xml")).string();
    std::string error;
    ASSERT_TRUE(session_.Load(DefaultPluginPath(), error)) << error;
    udp_port_ = FreeUdpPort();
    listen_port_ = FreeTcpPort();
    board_udp_ = platform::UdpSocket();
    ASSERT_TRUE(platform::Bind(board_udp_, {kLoopback, udp_port_}));
    ASSERT_TRUE(session_.SetEndpoints({"127.0.0.1", udp_port_, listen_port_}, error)) << error;
  }
  void TearDown() override {
    session_.ShutDown();
    platform::CloseSocket(board_udp_);
    platform::CloseSocket(board_tcp_);
  }

  // Datagrams received within `ms`, with their arrival ticks.
  std::vector<std::uint32_t> Hellos(std::uint32_t ms) {
    std::vector<std::uint32_t> at;
    std::uint32_t end = platform::TickMs() + ms;
    while (static_cast<std::int32_t>(end - platform::TickMs()) > 0) {
      if (!platform::WaitReadable(board_udp_, 20)) continue;
      std::uint8_t buf[64];
      int n = platform::ReceiveFrom(board_udp_, buf, sizeof buf, nullptr);
      EXPECT_EQ(n, 6);
      EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 6), (std::vector<std::uint8_t>{'h', 'e', 'l', 'l', 'o', 0}));
      at.push_back(platform::TickMs());
    }
    return at;
  }

  // Connects as the board would, retrying while the plug-in's server thread starts listening.
  bool ConnectBoard() {
    for (int attempt = 0; attempt < 200; ++attempt) {
      board_tcp_ = platform::TcpSocket(0);
      if (platform::Connect(board_tcp_, {kLoopback, listen_port_})) return true;
      platform::CloseSocket(board_tcp_);
      board_tcp_ = platform::kInvalidSocket;
      platform::SleepMs(10);
    }
    return false;
  }

  // Bytes the plug-in sends on the board's connection within `ms`.
  std::vector<std::uint8_t> ReadTcp(std::uint32_t ms) {
    std::vector<std::uint8_t> bytes;
    std::uint32_t end = platform::TickMs() + ms;
    while (static_cast<std::int32_t>(end - platform::TickMs()) > 0) {
      if (!platform::WaitReadable(board_tcp_, 20)) continue;
      std::uint8_t buf[512];
      int n = platform::Receive(board_tcp_, buf, sizeof buf);
      if (n <= 0) break;
      bytes.insert(bytes.end(), buf, buf + n);
    }
    return bytes;
  }

  HostMachine machine_;
  HostSession session_{machine_};
  std::string profile_;
  std::uint16_t udp_port_ = 0;
  std::uint16_t listen_port_ = 0;
  platform::SocketHandle board_udp_ = platform::kInvalidSocket;
  platform::SocketHandle board_tcp_ = platform::kInvalidSocket;
};

std::uint32_t Median(std::vector<std::uint32_t> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

TEST_F(EthernetLinkTest, DiscoveryEvery200msStopsWhileConnectedAndResumes) {
  std::uint32_t start = platform::TickMs();
  session_.StartUp(profile_);
  std::vector<std::uint32_t> at = Hellos(2400);
  ASSERT_GE(at.size(), 4u);
  EXPECT_GE(at[0] - start, 1100u) << "the first datagram follows a 1 s start delay and one period";
  std::vector<std::uint32_t> gaps;
  for (std::size_t i = 1; i < at.size(); ++i) gaps.push_back(at[i] - at[i - 1]);
  EXPECT_GE(Median(gaps), 190u);
  EXPECT_LE(Median(gaps), 400u);
  std::printf("measured: first datagram %u ms after start-up, then every %u ms (median of %zu gaps)\n",
              at[0] - start, Median(gaps), gaps.size());

  ASSERT_TRUE(ConnectBoard());
  Hellos(300);  // one may have been under way
  EXPECT_TRUE(Hellos(800).empty()) << "no discovery while a board is connected";

  // Identification requests every 200 ms while the board does not answer.
  ReadTcp(50);  // what came while we listened for datagrams
  std::vector<std::uint8_t> sent = ReadTcp(1000);
  int requests = 0;
  for (std::size_t i = 0; i + 1 < sent.size(); i += 2) {
    EXPECT_EQ(sent[i], 0x01);
    EXPECT_EQ(sent[i + 1], 0xDD);
    ++requests;
  }
  EXPECT_GE(requests, 3);
  EXPECT_LE(requests, 7);

  platform::CloseSocket(board_tcp_);
  board_tcp_ = platform::kInvalidSocket;
  EXPECT_FALSE(Hellos(1000).empty()) << "discovery resumes when the board goes away";
}

TEST_F(EthernetLinkTest, StopPlugSendsTheStopFrameToAConnectedBoard) {
  session_.StartUp(profile_);
  ASSERT_TRUE(ConnectBoard());
  ReadTcp(300);
  session_.ShutDown();
  std::vector<std::uint8_t> tail = ReadTcp(300);
  ASSERT_GE(tail.size(), 2u);
  bool found = false;
  for (std::size_t i = 0; i + 1 < tail.size(); ++i) found = found || (tail[i] == 0x01 && tail[i + 1] == 0xDF);
  EXPECT_TRUE(found) << "the board receives 0xDF";
}

TEST(EthernetEndpoints, TheSeamRefusesBadInput) {
  HostMachine machine;
  HostSession session(machine);
  std::string error;
  ASSERT_TRUE(session.Load(DefaultPluginPath(), error)) << error;
  EXPECT_FALSE(session.SetEndpoints({"localhost", 9000, 20176}, error));
  EXPECT_FALSE(session.SetEndpoints({"127.0.0.256", 9000, 20176}, error));
  EXPECT_TRUE(session.SetEndpoints({"127.0.0.1", 9000, 20176}, error)) << error;
}

}  // namespace
}  // namespace kvhost
