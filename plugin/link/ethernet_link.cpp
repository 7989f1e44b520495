// Ethernet link: discovery datagrams, the board's TCP connection, frame and raw sends.
#include "link/ethernet_link.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "link/link_health.h"
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
// While a board is connected the discovery thread has nothing to do: it waits for the connection
// to end (woken by it), looking again at least this often.
constexpr std::uint32_t kConnectedIdleBoundMs = 1000;
constexpr int kListenBacklog = 5;
constexpr int kReceiveBufferBytes = 65536;
constexpr int kReceiveChunk = 2048;
constexpr std::uint32_t kPauseAfterReceiveFailMs = 2;
// A newer connection replaces the board's only after nothing has come from the board for this
// long: far above its report period (tens of ms) and the poll period (200 ms), so a board at
// work is never replaced, yet a board that rebooted behind a half-open connection is back within
// a few seconds. Until then the newcomer waits in the listen backlog.
constexpr std::uint32_t kQuietBeforeTakeoverMs = 3000;
// A board that stops reading must not hang a sender: one frame (the wait for the sender before
// it included) gets this long, one send call at most a slice of it.
constexpr std::uint32_t kSendBoundMs = 2000;
constexpr int kSendSliceMs = 250;

std::atomic<std::uint32_t> discovery_address{kDefaultDiscoveryAddress};
std::atomic<std::uint16_t> discovery_port{kDefaultDiscoveryPort};
std::atomic<std::uint16_t> listen_port{kDefaultListenPort};
std::atomic<bool> started{false};
std::atomic<bool> listen_failed{false};

// protects eth_socket: senders and the closer hold it shared while they use the handle; only the
// server thread changes it, exclusively, since a closed handle may be reused by the system
std::shared_mutex handle_lock;
platform::SocketHandle eth_socket = platform::kInvalidSocket;

// Serialises senders, so that two frames never interleave on the stream; waited for with a
// bound, so that a sender stuck behind a board that stopped reading holds the others up for one
// send bound at most. (A condition variable rather than std::timed_mutex, whose timed lock the
// thread sanitizer cannot follow.)
class SendOrder {
 public:
  bool LockWithin(int ms) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!free_.wait_for(guard, std::chrono::milliseconds(ms), [this] { return !held_; })) return false;
    held_ = true;
    return true;
  }
  void Unlock() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      held_ = false;
    }
    free_.notify_one();
  }

 private:
  std::mutex lock_;
  std::condition_variable free_;
  bool held_ = false;
};
SendOrder send_order;

std::atomic<bool> eth_open{false};  // the board is connected (EthIsOpen)

std::atomic<std::uint64_t> hellos_sent{0}, connections{0}, bytes_received{0}, frames_sent{0}, send_errors{0},
    takeovers{0}, accept_errors{0};

// Sends all bytes within the send bound, however many calls it takes; false on an error or when
// the bound passed.
bool SendAll(const std::uint8_t* bytes, int count) {
  const std::uint32_t deadline = platform::TickMs() + kSendBoundMs;
  if (!send_order.LockWithin(kSendBoundMs)) return false;
  struct Release {
    ~Release() { send_order.Unlock(); }
  } release;
  std::shared_lock<std::shared_mutex> handle(handle_lock);
  if (eth_socket == platform::kInvalidSocket) return false;
  while (count > 0) {
    if (static_cast<std::int32_t>(platform::TickMs() - deadline) >= 0) return false;
    int n = platform::Send(eth_socket, bytes, count);
    if (n < 0) return false;
    bytes += n;
    count -= n;
  }
  return true;
}

void DiscoveryThread() {
  platform::SleepMs(kDiscoveryStartDelayMs);
  platform::Ipv4Endpoint to{discovery_address.load(), discovery_port.load()};
  platform::SocketHandle s = platform::kInvalidSocket;
  for (;;) {
    if (!eth_open.load()) {
      platform::SleepMs(kDiscoveryPeriodMs);
      // Made here, not once at the start: a socket the system could not give (descriptors or
      // buffers exhausted) must not end discovery for the rest of the run.
      if (s == platform::kInvalidSocket && (s = platform::UdpSocket()) != platform::kInvalidSocket) {
        platform::SetBroadcast(s, true);  // the default destination is a directed broadcast
      }
      if (state.link_open.load() == 0 && platform::SendTo(s, kHello, sizeof kHello, to) == sizeof kHello) {
        hellos_sent.fetch_add(1);
      }
    } else {
      WaitForLinkState([] { return !eth_open.load(); }, kConnectedIdleBoundMs);
    }
  }
}

// Receives from the board until the connection ends. A board that rebooted without closing
// leaves a connection nothing will ever arrive on, so once the connection has gone quiet (or is
// being closed) the listening socket is watched too: a newer connection then takes over, and is
// returned for the caller to adopt. While the board is heard, a newcomer (a second board, a
// stray client) waits in the backlog and cannot take the link from it.
platform::SocketHandle ReceiveUntilClosed(platform::SocketHandle s, platform::SocketHandle s_waiter) {
  std::uint8_t tmp_recv[kReceiveChunk];
  platform::SocketHandle newer = platform::kInvalidSocket;
  std::uint32_t last_heard_ms = platform::TickMs();
  for (;;) {
    const std::uint32_t quiet_ms = platform::TickMs() - last_heard_ms;  // unsigned: right across the wrap
    const bool replaceable = quiet_ms >= kQuietBeforeTakeoverMs || !eth_open.load();
    const int ready = replaceable ? platform::WaitReadableEither(s, s_waiter, -1)
                                  : (platform::WaitReadable(s, static_cast<int>(kQuietBeforeTakeoverMs - quiet_ms)) ? 1 : 0);
    if (ready & 1) {
      int n = platform::Receive(s, tmp_recv, kReceiveChunk);
      if (n <= 0) break;
      last_heard_ms = platform::TickMs();
      bytes_received.fetch_add(static_cast<std::uint64_t>(n));
      StreamFeed(std::span<const std::uint8_t>(tmp_recv, static_cast<std::size_t>(n)));
      continue;  // heard just now: a waiting newcomer is looked at again only once it is quiet
    }
    if (ready & 2) {
      platform::Ipv4Endpoint peer;
      newer = platform::Accept(s_waiter, &peer);
      if (newer != platform::kInvalidSocket) {
        takeovers.fetch_add(1);
        trace_printf("a newer connection takes over");
        break;
      }
      accept_errors.fetch_add(1);
      error_printf("accept, error !");
      platform::SleepMs(1);
    }
    // A time-out while waiting for the quiet to pass, or a failing wait, which must not spin.
    if (ready == 0) platform::SleepMs(kPauseAfterReceiveFailMs);
  }
  EthClose();
  {
    std::unique_lock<std::shared_mutex> guard(handle_lock);
    platform::CloseSocket(eth_socket);
    eth_socket = platform::kInvalidSocket;
  }
  eth_open = false;
  LinkStateChanged();
  platform::SleepMs(kPauseAfterReceiveFailMs);
  return newer;
}

void ServerThread() {
  // The board's reports open the stream's window: read late, they hold the next frame back as
  // surely as a late scheduler pass would.
  platform::RaiseThreadPriority();
  platform::SocketHandle s_waiter = platform::TcpSocket(kReceiveBufferBytes);
  bool listening = s_waiter != platform::kInvalidSocket && platform::SetReuseAddress(s_waiter, true) &&
                   platform::Bind(s_waiter, {0, listen_port.load()}) && platform::Listen(s_waiter, kListenBacklog);
  if (!listening) {
    platform::CloseSocket(s_waiter);
    listen_failed = true;
    error_printf("Listen failed");
    return;
  }
  platform::SocketHandle next = platform::kInvalidSocket;  // a connection that took over
  for (;;) {
    platform::SocketHandle s = next;
    next = platform::kInvalidSocket;
    if (s == platform::kInvalidSocket) {
      platform::Ipv4Endpoint eth_peer;
      s = platform::Accept(s_waiter, &eth_peer);
    }
    if (s == platform::kInvalidSocket) {
      accept_errors.fetch_add(1);
      error_printf("accept, error !");
      platform::SleepMs(1);  // a persistent accept failure must not spin a core
      continue;
    }
    platform::SetSendTimeout(s, kSendSliceMs);
    {
      std::unique_lock<std::shared_mutex> guard(handle_lock);
      eth_socket = s;
    }
    eth_open = true;
    connections.fetch_add(1);
    UsbYieldLink();  // a board connecting over Ethernet takes the link from USB
    LinkConnected("accept, done !", kLinkEthernet, TransportOps{EthIsOpen, EthSendFrame, EthSendRaw, EthClose}, nullptr);
    next = ReceiveUntilClosed(s, s_waiter);
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
    LinkStateChanged();
    {
      std::shared_lock<std::shared_mutex> guard(handle_lock);
      platform::Shutdown(eth_socket);  // wakes the server thread's receive and any blocked send
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
    CountSendFailure();
    EthClose();
    platform::SetLastErrorCode(code);
    syserr_printf("socket");
    return false;
  }
  frames_sent.fetch_add(1);
  CountFrameSent(frame.size());
  return true;
}

bool EthSendRaw(const std::uint8_t* bytes, std::int32_t length) {
  if (state.link_open.load() == 0 || length < 0) return false;
  if (!SendAll(bytes, length)) {
    send_errors.fetch_add(1);
    CountSendFailure();
    syserr_printf("socket err");
    return false;
  }
  CountRawSent(static_cast<std::uint64_t>(length));
  return true;
}

EthCounters EthLinkCounters() {
  return {hellos_sent.load(), connections.load(), bytes_received.load(), frames_sent.load(), send_errors.load(),
          takeovers.load(), accept_errors.load()};
}

bool EthListenFailed() { return listen_failed.load(); }

}  // namespace kv
