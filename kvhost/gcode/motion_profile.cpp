// Trapezoidal and triangular speed profiles in closed form, cheap enough to evaluate per segment.
#include "motion_profile.h"

#include <algorithm>
#include <cmath>

namespace kvgcode {

TrapezoidProfile::TrapezoidProfile(double length, double max_speed_per_s, double acceleration_per_s2)
    : length_(length), acceleration_per_s2_(acceleration_per_s2) {
  const double full_ramp_length = max_speed_per_s * max_speed_per_s / (2.0 * acceleration_per_s2);
  if (2.0 * full_ramp_length >= length) {
    peak_speed_per_s_ = std::sqrt(length * acceleration_per_s2);
    ramp_length_ = length / 2.0;
    cruise_s_ = 0;
  } else {
    peak_speed_per_s_ = max_speed_per_s;
    ramp_length_ = full_ramp_length;
    cruise_s_ = (length - 2.0 * full_ramp_length) / max_speed_per_s;
  }
  ramp_s_ = peak_speed_per_s_ / acceleration_per_s2;
}

double TrapezoidProfile::DistanceAt(double t_s) const {
  if (t_s <= 0.0) return 0.0;
  double distance = length_;
  if (t_s < ramp_s_) {
    distance = 0.5 * acceleration_per_s2_ * t_s * t_s;
  } else if (t_s < ramp_s_ + cruise_s_) {
    distance = ramp_length_ + peak_speed_per_s_ * (t_s - ramp_s_);
  } else if (t_s < duration_s()) {
    const double left_s = duration_s() - t_s;
    distance = length_ - 0.5 * acceleration_per_s2_ * left_s * left_s;
  }
  return std::clamp(distance, 0.0, length_);
}

}  // namespace kvgcode
