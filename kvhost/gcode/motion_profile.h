// Trapezoidal speed profile of one move that starts and ends at rest.
// Moves too short to reach full speed get the triangular profile of the same acceleration.
#pragma once

namespace kvgcode {

class TrapezoidProfile {
 public:
  TrapezoidProfile() = default;
  // length > 0, max_speed_per_s > 0 and acceleration_per_s2 > 0, all finite.
  TrapezoidProfile(double length, double max_speed_per_s, double acceleration_per_s2);

  double duration_s() const { return 2.0 * ramp_s_ + cruise_s_; }
  double peak_speed_per_s() const { return peak_speed_per_s_; }

  // Distance travelled after `t_s` seconds, clamped to [0, length].
  double DistanceAt(double t_s) const;

 private:
  double length_ = 0;
  double acceleration_per_s2_ = 0;
  double peak_speed_per_s_ = 0;
  double ramp_s_ = 0;       // time to reach the peak speed (and to stop from it)
  double ramp_length_ = 0;  // distance covered while ramping
  double cruise_s_ = 0;
};

}  // namespace kvgcode
