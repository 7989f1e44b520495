// Millisecond tick count and sleeping: the only notion of time the plug-in uses.
// The tick is a 32-bit count that wraps about every 49.7 days, as the host's system tick does;
// callers compare ticks by signed difference, never by plain magnitude.
#pragma once

#include <chrono>
#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary origin, wrapping at 2^32.
std::uint32_t TickMs();

// Makes TickMs() return `tick_now` at this instant and count on from there, so a tool or a test
// can run the plug-in near the wrap of the counter without waiting 49 days.
void SetTickBase(std::uint32_t tick_now);

// The most TickMs() can read at `when` (now or later): a sleeper that would wake at `when` can
// tell beforehand whether a tick may have passed by then, and sleeps past that instant only
// when it cannot have. Exact where the tick follows the steady clock; higher by the system
// tick's step where the tick is the system's coarser count.
std::uint32_t TickMsUpperBoundAt(std::chrono::steady_clock::time_point when);

// Blocks the calling thread for at least `ms` milliseconds.
void SleepMs(std::uint32_t ms);

}  // namespace platform
