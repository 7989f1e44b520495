// A program's segments as a board executes them: planned, then fed to the simulated board's
// motion engine one segment per period, with idle periods after them so that the stop at the
// end is measured too. The tests check the board's measures against the axis limits; the
// planning benchmark prints them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "machine_settings.h"
#include "motion_engine.h"
#include "planner.h"
#include "program.h"
#include "runtime/le_bytes.h"

namespace kvhost {

struct BoardReplay {
  kvboard::MotionCounters counters;
  std::array<std::int32_t, kvgcode::kAxisCount> end{};  // the board's position after the stop
  std::optional<std::string> error;                      // the planner's, if it stopped on one
};

inline BoardReplay ReplayOnBoard(const kvgcode::Program& program, const kvgcode::MachineSettings& settings,
                                 double segment_time_s, kvgcode::PathControl control) {
  kvboard::MotionEngine engine{kvboard::BoardConfig{}};
  kvgcode::Planner planner(program, settings, segment_time_s, control);
  kvgcode::PlanEvent event;
  std::uint8_t element[2 * kvgcode::kAxisCount];
  while (planner.Next(event)) {
    if (event.kind != kvgcode::PlanEvent::Kind::Segment) continue;
    for (std::size_t k = 0; k < kvgcode::kAxisCount; ++k) {
      kv::PutLe(element + 2 * k, static_cast<std::int16_t>(event.steps[k]));
    }
    engine.QueueSegments(element);
    engine.RunPeriod();
  }
  engine.RunPeriod();
  engine.RunPeriod();
  BoardReplay replay;
  replay.counters = engine.Counters();
  for (std::size_t k = 0; k < kvgcode::kAxisCount; ++k) replay.end[k] = engine.Position()[k];
  replay.error = planner.error();
  return replay;
}

// The most a board may measure on one axis. Speed: one period's travel at the axis's maximum
// velocity, plus the one step a segment may gain by rounding its two ends to whole steps.
// Acceleration: the change from one period to the next within acceleration × period², plus one
// such step for each of the two periods.
inline double AllowedSegmentSteps(const kvgcode::MachineSettings& s, std::size_t axis, double segment_time_s) {
  return s.max_velocity_per_s[axis] * s.steps_per_unit[axis] * segment_time_s + 1.0;
}

inline double AllowedStepChange(const kvgcode::MachineSettings& s, std::size_t axis, double segment_time_s) {
  return s.acceleration_per_s2[axis] * s.steps_per_unit[axis] * segment_time_s * segment_time_s + 2.0;
}

}  // namespace kvhost
