// Geometry of a move along its path: total length and the point at any fraction of it.
// The planner samples moves only through these two calls, so lines and arcs share one sampler.
#pragma once

#include "axes.h"
#include "interpreter.h"

namespace kvgcode {

// Path length in machine units; rotary degrees count like millimetres, as the feed does.
double PathLength(const Move& move);

// Exact point at `fraction` of the path (0 = start, 1 = end, within rounding).
AxisArray<double> PointAt(const Move& move, double fraction);

}  // namespace kvgcode
