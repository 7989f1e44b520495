// The simulated board kvhost runs with --board sim: on loopback, listening for the plug-in's
// discovery datagram on a free port and connecting back to the plug-in's listening port, with
// switches wired as kvhost's machine says; or, with the USB link, a simulated HID device.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host_machine.h"
#include "machine_config.h"
#include "sim_board.h"

namespace kvhost {

kvboard::BoardConfig SimBoardConfig(const MachineConfig& machine, std::uint16_t plugin_port);

// Chooses the link the plug-in finds its board on, before it starts: "usb" makes the simulated
// board (with `config`) a simulated HID device, or with no config lets the plug-in look for a
// real one; "ethernet" gives the plug-in's USB link nothing to find, so a run on Ethernet never
// touches a HID device. False (with the reason) for another link.
bool ChooseLink(const std::string& link, kvboard::BoardConfig* config, std::string& error);

// Starts a simulated board; null (with the reason) if it cannot bind or start.
std::unique_ptr<kvboard::SimBoard> StartSimBoard(const kvboard::BoardConfig& config, std::string& error);


}  // namespace kvhost
