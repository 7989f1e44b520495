// Free loopback ports, found by letting the system choose one.
#include "loopback_ports.h"

#include "platform/socket.h"

namespace kvhost {
namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

std::uint16_t FreePort(platform::SocketHandle s) {
  std::uint16_t port = 0;
  if (s != platform::kInvalidSocket && platform::Bind(s, {kLoopback, 0})) port = platform::LocalEndpoint(s).port;
  platform::CloseSocket(s);
  return port;
}

}  // namespace

std::uint16_t FreeTcpPort() { return FreePort(platform::TcpSocket(0)); }
std::uint16_t FreeUdpPort() { return FreePort(platform::UdpSocket()); }

}  // namespace kvhost
