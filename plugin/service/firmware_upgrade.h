// The firmware upgrade: a board in its loader is sent the chosen image in addressed blocks.
#pragma once

namespace kv {

// Runs the whole upgrade on the scheduler thread, from the begin frame to the reconnect wait.
void FirmwareUpgrade();

}  // namespace kv
