// Link globals, the connection sequence and the common stream reassembler.
#include "link/link_interface.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "link/link_health.h"
#include "link/link_transports.h"
#include "link/reassembler.h"
#include "motion/supervisor.h"
#include "runtime/diagnostics.h"
#include "runtime/no_throw.h"
#include "runtime/packet_buffer.h"
#include "service/service_task.h"

namespace kv {
namespace {

// protects the reassembler below: two transports may both be reading for an instant while the
// newer one takes the link over
std::mutex reassembler_lock;
FrameReassembler reassembler;

std::atomic<int> sends_in_progress{0};

// Wakes the link threads that idle while another connection holds the link. Never destroyed:
// the detached link threads may be waiting on them while the process exits, and destroying a
// condition variable with a waiter blocks the exit for good.
std::mutex& link_change_lock = *new std::mutex;
std::condition_variable& link_change = *new std::condition_variable;
std::uint64_t link_changes = 0;  // under link_change_lock

// Counts a send for as long as it runs.
class SendInProgress {
 public:
  SendInProgress() { sends_in_progress.fetch_add(1); }
  ~SendInProgress() { sends_in_progress.fetch_sub(1); }
  SendInProgress(const SendInProgress&) = delete;
  SendInProgress& operator=(const SendInProgress&) = delete;
};

}  // namespace

void LinkInit() {
  state.link_is_open.store(nullptr, std::memory_order_release);
  StartTransports();
}

void StreamFeed(std::span<const std::uint8_t> bytes) {
  std::lock_guard<std::mutex> guard(reassembler_lock);
  CountBytesReceived(bytes.size());
  const std::uint64_t cuts = reassembler.Cuts();
  reassembler.Feed(bytes, [](std::span<const std::uint8_t> body) {
    CountFrameReceived();
    // A frame whose handling throws is dropped; the link thread goes on with the next.
    if (LinkReceiveFn receive = state.link_receive.load(std::memory_order_acquire)) {
      NoThrow("A received frame", [&] { receive(body); });
    }
  });
  for (std::uint64_t n = reassembler.Cuts(); n > cuts; --n) CountFrameCut();
}

void StreamReset() {
  std::lock_guard<std::mutex> guard(reassembler_lock);
  reassembler.Reset();
}

void LinkConnected(const char* trace_text, std::int32_t kind, const TransportOps& ops, void (*transport_reset)()) {
  trace_printf("%s", trace_text);
  StreamReset();
  if (transport_reset) transport_reset();
  state.link_kind.store(kind, std::memory_order_release);
  state.link_send_frame.store(ops.send_frame, std::memory_order_release);
  state.link_is_open.store(ops.is_open, std::memory_order_release);
  state.link_close.store(ops.close, std::memory_order_release);
  state.link_send_raw.store(ops.send_raw, std::memory_order_release);
  state.link_open.store(1, std::memory_order_release);
  state.link_connections.fetch_add(1, std::memory_order_acq_rel);
  LinkStateChanged();
  ServiceStart();
}

void LinkClosed() {
  CountLinkLoss();
  SupervisorLinkLost();
}

bool LinkEstablished() { return state.link_is_open.load(std::memory_order_acquire) != nullptr; }

bool LinkSendFrame(std::unique_ptr<Packet> packet) {
  LinkSendFrameFn send = state.link_send_frame.load(std::memory_order_acquire);
  if (send == nullptr) return false;  // the packet is destroyed here
  SendInProgress counted;
  return send(std::move(packet));
}

bool LinkSendRaw(const std::uint8_t* bytes, std::int32_t length) {
  LinkSendRawFn send = state.link_send_raw.load(std::memory_order_acquire);
  if (send == nullptr) return false;
  SendInProgress counted;
  return send(bytes, length);
}

int LinkSendsInProgress() { return sends_in_progress.load(); }

void LinkCloseNow() {
  if (state.link_open.load() == 0) return;
  if (LinkCloseFn close = state.link_close.load(std::memory_order_acquire)) close();
}

void LinkStateChanged() {
  {
    std::lock_guard<std::mutex> guard(link_change_lock);
    ++link_changes;
  }
  link_change.notify_all();
}

void WaitForLinkState(bool (*done)(), std::uint32_t max_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms);
  std::unique_lock<std::mutex> guard(link_change_lock);
  while (!done()) {
    // A change announced after done() was read is seen here: its count is taken under the lock.
    const std::uint64_t seen = link_changes;
    if (!link_change.wait_until(guard, deadline, [&] { return link_changes != seen; })) return;
  }
}

}  // namespace kv
