// Test support: whether what the simulated board measured from the segments it executed stays
// within a machine's axis limits.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "machine_settings.h"
#include "motion_engine.h"

namespace kvhost::testing {

// Speed: one period's travel at the axis's maximum velocity, plus the one step a segment may
// gain by rounding its two ends to whole steps. Acceleration: the change from one period to the
// next within acceleration × period², plus one such step for each of the two periods.
inline void ExpectPeaksWithinLimits(const kvboard::MotionCounters& c, const kvgcode::MachineSettings& s,
                                    double segment_time_s, const std::string& what) {
  for (std::size_t k = 0; k < kvgcode::kAxisCount; ++k) {
    const double spu = s.steps_per_unit[k];
    const double speed_steps = s.max_velocity_per_s[k] * spu * segment_time_s;
    const double change_steps = s.acceleration_per_s2[k] * spu * segment_time_s * segment_time_s;
    EXPECT_LE(c.peak_steps_per_segment[k], speed_steps + 1.0) << what << ", axis " << kvgcode::kAxisLetters[k];
    EXPECT_LE(c.peak_step_change[k], change_steps + 2.0) << what << ", axis " << kvgcode::kAxisLetters[k];
  }
}

}  // namespace kvhost::testing
