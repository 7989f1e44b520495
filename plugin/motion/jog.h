// Jogging: one velocity command per jog; the board ramps, moves and stops by itself.
// Called on the host thread (entry points) and on a link thread (pendant keys).
#pragma once

#include <cstdint>

namespace kv {

// speed in units per second; 0 = the axis's jog speed from the host's settings.
void JogOn(std::int16_t axis, std::int16_t direction, double speed);
void JogOff(std::int16_t axis);

// The velocity move 0xCB: axis, direction (0 positive, else negative) and the speed in steps per
// segment with 16 fractional bits. Also the homing seek and release moves. Returns the send result.
bool SendVelocityMove(std::uint8_t axis, std::uint8_t direction, std::int32_t speed_fix);

}  // namespace kv
