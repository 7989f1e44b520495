// Jogging: one velocity command per jog; the board ramps, moves and stops by itself.
// Called on the host thread (entry points) and on a link thread (pendant keys).
#pragma once

#include <cstdint>

namespace kv {

// speed in units per second; 0 = the axis's jog speed from the host's settings.
void JogOn(std::int16_t axis, std::int16_t direction, double speed);
void JogOff(std::int16_t axis);

}  // namespace kv
