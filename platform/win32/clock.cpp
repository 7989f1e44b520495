// Tick count and sleep on Windows: the system's 32-bit millisecond tick and Sleep.
#include "platform/clock.h"

#include <algorithm>
#include <atomic>

#include "../common/process_services.h"
#include "win32.h"

namespace platform {
namespace detail {

// Added to the system tick; 0 makes the tick the system's own.
std::atomic<std::uint32_t> tick_offset_ms{0};

std::uint32_t LocalTickMs() { return GetTickCount() + tick_offset_ms.load(std::memory_order_relaxed); }

void LocalSetTickBase(std::uint32_t tick_now) {
  tick_offset_ms.store(tick_now - GetTickCount(), std::memory_order_relaxed);
}

}  // namespace detail

std::uint32_t TickMs() {
  if (const detail::ProcessServices* host = detail::HostServices()) return host->tick_ms();
  return detail::LocalTickMs();
}

void SetTickBase(std::uint32_t tick_now) {
  if (const detail::ProcessServices* host = detail::HostServices()) return host->set_tick_base(tick_now);
  detail::LocalSetTickBase(tick_now);
}

std::uint32_t TickMsUpperBoundAt(std::chrono::steady_clock::time_point when) {
  // The system tick moves in steps of up to one timer interrupt (15.6 ms by default) and is not
  // the steady clock: it can read as much as one step (and a millisecond of rounding) more than
  // now's tick plus the time to go.
  constexpr std::int64_t kTickStepMs = 17;
  using namespace std::chrono;
  const std::int64_t ahead_ms =
      std::max<std::int64_t>(0, duration_cast<milliseconds>(when - steady_clock::now()).count() + 1);
  return TickMs() + static_cast<std::uint32_t>(ahead_ms + kTickStepMs);
}

void SleepMs(std::uint32_t ms) { Sleep(ms); }

}  // namespace platform
