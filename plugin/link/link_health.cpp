// The link's health counters.
#include "link/link_health.h"

#include <atomic>

namespace kv {
namespace {

struct Counters {
  std::atomic<std::uint64_t> frames_sent{0}, bytes_sent{0}, frames_received{0}, bytes_received{0},
      records_skipped{0}, records_malformed{0}, frames_cut{0}, send_failures{0}, link_losses{0}, stall_closes{0},
      estops{0};
  std::atomic<std::uint32_t> stall_outstanding{0};
};
Counters counters;

void Add(std::atomic<std::uint64_t>& counter, std::uint64_t n = 1) { counter.fetch_add(n, std::memory_order_relaxed); }

}  // namespace

void CountFrameSent(std::uint64_t bytes) {
  Add(counters.frames_sent);
  Add(counters.bytes_sent, bytes);
}
void CountRawSent(std::uint64_t bytes) { Add(counters.bytes_sent, bytes); }
void CountSendFailure() { Add(counters.send_failures); }
void CountBytesReceived(std::uint64_t bytes) { Add(counters.bytes_received, bytes); }
void CountFrameReceived() { Add(counters.frames_received); }
void CountRecordSkipped() { Add(counters.records_skipped); }
void CountRecordMalformed() { Add(counters.records_malformed); }
void CountFrameCut() { Add(counters.frames_cut); }
void CountLinkLoss() { Add(counters.link_losses); }
void CountStallClose(std::uint32_t outstanding) {
  counters.stall_outstanding.store(outstanding, std::memory_order_relaxed);
  Add(counters.stall_closes);
}
void CountEstop() { Add(counters.estops); }

LinkHealth LinkHealthSnapshot() {
  LinkHealth h;
  h.frames_sent = counters.frames_sent.load(std::memory_order_relaxed);
  h.bytes_sent = counters.bytes_sent.load(std::memory_order_relaxed);
  h.frames_received = counters.frames_received.load(std::memory_order_relaxed);
  h.bytes_received = counters.bytes_received.load(std::memory_order_relaxed);
  h.records_skipped = counters.records_skipped.load(std::memory_order_relaxed);
  h.records_malformed = counters.records_malformed.load(std::memory_order_relaxed);
  h.frames_cut = counters.frames_cut.load(std::memory_order_relaxed);
  h.send_failures = counters.send_failures.load(std::memory_order_relaxed);
  h.link_losses = counters.link_losses.load(std::memory_order_relaxed);
  h.stall_closes = counters.stall_closes.load(std::memory_order_relaxed);
  h.stall_outstanding = counters.stall_outstanding.load(std::memory_order_relaxed);
  h.estops = counters.estops.load(std::memory_order_relaxed);
  return h;
}

}  // namespace kv
