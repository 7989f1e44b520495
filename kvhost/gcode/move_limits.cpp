// Per-move speed and acceleration limits, derived once per move rather than per segment.
#include "move_limits.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "arc_geometry.h"

namespace kvgcode {
namespace {

constexpr double kUnlimited = std::numeric_limits<double>::infinity();

// Share of the planar acceleration an arc joined to its neighbours may give to turning at its
// top speed. An arc that starts and ends at rest (an exact stop) keeps half for speeding up and
// slowing down, which suits it better, and plans as it always has.
constexpr double kArcTurnShare = 0.8;
constexpr double kRestToRestTurnShare = 0.5;

// Caps the path speed and acceleration so that an axis moving `share` units per unit of path
// stays within its own limits.
void LimitAxis(MoveLimits& limits, double share, double max_velocity, double max_acceleration) {
  if (share <= 0.0) return;
  limits.speed_per_s = std::min(limits.speed_per_s, max_velocity / share);
  limits.acceleration_per_s2 = std::min(limits.acceleration_per_s2, max_acceleration / share);
}

void LimitArc(MoveLimits& limits, const Move& move, double length, const MachineSettings& settings,
              double segment_time_s) {
  const ArcPath& arc = move.arc;
  const std::size_t x = arc.first_axis;
  const std::size_t y = arc.second_axis;
  const double planar_velocity = std::min(settings.max_velocity_per_s[x], settings.max_velocity_per_s[y]);
  const double planar_acceleration = std::min(settings.acceleration_per_s2[x], settings.acceleration_per_s2[y]);
  const double sweep = std::fabs(arc.sweep_rad);
  const double radius_change = arc.end_radius_mm - arc.start_radius_mm;
  const double max_radius = std::max(arc.start_radius_mm, arc.end_radius_mm);

  // Fastest planar travel per unit of path anywhere on the arc (a spiral is fastest at its
  // outer end).
  const double planar_share = std::hypot(radius_change, max_radius * sweep) / length;
  limits.speed_per_s = std::min(limits.speed_per_s, planar_velocity / planar_share);
  // Turning: |d²p/du²| * (v/L)² <= kArcTurnShare * planar_acceleration, with u the fraction of
  // the path; what turning leaves at the top speed is for speeding up and slowing down.
  const double curvature_term = sweep * std::hypot(max_radius * sweep, 2.0 * radius_change);
  const double turn_share = move.exact_stop ? kRestToRestTurnShare : kArcTurnShare;
  limits.speed_per_s =
      std::min(limits.speed_per_s, length * std::sqrt(turn_share * planar_acceleration / curvature_term));
  // Chords: one segment may turn at most the angle whose chord strays kArcTolerance_mm.
  if (max_radius > kArcTolerance_mm) {
    const double max_turn_rad = 2.0 * std::acos(1.0 - kArcTolerance_mm / max_radius);
    limits.speed_per_s = std::min(limits.speed_per_s, max_turn_rad * length / (sweep * segment_time_s));
  }
  const double turning = move.exact_stop ? planar_acceleration / 2.0
                                         : curvature_term * (limits.speed_per_s / length) * (limits.speed_per_s / length);
  limits.acceleration_per_s2 = std::min(limits.acceleration_per_s2, (planar_acceleration - turning) / planar_share);
}

}  // namespace

MoveLimits LimitsFor(const Move& move, double length, const MachineSettings& settings, double segment_time_s) {
  MoveLimits limits{move.kind == MoveKind::Rapid ? kUnlimited : move.feed_per_s, kUnlimited};
  for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
    if (move.kind == MoveKind::Arc && (axis == move.arc.first_axis || axis == move.arc.second_axis)) continue;
    const double share = std::fabs(move.end_units[axis] - move.start_units[axis]) / length;
    LimitAxis(limits, share, settings.max_velocity_per_s[axis], settings.acceleration_per_s2[axis]);
  }
  if (move.kind == MoveKind::Arc) LimitArc(limits, move, length, settings, segment_time_s);
  return limits;
}

}  // namespace kvgcode
