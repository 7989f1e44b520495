// The action queue: small action codes posted from any thread and carried out, in order, by the
// motion supervisor on the scheduler thread. Codes: 1 stop, 2 E-stop, 3 enable, 10..15 home
// axis 0..5; 0 means "no action" and is never posted.
#pragma once

#include <cstdint>

namespace kv {

inline constexpr std::int32_t ACTION_STOP = 1;
inline constexpr std::int32_t ACTION_ESTOP = 2;
inline constexpr std::int32_t ACTION_ENABLE = 3;
inline constexpr std::int32_t ACTION_HOME_BASE = 10;  // + axis 0..5

inline constexpr int kActionSlots = 256;  // at most 255 codes wait

void ActionReset();
// Posts a code; false when 255 codes already wait (the code is then dropped and counted,
// rather than wrapping the ring onto itself and losing every waiting code).
bool ActionPost(std::int32_t code);
// The oldest waiting code, or 0 when none waits.
std::int32_t ActionPop();
// Codes dropped because the ring was full, since load.
std::uint32_t ActionDropped();

}  // namespace kv
