// Transport start-up. The Ethernet and USB transports register here as they are built.
#include "link/link_transports.h"

namespace kv {

void StartTransports() {}

}  // namespace kv
