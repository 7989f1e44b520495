// kvhost --watch: the plug-in kept running with a board, for commissioning it and its pendant
// by hand. A live status line (on a terminal) and one line for every host call the plug-in
// makes, until Ctrl-C, SIGTERM or the time limit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host_machine.h"
#include "plugin_api.h"

namespace kvhost {

// Installs the printing of host calls on `machine`; call before the plug-in starts.
void WatchHostCalls(HostMachine& machine, bool terminal);

// The status line: positions, E-stop, active inputs, spindle and the link.
std::string WatchStatusLine(const PluginApi& api, HostMachine& machine);

// Runs until an interrupt or, when given, the deadline tick.
void Watch(const PluginApi& api, HostMachine& machine, bool terminal, std::optional<std::uint32_t> deadline_ms);

}  // namespace kvhost
