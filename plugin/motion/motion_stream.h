// The motion stream: carries the host's planned trajectory segments to the board in windowed
// array frames of up to 20 segments, at most lim_buffer outstanding, after a start hold-off
// that lets the host plan ahead. Runs on the scheduler thread as a step of the supervisor.
#pragma once

#include <cstdint>
#include <span>

namespace kv {

// Binds the stream to the host's segment ring (InitControl, once).
void StreamSetUp();
// Sends the next frame of segments if the window and the hold-off allow (every supervisor run).
void StreamSegments();
// True when the host ring is empty and more than 10 still position reports have come in.
bool MotionIdle();
// One ring slot as a 12-byte element: six int16 step counts, truncated, slaved and reversed.
void ConvertSegment(int slot, std::span<std::uint8_t> element);

}  // namespace kv
