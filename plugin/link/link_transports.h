// Start-up of the transports that can carry the link (Ethernet and USB), and the seam through
// which a host may redirect the Ethernet endpoints before InitControl.
#pragma once

namespace kv {

// Starts every transport's threads; called once by LinkInit.
void StartTransports();

}  // namespace kv
