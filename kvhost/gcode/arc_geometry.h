// Circular (or slightly spiral) arcs in a plane from G2/G3 in centre or radius form. The plane's
// two coordinates are called x and y here; which machine axes they are is the plane's choice
// (X and Y for G17, Z and X for G18, Y and Z for G19), so one construction serves all three.
// CAM output rounds its numbers, so an end a little off the circle is followed as a spiral that
// lands exactly on the programmed end instead of being rejected.
#pragma once

#include <cstddef>
#include <string>

namespace kvgcode {

// Largest distance allowed between the true arc and the straight segments that stand for it.
inline constexpr double kArcTolerance_mm = 0.002;

// Points closer than this are the same point (a centre-form arc between them is a full circle).
inline constexpr double kSamePoint_mm = 1e-6;

// How far the end may sit off the start's circle before the arc is refused: the larger of these.
inline constexpr double kEndRadiusSlack_mm = 0.05;
inline constexpr double kEndRadiusSlackFraction = 0.1;

// How much a radius may fall short of half the chord and still count as a half circle (rounding).
inline constexpr double kRadiusShortfallSlack_mm = 0.005;

struct PlanarPoint {
  double x_mm = 0;
  double y_mm = 0;
};

struct ArcPath {
  PlanarPoint centre;
  double start_radius_mm = 0;
  double end_radius_mm = 0;
  double start_angle_rad = 0;
  double sweep_rad = 0;  // positive counter-clockwise; |sweep| <= 2*pi
  // The machine axes (0 = X ... 5 = C) of the plane's x and y; the other axes move in a straight
  // line alongside (a helix).
  std::size_t first_axis = 0;
  std::size_t second_axis = 1;
};

struct ArcBuild {
  ArcPath path;
  std::string error;  // empty when the arc is sound
  bool ok() const { return error.empty(); }
};

// Centre form: the centre is start + (i, j). End equal to start makes a full circle.
ArcBuild ArcFromCentre(PlanarPoint start, PlanarPoint end, double i_mm, double j_mm, bool clockwise);

// Radius form: positive r takes the short way (at most half a turn), negative r the long way.
ArcBuild ArcFromRadius(PlanarPoint start, PlanarPoint end, double r_mm, bool clockwise);

// The point at `fraction` (0 = start, 1 = end) of the sweep, radius varying linearly.
PlanarPoint ArcPointAt(const ArcPath& arc, double fraction);

// Length of the path in the plane (exact for a circle, mean radius for a spiral).
double ArcPlanarLength_mm(const ArcPath& arc);

}  // namespace kvgcode
