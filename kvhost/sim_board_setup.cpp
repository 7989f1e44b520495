// Building and starting kvhost's simulated board.
#include "sim_board_setup.h"

#include <cstdio>

#include "platform/hid_sim.h"


namespace kvhost {

kvboard::BoardConfig SimBoardConfig(const MachineConfig& machine, std::uint16_t plugin_port) {
  kvboard::BoardConfig config;
  config.discovery_port = 0;  // any free loopback port; the plug-in is told which
  config.plugin_port = plugin_port;
  for (int k = 0; k < 6; ++k) {
    config.machine[k].home_pin = machine.axes[k].home_pin;
    config.machine[k].limit_min_pin = machine.axes[k].limit_min_pin;
    config.machine[k].limit_max_pin = machine.axes[k].limit_max_pin;
  }
  config.probe_pin = machine.probe_pin;
  config.log = [](std::string_view line) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  };
  return config;
}

bool ChooseLink(const std::string& link, kvboard::BoardConfig* config, std::string& error) {
  if (link == "ethernet") {
    platform::InstallSimHidBackend();  // no simulated device: USB finds nothing
    if (config) config->usb = false;
    return true;
  }
  if (link == "usb") {
    if (config) config->usb = true;  // the board installs the simulated backend and appears in it
    return true;
  }
  error = "unknown link " + link;
  return false;
}

std::unique_ptr<kvboard::SimBoard> StartSimBoard(const kvboard::BoardConfig& config, std::string& error) {
  auto board = std::make_unique<kvboard::SimBoard>(config);
  if (!board->Start()) {
    error = "the simulated board could not start";
    return nullptr;
  }
  return board;
}

}  // namespace kvhost
