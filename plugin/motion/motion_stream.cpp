// The motion stream: the host's segment ring, windowed into 0xCA 0xAB frames for the board.
#include "motion/motion_stream.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>

#include "link/link_interface.h"
#include "runtime/commands.h"
#include "runtime/diagnostics.h"
#include "runtime/le_bytes.h"
#include "runtime/packet_buffer.h"
#include "shell/host_access.h"
#include "shell/plugin_state.h"

namespace kv {
namespace {

constexpr std::size_t kElementBytes = 12;
constexpr std::int32_t kManyWaiting = 200;  // the host is far enough ahead to start sooner

// Written on the scheduler thread; StreamSetUp re-arms it from the host thread at start-up.
std::atomic<std::int32_t> stream_holdoff{kStreamHoldoffRuns};

// protects the pair of ring indices against moves by two threads: the stream's read, convert
// and advance on the scheduler thread, and the host thread's purge (Notify -1), which moves both.
// Without it the stream could pair an old write index with a new read index and send slots the
// host never planned. The host's ordinary planning only advances the write index and needs none.
std::mutex ring_index_lock;

bool AnySoftLimitTripped() {
  for (const auto& flag : state.softlimit_tripped) {
    if (flag.load(std::memory_order_acquire)) return true;
  }
  return false;
}

}  // namespace

// The ring itself lives in the host's blocks that InitControl stored; the stream reaches it
// through them on every run, so it can never hold on to a block that has been replaced.
void StreamSetUp() { stream_holdoff.store(kStreamHoldoffRuns, std::memory_order_release); }

std::int32_t StreamHoldoff() { return stream_holdoff.load(std::memory_order_acquire); }

void StreamSegments() {
  host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  host::PlannerBlock* planner = state.planner.load(std::memory_order_acquire);
  if (engine == nullptr || planner == nullptr) return;

  std::unique_ptr<ArrayPacket> frame;
  {
    std::lock_guard<std::mutex> guard(ring_index_lock);
    // The host fills slots before it publishes the write index, so the index is read first.
    const std::int32_t write = host::Load(engine->ring_write_index) & host::kRingMask;
    const std::int32_t read = host::Load(engine->ring_read_index) & host::kRingMask;  // a stray index never leaves the ring
    const std::int32_t waiting = host::Load(planner->board_has_room) == 0 ? 0 : (write - read) & host::kRingMask;
    const std::uint32_t sent = state.segments_sent.load(std::memory_order_acquire);
    const std::uint32_t done = state.segments_done.load(std::memory_order_acquire);

    if (waiting == 0) {
      if (sent == 0 && done == 0) stream_holdoff.store(kStreamHoldoffRuns, std::memory_order_relaxed);
      return;
    }

    // A new motion: give the host time to plan ahead before the board starts on it.
    std::int32_t holdoff = stream_holdoff.load(std::memory_order_relaxed);
    if (holdoff != 0 && sent == 0) {
      if (waiting > kManyWaiting && holdoff > kStreamHoldoffShort) {
        holdoff = kStreamHoldoffShort;
      } else {
        --holdoff;
      }
      stream_holdoff.store(holdoff, std::memory_order_relaxed);
      return;
    }

    // A new motion also waits for the board's count of the last one to be gone. After a stream
    // close the board restarts its count, but reports taken before the close may still arrive;
    // one of them would show the new motion's segments as executed, the board at rest with
    // them queued, and the stop that follows would drop them.
    if (sent == 0 && done != 0) return;

    // Window: never more than lim_buffer segments outstanding at the board.
    const std::int64_t outstanding = static_cast<std::int32_t>(sent - done);
    const std::int64_t limit = state.lim_buffer.load(std::memory_order_acquire);
    std::int64_t n = outstanding + waiting > limit ? limit - outstanding : waiting;
    if (n <= 0) return;
    if (n > kStreamSegmentsPerFrame) n = kStreamSegmentsPerFrame;
    const auto count = static_cast<std::uint8_t>(n);

    state.still_count.store(0, std::memory_order_release);
    frame = std::make_unique<ArrayPacket>(wire::ARRAY_SEGMENTS, count);
    std::int32_t slot = read;
    for (std::uint8_t i = 0; i < count; ++i) {
      ConvertSegment(slot, frame->Reserve(1));
      slot = (slot + 1) & host::kRingMask;
    }
    host::Store(engine->ring_read_index, slot);
    state.segments_sent.fetch_add(count, std::memory_order_acq_rel);
    host::Store(engine->current_segment_tag, host::Load(engine->segment_tag[slot]));
  }
  LinkSendFrame(std::move(frame));  // a frame lost with a closing link is not retried
}

void StreamSkipPlanned(std::int32_t skip) {
  host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  if (engine == nullptr) return;
  std::lock_guard<std::mutex> guard(ring_index_lock);
  const std::uint32_t sum = static_cast<std::uint32_t>(host::Load(engine->ring_write_index)) + static_cast<std::uint32_t>(skip);
  const auto write = static_cast<std::int32_t>(sum & host::kRingMask);
  host::Store(engine->ring_write_index, write);
  host::Store(engine->ring_read_index, write);
}

void StreamDropWaiting() {
  host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  if (engine == nullptr) return;
  std::lock_guard<std::mutex> guard(ring_index_lock);
  host::Store(engine->ring_read_index, host::Load(engine->ring_write_index) & host::kRingMask);
}

bool MotionIdle() {
  const host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  if (engine == nullptr) return false;
  const std::int32_t write = host::Load(engine->ring_write_index) & host::kRingMask;
  const std::int32_t read = host::Load(engine->ring_read_index) & host::kRingMask;
  if (write != read || state.still_count.load(std::memory_order_acquire) <= 10) return false;
  // The still count is kept on the link thread; what was sent is known here for certain.
  return state.segments_sent.load(std::memory_order_acquire) <= state.segments_done.load(std::memory_order_acquire);
}

void ConvertSegment(int slot, std::span<std::uint8_t> element) {
  const host::EngineBlock* engine = state.engine.load(std::memory_order_acquire);
  host::PlannerBlock* planner = state.planner.load(std::memory_order_acquire);
  if (engine == nullptr || planner == nullptr || element.size() < kElementBytes) return;
  host::RingSegment& segment = planner->segment_ring[slot & host::kRingMask];

  // Program motion is blocked, not stopped: the program runs on over all-zero segments.
  if (AnySoftLimitTripped()) {
    for (double& steps : segment.axis_steps) steps = 0.0;
    status_printf("Gcode is disabled during soft-limit trigger");
  }

  // Fractions are dropped, never carried into the next segment.
  std::array<std::int32_t, host::kAxes> raw{};
  for (int k = 0; k < host::kAxes; ++k) raw[k] = TruncToInt32(segment.axis_steps[k]);

  for (int k = 0; k < host::kAxes; ++k) {
    std::int32_t v = raw[k];
    if (k >= 3 && host::Load(engine->slaved[k]) != 0) {
      // Only a lower-numbered master makes sense; any other index leaves the axis unslaved.
      const std::int32_t master = host::Load(engine->slave_master[k]);
      if (master >= 0 && master < k) v = raw[master];
    }
    std::uint32_t bits = static_cast<std::uint32_t>(v);
    if (host::Load(engine->axis_reversed[k]) != 0) bits = 0u - bits;  // wraps where -v would overflow
    PutLe(element.data() + 2 * k, static_cast<std::uint16_t>(bits));
  }
}

}  // namespace kv
