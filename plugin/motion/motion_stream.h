// The motion stream: carries the host's planned trajectory segments to the board in windowed
// array frames of up to 20 segments, at most lim_buffer outstanding, after a start hold-off
// that lets the host plan ahead. Runs on the scheduler thread as a step of the supervisor.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>

namespace kv {

// Binds the stream to the host's segment ring (InitControl, once).
void StreamSetUp();
// Sends the next frame of segments if the window and the hold-off allow (every supervisor run).
void StreamSegments();
// The host's purge (Notify -1, host thread): moves the write index on by `skip` slots and
// drops everything waiting, in one step that the stream never sees half done.
void StreamSkipPlanned(std::int32_t skip);
// E-stop: every waiting segment is dropped (read index = write index).
void StreamDropWaiting();
// True when the host ring is empty, more than 10 still position reports have come in, and the
// board has reported every segment sent as executed.
bool MotionIdle();
// One ring slot as a 12-byte element: six int16 step counts, truncated, slaved and reversed.
void ConvertSegment(int slot, std::span<std::uint8_t> element);

// Supervisor runs still to wait before a new motion's first segment goes out (diagnostics, tests).
std::int32_t StreamHoldoff();

inline constexpr std::int32_t kStreamHoldoffRuns = 40;   // about 800 ms of planning ahead
inline constexpr std::int32_t kStreamHoldoffShort = 10;  // when the host is already far ahead
inline constexpr std::int32_t kStreamSegmentsPerFrame = 20;

// Every float-to-integer conversion of the motion modules: toward zero, as the board expects.
// A NaN gives 0 and values beyond the int32 range saturate, where a plain cast would be undefined.
inline std::int32_t TruncToInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
  if (value <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value);
}

}  // namespace kv
