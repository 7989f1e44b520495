// The motion stream: carries the host's planned trajectory segments to the board in windowed
// array frames.
#pragma once

namespace kv {

// Binds the stream to the host's segment ring (InitControl, once).
void StreamSetUp();

}  // namespace kv
