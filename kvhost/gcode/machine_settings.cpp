// Default mill settings and their validation, so a segment can never overflow the board's counters.
#include "machine_settings.h"

#include <cmath>

#include "line_error.h"

namespace kvgcode {
namespace {

// Rounding of both segment ends can add one step each beyond the exact travel.
constexpr double kRoundingSteps = 2.0;

bool PositiveFinite(double value) { return std::isfinite(value) && value > 0.0; }

std::string AxisName(std::size_t axis) { return std::string("axis ") + kAxisLetters[axis]; }

}  // namespace

MachineSettings DefaultMillSettings() {
  MachineSettings settings;
  settings.steps_per_unit = {800, 800, 800, 100, 100, 100};
  settings.max_velocity_per_s = {50, 50, 25, 30, 30, 30};
  settings.acceleration_per_s2 = {500, 500, 250, 300, 300, 300};
  return settings;
}

double WorstSegmentSteps(double steps_per_unit, double velocity_per_s, double segment_time_s) {
  return velocity_per_s * steps_per_unit * segment_time_s + kRoundingSteps;
}

std::optional<std::string> CheckAxisSettings(const MachineSettings& settings) {
  for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
    const double steps = settings.steps_per_unit[axis];
    if (!PositiveFinite(steps) || steps > kMaxStepsPerUnit) {
      return AxisName(axis) + ": steps per unit must be above 0 and at most " +
             FormatNumber(kMaxStepsPerUnit) + " (got " + FormatNumber(steps) + ")";
    }
    if (!PositiveFinite(settings.max_velocity_per_s[axis])) {
      return AxisName(axis) + ": maximum velocity must be a positive number (got " +
             FormatNumber(settings.max_velocity_per_s[axis]) + ")";
    }
    if (!PositiveFinite(settings.acceleration_per_s2[axis])) {
      return AxisName(axis) + ": acceleration must be a positive number (got " +
             FormatNumber(settings.acceleration_per_s2[axis]) + ")";
    }
  }
  const double deviation = settings.junction_deviation_mm;
  if (!(deviation >= 0.0 && deviation <= kMaxJunctionDeviation_mm)) {
    return "junction deviation must be from 0 to " + FormatNumber(kMaxJunctionDeviation_mm) + " mm (got " +
           FormatNumber(deviation) + ")";
  }
  return std::nullopt;
}

std::optional<std::string> CheckWorkSetup(const WorkSetup& setup) {
  // Offsets and stored positions are added to coordinates, so they share their range.
  auto check = [](const AxisArray<double>& values, const std::string& what) -> std::optional<std::string> {
    for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
      if (!(std::fabs(values[axis]) <= 1e6)) {
        return what + " on axis " + kAxisLetters[axis] + " must be a number within +-1000000 (got " +
               FormatNumber(values[axis]) + ")";
      }
    }
    return std::nullopt;
  };
  for (std::size_t system = 0; system < setup.work_offsets.size(); ++system) {
    if (auto problem = check(setup.work_offsets[system], "work offset G" + std::to_string(54 + system))) return problem;
  }
  if (auto problem = check(setup.g92_offset, "G92 offset")) return problem;
  if (auto problem = check(setup.g28_position, "G28 position")) return problem;
  if (auto problem = check(setup.g30_position, "G30 position")) return problem;
  for (const auto& [tool, length] : setup.tool_lengths) {
    if (tool < 1 || tool > kLargestToolNumber || !(std::fabs(length) <= 1e6)) {
      return "tool " + std::to_string(tool) + ": length " + FormatNumber(length) + " is not usable";
    }
  }
  return std::nullopt;
}

std::optional<std::string> CheckSettings(const MachineSettings& settings, double segment_time_s) {
  if (!PositiveFinite(segment_time_s)) {
    return "segment time must be a positive number of seconds (got " + FormatNumber(segment_time_s) + ")";
  }
  if (auto problem = CheckAxisSettings(settings)) return problem;
  if (auto problem = CheckWorkSetup(settings.work)) return problem;
  for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
    const double worst_steps =
        WorstSegmentSteps(settings.steps_per_unit[axis], settings.max_velocity_per_s[axis], segment_time_s);
    if (!(worst_steps <= kMaxSegmentSteps)) {
      return AxisName(axis) + ": " + FormatNumber(settings.max_velocity_per_s[axis]) + " units/s at " +
             FormatNumber(settings.steps_per_unit[axis]) + " steps/unit needs up to " +
             FormatNumber(std::ceil(worst_steps)) + " steps in one " + FormatNumber(segment_time_s) +
             " s segment; a segment holds at most " + std::to_string(kMaxSegmentSteps);
    }
  }
  return std::nullopt;
}

}  // namespace kvgcode
