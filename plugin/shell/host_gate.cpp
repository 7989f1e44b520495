// The link threads' gate to the host's blocks.
#include "shell/host_gate.h"

#include "platform/clock.h"

namespace kv {

void HostGate::Close() {
  closed_ = true;
  while (inside_.load() != 0) platform::SleepMs(1);
}

HostGate& LinkHostGate() {
  static HostGate gate;
  return gate;
}

}  // namespace kv
