// Speed profile tests: trapezoid and triangle shapes, and that speed and acceleration stay bounded.
#include "motion_profile.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kvgcode {
namespace {

// Samples the profile finely and checks it never goes faster or accelerates harder than allowed.
void ExpectBounded(const TrapezoidProfile& profile, double length, double speed, double accel) {
  constexpr int kSamples = 20000;
  const double dt = profile.duration_s() / kSamples;
  double previous_distance = 0;
  double previous_speed = 0;
  for (int i = 1; i <= kSamples; ++i) {
    const double distance = profile.DistanceAt(i * dt);
    const double v = (distance - previous_distance) / dt;
    ASSERT_GE(v, -1e-9);
    ASSERT_LE(v, speed * (1 + 1e-9));
    ASSERT_LE(std::fabs(v - previous_speed) / dt, accel * 1.01 + 1e-6);
    previous_distance = distance;
    previous_speed = v;
  }
  EXPECT_DOUBLE_EQ(profile.DistanceAt(profile.duration_s()), length);
  EXPECT_DOUBLE_EQ(profile.DistanceAt(profile.duration_s() + 1), length);
  EXPECT_DOUBLE_EQ(profile.DistanceAt(-1), 0.0);
}

TEST(TrapezoidProfile, LongMoveCruisesAtFullSpeed) {
  const TrapezoidProfile profile(100, 50, 500);
  EXPECT_DOUBLE_EQ(profile.peak_speed_per_s(), 50.0);
  EXPECT_NEAR(profile.duration_s(), 100.0 / 50 + 50.0 / 500, 1e-12);
  EXPECT_NEAR(profile.DistanceAt(0.1), 2.5, 1e-12);  // end of the ramp
  ExpectBounded(profile, 100, 50, 500);
}

TEST(TrapezoidProfile, ShortMoveIsATriangle) {
  const TrapezoidProfile profile(1, 50, 500);
  EXPECT_NEAR(profile.peak_speed_per_s(), std::sqrt(500.0), 1e-12);
  EXPECT_NEAR(profile.duration_s(), 2 * std::sqrt(1.0 / 500), 1e-12);
  EXPECT_NEAR(profile.DistanceAt(profile.duration_s() / 2), 0.5, 1e-12);
  ExpectBounded(profile, 1, 50, 500);
}

}  // namespace
}  // namespace kvgcode
