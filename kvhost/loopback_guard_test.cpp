// The loopback-only guard of the test binaries: the platform refuses sends and connects beyond
// 127.0.0.0/8 before anything leaves, the session refuses to start the plug-in without loopback
// endpoints, and a test that trips either fails. Each test runs in a process of its own (the
// plug-in is one per process).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "host_session.h"
#include "loopback_ports.h"
#include "loopback_test_guard.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace kvhost {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kLoopbackNetwork = 0x7F000000;
constexpr std::uint32_t kLoopback = 0x7F000001;
// The plug-in's built-in discovery destination (its default subnet broadcast, port 9000): the one address the
// guard exists to keep every test away from.
constexpr platform::Ipv4Endpoint kPluginDefaultDiscovery{0xC0A801FFu, 9000};

bool Same(platform::Ipv4Endpoint a, platform::Ipv4Endpoint b) { return a.address == b.address && a.port == b.port; }

fs::path TempPath(const std::string& what) {
  return fs::temp_directory_path() /
         ("kvhost-guard-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + what);
}

TEST(LoopbackGuard, OnlyTheLoopbackNetworkCountsAsLoopback) {
  EXPECT_TRUE(platform::IsLoopbackAddress(kLoopbackNetwork));
  EXPECT_TRUE(platform::IsLoopbackAddress(kLoopback));
  EXPECT_TRUE(platform::IsLoopbackAddress(kLoopbackNetwork | 0x00FFFFFF));
  EXPECT_FALSE(platform::IsLoopbackAddress(kLoopbackNetwork - 1)) << "just below 127.0.0.0";
  EXPECT_FALSE(platform::IsLoopbackAddress(kLoopbackNetwork + 0x01000000)) << "just above 127.255.255.255";
  EXPECT_FALSE(platform::IsLoopbackAddress(0)) << "any address";
  EXPECT_FALSE(platform::IsLoopbackAddress(kPluginDefaultDiscovery.address));
}

TEST(LoopbackGuard, RefusesSendsAndConnectsBeyondLoopbackBeforeTheyLeaveAndLetsLoopbackThrough) {
  ASSERT_TRUE(platform::LoopbackOnly()) << "every test binary that loads the plug-in runs loopback-only";
  const std::uint64_t before = platform::LoopbackViolations();
  const std::uint8_t hello[6] = {'h', 'e', 'l', 'l', 'o', 0};

  platform::SocketHandle udp = platform::UdpSocket();
  ASSERT_NE(udp, platform::kInvalidSocket);
  platform::SetBroadcast(udp, true);  // as the plug-in's discovery socket
  EXPECT_EQ(platform::SendTo(udp, hello, sizeof hello, kPluginDefaultDiscovery), -1);
  EXPECT_EQ(platform::LoopbackViolations(), before + 1);
  EXPECT_TRUE(Same(platform::LastLoopbackViolation(), kPluginDefaultDiscovery));

  platform::SocketHandle tcp = platform::TcpSocket(0);
  ASSERT_NE(tcp, platform::kInvalidSocket);
  EXPECT_FALSE(platform::Connect(tcp, {kPluginDefaultDiscovery.address, 20176}));
  EXPECT_EQ(platform::LoopbackViolations(), before + 2);
  platform::CloseSocket(tcp);

  // Loopback is untouched: a datagram reaches a socket bound on 127.0.0.1.
  platform::SocketHandle receiver = platform::UdpSocket();
  const std::uint16_t port = FreeUdpPort();
  ASSERT_TRUE(platform::Bind(receiver, {kLoopback, port}));
  EXPECT_EQ(platform::SendTo(udp, hello, sizeof hello, {kLoopback, port}), 6);
  ASSERT_TRUE(platform::WaitReadable(receiver, 2000));
  std::uint8_t buffer[16];
  EXPECT_EQ(platform::ReceiveFrom(receiver, buffer, sizeof buffer, nullptr), 6);
  EXPECT_EQ(platform::LoopbackViolations(), before + 2);
  platform::CloseSocket(receiver);
  platform::CloseSocket(udp);
  testing_guard::AcknowledgeRefusals();
}

TEST(LoopbackGuard, ASessionWithoutLoopbackDiscoveryIsNotStarted) {
  HostMachine machine;
  HostSession session(machine);
  std::string error;
  ASSERT_TRUE(session.Load(DefaultPluginPath(), error)) << error;
  const fs::path profile = TempPath(".xml");
  fs::remove(profile);
  const std::uint64_t before = HostSession::RefusedStartUps();

  EXPECT_EQ(session.StartUp(profile.string()), "");
  EXPECT_FALSE(session.started());
  EXPECT_EQ(HostSession::RefusedStartUps(), before + 1);

  // An empty discovery address keeps the plug-in's default destination: still refused.
  ASSERT_TRUE(session.SetEndpoints({"", FreeUdpPort(), FreeTcpPort()}, error)) << error;
  EXPECT_EQ(session.StartUp(profile.string()), "");
  EXPECT_FALSE(session.started());
  EXPECT_EQ(HostSession::RefusedStartUps(), before + 2);
  EXPECT_FALSE(fs::exists(profile)) << "nothing of the plug-in ran: SetProName would have saved the profile";
  EXPECT_EQ(platform::LoopbackViolations(), 0u);
  testing_guard::AcknowledgeRefusals();
}

// Started on purpose without endpoints, with nothing acknowledged: the guard must fail it. Run
// only by the test below, as a process of its own.
TEST(LoopbackGuard, DISABLED_StartsThePluginWithoutEndpoints) {
  HostMachine machine;
  HostSession session(machine);
  std::string error;
  ASSERT_TRUE(session.Load(DefaultPluginPath(), error)) << error;
  session.StartUp(TempPath(".xml").string());
}

TEST(LoopbackGuard, FailsATestThatStartsThePluginWithoutEndpoints) {
  const fs::path output = TempPath(".out");
  const std::string command = std::string("\"") + KVHOST_TESTS_BINARY +
                              "\" --gtest_also_run_disabled_tests "
                              "--gtest_filter=LoopbackGuard.DISABLED_StartsThePluginWithoutEndpoints > \"" +
                              output.string() + "\" 2>&1";
  const int status = std::system(command.c_str());
  std::stringstream text;
  text << std::ifstream(output).rdbuf();
  fs::remove(output);
  EXPECT_NE(status, 0) << text.str();
  EXPECT_NE(text.str().find("loopback-only guard: 1 plug-in start-up(s) refused"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("[  FAILED  ] LoopbackGuard.DISABLED_StartsThePluginWithoutEndpoints"),
            std::string::npos)
      << text.str();
}

// A host that skips the session and starts the plug-in on its built-in defaults: the discovery
// thread's first datagram, about 1.2 s after InitControl, is refused by the platform.
TEST(LoopbackGuard, ThePluginsDefaultDiscoveryIsRefusedBeforeItLeaves) {
  HostMachine machine;
  platform::Library library;
  PluginApi api;
  std::string error;
  ASSERT_TRUE(LoadPlugin(DefaultPluginPath(), library, api, error)) << error;
  const fs::path profile = TempPath(".xml");
  fs::remove(profile);
  const std::uint64_t before = platform::LoopbackViolations();
  // From here on the discovery thread keeps trying every 200 ms for the rest of the process.
  testing_guard::ExpectRefusalsUntilExit();
  api.SetProName(host::MakeHostString(profile.string()));
  api.InitControl(&machine.engine(), &machine.setup(), &machine.planner(), &machine.view());
  api.PostInitControl();
  const std::uint32_t start = platform::TickMs();
  while (platform::LoopbackViolations() == before && platform::TickMs() - start < 10000) platform::SleepMs(20);
  EXPECT_GT(platform::LoopbackViolations(), before) << "no discovery datagram was tried within 10 s";
  EXPECT_TRUE(Same(platform::LastLoopbackViolation(), kPluginDefaultDiscovery))
      << platform::FormatIpv4(platform::LastLoopbackViolation().address) << ":"
      << platform::LastLoopbackViolation().port;
  api.StopPlug();
  fs::remove(profile);
}

}  // namespace
}  // namespace kvhost
