// Ethernet link: discovery datagrams, the board's TCP connection, frame and raw sends.
#include "link/ethernet_link.h"

#include <atomic>
#include <mutex>

#include "link/link_interface.h"
#include "link/usb_link.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/system_error.h"
#include "platform/thread.h"
#include "runtime/diagnostics.h"
#include "runtime/packet_buffer.h"

namespace kv {
namespace {

constexpr std::uint32_t kDefaultDiscoveryAddress = 0xC0A801FFu;  // 192.168.1.255
constexpr std::uint16_t kDefaultDiscoveryPort = 9000;
constexpr std::uint16_t kDefaultListenPort = 20176;
constexpr std::uint8_t kHello[6] = {'h', 'e', 'l', 'l', 'o', 0};
constexpr std::uint32_t kDiscoveryStartDelayMs = 1000;
constexpr std::uint32_t kDiscoveryPeriodMs = 200;
constexpr std::uint32_t kConnectedIdleMs = 100;
constexpr int kListenBacklog = 5;
constexpr int kReceiveBufferBytes = 65536;
constexpr int kReceiveChunk = 2048;
constexpr std::uint32_t kPauseAfterReceiveFailMs = 2;
constexpr int kSendTimeoutMs = 2000;  // a board that stops reading must not hang the sender

std::atomic<std::uint32_t> discovery_address{kDefaultDiscoveryAddress};
std::atomic<std::uint16_t> discovery_port{kDefaultDiscoveryPort};
std::atomic<std::uint16_t> listen_port{kDefaultListenPort};
std::atomic<bool> started{false};

// protects eth_socket for the senders and the closer: only the server thread closes it, after
// which the handle may be reused by the system, so no send may use it past that point
std::mutex socket_lock;
platform::SocketHandle eth_socket = platform::kInvalidSocket;

std::atomic<bool> eth_open{false};  // the board is connected (EthIsOpen)

std::atomic<std::uint64_t> hellos_sent{0}, connections{0}, bytes_received{0}, frames_sent{0}, send_errors{0};

// Sends all bytes, however many calls it takes; false on an error (errno kept).
bool SendAll(const std::uint8_t* bytes, int count) {
  std::lock_guard<std::mutex> guard(socket_lock);
  if (eth_socket == platform::kInvalidSocket) return false;
  while (count > 0) {
    int n = platform::Send(eth_socket, bytes, count);
    if (n <= 0) return false;
    bytes += n;
    count -= n;
  }
  return true;
}

void DiscoveryThread() {
  platform::SleepMs(kDiscoveryStartDelayMs);
  platform::Ipv4Endpoint to{discovery_address.load(), discovery_port.load()};
  platform::SocketHandle s = platform::UdpSocket();
  platform::SetBroadcast(s, true);  // the default destination is a directed broadcast
  for (;;) {
    if (!eth_open.load()) {
      platform::SleepMs(kDiscoveryPeriodMs);
      if (state.link_open.load() == 0 && platform::SendTo(s, kHello, sizeof kHello, to) == sizeof kHello) {
        hellos_sent.fetch_add(1);
      }
    } else {
      platform::SleepMs(kConnectedIdleMs);
    }
  }
}

void ReceiveUntilClosed(platform::SocketHandle s) {
  std::uint8_t tmp_recv[kReceiveChunk];
  for (;;) {
    int n = platform::Receive(s, tmp_recv, kReceiveChunk);
    if (n <= 0) break;
    bytes_received.fetch_add(static_cast<std::uint64_t>(n));
    StreamFeed(std::span<const std::uint8_t>(tmp_recv, static_cast<std::size_t>(n)));
  }
  EthClose();
  {
    std::lock_guard<std::mutex> guard(socket_lock);
    platform::CloseSocket(eth_socket);
    eth_socket = platform::kInvalidSocket;
  }
  eth_open = false;
  platform::SleepMs(kPauseAfterReceiveFailMs);
}

void ServerThread() {
  platform::SocketHandle s_waiter = platform::TcpSocket(kReceiveBufferBytes);
  bool listening = s_waiter != platform::kInvalidSocket && platform::SetReuseAddress(s_waiter, true) &&
                   platform::Bind(s_waiter, {0, listen_port.load()}) && platform::Listen(s_waiter, kListenBacklog);
  if (!listening) {
    platform::CloseSocket(s_waiter);
    error_printf("Listen failed");
    return;
  }
  for (;;) {
    platform::Ipv4Endpoint eth_peer;
    platform::SocketHandle s = platform::Accept(s_waiter, &eth_peer);
    if (s == platform::kInvalidSocket) {
      error_printf("accept, error !");
      platform::SleepMs(1);  // a persistent accept failure must not spin a core
      continue;
    }
    platform::SetSendTimeout(s, kSendTimeoutMs);
    {
      std::lock_guard<std::mutex> guard(socket_lock);
      eth_socket = s;
    }
    eth_open = true;
    connections.fetch_add(1);
    UsbYieldLink();  // a board connecting over Ethernet takes the link from USB
    LinkConnected("accept, done !", kLinkEthernet, TransportOps{EthIsOpen, EthSendFrame, EthSendRaw, EthClose}, nullptr);
    ReceiveUntilClosed(s);
  }
}

}  // namespace

EthEndpoints DefaultEthEndpoints() { return {kDefaultDiscoveryAddress, kDefaultDiscoveryPort, kDefaultListenPort}; }

bool SetEthEndpoints(const EthEndpoints& e) {
  if (started.load()) return false;
  discovery_address = e.discovery_address;
  discovery_port = e.discovery_port;
  listen_port = e.listen_port;
  return true;
}

EthEndpoints CurrentEthEndpoints() { return {discovery_address.load(), discovery_port.load(), listen_port.load()}; }

void EthStart() {
  if (started.exchange(true)) return;  // the threads live for the whole process
  if (!platform::SocketsStartup()) return;
  platform::Thread::Start(ServerThread).Detach();
  platform::Thread::Start(DiscoveryThread).Detach();
}

bool EthIsOpen() { return eth_open.load(); }

bool EthClose() {
  std::uint8_t one = 1;
  if (state.link_open.compare_exchange_strong(one, 0)) {
    state.link_receive.store(nullptr, std::memory_order_release);
    eth_open = false;
    {
      std::lock_guard<std::mutex> guard(socket_lock);
      platform::Shutdown(eth_socket);  // wakes the server thread's receive, which closes it
    }
    LinkClosed();
  }
  return true;
}

bool EthSendFrame(std::unique_ptr<Packet> packet) {
  if (state.link_open.load() == 0) return false;
  if (packet->Overflowed()) {
    error_printf("frame overflow, not sent");
    return false;
  }
  auto frame = packet->Finish();
  if (!SendAll(frame.data(), static_cast<int>(frame.size()))) {
    int code = platform::LastErrorCode();
    send_errors.fetch_add(1);
    EthClose();
    platform::SetLastErrorCode(code);
    syserr_printf("socket");
    return false;
  }
  frames_sent.fetch_add(1);
  return true;
}

bool EthSendRaw(const std::uint8_t* bytes, std::int32_t length) {
  if (state.link_open.load() == 0 || length < 0) return false;
  if (!SendAll(bytes, length)) {
    send_errors.fetch_add(1);
    syserr_printf("socket err");
    return false;
  }
  return true;
}

EthCounters EthLinkCounters() {
  return {hellos_sent.load(), connections.load(), bytes_received.load(), frames_sent.load(), send_errors.load()};
}

}  // namespace kv
