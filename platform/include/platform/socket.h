// IPv4 stream and datagram sockets: what the Ethernet link and the board simulator need.
// Handles are plain integers so that the Win32 side can carry a SOCKET in them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

struct Ipv4Endpoint {
  std::uint32_t address = 0;  // host byte order, 127.0.0.1 = 0x7F000001
  std::uint16_t port = 0;
};

// Starts the socket library (Windows Sockets 2.2); true when sockets can be used.
bool SocketsStartup();

// "a.b.c.d" to an address; false for anything else.
bool ParseIpv4(std::string_view text, std::uint32_t& address);
std::string FormatIpv4(std::uint32_t address);

// A TCP socket with TCP_NODELAY on and the given receive buffer size (0 = system default).
SocketHandle TcpSocket(int receive_buffer_bytes);
SocketHandle UdpSocket();
bool SetBroadcast(SocketHandle s, bool on);
bool SetReuseAddress(SocketHandle s, bool on);
// Bounds how long one send may block; a board that stops reading must not hang the sender.
bool SetSendTimeout(SocketHandle s, int timeout_ms);

bool Bind(SocketHandle s, Ipv4Endpoint local);  // address 0 = all interfaces
bool Listen(SocketHandle s, int backlog);
SocketHandle Accept(SocketHandle s, Ipv4Endpoint* peer);
bool Connect(SocketHandle s, Ipv4Endpoint remote);
Ipv4Endpoint LocalEndpoint(SocketHandle s);

// One receive call: bytes received, 0 when the peer closed, -1 on an error.
int Receive(SocketHandle s, std::uint8_t* buffer, int capacity);
// Waits up to timeout_ms for the socket to become readable; false on time-out or error.
bool WaitReadable(SocketHandle s, int timeout_ms);
// One send call (never raises a signal): bytes taken, or -1 on an error.
int Send(SocketHandle s, const std::uint8_t* bytes, int count);
int SendTo(SocketHandle s, const std::uint8_t* bytes, int count, Ipv4Endpoint remote);
int ReceiveFrom(SocketHandle s, std::uint8_t* buffer, int capacity, Ipv4Endpoint* from);

// Ends both directions: a receive or send blocked on another thread returns at once.
void Shutdown(SocketHandle s);
void CloseSocket(SocketHandle s);

}  // namespace platform
