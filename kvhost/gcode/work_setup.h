// What a program's coordinates are measured from: the work offsets G54..G59, the G92 offset,
// the tool table and the positions G28 and G30 go to. They belong to the machine, not the
// program, so kvhost keeps them in its profile section between runs.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>

#include "axes.h"

namespace kvgcode {

// Number of work coordinate systems, G54 (1) to G59 (6).
inline constexpr int kWorkSystems = 6;

// Tool numbers a T or H word may name.
inline constexpr int kLargestToolNumber = 1000000;

// Every length in millimetres (degrees for A/B/C), in machine coordinates where a position.
struct WorkSetup {
  std::array<AxisArray<double>, kWorkSystems> work_offsets{};  // [0] is G54
  AxisArray<double> g92_offset{};
  AxisArray<double> g28_position{};
  AxisArray<double> g30_position{};
  std::map<int, double> tool_lengths;  // tool number to its length offset along Z

  bool operator==(const WorkSetup&) const = default;
};

// Checks every figure is finite and within reach of a coordinate; names the first that is not.
std::optional<std::string> CheckWorkSetup(const WorkSetup& setup);

}  // namespace kvgcode
