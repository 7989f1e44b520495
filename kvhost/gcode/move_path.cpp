// Length of and points along straight and arc moves, exact at every sample so errors never add up.
#include "move_path.h"

#include <cmath>

namespace kvgcode {
namespace {

bool InArcPlane(const Move& move, std::size_t axis) {
  return move.kind == MoveKind::Arc && (axis == move.arc.first_axis || axis == move.arc.second_axis);
}

}  // namespace

double PathLength(const Move& move) {
  double sum_squares = 0;
  for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
    if (InArcPlane(move, axis)) continue;
    const double delta = move.end_units[axis] - move.start_units[axis];
    sum_squares += delta * delta;
  }
  if (move.kind == MoveKind::Arc) {
    const double planar = ArcPlanarLength_mm(move.arc);
    sum_squares += planar * planar;
  }
  return std::sqrt(sum_squares);
}

AxisArray<double> PointAt(const Move& move, double fraction) {
  AxisArray<double> point{};
  for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
    point[axis] = move.start_units[axis] + (move.end_units[axis] - move.start_units[axis]) * fraction;
  }
  if (move.kind == MoveKind::Arc) {
    const PlanarPoint planar = ArcPointAt(move.arc, fraction);
    point[move.arc.first_axis] = planar.x_mm;
    point[move.arc.second_axis] = planar.y_mm;
  }
  return point;
}

}  // namespace kvgcode
