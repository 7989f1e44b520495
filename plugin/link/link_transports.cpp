// Transport start-up: every transport that can carry the link starts looking for the board.
#include "link/link_transports.h"

#include "link/ethernet_link.h"
#include "link/usb_link.h"

namespace kv {

void StartTransports() {
  EthStart();
  UsbStart();
}

}  // namespace kv
