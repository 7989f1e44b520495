// The Ethernet link. The plug-in is the server: a discovery thread broadcasts a short datagram
// while no board is connected, the board answers by connecting to our TCP port, and a server
// thread accepts it and receives from it. Sends run on the caller's thread.
#pragma once

#include <cstdint>
#include <memory>

#include "shell/plugin_state.h"

namespace kv {

struct EthEndpoints {
  std::uint32_t discovery_address;  // host byte order
  std::uint16_t discovery_port;
  std::uint16_t listen_port;
};

// The defaults a real host gets: the board's default subnet broadcast, UDP 9000, TCP 20176.
EthEndpoints DefaultEthEndpoints();
// Redirects discovery and the listening port; only before the link starts. False otherwise.
bool SetEthEndpoints(const EthEndpoints& endpoints);
EthEndpoints CurrentEthEndpoints();

// Starts the socket library and the server and discovery threads (once per process).
void EthStart();

bool EthIsOpen();
bool EthClose();
bool EthSendFrame(std::unique_ptr<Packet> packet);
bool EthSendRaw(const std::uint8_t* bytes, std::int32_t length);

// The link's health counters.
struct EthCounters {
  std::uint64_t hellos_sent;
  std::uint64_t connections;
  std::uint64_t bytes_received;
  std::uint64_t frames_sent;
  std::uint64_t send_errors;
  std::uint64_t takeovers;  // connections that replaced an open one
  std::uint64_t accept_errors;  // failed accepts, each retried after a pause
};
EthCounters EthLinkCounters();

// The listening socket could not be set up ("Listen failed"): Ethernet is out for this run.
bool EthListenFailed();

}  // namespace kv
