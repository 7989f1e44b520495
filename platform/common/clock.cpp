// Tick count and sleep on the standard library's steady clock; portable to both targets.
#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <thread>  // std::this_thread::sleep_for

namespace platform {
namespace {

std::int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Added to the steady clock; 0 makes the tick the steady clock's own milliseconds.
std::atomic<std::int64_t> tick_offset_ms{0};

}  // namespace

std::uint32_t TickMs() {
  return static_cast<std::uint32_t>(SteadyMs() + tick_offset_ms.load(std::memory_order_relaxed));
}

void SetTickBase(std::uint32_t tick_now) {
  tick_offset_ms.store(static_cast<std::int64_t>(tick_now) - SteadyMs(), std::memory_order_relaxed);
}

std::uint32_t TickMsUpperBoundAt(std::chrono::steady_clock::time_point when) {
  // The tick is this same clock's milliseconds, truncated: exact at any instant.
  using namespace std::chrono;
  return static_cast<std::uint32_t>(duration_cast<milliseconds>(when.time_since_epoch()).count() +
                                    tick_offset_ms.load(std::memory_order_relaxed));
}

void SleepMs(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace platform
