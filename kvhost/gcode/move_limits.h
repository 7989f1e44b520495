// Path speed and acceleration for one move such that no axis exceeds its own limits.
// Arcs are also slowed so that centripetal acceleration stays in bounds and each segment's
// straight chord stays within kArcTolerance_mm of the true arc; speeding up and slowing down
// along an arc get the acceleration that turning at its top speed leaves.
#pragma once

#include "interpreter.h"
#include "machine_settings.h"

namespace kvgcode {

struct MoveLimits {
  double speed_per_s = 0;
  double acceleration_per_s2 = 0;
};

// `length` is PathLength(move) and must be above zero; settings must pass CheckSettings.
MoveLimits LimitsFor(const Move& move, double length, const MachineSettings& settings, double segment_time_s);

}  // namespace kvgcode
