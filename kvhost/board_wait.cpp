// Waiting for the plug-in to identify the board and stream.
#include "board_wait.h"

#include "dialog_view.h"
#include "platform/clock.h"
#include "platform/dialog.h"
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

std::string NoBoardReason(const PluginApi& api, std::uint16_t listen_port, const std::string& nothing_seen) {
  const host::LinkState link = ReadLinkState(api);
  if (link.listen_failed != 0) {
    return "the plug-in cannot listen on port " + std::to_string(listen_port) +
           " (Listen failed): is another program using it?";
  }
  if (link.identified != 0) return "the board was identified but never answered the status poll";
  if (link.connections == 0) return nothing_seen;
  if (link.frames_received == 0) {
    return "a peer connected (" + std::to_string(link.connections) + " connection" +
           (link.connections == 1 ? "" : "s") + ") but never sent a frame: it is not answering as a board does";
  }
  // The board spoke but gave no pulse rate: what it said is in the plug-in's dialog.
  std::string model = "?", rate = "?";
  if (api.Config != nullptr) {
    api.Config();
    std::vector<platform::Dialog*> dialogs = platform::OpenDialogs();
    if (!dialogs.empty()) {
      model = EscapeControls(dialogs.front()->ItemText(4165));
      rate = EscapeControls(dialogs.front()->ItemText(4170));
      dialogs.front()->Hide();
    }
  }
  return "a board answered (" + std::to_string(link.frames_received) +
         " frames) but could not be identified: model " + model + ", pulse rate " + rate +
         " (a model the plug-in does not know, or a clock divisor of 0)";
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
