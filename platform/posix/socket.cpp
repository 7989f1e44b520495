// Sockets on POSIX.
#include "platform/socket.h"

#include <arpa/inet.h>    // htonl, htons, ntohl, ntohs
#include <netinet/in.h>   // sockaddr_in
#include <netinet/tcp.h>  // TCP_NODELAY
#include <poll.h>         // poll
#include <sys/socket.h>   // socket, bind, listen, accept, send, recv, setsockopt, shutdown
#include <unistd.h>       // close

#include <atomic>
#include <cerrno>

#include "../common/loopback_guard.h"  // detail::LoopbackGuardAllows

namespace platform {
namespace {

int Fd(SocketHandle s) { return static_cast<int>(s); }

sockaddr_in ToSockaddr(Ipv4Endpoint e) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(e.port);
  sa.sin_addr.s_addr = htonl(e.address);
  return sa;
}

Ipv4Endpoint FromSockaddr(const sockaddr_in& sa) { return {ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)}; }

bool SetIntOption(SocketHandle s, int level, int name, int value) {
  return setsockopt(Fd(s), level, name, &value, sizeof value) == 0;
}

// The armed send fault: the local port whose sends it hits (0: none) and the sends still to pass.
std::atomic<std::uint16_t> fault_port{0};
std::atomic<std::int64_t> fault_sends_left{0};

bool SendFaultDue(SocketHandle s) {
  std::uint16_t port = fault_port.load();
  if (port == 0 || LocalEndpoint(s).port != port) return false;
  if (fault_sends_left.fetch_sub(1) > 0) return false;
  return fault_port.compare_exchange_strong(port, 0);  // it fires once
}

}  // namespace

bool SocketsStartup() { return true; }

SocketHandle TcpSocket(int receive_buffer_bytes) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return kInvalidSocket;
  SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  if (receive_buffer_bytes > 0) SetIntOption(fd, SOL_SOCKET, SO_RCVBUF, receive_buffer_bytes);
  return fd;
}

SocketHandle UdpSocket() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  return fd < 0 ? kInvalidSocket : fd;
}

bool SetBroadcast(SocketHandle s, bool on) { return SetIntOption(s, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0); }
bool SetReuseAddress(SocketHandle s, bool on) { return SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0); }

bool SetSendTimeout(SocketHandle s, int timeout_ms) {
  timeval tv{};
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = (timeout_ms % 1000) * 1000;
  return setsockopt(Fd(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

bool Bind(SocketHandle s, Ipv4Endpoint local) {
  sockaddr_in sa = ToSockaddr(local);
  return bind(Fd(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

bool Listen(SocketHandle s, int backlog) { return listen(Fd(s), backlog) == 0; }

SocketHandle Accept(SocketHandle s, Ipv4Endpoint* peer) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int fd = accept4(Fd(s), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  if (fd < 0) return kInvalidSocket;
  if (peer) *peer = FromSockaddr(sa);
  return fd;
}

bool Connect(SocketHandle s, Ipv4Endpoint remote) {
  if (!detail::LoopbackGuardAllows(remote)) {
    errno = EPERM;
    return false;
  }
  sockaddr_in sa = ToSockaddr(remote);
  return connect(Fd(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

Ipv4Endpoint LocalEndpoint(SocketHandle s) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(Fd(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
  return FromSockaddr(sa);
}

int Receive(SocketHandle s, std::uint8_t* buffer, int capacity) {
  ssize_t n;
  do {
    n = recv(Fd(s), buffer, static_cast<std::size_t>(capacity), 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

bool WaitReadable(SocketHandle s, int timeout_ms) {
  pollfd p{Fd(s), POLLIN, 0};
  int rc;
  do {
    rc = poll(&p, 1, timeout_ms);
  } while (rc < 0 && errno == EINTR);
  return rc > 0;
}

int WaitReadableEither(SocketHandle a, SocketHandle b, int timeout_ms) {
  pollfd p[2] = {{Fd(a), POLLIN, 0}, {Fd(b), POLLIN, 0}};
  int rc;
  do {
    rc = poll(p, 2, timeout_ms);
  } while (rc < 0 && errno == EINTR);
  if (rc <= 0) return 0;
  // An error or a hang-up also wakes the caller, whose next receive or accept then says so.
  constexpr short kWake = POLLIN | POLLERR | POLLHUP | POLLNVAL;
  return ((p[0].revents & kWake) ? 1 : 0) | ((p[1].revents & kWake) ? 2 : 0);
}

int Send(SocketHandle s, const std::uint8_t* bytes, int count) {
  if (SendFaultDue(s)) {
    errno = ECONNRESET;
    return -1;
  }
  ssize_t n;
  do {
    n = send(Fd(s), bytes, static_cast<std::size_t>(count), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;  // the send time-out passed
  return n < 0 ? -1 : static_cast<int>(n);
}

int SendTo(SocketHandle s, const std::uint8_t* bytes, int count, Ipv4Endpoint remote) {
  if (!detail::LoopbackGuardAllows(remote)) {
    errno = EPERM;
    return -1;
  }
  sockaddr_in sa = ToSockaddr(remote);
  ssize_t n = sendto(Fd(s), bytes, static_cast<std::size_t>(count), MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  return n < 0 ? -1 : static_cast<int>(n);
}

int ReceiveFrom(SocketHandle s, std::uint8_t* buffer, int capacity, Ipv4Endpoint* from) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ssize_t n = recvfrom(Fd(s), buffer, static_cast<std::size_t>(capacity), 0, reinterpret_cast<sockaddr*>(&sa), &len);
  if (n < 0) return -1;
  if (from) *from = FromSockaddr(sa);
  return static_cast<int>(n);
}

void Shutdown(SocketHandle s) {
  if (s != kInvalidSocket) shutdown(Fd(s), SHUT_RDWR);
}

void CloseSocket(SocketHandle s) {
  if (s != kInvalidSocket) close(Fd(s));
}

void AbortSocket(SocketHandle s) {
  if (s == kInvalidSocket) return;
  linger l{};
  l.l_onoff = 1;
  l.l_linger = 0;
  setsockopt(Fd(s), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(Fd(s));
}

bool FailOneSendFrom(std::uint16_t local_port, std::uint32_t sends_before) {
  fault_sends_left.store(sends_before);
  fault_port.store(local_port);
  return true;
}

}  // namespace platform
