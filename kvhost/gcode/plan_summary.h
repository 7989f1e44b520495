// What a program amounts to on a given machine: segment count, end position and run time.
// Computed by running the planner itself, so it can never disagree with what is sent; each move
// is counted rather than sampled, so a summary takes time in proportion to the program's moves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "axes.h"
#include "block_source.h"
#include "machine_settings.h"
#include "planner.h"
#include "program.h"

namespace kvgcode {

struct PlanSummary {
  std::uint64_t segments = 0;
  AxisArray<double> end_units{};        // programmed end position
  AxisArray<std::int64_t> end_steps{};  // where the segments' steps add up to
  double estimated_time_s = 0;          // segments * segment time + dwells
  double dwell_time_s = 0;
  std::uint64_t moves = 0;              // moves of non-zero length
  std::optional<std::string> error;     // set when planning stopped early; the rest is partial
};

PlanSummary Summarize(BlockSource& source, const MachineSettings& settings, double segment_time_s,
                      PathControl control = PathControl::AsProgrammed);
PlanSummary Summarize(const Program& program, const MachineSettings& settings, double segment_time_s,
                      PathControl control = PathControl::AsProgrammed);

// End position in steps straight from the interpreter, without planning (llround of the
// programmed end). Empty when the axis settings are invalid or the program has a fault.
std::optional<AxisArray<std::int64_t>> ProgramEndSteps(BlockSource& source, const MachineSettings& settings);
std::optional<AxisArray<std::int64_t>> ProgramEndSteps(const Program& program, const MachineSettings& settings);

}  // namespace kvgcode
