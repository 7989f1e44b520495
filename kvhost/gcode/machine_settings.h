// Per-axis machine limits the planner obeys, and the check that they suit the board's segments.
// Settings come from users and files, so they are validated before any step is produced.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "axes.h"
#include "work_setup.h"

namespace kvgcode {

inline constexpr double kDefaultJunctionDeviation_mm = 0.01;
// A larger corner tolerance is a typing error, not a machine.
inline constexpr double kMaxJunctionDeviation_mm = 10.0;

// Machine units are millimetres for X/Y/Z and degrees for A/B/C.
struct MachineSettings {
  AxisArray<double> steps_per_unit{};
  AxisArray<double> max_velocity_per_s{};
  AxisArray<double> acceleration_per_s2{};
  WorkSetup work;  // offsets, tool table and G28/G30 positions the program starts with
  // How far a blended corner may pass from the programmed corner (G64 without P).
  double junction_deviation_mm = kDefaultJunctionDeviation_mm;
};

// The board takes each segment's steps as a signed 16-bit count per axis.
inline constexpr std::int32_t kMaxSegmentSteps = 32767;

// Beyond this no real drive exists, and it keeps every step position well inside int64.
inline constexpr double kMaxStepsPerUnit = 1e6;

// A three-axis mill: X/Y/Z 800 steps/mm, X/Y 50 mm/s and 500 mm/s², Z 25 mm/s and 250 mm/s²;
// A/B/C 100 steps/degree, 30 degrees/s, 300 degrees/s².
MachineSettings DefaultMillSettings();

// The most steps an axis at `velocity_per_s` may need in one segment, the rounding of both
// segment ends included.
double WorstSegmentSteps(double steps_per_unit, double velocity_per_s, double segment_time_s);

// Checks the per-axis values alone (positive, finite, within kMaxStepsPerUnit) and the junction
// deviation (0..kMaxJunctionDeviation_mm).
std::optional<std::string> CheckAxisSettings(const MachineSettings& settings);

// Also checks the segment period, and that an axis at full speed never needs more steps in one
// segment than the board can take. Returns a message naming the first problem, or nothing.
std::optional<std::string> CheckSettings(const MachineSettings& settings, double segment_time_s);

}  // namespace kvgcode
