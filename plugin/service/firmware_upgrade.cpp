// Firmware upgrade (not built yet): a board in its loader waits, unserved, and the upgrade
// request stays visible to the host and the dialog.
#include "service/firmware_upgrade.h"

namespace kv {

void FirmwareUpgrade() {}

}  // namespace kv
