// A stand-in for the plug-in's side of the link, for the simulator's tests: a TCP listener on
// 127.0.0.1 that sends "hello\0" to the board's discovery port until the board connects, then
// sends frames and reads the board's frames through the project's reassembler.
// Single-threaded: the test drives it; every wait is bounded.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

#include "link/reassembler.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace kvboard::testing {

using Bytes = std::vector<std::uint8_t>;

class TestPeer {
 public:
  TestPeer() {
    platform::SocketsStartup();
    listener_ = platform::TcpSocket(0);
    platform::SetReuseAddress(listener_, true);
    platform::Bind(listener_, {0x7F000001, 0});
    platform::Listen(listener_, 4);
    port_ = platform::LocalEndpoint(listener_).port;
    udp_ = platform::UdpSocket();
  }
  ~TestPeer() {
    CloseConnection();
    platform::CloseSocket(listener_);
    platform::CloseSocket(udp_);
  }
  TestPeer(const TestPeer&) = delete;
  TestPeer& operator=(const TestPeer&) = delete;

  std::uint16_t port() const { return port_; }
  bool connected() const { return conn_ != platform::kInvalidSocket; }

  // Waits for the board, sending "hello\0" to its discovery port every 100 ms (none when 0).
  bool AcceptBoard(std::uint16_t discovery_port, int timeout_ms) {
    CloseConnection();
    const std::uint32_t start = platform::TickMs();
    std::uint32_t last_hello = start - 1000;
    while (Elapsed(start) < timeout_ms) {
      if (discovery_port != 0 && platform::TickMs() - last_hello >= 100) {
        SendHello(discovery_port);
        last_hello = platform::TickMs();
      }
      if (platform::WaitReadable(listener_, 20)) {
        conn_ = platform::Accept(listener_, nullptr);
        reassembler_.Reset();
        pending_.clear();
        return conn_ != platform::kInvalidSocket;
      }
    }
    return false;
  }

  void SendHello(std::uint16_t discovery_port, std::span<const std::uint8_t> datagram = kHello) {
    platform::SendTo(udp_, datagram.data(), static_cast<int>(datagram.size()), {0x7F000001, discovery_port});
  }

  bool SendRaw(std::span<const std::uint8_t> bytes) {
    if (!connected()) return false;
    return platform::Send(conn_, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
  }
  // Sends [length][body].
  bool SendFrame(std::span<const std::uint8_t> body) {
    Bytes frame;
    frame.push_back(static_cast<std::uint8_t>(body.size()));
    frame.insert(frame.end(), body.begin(), body.end());
    return SendRaw(frame);
  }
  bool SendFrame(std::initializer_list<std::uint8_t> body) { return SendFrame(Bytes(body)); }

  // Reads frames until one satisfies `match` and returns it; earlier frames are consumed.
  std::optional<Bytes> WaitFrame(const std::function<bool(const Bytes&)>& match, int timeout_ms) {
    const std::uint32_t start = platform::TickMs();
    for (;;) {
      while (!pending_.empty()) {
        Bytes f = std::move(pending_.front());
        pending_.pop_front();
        if (match(f)) return f;
      }
      if (!ReadSome(start, timeout_ms)) return std::nullopt;
    }
  }
  // The next frame whose first bytes are `prefix`.
  std::optional<Bytes> WaitFramePrefix(std::initializer_list<std::uint8_t> prefix, int timeout_ms) {
    Bytes p(prefix);
    return WaitFrame([&](const Bytes& f) { return f.size() >= p.size() && std::equal(p.begin(), p.end(), f.begin()); },
                     timeout_ms);
  }

  // Reads exactly `count` raw bytes (after any frames already collected were dropped).
  Bytes ReadRaw(std::size_t count, int timeout_ms) {
    Bytes out;
    const std::uint32_t start = platform::TickMs();
    std::array<std::uint8_t, 4096> buffer{};
    while (out.size() < count && Elapsed(start) < timeout_ms) {
      if (!platform::WaitReadable(conn_, 10)) continue;
      int n = platform::Receive(conn_, buffer.data(), static_cast<int>(std::min(buffer.size(), count - out.size())));
      if (n <= 0) break;
      out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    }
    return out;
  }
  // Reads and discards whatever arrives for `ms`; returns the number of bytes.
  std::size_t Drain(int ms) {
    std::size_t total = 0;
    const std::uint32_t start = platform::TickMs();
    std::array<std::uint8_t, 4096> buffer{};
    while (Elapsed(start) < ms) {
      if (!platform::WaitReadable(conn_, 5)) continue;
      int n = platform::Receive(conn_, buffer.data(), static_cast<int>(buffer.size()));
      if (n <= 0) break;
      total += static_cast<std::size_t>(n);
    }
    pending_.clear();
    reassembler_.Reset();
    return total;
  }

  // True once the board has closed its side within the time.
  bool WaitClosed(int timeout_ms) {
    const std::uint32_t start = platform::TickMs();
    std::array<std::uint8_t, 4096> buffer{};
    while (Elapsed(start) < timeout_ms) {
      if (!platform::WaitReadable(conn_, 10)) continue;
      if (platform::Receive(conn_, buffer.data(), static_cast<int>(buffer.size())) <= 0) {
        CloseConnection();
        return true;
      }
    }
    return false;
  }

  void CloseConnection() {
    if (conn_ == platform::kInvalidSocket) return;
    platform::Shutdown(conn_);
    platform::CloseSocket(conn_);
    conn_ = platform::kInvalidSocket;
  }

  static constexpr std::array<std::uint8_t, 6> kHello = {'h', 'e', 'l', 'l', 'o', 0};

 private:
  static int Elapsed(std::uint32_t start) { return static_cast<int>(platform::TickMs() - start); }

  bool ReadSome(std::uint32_t start, int timeout_ms) {
    std::array<std::uint8_t, 4096> buffer{};
    while (Elapsed(start) < timeout_ms) {
      if (!connected()) return false;
      if (!platform::WaitReadable(conn_, 10)) continue;
      int n = platform::Receive(conn_, buffer.data(), static_cast<int>(buffer.size()));
      if (n <= 0) {
        CloseConnection();
        return false;
      }
      reassembler_.Feed(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)),
                        [this](std::span<const std::uint8_t> body) { pending_.emplace_back(body.begin(), body.end()); });
      if (!pending_.empty()) return true;
    }
    return false;
  }

  platform::SocketHandle listener_ = platform::kInvalidSocket;
  platform::SocketHandle udp_ = platform::kInvalidSocket;
  platform::SocketHandle conn_ = platform::kInvalidSocket;
  std::uint16_t port_ = 0;
  kv::FrameReassembler reassembler_;
  std::deque<Bytes> pending_;
};

}  // namespace kvboard::testing
