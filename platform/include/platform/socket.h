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
// Waits up to timeout_ms for either socket to become readable (a listening socket: a
// connection is pending). Bit 0 of the result: `a` is readable, bit 1: `b`; 0 on time-out.
int WaitReadableEither(SocketHandle a, SocketHandle b, int timeout_ms);
// One send call (never raises a signal): bytes taken, 0 when the send time-out passed with
// nothing taken, or -1 on an error.
int Send(SocketHandle s, const std::uint8_t* bytes, int count);
int SendTo(SocketHandle s, const std::uint8_t* bytes, int count, Ipv4Endpoint remote);
int ReceiveFrom(SocketHandle s, std::uint8_t* buffer, int capacity, Ipv4Endpoint* from);

// Fault injection: once `sends_before` more sends from a socket bound to `local_port` have gone
// through, the next one fails as on a broken connection (-1, the connection left as it is);
// once. Port 0 disarms. False where the platform offers no injection (the test then skips).
bool FailOneSendFrom(std::uint16_t local_port, std::uint32_t sends_before);

// Ends both directions: a receive or send blocked on another thread returns at once.
void Shutdown(SocketHandle s);
void CloseSocket(SocketHandle s);
// Closes with a reset instead of an orderly end: the peer's next receive fails.
void AbortSocket(SocketHandle s);

// The loopback-only guard, switched on by every test binary that loads the plug-in: while it is
// on, SendTo and Connect to any address outside 127.0.0.0/8 are refused before anything leaves
// (SendTo gives -1, Connect false) and counted. Process-wide, since the plug-in shares this
// library with the process that loads it; off by default, so a real host reaches a real board.
void SetLoopbackOnly(bool on);
bool LoopbackOnly();
// True for 127.0.0.0/8.
bool IsLoopbackAddress(std::uint32_t address);
// Sends and connects refused by the guard since the process started.
std::uint64_t LoopbackViolations();
// The destination of the last refused send or connect; address 0, port 0 when there was none.
Ipv4Endpoint LastLoopbackViolation();

}  // namespace platform
