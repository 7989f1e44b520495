// Motion stream: host ring to board segment frames.
#include "motion/motion_stream.h"

namespace kv {

void StreamSetUp() {}

}  // namespace kv
