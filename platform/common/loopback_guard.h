// The loopback-only guard's check, for the socket implementations (posix/, win32/) to call
// before every send to an address and every connect.
#pragma once

#include "platform/socket.h"

namespace platform::detail {

// True when `remote` may be addressed; false (and counted) when the guard is on and `remote`
// lies outside 127.0.0.0/8.
bool LoopbackGuardAllows(Ipv4Endpoint remote);

}  // namespace platform::detail
