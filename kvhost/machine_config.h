// kvhost's machine: steps per unit, speeds and accelerations per axis, and which board pins
// the limit, home, probe and E-stop inputs and the spindle output are wired to. Read from the
// section "kvhost" of the profile document, with defaults for a three-axis mill in millimetres,
// so a fresh run needs no file. A file that is there but unusable is an error, never a silent
// run on the defaults: a machine that moves 800 steps where 1000 were meant cuts the wrong part.
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
  std::uint8_t mist_output_pin = 0;   // M7; 0 = not wired (M7 is then reported and ignored)
  std::uint8_t flood_output_pin = 0;  // M8, likewise
  double probe_feed_per_s = 2.0;
  int home_speed_percent = 50;
  // The plug-in's segment period: its own setting "VEX"/"seg_len" (microseconds), read as the
  // plug-in reads it, so a dry run plans what the plug-in will stream.
  double segment_time_s = 0.003;
};

// An enabled axis needs at least one step per unit, so that a move of a whole unit always makes
// a step; any axis needs a positive figure, at most kvgcode::kMaxStepsPerUnit.
inline constexpr double kMinStepsPerUnit = 1.0;

MachineConfig DefaultMachineConfig();

// Reads the "kvhost" section (and the plug-in's "VEX"/"seg_len") of the profile at `path`. No
// file, no section or no key keeps the defaults. A file that exists but cannot be read or parsed
// is an error naming the profile; a value that is not a number or cannot be used (see the
// checks in machine_config.cpp) is an error naming the profile and the key.
bool LoadMachineConfig(const std::string& path, MachineConfig& out, std::string& error);

// Tool numbers the profile's tool table holds (kvhost/tool_length_1 .. tool_length_999).
inline constexpr int kMaxTableTool = 999;

// Keeps the work offsets (G54..G59 and G92) a run left in the profile's "kvhost" section, for
// the next run: only the entries whose value changed from `loaded` are written, nothing outside
// the section is touched, and the file is replaced whole (an interrupted save leaves the old
// one). True with nothing written when nothing changed; false with `error` when the profile
// cannot be read or saved, or a save would change anything beyond the section.
bool SaveWorkOffsets(const std::string& path, const kvgcode::WorkSetup& loaded, const kvgcode::WorkSetup& now,
                     std::string& error);

}  // namespace kvhost
