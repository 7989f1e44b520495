// The simulated board kvhost runs with --board sim: on loopback, listening for the plug-in's
// discovery datagram on a free port and connecting back to the plug-in's listening port, with
// switches wired as kvhost's machine says.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host_machine.h"
#include "machine_config.h"
#include "sim_board.h"

namespace kvhost {

kvboard::BoardConfig SimBoardConfig(const MachineConfig& machine, std::uint16_t plugin_port);

// Starts a simulated board; null (with the reason) if it cannot bind or start.
std::unique_ptr<kvboard::SimBoard> StartSimBoard(const kvboard::BoardConfig& config, std::string& error);

// Waits up to `seconds` for the plug-in to identify the board (its pulse-rate update sets the
// planner's pulse-rate limits) and, with a simulated board (non-null), for the parameter stream
// to begin. True when both happened in time.
bool WaitForBoard(HostMachine& machine, const kvboard::SimBoard* board, double seconds);

}  // namespace kvhost
