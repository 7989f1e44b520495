// kvhost's machine: steps per unit, speeds and accelerations per axis, and which board pins
// the limit, home, probe and E-stop inputs and the spindle output are wired to. Read from the
// section "kvhost" of the profile document, with defaults for a three-axis mill in millimetres,
// so a fresh run needs no file.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "machine_settings.h"

namespace kvhost {

struct AxisWiring {
  std::uint8_t limit_min_pin = 0;  // 0 = not wired
  std::uint8_t limit_max_pin = 0;
  std::uint8_t home_pin = 0;
  bool enabled = false;
};

struct MachineConfig {
  kvgcode::MachineSettings motion = kvgcode::DefaultMillSettings();
  std::array<AxisWiring, 6> axes{};
  std::uint8_t probe_pin = 0;
  std::uint8_t estop_pin = 0;
  std::uint8_t spindle_output_pin = 0;
  double probe_feed_per_s = 2.0;
  int home_speed_percent = 50;
};

MachineConfig DefaultMachineConfig();

// Reads the "kvhost" section of the profile at `path`; missing keys keep their defaults. An
// entry that is not a number is an error naming the key.
bool LoadMachineConfig(const std::string& path, MachineConfig& out, std::string& error);

}  // namespace kvhost
