// Jog (placeholder until the velocity commands land).
#include "motion/jog.h"

namespace kv {

void JogOn(std::int16_t, std::int16_t, double) {}
void JogOff(std::int16_t) {}

}  // namespace kv
