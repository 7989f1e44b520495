// Motion stream (placeholder until the segment stream lands).
#include "motion/motion_stream.h"

namespace kv {

void StreamSetUp() {}
void StreamSegments() {}
bool MotionIdle() { return true; }
void ConvertSegment(int, std::span<std::uint8_t>) {}

}  // namespace kv
