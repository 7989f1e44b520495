// Waiting for the plug-in to bring a board up: the same wait whether the board is the simulator
// in this process or a real one (or a kvboard process) on the other end of the link.
#pragma once

#include "host_machine.h"
#include "plugin_api.h"
#include "shell/host_contract.h"

namespace kvhost {

// Where the plug-in's link stands; zeros (nothing connected) when the plug-in cannot say.
host::LinkState ReadLinkState(const PluginApi& api);

// Waits up to `seconds` for the plug-in to have identified the board and seen its status reply,
// from which point it keeps the board's parameters current and streams motion. Without the
// plug-in's link-state seam, identification alone (its pulse-rate update) has to do.
bool WaitForBoard(const PluginApi& api, HostMachine& machine, double seconds);

}  // namespace kvhost
