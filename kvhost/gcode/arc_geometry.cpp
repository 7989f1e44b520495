// Arc construction from G2/G3 words and points along an arc; one place decides arc direction.
#include "arc_geometry.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "line_error.h"

namespace kvgcode {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

double Distance(PlanarPoint a, PlanarPoint b) { return std::hypot(b.x_mm - a.x_mm, b.y_mm - a.y_mm); }

// Fills angles and radii once the centre is known.
ArcBuild AroundCentre(PlanarPoint start, PlanarPoint end, PlanarPoint centre, bool clockwise) {
  ArcBuild build;
  ArcPath& arc = build.path;
  arc.centre = centre;
  arc.start_radius_mm = Distance(centre, start);
  arc.end_radius_mm = Distance(centre, end);
  arc.start_angle_rad = std::atan2(start.y_mm - centre.y_mm, start.x_mm - centre.x_mm);
  if (Distance(start, end) < kSamePoint_mm) {
    arc.end_radius_mm = arc.start_radius_mm;
    arc.sweep_rad = clockwise ? -kTwoPi : kTwoPi;
    return build;
  }
  const double end_angle = std::atan2(end.y_mm - centre.y_mm, end.x_mm - centre.x_mm);
  double sweep = end_angle - arc.start_angle_rad;  // in (-2pi, 2pi)
  if (clockwise && sweep >= 0.0) sweep -= kTwoPi;
  if (!clockwise && sweep <= 0.0) sweep += kTwoPi;
  arc.sweep_rad = sweep;
  return build;
}

}  // namespace

ArcBuild ArcFromCentre(PlanarPoint start, PlanarPoint end, double i_mm, double j_mm, bool clockwise) {
  const PlanarPoint centre{start.x_mm + i_mm, start.y_mm + j_mm};
  const double radius = std::hypot(i_mm, j_mm);
  if (radius < kSamePoint_mm) return ArcBuild{{}, "arc centre is at its start point (I and J are zero)"};
  ArcBuild build = AroundCentre(start, end, centre, clockwise);
  const double off_by = std::fabs(build.path.end_radius_mm - build.path.start_radius_mm);
  const double slack = std::max(kEndRadiusSlack_mm, kEndRadiusSlackFraction * radius);
  if (off_by > slack) {
    build.error = "arc end is " + FormatNumber(off_by) + " mm off the circle of radius " + FormatNumber(radius) +
                  " mm around the centre given by I/J";
  }
  return build;
}

ArcBuild ArcFromRadius(PlanarPoint start, PlanarPoint end, double r_mm, bool clockwise) {
  const double radius = std::fabs(r_mm);
  const double chord = Distance(start, end);
  if (radius < kSamePoint_mm) return ArcBuild{{}, "arc radius R is zero"};
  if (chord < kSamePoint_mm) return ArcBuild{{}, "radius-form arc needs an end point different from its start"};
  const double half_chord = chord / 2.0;
  if (radius < half_chord - kRadiusShortfallSlack_mm) {
    return ArcBuild{{}, "arc radius " + FormatNumber(radius) + " mm is shorter than half the chord (" +
                            FormatNumber(half_chord) + " mm)"};
  }
  // The centre sits on the chord's perpendicular bisector: to the left of the travel direction
  // for a short counter-clockwise arc, mirrored for clockwise and for the long way round.
  const double offset = std::sqrt(std::max(0.0, radius * radius - half_chord * half_chord));
  const double side = (clockwise ? -1.0 : 1.0) * (r_mm > 0.0 ? 1.0 : -1.0);
  const double ux = (end.x_mm - start.x_mm) / chord;
  const double uy = (end.y_mm - start.y_mm) / chord;
  const PlanarPoint centre{(start.x_mm + end.x_mm) / 2.0 - side * offset * uy,
                           (start.y_mm + end.y_mm) / 2.0 + side * offset * ux};
  return AroundCentre(start, end, centre, clockwise);
}

PlanarPoint ArcPointAt(const ArcPath& arc, double fraction) {
  const double angle = arc.start_angle_rad + arc.sweep_rad * fraction;
  const double radius = arc.start_radius_mm + (arc.end_radius_mm - arc.start_radius_mm) * fraction;
  return PlanarPoint{arc.centre.x_mm + radius * std::cos(angle), arc.centre.y_mm + radius * std::sin(angle)};
}

double ArcPlanarLength_mm(const ArcPath& arc) {
  return std::fabs(arc.sweep_rad) * (arc.start_radius_mm + arc.end_radius_mm) / 2.0;
}

}  // namespace kvgcode
