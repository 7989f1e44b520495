// The receive parser: everything the board reports arrives here, one frame body at a time, on
// the thread of the transport that received it. A body is a run of records, each opening with a
// one-byte code; each is decoded and applied at once, then the soft limits are checked.
#pragma once

#include <cstdint>
#include <span>

namespace kv {

// Installed as link_receive by the service start. Always true.
bool parse_board_frame(std::span<const std::uint8_t> body);
// The link_receive form of the parser.
void ReceiveFrame(std::span<const std::uint8_t> body);

// Planner pulse-rate limits, the pulse figure and host button 204, from pulse_rate_hz.
void PulseRateUpdate();

}  // namespace kv
