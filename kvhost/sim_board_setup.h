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


}  // namespace kvhost
