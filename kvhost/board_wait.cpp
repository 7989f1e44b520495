// Waiting for the plug-in to identify the board and stream.
#include "board_wait.h"

#include "platform/clock.h"
#include "platform/interrupt.h"
#include "shell/host_access.h"

namespace kvhost {

host::LinkState ReadLinkState(const PluginApi& api) {
  host::LinkState link{};
  link.size = sizeof link;
  if (api.GetLinkState == nullptr || !api.GetLinkState(&link)) {
    link = {};
    link.size = sizeof link;
  }
  return link;
}

bool WaitForBoard(const PluginApi& api, HostMachine& machine, double seconds, bool ethernet) {
  const std::uint32_t deadline = platform::TickMs() + static_cast<std::uint32_t>(seconds * 1000.0);
  while (static_cast<std::int32_t>(deadline - platform::TickMs()) > 0 && !platform::InterruptRequested()) {
    if (api.GetLinkState != nullptr) {
      const host::LinkState link = ReadLinkState(api);
      if (link.link_open != 0 && link.identified != 0 && link.streaming != 0) return true;
      if (ethernet && link.listen_failed != 0) return false;
    } else if (host::Load(machine.planner().pulse_rate_limit[0]) > 0) {
      return true;
    }
    platform::SleepMs(20);
  }
  return false;
}

bool WaitForReconnect(const PluginApi& api, std::uint32_t connections_before, double seconds) {
  const std::uint32_t deadline = platform::TickMs() + static_cast<std::uint32_t>(seconds * 1000.0);
  while (static_cast<std::int32_t>(deadline - platform::TickMs()) > 0 && !platform::InterruptRequested()) {
    const host::LinkState link = ReadLinkState(api);
    if (link.connections > connections_before && link.link_open != 0 && link.identified != 0 && link.streaming != 0) {
      return true;
    }
    platform::SleepMs(20);
  }
  return false;
}

}  // namespace kvhost
