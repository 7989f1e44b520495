// Speed profiles in closed form, cheap enough to evaluate per segment.
#include "motion_profile.h"

#include <algorithm>
#include <cmath>

namespace kvgcode {

SpeedProfile::SpeedProfile(double length, double entry_per_s, double cruise_max_per_s, double exit_per_s,
                           double acceleration_per_s2)
    : length_(length), acceleration_per_s2_(acceleration_per_s2), entry_per_s_(entry_per_s) {
  const double a = acceleration_per_s2;
  // The highest speed from which both ends are reachable, capped by the cruise limit; never
  // below either end, which rounding of the passes could otherwise leave it.
  const double reachable = std::sqrt(std::max(0.0, a * length + 0.5 * (entry_per_s * entry_per_s + exit_per_s * exit_per_s)));
  peak_per_s_ = std::max({std::min(cruise_max_per_s, reachable), entry_per_s, exit_per_s});
  accel_s_ = (peak_per_s_ - entry_per_s) / a;
  accel_length_ = (peak_per_s_ * peak_per_s_ - entry_per_s * entry_per_s) / (2.0 * a);
  decel_s_ = (peak_per_s_ - exit_per_s) / a;
  const double decel_length = (peak_per_s_ * peak_per_s_ - exit_per_s * exit_per_s) / (2.0 * a);
  const double cruise_length = length - accel_length_ - decel_length;
  cruise_s_ = cruise_length > 0.0 && peak_per_s_ > 0.0 ? cruise_length / peak_per_s_ : 0.0;
}

double SpeedProfile::DistanceAt(double t_s) const {
  if (t_s <= 0.0) return 0.0;
  const double a = acceleration_per_s2_;
  double distance = length_;
  if (t_s < accel_s_) {
    distance = entry_per_s_ * t_s + 0.5 * a * t_s * t_s;
  } else if (t_s < accel_s_ + cruise_s_) {
    distance = accel_length_ + peak_per_s_ * (t_s - accel_s_);
  } else if (t_s < duration_s()) {
    // Measured back from the end, so the piece ends exactly at its length.
    const double left_s = duration_s() - t_s;
    const double exit_per_s = peak_per_s_ - a * decel_s_;
    distance = length_ - (exit_per_s * left_s + 0.5 * a * left_s * left_s);
  }
  return std::clamp(distance, 0.0, length_);
}

}  // namespace kvgcode
