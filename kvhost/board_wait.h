// Waiting for the plug-in to bring a board up: the same wait whether the board is the simulator
// in this process or a real one (or a kvboard process) on the other end of the link.
#pragma once

#include <cstdint>
#include <string>

#include "host_machine.h"
#include "plugin_api.h"
#include "shell/host_contract.h"

namespace kvhost {

// Where the plug-in's link stands; zeros (nothing connected) when the plug-in cannot say.
host::LinkState ReadLinkState(const PluginApi& api);

// Waits up to `seconds` for the plug-in to have identified the board and seen its status reply,
// from which point it keeps the board's parameters current and streams motion. Without the
// plug-in's link-state seam, identification alone (its pulse-rate update) has to do. With
// `ethernet`, a plug-in that could not open its listening port ends the wait at once.
bool WaitForBoard(const PluginApi& api, HostMachine& machine, double seconds, bool ethernet = false);

// What was seen when no board came up, in words: the listening port taken ("Listen failed"), a
// peer that connected and never spoke, a board that answered but could not be identified (with
// the model and pulse rate the plug-in's dialog shows), or one identified that never answered
// its status poll; `nothing_seen` when nothing connected at all.
std::string NoBoardReason(const PluginApi& api, std::uint16_t listen_port, const std::string& nothing_seen);

// After a lost link: waits up to `seconds` for a connection beyond `connections_before` whose
// board is identified and streaming again. True when it came.
bool WaitForReconnect(const PluginApi& api, std::uint32_t connections_before, double seconds);

}  // namespace kvhost
