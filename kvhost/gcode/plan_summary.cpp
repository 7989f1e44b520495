// Program summaries by running the planner to the end, so they match what the board receives.
#include "plan_summary.h"

#include <cmath>

#include "interpreter.h"
#include "planner.h"

namespace kvgcode {

PlanSummary Summarize(BlockSource& source, const MachineSettings& settings, double segment_time_s,
                      PathControl control) {
  PlanSummary summary;
  Planner planner(source, settings, segment_time_s, control);
  PlanEvent event;
  // A piece is counted, not sampled: planning time grows with the moves, not with how long they
  // take (one slow move may be billions of segments).
  while (planner.Next(event)) {
    if (event.kind == PlanEvent::Kind::Segment) {
      summary.segments += 1 + planner.SkipRestOfMove();
    } else if (event.kind == PlanEvent::Kind::Dwell) {
      summary.dwell_time_s += event.dwell_s;
    }
  }
  summary.end_steps = planner.position_steps();
  summary.end_units = planner.position_units();
  summary.moves = planner.moves_planned();
  summary.estimated_time_s = static_cast<double>(summary.segments) * segment_time_s + summary.dwell_time_s;
  summary.error = planner.error();
  return summary;
}

PlanSummary Summarize(const Program& program, const MachineSettings& settings, double segment_time_s,
                      PathControl control) {
  ProgramBlocks source(program);
  return Summarize(source, settings, segment_time_s, control);
}

std::optional<AxisArray<std::int64_t>> ProgramEndSteps(BlockSource& source, const MachineSettings& settings) {
  if (CheckAxisSettings(settings)) return std::nullopt;
  Interpreter interpreter(settings.work);
  ActionList actions;
  Block block;
  source.Rewind();
  while (!interpreter.ended() && source.Next(block)) {
    if (interpreter.Execute(block, actions)) return std::nullopt;
  }
  if (source.fault()) return std::nullopt;
  AxisArray<std::int64_t> steps{};
  for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
    steps[axis] = std::llround(interpreter.position_units()[axis] * settings.steps_per_unit[axis]);
  }
  return steps;
}

std::optional<AxisArray<std::int64_t>> ProgramEndSteps(const Program& program, const MachineSettings& settings) {
  ProgramBlocks source(program);
  return ProgramEndSteps(source, settings);
}

}  // namespace kvgcode
