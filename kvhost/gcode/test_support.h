// Helpers shared by the tests: parse-or-fail and collecting a planner's output.
#pragma once

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "planner.h"
#include "program.h"

namespace kvgcode::testing {

inline Program MustParse(std::string_view text) {
  const ParseResult result = ParseProgram(text);
  if (!result.ok()) {
    ADD_FAILURE() << result.error().message;
    return {};
  }
  return result.program();
}

inline std::vector<PlanEvent> PlanAll(const Program& program, const MachineSettings& settings,
                                      double segment_time_s) {
  Planner planner(program, settings, segment_time_s);
  std::vector<PlanEvent> events;
  PlanEvent event;
  while (planner.Next(event)) events.push_back(event);
  EXPECT_FALSE(planner.error()) << *planner.error();
  return events;
}

inline std::vector<PlanEvent> Segments(const std::vector<PlanEvent>& events) {
  std::vector<PlanEvent> segments;
  for (const PlanEvent& event : events) {
    if (event.kind == PlanEvent::Kind::Segment) segments.push_back(event);
  }
  return segments;
}

// Checks every segment against the machine's speed and acceleration in steps: one period's travel
// at full speed plus one step of rounding, and the change between neighbours within a_max*T²
// plus two steps of rounding.
inline void ExpectWithinAxisLimits(const std::vector<PlanEvent>& segments, const MachineSettings& settings,
                                   double segment_time_s) {
  for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
    const double spu = settings.steps_per_unit[axis];
    const double max_steps = settings.max_velocity_per_s[axis] * spu * segment_time_s + 1.0;
    const double max_change = settings.acceleration_per_s2[axis] * spu * segment_time_s * segment_time_s + 2.0;
    int previous = 0;
    for (std::size_t i = 0; i < segments.size(); ++i) {
      const int steps = segments[i].steps[axis];
      ASSERT_LE(std::abs(steps), max_steps) << "axis " << axis << " segment " << i << " line " << segments[i].line;
      ASSERT_LE(std::abs(steps - previous), max_change)
          << "axis " << axis << " segment " << i << " line " << segments[i].line;
      previous = steps;
    }
    EXPECT_LE(std::abs(previous), max_change) << "axis " << axis << " does not come to rest";
  }
}

}  // namespace kvgcode::testing
