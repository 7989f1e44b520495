// Tests of the USB HID link against simulated HID devices: device choice, chunking and the
// sequence byte, raw blocks, input reports, unplug and replug, write failures, the Ethernet
// takeover and two concurrent senders. Each test runs in a process of its own (the link's
// thread lives for the whole process).
#include "link/usb_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "link/ethernet_link.h"
#include "link/link_interface.h"
#include "platform/clock.h"
#include "platform/hid_sim.h"
#include "platform/socket.h"
#include "runtime/packet_buffer.h"
#include "shell/exports.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"
#include "testing/scratch_profile.h"

namespace kv {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kLoopback = 0x7F000001;

// A frame as the link receives it: [length][body].
class TestFrame : public Packet {
 public:
  explicit TestFrame(const Bytes& body) {
    bytes_.reserve(body.size() + 1);
    bytes_.push_back(static_cast<std::uint8_t>(body.size()));
    for (std::uint8_t b : body) bytes_.push_back(b);
  }
  std::span<const std::uint8_t> Finish() override { return bytes_; }
  bool Overflowed() const override { return false; }

 private:
  Bytes bytes_;
};

bool SendFrame(const Bytes& body) { return LinkSendFrame(std::make_unique<TestFrame>(body)); }

std::mutex received_lock;
std::vector<Bytes> received;  // guarded by received_lock

void Capture(std::span<const std::uint8_t> body) {
  std::lock_guard<std::mutex> guard(received_lock);
  received.emplace_back(body.begin(), body.end());
}

std::vector<Bytes> Received() {
  std::lock_guard<std::mutex> guard(received_lock);
  return received;
}

bool WaitUntil(const std::function<bool()>& done, std::uint32_t ms) {
  for (std::uint32_t start = platform::TickMs(); platform::TickMs() - start < ms;) {
    if (done()) return true;
    platform::SleepMs(2);
  }
  return done();
}

// An input report as the board sends it: ID 0, count, an unused byte, the stream bytes.
Bytes InputReport(const Bytes& stream, int count = -1) {
  Bytes report(65, 0);
  report[1] = static_cast<std::uint8_t>(count < 0 ? static_cast<int>(stream.size()) : count);
  std::copy(stream.begin(), stream.end(), report.begin() + 3);
  return report;
}

class UsbLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetLoopbackOnly(true);
    sim_ = platform::InstallSimHidBackend();
  }

  std::shared_ptr<platform::SimHidDevice> AddBoard(std::u16string product = u"kalvero-executer sim") {
    return sim_->AddDevice({std::move(product)});
  }

  // Waits until the USB link holds `device`, then takes the received frames over.
  bool WaitConnected(const std::shared_ptr<platform::SimHidDevice>& device, std::uint64_t opens = 1) {
    bool ok = WaitUntil(
        [&] {
          return state.link_open.load() == 1 && state.link_kind.load() == kLinkUsb && device->HostOpens() >= opens &&
                 state.link_receive.load() != nullptr;
        },
        3000);
    state.link_receive.store(Capture);
    return ok;
  }

  std::vector<Bytes> TakeReports(const std::shared_ptr<platform::SimHidDevice>& device, std::size_t n) {
    std::vector<Bytes> reports;
    Bytes report;
    while (reports.size() < n && device->TakeOutputReport(report, 1000)) reports.push_back(report);
    return reports;
  }

  std::shared_ptr<platform::SimHidBackend> sim_;
};

// The comparison is a prefix match that starts afresh for every device; a device of another
// collection is never considered; a declared report longer than the buffers is refused.
TEST_F(UsbLinkTest, ChoosesTheFirstDeviceOfTheVendorCollectionWithTheProductPrefix) {
  auto near_miss = sim_->AddDevice({u"kalvero-exec" + std::u16string(300, u'x')});
  auto other_collection = sim_->AddDevice({u"kalvero-executer", 0x0001, 1});
  auto other_usage = sim_->AddDevice({u"kalvero-executer", 0xFF00, 2});
  auto too_long_reports = sim_->AddDevice({u"kalvero-executer", 0xFF00, 1, 129, 129});
  auto chosen = sim_->AddDevice({u"kalvero-executer" + std::u16string(200, u'2')});
  auto second = sim_->AddDevice({u"kalvero-executer"});
  UsbStart();
  ASSERT_TRUE(WaitConnected(chosen));
  EXPECT_TRUE(chosen->HostOpen());
  for (auto& d : {near_miss, other_collection, other_usage, too_long_reports, second}) EXPECT_EQ(d->HostOpens(), 0u);
  EXPECT_GE(UsbLinkCounters().refused_devices, 1u);
  EXPECT_EQ(state.link_is_open.load(), &UsbIsOpen);
  EXPECT_EQ(state.link_send_frame.load(), &UsbSendFrame);
}

TEST_F(UsbLinkTest, NoMatchingDeviceMeansNoLink) {
  sim_->AddDevice({u"kalvero-executer", 0xFF01, 1});
  sim_->AddDevice({u"kalvero-executeR"});
  UsbStart();
  platform::SleepMs(400);
  EXPECT_EQ(state.link_open.load(), 0);
  EXPECT_EQ(state.link_is_open.load(), nullptr);
}

// Frames are cut into chunks of at most 62 bytes with consecutive sequence numbers starting at
// 0 after each connection and wrapping after 255; raw blocks fill bytes 1..64 and take no number.
TEST_F(UsbLinkTest, ChunksFramesWithTheSequenceByteAndSendsRawBlocksWhole) {
  auto board = AddBoard();
  UsbStart();
  ASSERT_TRUE(WaitConnected(board));

  Bytes body(200);
  for (std::size_t k = 0; k < body.size(); ++k) body[k] = static_cast<std::uint8_t>(k + 1);
  EXPECT_TRUE(SendFrame(body));
  auto reports = TakeReports(board, 4);
  ASSERT_EQ(reports.size(), 4u);
  Bytes wire;
  const std::uint8_t counts[] = {62, 62, 62, 15};
  for (std::size_t r = 0; r < 4; ++r) {
    ASSERT_EQ(reports[r].size(), 65u);
    EXPECT_EQ(reports[r][0], 0);
    EXPECT_EQ(reports[r][1], counts[r]);
    EXPECT_EQ(reports[r][2], r);
    wire.insert(wire.end(), reports[r].begin() + 3, reports[r].begin() + 3 + reports[r][1]);
  }
  Bytes expected(1, 200);
  for (std::uint8_t b : body) expected.push_back(b);
  EXPECT_EQ(wire, expected);

  EXPECT_TRUE(SendFrame({0xDD}));
  reports = TakeReports(board, 1);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(Bytes(reports[0].begin(), reports[0].begin() + 5), (Bytes{0x00, 0x02, 4, 0x01, 0xDD}));

  std::array<std::uint8_t, 64> raw{};
  raw[0] = 0xC5;
  raw[63] = 0x77;
  EXPECT_TRUE(LinkSendRaw(raw.data(), 1));
  reports = TakeReports(board, 1);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0][0], 0);
  EXPECT_EQ(Bytes(reports[0].begin() + 1, reports[0].end()), Bytes(raw.begin(), raw.end()));

  // 251 more one-report frames bring the number to 255, the next one wraps to 0.
  for (int k = 0; k < 252; ++k) SendFrame({0xDD});
  reports = TakeReports(board, 252);
  ASSERT_EQ(reports.size(), 252u);
  EXPECT_EQ(reports[0][2], 5) << "the raw block took no sequence number";
  EXPECT_EQ(reports[250][2], 255);
  EXPECT_EQ(reports[251][2], 0);

  // A new connection starts at 0 again.
  LinkSendRaw(raw.data(), 64);  // keep the board's queue moving
  TakeReports(board, 1);
  UsbClose();  // the USB thread reopens the device while the closer pauses
  ASSERT_TRUE(WaitConnected(board, 2));
  SendFrame({0xDD});
  reports = TakeReports(board, 1);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0][2], 0);
}

// Input reports carry the stream: frames span reports, a count of 0 delivers nothing and keeps
// a partial frame, a count larger than the report holds is bounded by it.
TEST_F(UsbLinkTest, InputReportsFeedTheReassembler) {
  auto board = AddBoard();
  UsbStart();
  ASSERT_TRUE(WaitConnected(board));
  ASSERT_TRUE(board->SendInputReport(InputReport({0x03, 0xDE, 0x01}), 1000));
  ASSERT_TRUE(board->SendInputReport(InputReport({0x55, 0x66}, 0), 1000));
  ASSERT_TRUE(board->SendInputReport(InputReport({0x02, 0x01, 0xDD}), 1000));
  ASSERT_TRUE(WaitUntil([] { return Received().size() >= 2; }, 1000));
  EXPECT_EQ(Received()[0], (Bytes{0xDE, 0x01, 0x02}));
  EXPECT_EQ(Received()[1], (Bytes{0xDD}));

  // A count of 200 in a 65-byte report: only the 62 bytes that follow the header count.
  Bytes stream(62, 0);
  stream[0] = 61;
  for (std::size_t k = 1; k < stream.size(); ++k) stream[k] = static_cast<std::uint8_t>(k);
  ASSERT_TRUE(board->SendInputReport(InputReport(stream, 200), 1000));
  ASSERT_TRUE(board->SendInputReport(InputReport({0x01, 0xEE}), 1000));
  ASSERT_TRUE(WaitUntil([] { return Received().size() >= 4; }, 1000));
  EXPECT_EQ(Received()[2], Bytes(stream.begin() + 1, stream.end()));
  EXPECT_EQ(Received()[3], (Bytes{0xEE}));
  EXPECT_GE(UsbLinkCounters().oversized_counts, 1u);
  EXPECT_EQ(Received().size(), 4u);
}

// Unplugging fails the pending read: the link closes and link_is_open is cleared; the device
// plugged back in is found again.
TEST_F(UsbLinkTest, UnplugClosesTheLinkAndReplugReconnects) {
  auto board = AddBoard();
  UsbStart();
  ASSERT_TRUE(WaitConnected(board));
  board->Unplug();
  ASSERT_TRUE(WaitUntil([] { return state.link_open.load() == 0; }, 1000));
  EXPECT_EQ(state.link_is_open.load(), nullptr);
  EXPECT_TRUE(SendFrame({0xDD})) << "no link: nothing sent, the packet destroyed";
  platform::SleepMs(700);
  EXPECT_EQ(board->HostOpens(), 1u) << "an unplugged device is not found";
  board->Replug();
  std::uint32_t from = platform::TickMs();
  ASSERT_TRUE(WaitConnected(board, 2));
  EXPECT_LT(platform::TickMs() - from, 600u);
  ASSERT_TRUE(board->SendInputReport(InputReport({0x01, 0xDD}), 1000));
  ASSERT_TRUE(WaitUntil([] { return Received().size() == 1; }, 1000));
}

// A failed write closes the link; the rest of the frame is not sent and the send still says true.
TEST_F(UsbLinkTest, FailedWriteClosesTheLink) {
  auto board = AddBoard();
  UsbStart();
  ASSERT_TRUE(WaitConnected(board));
  board->SetWritesFail(true);
  std::atomic<bool> sent{false};
  std::thread sender([&] { sent = SendFrame(Bytes(150, 0x11)); });
  ASSERT_TRUE(WaitUntil([] { return UsbLinkCounters().write_failures > 0; }, 1000));
  EXPECT_TRUE(WaitUntil([&] { return board->HostOpens() == 2; }, 1000)) << "closed and reopened";
  sender.join();
  EXPECT_TRUE(sent.load());
  EXPECT_EQ(UsbLinkCounters().write_failures, 1u) << "the rest of the frame was not sent";
  board->SetWritesFail(false);
  ASSERT_TRUE(WaitConnected(board, 2));
  Bytes report;
  EXPECT_FALSE(board->TakeOutputReport(report, 50));
}

// While USB holds the link no discovery datagram goes out, yet a board connecting over
// Ethernet is accepted and takes the link: the USB handles are closed and USB bytes no longer
// reach the reassembler. When the Ethernet board leaves, USB takes the link again.
TEST_F(UsbLinkTest, EthernetBoardTakesTheLinkOverFromUsb) {
  platform::SocketsStartup();
  platform::SocketHandle discovery = platform::UdpSocket();
  ASSERT_TRUE(platform::Bind(discovery, {kLoopback, 0}));
  platform::SocketHandle probe = platform::TcpSocket(0);
  ASSERT_TRUE(platform::Bind(probe, {kLoopback, 0}));
  const std::uint16_t listen_port = platform::LocalEndpoint(probe).port;
  platform::CloseSocket(probe);
  ASSERT_TRUE(SetEthEndpoints({kLoopback, platform::LocalEndpoint(discovery).port, listen_port}));

  auto board = AddBoard();
  LinkInit();
  ASSERT_TRUE(WaitConnected(board));
  int hellos = 0;
  for (std::uint32_t start = platform::TickMs(); platform::TickMs() - start < 1500;) {
    if (!platform::WaitReadable(discovery, 50)) continue;
    std::uint8_t buf[16];
    if (platform::ReceiveFrom(discovery, buf, sizeof buf, nullptr) > 0) ++hellos;
  }
  EXPECT_EQ(hellos, 0) << "datagrams are suspended while USB holds the link";

  platform::SocketHandle eth_board = platform::TcpSocket(0);
  ASSERT_TRUE(platform::Connect(eth_board, {kLoopback, listen_port}));
  ASSERT_TRUE(WaitUntil([] { return state.link_kind.load() == kLinkEthernet; }, 2000));
  state.link_receive.store(Capture);
  EXPECT_EQ(state.link_open.load(), 1);
  EXPECT_EQ(state.link_send_frame.load(), &EthSendFrame);
  EXPECT_TRUE(WaitUntil([&] { return !board->HostOpen(); }, 1000)) << "the USB handles are closed";
  EXPECT_FALSE(board->SendInputReport(InputReport({0x01, 0xDD}), 0));
  const std::uint8_t from_eth[] = {0x02, 0xDE, 0x07};
  ASSERT_EQ(platform::Send(eth_board, from_eth, sizeof from_eth), 3);
  ASSERT_TRUE(WaitUntil([] { return Received().size() == 1; }, 1000));
  EXPECT_EQ(Received()[0], (Bytes{0xDE, 0x07}));
  EXPECT_TRUE(SendFrame({0xDD}));
  std::uint8_t got[8];
  ASSERT_TRUE(platform::WaitReadable(eth_board, 1000));
  EXPECT_EQ(platform::Receive(eth_board, got, sizeof got), 2);
  EXPECT_EQ(state.link_open.load(), 1) << "the USB side did not close the Ethernet link";

  platform::CloseSocket(eth_board);
  ASSERT_TRUE(WaitConnected(board, 2));
  EXPECT_EQ(state.link_send_frame.load(), &UsbSendFrame);
  platform::CloseSocket(discovery);
}

// Two threads sending at once: every frame's chunks go out together, in sequence, never torn.
TEST_F(UsbLinkTest, TwoSendersNeverInterleaveChunks) {
  auto board = AddBoard();
  UsbStart();
  ASSERT_TRUE(WaitConnected(board));
  constexpr int kFrames = 300;
  std::vector<Bytes> reports;
  std::thread reader([&] { reports = TakeReports(board, 2 * kFrames * 3); });
  auto sender = [](std::uint8_t fill) {
    for (int k = 0; k < kFrames; ++k) SendFrame(Bytes(150, fill));
  };
  std::thread a(sender, 0xAA), b(sender, 0xBB);
  a.join();
  b.join();
  reader.join();
  ASSERT_EQ(reports.size(), static_cast<std::size_t>(2 * kFrames * 3));
  for (std::size_t r = 0; r < reports.size(); r += 3) {
    EXPECT_EQ(reports[r][1], 62);
    EXPECT_EQ(reports[r][3], 150);
    std::uint8_t fill = reports[r][4];
    for (std::size_t c = 0; c < 3; ++c) {
      const Bytes& report = reports[r + c];
      EXPECT_EQ(report[2], static_cast<std::uint8_t>(r + c)) << "sequence numbers follow each other";
      for (std::size_t k = (c == 0 ? 4 : 3); k < 3u + report[1]; ++k) ASSERT_EQ(report[k], fill) << "report " << r + c;
    }
    EXPECT_EQ(reports[r + 2][1], 151 - 124);
  }
}

// Input reports are read at the device's input length, not its output length: a device whose
// output reports are shorter still delivers every stream byte of its 65-byte input reports.
TEST_F(UsbLinkTest, InputReportsAreReadAtTheInputLength) {
  auto board = sim_->AddDevice({u"kalvero-executer sim", 0xFF00, 1, 65, 33});
  UsbStart();
  ASSERT_TRUE(WaitConnected(board));
  Bytes stream(62, 0);
  stream[0] = 61;
  for (std::size_t k = 1; k < stream.size(); ++k) stream[k] = static_cast<std::uint8_t>(0x80 + k);
  ASSERT_TRUE(board->SendInputReport(InputReport(stream), 1000));
  ASSERT_TRUE(WaitUntil([] { return Received().size() == 1; }, 1000));
  EXPECT_EQ(Received()[0], Bytes(stream.begin() + 1, stream.end()));
  // Frames still go out at the output length: 30 bytes of a frame per 33-byte report.
  EXPECT_TRUE(SendFrame(Bytes(40, 0x11)));
  auto reports = TakeReports(board, 2);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].size(), 33u);
  EXPECT_EQ(reports[0][1], 30);
  EXPECT_EQ(reports[1][1], 11);
}

// A board that stops taking output reports holds a sender for the write bound at most: the
// frame's write gives up, the rest of the frame is dropped, the link closes (and reopens), and a
// second sender queued behind the first is not held beyond that either.
TEST_F(UsbLinkTest, ABoardThatStopsTakingReportsHoldsNoSenderBeyondTheWriteBound) {
  auto board = AddBoard();
  UsbStart();
  ASSERT_TRUE(WaitConnected(board));
  board->SetTakesReports(false);
  std::atomic<std::uint32_t> first_ms{0}, second_ms{0};
  const std::uint32_t start = platform::TickMs();
  std::thread first([&] {
    SendFrame(Bytes(150, 0x21));
    first_ms = platform::TickMs() - start;
  });
  platform::SleepMs(50);
  std::thread second([&] {
    SendFrame(Bytes(10, 0x22));
    second_ms = platform::TickMs() - start;
  });
  // Joined with a watchdog: a sender stuck for ever must fail the test, not hang it.
  const bool ended = WaitUntil([&] { return first_ms.load() != 0 && second_ms.load() != 0; },
                               2 * platform::kHidWriteBoundMs + 4000);
  if (!ended) {
    ADD_FAILURE() << "a sender is still stuck in a write to a board that takes no reports";
    first.detach();
    second.detach();
    std::_Exit(1);
  }
  first.join();
  second.join();
  // One write bound, the close's pause, and slack for a loaded machine; the second sender may
  // meet the reopened device and wait one bound of its own.
  EXPECT_LE(first_ms.load(), platform::kHidWriteBoundMs + 500 + 1500u);
  EXPECT_LE(second_ms.load(), 2 * platform::kHidWriteBoundMs + 1000 + 1500u);
  EXPECT_GE(UsbLinkCounters().write_failures, 1u);
  EXPECT_GE(board->HostOpens(), 2u) << "the link closed and reopened";
  std::printf("measured: senders returned after %u and %u ms\n", first_ms.load(), second_ms.load());
  board->SetTakesReports(true);
  ASSERT_TRUE(WaitUntil([&] { return state.link_open.load() == 1; }, 3000));
  Bytes report;
  EXPECT_FALSE(board->TakeOutputReport(report, 50)) << "nothing of the given-up frames arrived";
}

// StopPlug with a board that stops taking output reports while the scheduler sends to it: the
// stop frame waits behind the scheduler's write, which gives up at the write bound, and StopPlug
// returns within its bound instead of hanging with the scheduler.
TEST_F(UsbLinkTest, StopPlugReturnsWithinItsBoundFromABoardThatStopsTakingReports) {
  platform::SocketsStartup();
  platform::SocketHandle discovery = platform::UdpSocket();
  ASSERT_TRUE(platform::Bind(discovery, {kLoopback, 0}));
  platform::SocketHandle probe = platform::TcpSocket(0);
  ASSERT_TRUE(platform::Bind(probe, {kLoopback, 0}));
  ASSERT_TRUE(SetEthEndpoints({kLoopback, platform::LocalEndpoint(discovery).port, platform::LocalEndpoint(probe).port}));
  platform::CloseSocket(probe);

  auto board = AddBoard();
  testing::ScratchProfile profile{"kv-usb-stall-"};
  testing::FakeHost host;
  SetProName(host::MakeHostString(profile.path()));
  ASSERT_TRUE(InitControl(&host.engine(), &host.setup(), &host.planner(), &host.view()));
  PostInitControl();
  ASSERT_TRUE(WaitUntil([&] { return state.link_open.load() == 1 && state.link_kind.load() == kLinkUsb; }, 3000));
  // The service task asks for the board's identity every 200 ms; the board takes the first
  // request, then nothing more.
  Bytes report;
  ASSERT_TRUE(board->TakeOutputReport(report, 2000));
  board->SetTakesReports(false);
  platform::SleepMs(300);  // the scheduler's next request is pending now

  std::atomic<std::uint32_t> took_ms{0};
  std::thread stopper([&] {
    const std::uint32_t start = platform::TickMs();
    StopPlug();
    took_ms = std::max<std::uint32_t>(platform::TickMs() - start, 1);
  });
  // Two write bounds (the scheduler's, then the stop frame's on the reopened device), the
  // close's pause and the stop frame's wait, and slack for a loaded machine.
  const std::uint32_t bound_ms = 2 * platform::kHidWriteBoundMs + 500 + 500 + 1500;
  if (!WaitUntil([&] { return took_ms.load() != 0; }, bound_ms + 3000)) {
    ADD_FAILURE() << "StopPlug hangs with a board that takes no reports";
    stopper.detach();
    std::_Exit(1);
  }
  stopper.join();
  EXPECT_LE(took_ms.load(), bound_ms);
  EXPECT_GE(UsbLinkCounters().write_failures, 1u);
  std::printf("measured: StopPlug returned after %u ms from a board that takes no reports\n", took_ms.load());
  platform::CloseSocket(discovery);
}

}  // namespace
}  // namespace kv
