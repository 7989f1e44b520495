// Test support: whether what the simulated board measured from the segments it executed stays
// within a machine's axis limits.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "board_replay.h"
#include "machine_settings.h"
#include "motion_engine.h"

namespace kvhost::testing {

inline void ExpectPeaksWithinLimits(const kvboard::MotionCounters& c, const kvgcode::MachineSettings& s,
                                    double segment_time_s, const std::string& what) {
  for (std::size_t k = 0; k < kvgcode::kAxisCount; ++k) {
    EXPECT_LE(c.peak_steps_per_segment[k], AllowedSegmentSteps(s, k, segment_time_s))
        << what << ", axis " << kvgcode::kAxisLetters[k];
    EXPECT_LE(c.peak_step_change[k], AllowedStepChange(s, k, segment_time_s))
        << what << ", axis " << kvgcode::kAxisLetters[k];
  }
}

}  // namespace kvhost::testing
