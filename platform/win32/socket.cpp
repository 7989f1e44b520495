// Sockets on Windows: Windows Sockets 2.2.
#include "platform/socket.h"

#include "win32.h"
// after winsock2.h:
#include <ws2tcpip.h>  // socklen_t

#include <mutex>

#include "../common/loopback_guard.h"
#include "../common/process_services.h"

namespace platform {
namespace {

// Not in every SDK's headers: the vendor control that stops ICMP resets on a datagram socket.
constexpr DWORD kUdpConnReset = _WSAIOW(IOC_VENDOR, 12);

SOCKET Sock(SocketHandle s) { return static_cast<SOCKET>(s); }
SocketHandle Handle(SOCKET s) { return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s); }

sockaddr_in ToSockaddr(Ipv4Endpoint e) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(e.port);
  sa.sin_addr.s_addr = htonl(e.address);
  return sa;
}

Ipv4Endpoint FromSockaddr(const sockaddr_in& sa) { return {ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)}; }

bool SetIntOption(SocketHandle s, int level, int name, DWORD value) {
  return setsockopt(Sock(s), level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

// Programs and tests open sockets without starting the library themselves: the first socket
// starts it for the life of the process.
void EnsureStarted() {
  static std::once_flag once;
  std::call_once(once, [] { SocketsStartup(); });
}

// The process's guard: the hosting program's where it exports one.
bool GuardAllows(Ipv4Endpoint remote) {
  if (const detail::ProcessServices* host = detail::HostServices()) return host->loopback_guard_allows(remote);
  return detail::LoopbackGuardAllows(remote);
}

}  // namespace

bool SocketsStartup() {
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  if (data.wVersion != MAKEWORD(2, 2)) {
    WSACleanup();
    return false;
  }
  return true;
}

SocketHandle TcpSocket(int receive_buffer_bytes) {
  EnsureStarted();
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  SetIntOption(Handle(s), IPPROTO_TCP, TCP_NODELAY, 1);
  if (receive_buffer_bytes > 0) SetIntOption(Handle(s), SOL_SOCKET, SO_RCVBUF, static_cast<DWORD>(receive_buffer_bytes));
  return Handle(s);
}

SocketHandle UdpSocket() {
  EnsureStarted();
  SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  // A datagram that met a closed port must not make the next receive fail with a reset.
  BOOL report_resets = FALSE;
  DWORD returned = 0;
  WSAIoctl(s, kUdpConnReset, &report_resets, sizeof report_resets, nullptr, 0, &returned, nullptr, nullptr);
  return Handle(s);
}

bool SetBroadcast(SocketHandle s, bool on) { return SetIntOption(s, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0); }
bool SetReuseAddress(SocketHandle s, bool on) { return SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0); }

bool SetSendTimeout(SocketHandle s, int timeout_ms) {
  return SetIntOption(s, SOL_SOCKET, SO_SNDTIMEO, static_cast<DWORD>(timeout_ms));
}

bool Bind(SocketHandle s, Ipv4Endpoint local) {
  sockaddr_in sa = ToSockaddr(local);
  return bind(Sock(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

bool Listen(SocketHandle s, int backlog) { return listen(Sock(s), backlog) == 0; }

SocketHandle Accept(SocketHandle s, Ipv4Endpoint* peer) {
  sockaddr_in sa{};
  int len = sizeof sa;
  SOCKET c = accept(Sock(s), reinterpret_cast<sockaddr*>(&sa), &len);
  if (c == INVALID_SOCKET) return kInvalidSocket;
  if (peer) *peer = FromSockaddr(sa);
  return Handle(c);
}

bool Connect(SocketHandle s, Ipv4Endpoint remote) {
  if (!GuardAllows(remote)) {
    WSASetLastError(WSAEACCES);
    return false;
  }
  sockaddr_in sa = ToSockaddr(remote);
  return connect(Sock(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

Ipv4Endpoint LocalEndpoint(SocketHandle s) {
  sockaddr_in sa{};
  int len = sizeof sa;
  if (getsockname(Sock(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
  return FromSockaddr(sa);
}

int Receive(SocketHandle s, std::uint8_t* buffer, int capacity) {
  const int n = recv(Sock(s), reinterpret_cast<char*>(buffer), capacity, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

bool WaitReadable(SocketHandle s, int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Sock(s), &readable);
  timeval tv{};
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = (timeout_ms % 1000) * 1000;
  return select(0, &readable, nullptr, nullptr, timeout_ms < 0 ? nullptr : &tv) > 0;
}

int WaitReadableEither(SocketHandle a, SocketHandle b, int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Sock(a), &readable);
  FD_SET(Sock(b), &readable);
  timeval tv{};
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = (timeout_ms % 1000) * 1000;
  if (select(0, &readable, nullptr, nullptr, timeout_ms < 0 ? nullptr : &tv) <= 0) return 0;
  return (FD_ISSET(Sock(a), &readable) ? 1 : 0) | (FD_ISSET(Sock(b), &readable) ? 2 : 0);
}

int Send(SocketHandle s, const std::uint8_t* bytes, int count) {
  const int n = send(Sock(s), reinterpret_cast<const char*>(bytes), count, 0);
  if (n == SOCKET_ERROR && WSAGetLastError() == WSAETIMEDOUT) return 0;  // the send time-out passed
  return n == SOCKET_ERROR ? -1 : n;
}

int SendTo(SocketHandle s, const std::uint8_t* bytes, int count, Ipv4Endpoint remote) {
  if (!GuardAllows(remote)) {
    WSASetLastError(WSAEACCES);
    return -1;
  }
  sockaddr_in sa = ToSockaddr(remote);
  const int n = sendto(Sock(s), reinterpret_cast<const char*>(bytes), count, 0, reinterpret_cast<const sockaddr*>(&sa),
                       sizeof sa);
  return n == SOCKET_ERROR ? -1 : n;
}

int ReceiveFrom(SocketHandle s, std::uint8_t* buffer, int capacity, Ipv4Endpoint* from) {
  sockaddr_in sa{};
  int len = sizeof sa;
  const int n = recvfrom(Sock(s), reinterpret_cast<char*>(buffer), capacity, 0, reinterpret_cast<sockaddr*>(&sa), &len);
  if (n == SOCKET_ERROR) return -1;
  if (from) *from = FromSockaddr(sa);
  return n;
}

void Shutdown(SocketHandle s) {
  if (s != kInvalidSocket) shutdown(Sock(s), SD_BOTH);
}

void CloseSocket(SocketHandle s) {
  if (s != kInvalidSocket) closesocket(Sock(s));
}

void AbortSocket(SocketHandle s) {
  if (s == kInvalidSocket) return;
  linger l{};
  l.l_onoff = 1;
  l.l_linger = 0;
  setsockopt(Sock(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  closesocket(Sock(s));
}

// Send faults are injected only on POSIX, where the tests that use them run.
bool FailOneSendFrom(std::uint16_t, std::uint32_t) { return false; }

}  // namespace platform
