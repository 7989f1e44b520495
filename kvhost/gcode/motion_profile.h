// Speed profiles along one piece of path: the trapezoid of a move that starts and ends at rest,
// and the general one of a piece entered and left at given speeds, as look-ahead joins them.
// Pieces too short to reach full speed get the triangular profile of the same acceleration.
#pragma once

namespace kvgcode {

// Speeds up from `entry` to at most `cruise_max`, cruises, and slows to `exit`, all per second,
// at `acceleration_per_s2` both ways. The entry and exit must be reachable from each other
// within `length` (the look-ahead passes make them so); rounding beyond that is absorbed.
class SpeedProfile {
 public:
  SpeedProfile() = default;
  // length > 0, cruise_max_per_s > 0, acceleration_per_s2 > 0, entry and exit in [0, cruise_max].
  SpeedProfile(double length, double entry_per_s, double cruise_max_per_s, double exit_per_s,
               double acceleration_per_s2);

  double duration_s() const { return accel_s_ + cruise_s_ + decel_s_; }
  double peak_speed_per_s() const { return peak_per_s_; }
  // Distance travelled after `t_s` seconds, clamped to [0, length].
  double DistanceAt(double t_s) const;

 private:
  double length_ = 0;
  double acceleration_per_s2_ = 0;
  double entry_per_s_ = 0;
  double peak_per_s_ = 0;
  double accel_s_ = 0;
  double accel_length_ = 0;
  double cruise_s_ = 0;
  double decel_s_ = 0;
};

// The profile of a move that starts and ends at rest.
class TrapezoidProfile : public SpeedProfile {
 public:
  TrapezoidProfile() = default;
  // length > 0, max_speed_per_s > 0 and acceleration_per_s2 > 0, all finite.
  TrapezoidProfile(double length, double max_speed_per_s, double acceleration_per_s2)
      : SpeedProfile(length, 0.0, max_speed_per_s, 0.0, acceleration_per_s2) {}
};

}  // namespace kvgcode
