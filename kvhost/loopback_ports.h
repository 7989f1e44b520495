// Free loopback ports for test and demo runs, so parallel runs do not collide.
#pragma once

#include <cstdint>

namespace kvhost {

// A TCP port on 127.0.0.1 that nothing listens on at the moment of the call.
std::uint16_t FreeTcpPort();
// A UDP port on 127.0.0.1 that nothing is bound to at the moment of the call.
std::uint16_t FreeUdpPort();

}  // namespace kvhost
