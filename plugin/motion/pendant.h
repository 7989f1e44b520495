// Hand-wheel pendants tunnelled through the board's two external channels: key bytes in,
// display records out.
#pragma once

#include <cstdint>
#include <span>

namespace kv {

// Pendant bytes from the board for channel 0 or 1 (link thread).
void PendantFeed(int channel, std::span<const std::uint8_t> bytes);
// Every streaming run of the service task, before the parameter frame (scheduler thread).
void SendPendantFrames();

}  // namespace kv
