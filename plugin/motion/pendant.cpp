// Pendants (placeholder until the key maps and display records land): bytes are ignored and
// nothing is sent.
#include "motion/pendant.h"

namespace kv {

void PendantFeed(int, std::span<const std::uint8_t>) {}
void SendPendantFrames() {}

}  // namespace kv
